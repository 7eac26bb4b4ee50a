#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

// Judges whether a transcript is plausible for the length of its recording, and whether it
// is one of the phrases recognisers invent from silence or noise. Pure; any thread.
class SensibilityScorer {
public:
    struct Score {
        float score = 1.0f;  // 0..1; 1 is fully plausible
        QStringList flags;   // the issues found, in rule order
    };

    // Dictations scoring below this are discarded.
    static constexpr float minimumScore = 0.3f;

    static bool containsHallucination(const QString& text);
    static Score score(const QString& text, std::chrono::milliseconds audioLength);
};
