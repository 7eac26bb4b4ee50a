#include "Core/Learning/OutcomeTracker.h"

#include "Core/ASR/EditAligner.h"
#include "Core/Desktop/AbstractContextReader.h"
#include "Core/Formatting/TextUnits.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"

#include <QHashFunctions>
#include <QPointer>
#include <QRegularExpression>
#include <QTextBoundaryFinder>

#include <memory>

// ---------------------------------------------------------------------------------------------
// OutcomeTracker

OutcomeTracker::OutcomeTracker(QString initialText)
    : m_initialText(std::move(initialText)),
      m_pasteTime(Clock::current().now()),
      m_latestText(m_initialText) {}

void OutcomeTracker::observe(const QString& text) {
    m_latestText = text;
    if (text != m_initialText && !m_firstEditAt) m_firstEditAt = Clock::current().now();
}

QStringList OutcomeTracker::characters(const QString& text) {
    const QString composed = text.normalized(QString::NormalizationForm_C);
    QStringList out;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, composed);
    qsizetype start = 0;
    while (finder.toNextBoundary() != -1) {
        const qsizetype end = finder.position();
        if (end > start) out << composed.mid(start, end - start);
        start = end;
    }
    return out;
}

DictationOutcomeSnapshot OutcomeTracker::snapshot(int secondsAfterPaste) const {
    const QStringList initialCharacters = characters(m_initialText);
    DictationOutcomeSnapshot s;
    s.secondsAfterPaste = secondsAfterPaste;
    s.charEditDistance = levenshtein(initialCharacters, characters(m_latestText));
    s.wordEditDistance = levenshtein(TextUnits::splitAtSpaces(m_initialText.normalized(QString::NormalizationForm_C)),
                                     TextUnits::splitAtSpaces(m_latestText.normalized(QString::NormalizationForm_C)));
    s.manualCorrectionsCount = s.wordEditDistance;
    s.manualRewriteFraction =
        m_latestText.isEmpty()
            ? 0.0
            : std::min(1.0, static_cast<double>(s.charEditDistance) /
                                std::max<double>(1.0, static_cast<double>(initialCharacters.size())));
    // The process-seeded string hash: comparable within one run only.
    s.initialPastedTextHash = QString::number(qHash(m_initialText));
    s.finalTextHash = QString::number(qHash(m_latestText));
    if (m_firstEditAt) s.timeToStableTextMs = static_cast<double>(m_pasteTime.msecsTo(*m_firstEditAt));
    s.acceptedWithoutEdits = s.charEditDistance == 0;
    return s;
}

// ---------------------------------------------------------------------------------------------
// DictationLearning

const QList<int>& DictationLearning::snapshotSeconds() {
    static const QList<int> seconds{10, 30, 120};
    return seconds;
}

DictationLearning::DictationLearning(AbstractContextReader& reader, Hooks hooks, DelayedCall delayedCall,
                                     QObject* parent)
    : QObject(parent),
      m_reader(reader),
      m_hooks(std::move(hooks)),
      m_delayedCall(delayedCall ? std::move(delayedCall) : timerDelayedCall()) {}

QString DictationLearning::pastedRegion(const QString& field, const QString& beforeText, const QString& afterText) {
    qsizetype start = 0;
    if (!beforeText.isEmpty()) {
        const qsizetype at = field.indexOf(beforeText);
        if (at >= 0) {
            start = at + beforeText.size();
        } else {  // edited in front of the paste: keep what still matches
            while (start < field.size() && start < beforeText.size() && field[start] == beforeText[start]) ++start;
        }
    }
    qsizetype end = field.size();
    if (!afterText.isEmpty()) {
        const qsizetype at = field.lastIndexOf(afterText);
        if (at >= start) {
            end = at;
        } else {
            qsizetype common = 0;
            while (common < afterText.size() && end - common > start &&
                   field[end - common - 1] == afterText[afterText.size() - common - 1])
                ++common;
            end -= common;
        }
    }
    return field.mid(start, end - start);
}

QList<DictionaryEntry> DictationLearning::currentDictionary() const {
    return m_hooks.dictionary ? m_hooks.dictionary() : QList<DictionaryEntry>();
}

bool DictationLearning::holdsWord(const QList<DictionaryEntry>& dictionary, const QString& word) {
    return std::any_of(dictionary.cbegin(), dictionary.cend(),
                       [&](const DictionaryEntry& e) { return e.word.compare(word, Qt::CaseInsensitive) == 0; });
}

