// The edit aligner and the correction extraction on two arbitrary texts (fields split at 0x1F:
// the pasted text, the edited text). The alignment must account for every word of both.
#include "FuzzSupport.h"

#include "Core/ASR/EditAligner.h"
#include "Core/Formatting/TextUnits.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 2);
    const QList<EditAligner::AlignmentStep> steps = EditAligner::align(parts[0], parts[1]);
    const QStringList original = TextUnits::splitAtSpaces(parts[0]);
    const QStringList edited = TextUnits::splitAtSpaces(parts[1]);
    if (original.isEmpty() || edited.isEmpty()) {
        Fuzz::check(steps.isEmpty(), "no alignment without words on both sides");
        return 0;
    }
    QStringList fromOriginal, fromEdited;
    for (const auto& step : steps) {
        if (step.action != EditAligner::Action::insertion) fromOriginal.append(step.originalWord);
        if (step.action != EditAligner::Action::deletion) fromEdited.append(step.editedWord);
        if (step.action == EditAligner::Action::match)
            Fuzz::check(step.originalWord.compare(step.editedWord, Qt::CaseInsensitive) == 0 ||
                            step.originalWord.toLower() == step.editedWord.toLower(),
                        "a match pairs equal words", step.originalWord + QStringLiteral(" / ") + step.editedWord);
    }
    Fuzz::check(fromOriginal == original, "the alignment keeps every original word in order");
    Fuzz::check(fromEdited == edited, "the alignment keeps every edited word in order");
    for (const auto& correction : EditAligner::extractCorrections(steps))
        Fuzz::check(original.contains(correction.wrong) && edited.contains(correction.correct),
                    "a correction pairs words of the two texts");
    return 0;
}
