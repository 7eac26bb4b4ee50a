#include "UI/Overlay/DictationFeedback.h"

#include "UI/Motion/MotionClock.h"
#include "UI/Overlay/OverlayPillRules.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

constexpr Animation settleSpring = Animation::spring(0.3, 0.7);

std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > std::numeric_limits<std::int64_t>::max() - b) return std::numeric_limits<std::int64_t>::max();
    return a + b;
}

}  // namespace

const std::vector<std::int64_t>& DictationFeedback::milestones() {
    static const std::vector<std::int64_t> counts{10, 25, 50, 100, 200, 350, 500, 750, 1000};
    return counts;
}

DictationFeedback::DictationFeedback(MotionClock& clock, QObject* parent) : QObject(parent), m_clock(clock) {}

std::int64_t DictationFeedback::countWords(const QString& text) {
    std::int64_t words = 0;
    for (const QStringView& piece : QStringView(text).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        (void)piece;
        ++words;
    }
    return words;
}

QString DictationFeedback::timeSavedPhrase(double seconds) {
    // Whole seconds, towards zero; a sum beyond the integer range is shown at its end.
    const double truncated = std::trunc(std::clamp(seconds, 0.0, 9.2e18));
    const auto s = static_cast<std::int64_t>(truncated);
    if (s >= 60) return QStringLiteral("%1m %2s saved").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1s saved").arg(s);
}

void DictationFeedback::change(bool& field, bool value, Flag flag, const Animation& animation) {
    field = value;
    if (m_observer) m_observer(flag, animation);
}

void DictationFeedback::setBounce(double value, const Animation& animation) {
    m_bounce = value;
    if (m_observer) m_observer(Flag::bounce, animation);
}

void DictationFeedback::after(double delay, std::function<void()> step) {
    // Steps are never cancelled: each acts on whatever the state is when it runs.
    m_clock.schedule(this, delay, std::move(step));
}

void DictationFeedback::handleStatusChange(DictationStatus status,
                                           const std::optional<TranscriptionResult>& lastResult) {
    const DictationStatus prev = m_prevStatus;

    if (status != prev) {
        setBounce(bouncePeak, OverlayPill::bounceSpring);
        after(0.15, [this] { setBounce(1.0, settleSpring); });
    }

    if (status == DictationStatus::listening && prev != DictationStatus::listening)
        m_recordingStartTime = m_clock.now();

    const bool finishing =
        prev == DictationStatus::inserting || prev == DictationStatus::processing || prev == DictationStatus::stopping;
    if (finishing && status == DictationStatus::idle) {
        change(m_showDone, true, Flag::showDone, Animation::easeOut(0.15));
        after(0.3, [this] { change(m_showDone, false, Flag::showDone, Animation::easeOut(0.5)); });
        after(0.1, [this] { change(m_doneRipple, true, Flag::doneRipple, Animation::easeOut(0.6)); });
        after(0.7, [this] { change(m_doneRipple, false, Flag::doneRipple, Animation::none()); });

        const std::int64_t words = lastResult ? countWords(lastResult->pastedText) : 0;
        m_totalWords = saturatingAdd(m_totalWords, words);
        if (m_recordingStartTime) {
            const double elapsed = m_clock.now() - *m_recordingStartTime;
            double saved = double(words) * secondsPerTypedWord - elapsed;
            if (!(saved >= 0) || !std::isfinite(saved)) saved = 0;
            m_totalTimeSaved += saved;
        }
        m_recordingStartTime.reset();
        m_dictationCount = saturatingAdd(m_dictationCount, 1);

        const auto& counts = milestones();
        if (std::find(counts.begin(), counts.end(), m_dictationCount) != counts.end()) {
            m_timeSavedText = QStringLiteral("%1 vantroses").arg(m_dictationCount);
            m_timeSavedSubtext =
                QStringLiteral("%1 words · %2").arg(m_totalWords).arg(timeSavedPhrase(m_totalTimeSaved));
            after(0.4, [this] {
                change(m_showTimeSaved, true, Flag::showTimeSaved, OverlayPill::morphSpring);
                change(m_milestoneFlash, true, Flag::milestoneFlash, Animation::easeOut(0.7));
            });
            after(0.8, [this] { change(m_milestoneFlash, false, Flag::milestoneFlash, Animation::none()); });
            after(3.5, [this] { change(m_showTimeSaved, false, Flag::showTimeSaved, Animation::easeOut(0.3)); });
        }
    }

    m_prevStatus = status;
}