bool DictationLearning::inDictionary(const QString& word) const { return holdsWord(currentDictionary(), word); }

void DictationLearning::startCorrectionWatch(const PasteTarget& target) {
    // Only the last text of the watch is compared: one learning per watch, never a half-typed word.
    auto latest = std::make_shared<std::optional<QString>>();
    m_reader.observeTextChanges(target.pid, correctionWatchSeconds,
                                [latest, before = target.beforeText, after = target.afterText](const QString& text) {
                                    *latest = pastedRegion(text, before, after);
                                });
    QPointer<DictationLearning> self(this);
    m_delayedCall(correctionWatchSeconds, [self, latest, baseline = target.pastedText] {
        if (self && *latest) self->learnCorrections(baseline, **latest);
    });
}

void DictationLearning::learnCorrections(const QString& baseline, const QString& edited) {
    if (m_hooks.learnsWords && !m_hooks.learnsWords()) return;
    const auto corrections = EditAligner::extractCorrections(EditAligner::align(baseline, edited));
    QStringList learned;
    for (const EditAligner::Correction& c : corrections) {
        if (learned.contains(c.correct)) continue;
        learned << c.correct;
        VLOG_INFO(lcPipeline) << "Edit correction detected: \"" << c.wrong << "\" → \"" << c.correct
                              << "\" — auto-adding to dictionary";
        // An entry of the word may carry a replacement or be a snippet; rewriting it would lose that.
        if (m_hooks.addWord && !inDictionary(c.correct)) m_hooks.addWord(c.correct);
        const bool known = m_hooks.settings && m_hooks.settings().customWords.contains(c.correct);
        if (!known && m_hooks.updateSettings)
            m_hooks.updateSettings([word = c.correct](VantroseSettings& s) { s.customWords << word; });
    }
}

void DictationLearning::startOutcomeObservation(const QString& traceID, const QString& sessionID,
                                                const PasteTarget& target) {
    auto tracker = std::make_shared<OutcomeTracker>(target.pastedText);
    m_reader.observeTextChanges(target.pid, observationSeconds,
                                [tracker, before = target.beforeText, after = target.afterText](const QString& text) {
                                    tracker->observe(pastedRegion(text, before, after));
                                });
    QPointer<DictationLearning> self(this);
    for (const int seconds : snapshotSeconds()) {
        m_delayedCall(seconds, [self, tracker, seconds, traceID, sessionID, app = target.appBundleId,
                                fieldType = target.fieldType] {
            if (!self) return;
            const DictationOutcomeSnapshot snapshot = tracker->snapshot(seconds);
            if (self->m_hooks.saveOutcomeSnapshot) self->m_hooks.saveOutcomeSnapshot(traceID, sessionID, snapshot);
            if (!self->m_hooks.saveEvent) return;
            const QVariantMap payload{
                {QStringLiteral("char_edit_distance"), QVariant::fromValue<qint64>(snapshot.charEditDistance)},
                {QStringLiteral("word_edit_distance"), QVariant::fromValue<qint64>(snapshot.wordEditDistance)},
                {QStringLiteral("time_to_stable_text_ms"),
                 snapshot.timeToStableTextMs ? QVariant(*snapshot.timeToStableTextMs) : QVariant()},
                {QStringLiteral("accepted_without_edits"), snapshot.acceptedWithoutEdits},
            };
            self->m_hooks.saveEvent(traceID, sessionID, QStringLiteral("dictation.outcome.snapshot_%1s").arg(seconds),
                                    app, fieldType, payload);
        });
    }
}

void DictationLearning::autoLearnWords(const QString& text) {
    static const QRegularExpression separator(QStringLiteral("\\s"));
    const QStringList pieces = text.split(separator);
    const QList<DictionaryEntry> dictionary = currentDictionary();
    for (qsizetype i = 1; i < pieces.size(); ++i) {  // the transcript's first piece is never learned
        const QString word = TextUnits::trimPunctuation(pieces[i]);
        if (TextUnits::characterCount(word) < 3 || !TextUnits::isUppercaseLetter(TextUnits::firstCharacter(word)))
            continue;
        if (holdsWord(dictionary, word)) continue;
        if (m_hooks.settings && m_hooks.settings().customWords.contains(word)) continue;
        if (m_hooks.updateSettings) m_hooks.updateSettings([word](VantroseSettings& s) { s.customWords << word; });
        if (m_hooks.addWord) m_hooks.addWord(word);
        VLOG_INFO(lcPipeline) << "Auto-learned word: " << word;
    }
}
