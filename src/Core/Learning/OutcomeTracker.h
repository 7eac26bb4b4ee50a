#pragma once

#include "Foundation/DelayedCall.h"
#include "Models/DictationMetrics.h"
#include "Models/DictionaryEntry.h"
#include "Models/VantroseSettings.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class AbstractContextReader;

// Follows the text of one paste after it landed, for the outcome snapshots.
class OutcomeTracker {
public:
    // `initialText` is the text that was pasted; observation starts now (Clock::current()).
    explicit OutcomeTracker(QString initialText);

    const QString& initialText() const { return m_initialText; }

    // One reported text of the pasted region.
    void observe(const QString& text);
    DictationOutcomeSnapshot snapshot(int secondsAfterPaste) const;

    // Unit-cost edit distance between two sequences.
    template <typename Sequence>
    static std::int64_t levenshtein(const Sequence& a, const Sequence& b);
    // The user-perceived characters of a text, canonically composed so equivalent spellings compare equal.
    static QStringList characters(const QString& text);

private:
    QString m_initialText;
    QDateTime m_pasteTime;
    QString m_latestText;
    std::optional<QDateTime> m_firstEditAt;
};

template <typename Sequence>
std::int64_t OutcomeTracker::levenshtein(const Sequence& a, const Sequence& b) {
    const auto m = static_cast<std::int64_t>(a.size());
    const auto n = static_cast<std::int64_t>(b.size());
    if (m == 0) return n;
    if (n == 0) return m;
    std::vector<std::int64_t> previous(static_cast<size_t>(n + 1));
    std::vector<std::int64_t> current(static_cast<size_t>(n + 1));
    for (std::int64_t j = 0; j <= n; ++j) previous[static_cast<size_t>(j)] = j;
    for (std::int64_t i = 1; i <= m; ++i) {
        current[0] = i;
        for (std::int64_t j = 1; j <= n; ++j) {
            const auto J = static_cast<size_t>(j);
            const std::int64_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            current[J] = std::min({previous[J - 1] + cost, previous[J] + 1, current[J - 1] + 1});
        }
        std::swap(previous, current);
    }
    return previous[static_cast<size_t>(n)];
}

// After a paste on the batch road: learns the words the user corrects, stores how much of the
// pasted text survives at 10, 30 and 120 s, and learns new capitalised names from transcripts.
// Main thread only.
class DictationLearning : public QObject {
    Q_OBJECT
public:
    static constexpr double correctionWatchSeconds = 5;
    static constexpr double observationSeconds = 120;
    static const QList<int>& snapshotSeconds();  // 10, 30, 120

    struct Hooks {
        // The personal dictionary as cached now.
        std::function<QList<DictionaryEntry>()> dictionary;
        // Adds a word to the personal dictionary (no replacement, not a snippet).
        std::function<void(const QString& word)> addWord;
        std::function<VantroseSettings()> settings;
        // Whether words may be added to the dictionary now (the user's switch); none: always.
        std::function<bool()> learnsWords;
        // Changes the settings through the one assignment path (file write and push).
        std::function<void(const std::function<void(VantroseSettings&)>& change)> updateSettings;
        std::function<void(const QString& traceID, const QString& sessionID, const DictationOutcomeSnapshot& snapshot)>
            saveOutcomeSnapshot;
        std::function<void(const QString& traceID, const QString& sessionID, const QString& event,
                           const QString& appBundleID, const QString& fieldType, const QVariantMap& payload)>
            saveEvent;
    };

    // Where one paste landed, as known when it was made.
    struct PasteTarget {
        std::int32_t pid = 0;
        QString pastedText;  // exactly what was pasted (after the user's replacements)
        // The field's text before and after the selection the paste replaced, as read when the
        // dictation began; they locate the pasted text inside the whole field's later texts.
        QString beforeText;
        QString afterText;
        QString appBundleId;                            // empty when unknown
        QString fieldType = QStringLiteral("unknown");  // the application type's raw value
    };

    DictationLearning(AbstractContextReader& reader, Hooks hooks, DelayedCall delayedCall = {},
                      QObject* parent = nullptr);

    // Watches the field for 5 s; when the watch ends, the words the user replaced inside the
    // pasted text are learned, each once.
    void startCorrectionWatch(const PasteTarget& target);
    // Follows the pasted text for 120 s and stores the three snapshots.
    void startOutcomeObservation(const QString& traceID, const QString& sessionID, const PasteTarget& target);
    // Learns capitalised words of a transcript (not its first word) that are neither in the
    // dictionary nor among the custom words.
    void autoLearnWords(const QString& text);

    // The part of a whole field's text that holds the paste: what lies between the text that
    // was before it and the text that was after it.
    static QString pastedRegion(const QString& field, const QString& beforeText, const QString& afterText);

private:
    void learnCorrections(const QString& baseline, const QString& edited);
    QList<DictionaryEntry> currentDictionary() const;
    bool inDictionary(const QString& word) const;
    static bool holdsWord(const QList<DictionaryEntry>& dictionary, const QString& word);

    AbstractContextReader& m_reader;
    Hooks m_hooks;
    DelayedCall m_delayedCall;
};
