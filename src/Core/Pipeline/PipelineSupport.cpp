#include "Core/Pipeline/PipelineSupport.h"

#include "Core/Desktop/AbstractContextEngine.h"
#include "Core/Desktop/AbstractScreenCaptureEngine.h"
#include "Core/Formatting/TextPostProcessor.h"
#include "Core/LogCategories.h"
#include "Core/Pipeline/StatusPublisher.h"
#include "Models/RawValue.h"

#include <QJsonArray>

namespace PipelineSupport {

namespace {

QJsonArray toJsonArray(const QStringList& list) { return QJsonArray::fromStringList(list); }

QJsonObject textboxJson(const TranscriptionContext& context) {
    return QJsonObject{
        {QStringLiteral("before_text"), context.textboxContents.beforeText},
        {QStringLiteral("after_text"), context.textboxContents.afterText},
        {QStringLiteral("selected_text"), context.textboxContents.selectedText},
    };
}

}  // namespace

QJsonObject commitContextJson(const std::optional<TranscriptionContext>& context) {
    if (!context) return {};
    return QJsonObject{
        {QStringLiteral("app"), QJsonObject{{QStringLiteral("name"), context->app.name},
                                            {QStringLiteral("bundleId"), context->app.bundleId},
                                            {QStringLiteral("type"), rawValue(context->app.type)}}},
        {QStringLiteral("textbox"), textboxJson(*context)},
        {QStringLiteral("dictionary"), toJsonArray(context->dictionaryContext)},
    };
}

QJsonObject batchContextJson(const TranscriptionContext& context) {
    return QJsonObject{
        {QStringLiteral("app"), QJsonObject{{QStringLiteral("name"), context.app.name},
                                            {QStringLiteral("bundleId"), context.app.bundleId},
                                            {QStringLiteral("type"), rawValue(context.app.type)},
                                            {QStringLiteral("url"), context.app.url.value_or(QString())}}},
        {QStringLiteral("textbox"), textboxJson(context)},
        {QStringLiteral("ax_context"), toJsonArray(context.axContext)},
        {QStringLiteral("ocr_context"), toJsonArray(context.ocrContext)},
        {QStringLiteral("dictionary"), toJsonArray(context.dictionaryContext)},
        {QStringLiteral("variable_names"), toJsonArray(context.variableNames)},
        {QStringLiteral("file_names"), toJsonArray(context.fileNames)},
        {QStringLiteral("prev_asr_text"), context.prevASRText},
        {QStringLiteral("prev_llm_text"), context.prevLLMText},
        {QStringLiteral("user_first_name"), context.userFirstName},
        {QStringLiteral("user_last_name"), context.userLastName},
    };
}

AppContext formattingContext(const std::optional<TranscriptionContext>& context, bool detectedPlaceholder) {
    const bool useBox = context && !detectedPlaceholder;
    return AppContext(
        context ? context->app.name : QString(), context ? context->app.bundleId : QString(),
        context ? context->app.url : std::nullopt, useBox ? context->textboxContents.beforeText : QString(),
        useBox ? context->textboxContents.afterText : QString(),
        useBox ? context->textboxContents.selectedText : QString(),
        context ? context->textboxContents.isEditable : true, context ? context->ocrContext : QStringList());
}

QString postProcess(const QString& text, const std::optional<TranscriptionContext>& context) {
    if (text.isEmpty()) return text;
    const QString before = context ? context->textboxContents.beforeText : QString();
    const QString selected = context ? context->textboxContents.selectedText : QString();
    const AppType type = context ? context->app.type : AppType(AppType::general);
    // Casing first: it decides by the text's first letter, which the leading space would hide.
    QString out = TextPostProcessor::adjustCasing(text, before, type);
    out = TextPostProcessor::adjustLeadingSpace(out, before, selected);
    return TextPostProcessor::adjustTrailingPunctuation(out, type);
}

DictationPersistenceMetrics persistenceBase(const QString& traceID, const QString& sessionID,
                                            const std::optional<TranscriptionContext>& context,
                                            const PasteOutcome& paste) {
    DictationPersistenceMetrics p;
    p.traceID = traceID;
    p.sessionID = sessionID;
    p.transcriptCommand = QStringLiteral("dictation");
    p.hasAXText = context && !context->axContext.isEmpty();
    p.hasScreenshot = context && context->screenshot.has_value();
    p.pasteSuccess = paste.success;
    p.pasteTimeMs = paste.totalTimeMs;
    p.focusedControlChanged = paste.focusedControlChanged;
    p.hasPrivilegeIssues = paste.hasPrivilegeIssues;
    p.contextTokenCount = context ? context->axContext.size() + context->ocrContext.size() : 0;
    p.fieldType = context ? rawValue(context->app.type) : QStringLiteral("unknown");
    return p;
}

void fillAppFields(TranscriptionResult::Fields& f, const std::optional<TranscriptionContext>& context,
                   bool keepScreenshot) {
    if (!context) {
        f.appType = QStringLiteral("general");
        return;
    }
    f.appName = context->app.name;
    f.appBundleId = context->app.bundleId;
    f.appURL = context->app.url;
    f.appType = rawValue(context->app.type);
    f.ocrContext = context->ocrContext;
    if (keepScreenshot) f.screenshotData = context->screenshot;
}

QCoro::Task<> gatherContext(AbstractContextEngine* engine, VantroseSettings settings, AbstractPipelineHistory* history,
                            std::shared_ptr<PendingValue<TranscriptionContext>> pending) {
    try {
        const TranscriptionContext context = co_await engine->buildTranscriptionContext(std::move(settings), *history);
        pending->resolve(context);
    } catch (...) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Context gathering failed — ") +
                                        describeFailure(std::current_exception());
        pending->cancel();
    }
}

QCoro::Task<> pingServer(PipelineServices* services, QString url,
                         std::shared_ptr<PendingValue<std::optional<double>>> pending) {
    try {
        const std::optional<double> value = co_await services->pingServer(std::move(url));
        pending->resolve(value);
    } catch (...) {
        pending->cancel();
    }
}

QCoro::Task<> probeFormatter(std::function<QCoro::Task<std::shared_ptr<TextFormatterProtocol>>(VantroseSettings)> probe,
                             VantroseSettings settings,
                             std::shared_ptr<PendingValue<std::shared_ptr<TextFormatterProtocol>>> pending) {
    try {
        std::shared_ptr<TextFormatterProtocol> formatter = co_await probe(std::move(settings));
        pending->resolve(std::move(formatter));
    } catch (...) {
        pending->cancel();
    }
}

QCoro::Task<> captureScreen(std::unique_ptr<AbstractScreenCaptureEngine> engine, QString bundleId,
                            std::shared_ptr<PendingValue<std::optional<ScreenCaptureResult>>> pending) {
    try {
        const ScreenCaptureResult result = co_await engine->captureAndExtract(std::move(bundleId));
        pending->resolve(std::optional<ScreenCaptureResult>(result));
    } catch (...) {
        VLOG_WARNING(lcPipeline) << QStringLiteral("Screen text failed — ") + describeFailure(std::current_exception());
        pending->cancel();
    }
}

void showPasteNotice(StatusPublisher& publisher, const QString& notice, std::chrono::milliseconds shownFor) {
    VLOG_WARNING(lcPipeline) << "Not pasted — " << notice;
    publisher.showNotice(notice, shownFor);
}

}  // namespace PipelineSupport
