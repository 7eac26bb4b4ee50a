// Post-processing with arbitrary text around the cursor. Fields (0x1F): the formatted text,
// the text before the cursor, the selection, the text after, the application type's raw value.
#include "FuzzSupport.h"

#include "Core/Formatting/TextPostProcessor.h"
#include "Core/Formatting/TextUnits.h"
#include "Models/AppClassification.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    const QStringList parts = Fuzz::fields(data, size, 5);
    const QString &text = parts[0], &before = parts[1], &selected = parts[2], &after = parts[3];
    const AppType appType = fromRawValue<AppType>(parts[4]).value_or(AppType::general);

    const QString spaced = TextPostProcessor::adjustLeadingSpace(text, before, selected);
    // At most one space goes in front; the dictated text itself stays.
    Fuzz::check(spaced == text || spaced == QLatin1Char(' ') + text, "the leading-space adjustment keeps the text",
                text + QStringLiteral(" -> ") + spaced);
    const QString cased = TextPostProcessor::adjustCasing(text, before, appType);
    // Only the first character may change case.
    Fuzz::check(cased.endsWith(text.mid(TextUnits::firstCharacter(text).size())),
                "the casing adjustment changes only the first character", text + QStringLiteral(" -> ") + cased);
    (void)TextPostProcessor::adjustTrailingPunctuation(cased, appType);
    (void)TextPostProcessor::isPlaceholderText(text, before, after, appType);
    return 0;
}
