#pragma once

#include "Core/Formatting/TextFormatterProtocol.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/PipelineCollaborators.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/PendingValue.h"
#include "Models/DictationMetrics.h"
#include "Models/PasteOutcome.h"
#include "Models/ScreenCaptureResult.h"
#include "Models/TranscriptionContext.h"
#include "Models/TranscriptionResult.h"
#include "Models/VantroseSettings.h"

#include <QCoro/QCoroTask>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class StatusPublisher;
class AbstractContextEngine;
class AbstractScreenCaptureEngine;
class TextFormatterProtocol;

// What the parts of the pipeline share and need no pipeline for: the clock, number formats of the
// log lines, the request bodies, the text touch-ups, the record's common fields and the background
// tasks.
namespace PipelineSupport {

// Monotonic time of the process clock, and the milliseconds since an earlier reading (the unit
// the measured times are recorded in).
inline Clock::TimePoint now() { return Clock::current().monotonicNow(); }
inline double msSince(Clock::TimePoint start) { return Clock::current().millisecondsSince(start); }

inline QString ms0(double value) { return QString::number(value, 'f', 0); }
inline QString seconds1(double value) { return QString::number(value, 'f', 1); }
inline QString optMs0(const std::optional<double>& value) { return ms0(value.value_or(0)); }

// The context object the streaming commit carries.
QJsonObject commitContextJson(const std::optional<TranscriptionContext>& context);
// The context object the cloud batch request carries.
QJsonObject batchContextJson(const TranscriptionContext& context);

// What a formatter sees of the field; a placeholder's text is not the user's.
AppContext formattingContext(const std::optional<TranscriptionContext>& context, bool detectedPlaceholder);

// Leading space, casing and trailing punctuation fitted to the text around the cursor.
QString postProcess(const QString& text, const std::optional<TranscriptionContext>& context);

// After a paste that did not reach the field by itself: the pill says where the text is, and
// the log says why.
void showPasteNotice(StatusPublisher& publisher, const QString& notice, std::chrono::milliseconds shownFor);

DictationPersistenceMetrics persistenceBase(const QString& traceID, const QString& sessionID,
                                            const std::optional<TranscriptionContext>& context,
                                            const PasteOutcome& paste);
void fillAppFields(TranscriptionResult::Fields& f, const std::optional<TranscriptionContext>& context,
                   bool keepScreenshot);

// Background producers of a dictation's pending values. Free coroutines, so nothing they use
// lives in a temporary closure.
// Each settles its value whatever happens: a producer that throws gives "no result", so the road
// waiting for it goes on instead of waiting for ever.
QCoro::Task<> gatherContext(AbstractContextEngine* engine, VantroseSettings settings, AbstractPipelineHistory* history,
                            std::shared_ptr<PendingValue<TranscriptionContext>> pending);
QCoro::Task<> pingServer(PipelineServices* services, QString url,
                         std::shared_ptr<PendingValue<std::optional<double>>> pending);
QCoro::Task<> probeFormatter(std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> probe,
                             VantroseSettings settings,
                             std::shared_ptr<PendingValue<std::shared_ptr<TextFormatterProtocol>>> pending);
QCoro::Task<> captureScreen(std::unique_ptr<AbstractScreenCaptureEngine> engine, QString bundleId,
                            std::shared_ptr<PendingValue<std::optional<ScreenCaptureResult>>> pending);

// The value of a background task, waited for at most `deadline` on the process clock: nothing
// when the task failed, was cancelled or is still busy by then (it is given up, so a late answer
// is dropped).
template <typename T>
QCoro::Task<std::optional<T>> valueWithin(std::shared_ptr<PendingValue<T>> pending, std::chrono::milliseconds deadline,
                                          QString what) {
    if (!pending->isSettled()) {
        std::weak_ptr<PendingValue<T>> weak = pending;
        Clock::current().callAfter(deadline, [weak, deadline, what = std::move(what)] {
            const auto late = weak.lock();
            if (!late || late->isSettled()) return;
            VLOG_WARNING(lcPipeline) << what + QStringLiteral(" gave no answer within ") +
                                            seconds1(toSeconds(deadline)) + QStringLiteral("s — going on without it");
            late->cancel();
        });
    }
    T value = co_await pending->value();
    if (pending->isCancelled()) co_return std::nullopt;
    co_return std::optional<T>(std::move(value));
}

}  // namespace PipelineSupport
