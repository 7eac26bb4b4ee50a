#pragma once

#include "Models/DictationStatus.h"
#include "Models/TranscriptionResult.h"
#include "UI/Motion/Spring.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class MotionClock;

// How the overlay pill reacts to status changes: the bounce, the done glow and ring after a
// finished dictation, the pill's own counters, and the milestone toast with its confetti. The
// flags are switched here, with the animation each switch uses; the view draws them.
class DictationFeedback : public QObject {
    Q_OBJECT
public:
    enum class Flag { bounce, showDone, doneRipple, showTimeSaved, milestoneFlash };

    // Told of every change of a flag (or of `bounce`) with the animation it changes under.
    using Observer = std::function<void(Flag flag, const Animation& animation)>;

    static constexpr double bouncePeak = 1.08;
    static constexpr double secondsPerTypedWord = 0.8;
    static const std::vector<std::int64_t>& milestones();

    explicit DictationFeedback(MotionClock& clock, QObject* parent = nullptr);
    void setObserver(Observer observer) { m_observer = std::move(observer); }

    // Called once per change of the published status, with the pipeline's latest result.
    void handleStatusChange(DictationStatus status, const std::optional<TranscriptionResult>& lastResult);

    DictationStatus prevStatus() const { return m_prevStatus; }
    double bounce() const { return m_bounce; }
    bool showDone() const { return m_showDone; }
    bool doneRipple() const { return m_doneRipple; }
    bool showTimeSaved() const { return m_showTimeSaved; }
    bool milestoneFlash() const { return m_milestoneFlash; }
    const QString& timeSavedText() const { return m_timeSavedText; }
    const QString& timeSavedSubtext() const { return m_timeSavedSubtext; }
    std::int64_t dictationCount() const { return m_dictationCount; }
    std::int64_t totalWords() const { return m_totalWords; }
    double totalTimeSaved() const { return m_totalTimeSaved; }
    const std::optional<double>& recordingStartTime() const { return m_recordingStartTime; }

    // Words as the pill counts them: non-empty pieces between single space characters.
    static std::int64_t countWords(const QString& text);
    // "3m 12s saved", "59s saved".
    static QString timeSavedPhrase(double seconds);

private:
    void change(bool& field, bool value, Flag flag, const Animation& animation);
    void setBounce(double value, const Animation& animation);
    void after(double delay, std::function<void()> step);

    MotionClock& m_clock;
    Observer m_observer;

    DictationStatus m_prevStatus = DictationStatus::idle;
    double m_bounce = 1.0;
    std::optional<double> m_recordingStartTime;
    bool m_showDone = false;
    bool m_doneRipple = false;
    bool m_showTimeSaved = false;
    bool m_milestoneFlash = false;
    QString m_timeSavedText;
    QString m_timeSavedSubtext;
    std::int64_t m_dictationCount = 0;
    double m_totalTimeSaved = 0;
    std::int64_t m_totalWords = 0;
};
