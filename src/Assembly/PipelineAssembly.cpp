#include "Assembly/PipelineAssembly.h"

#include "Assembly/DesktopPipelineAdapters.h"
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Core/Formatting/AdaptiveFormatter.h"
#include "Core/Formatting/CloudLLMFormatter.h"
#include "Core/Pipeline/PipelineAdapters.h"
#include "Core/Services/ContextEngine.h"
#include "Foundation/UserDefaults.h"
#include "Platform/AppDetector.h"
#include "Platform/BrowserAddressLookup.h"
#include "Platform/ContextReader.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/ScreenCaptureEngine.h"
#include "Platform/TextInserter.h"
#include "Storage/HistoryStore.h"

#include <QLocale>

namespace {

QCoro::Task<std::shared_ptr<TextFormatterProtocol>> probeCloudFormatter(VantroseSettings settings) {
    // Asked where its requests will go: the probe answers for that server, not another.
    auto formatter = std::make_shared<CloudLLMFormatter>(cloudFormatterServerURL(settings));
    const bool available = co_await formatter->isAvailable();
    if (!available) co_return std::shared_ptr<TextFormatterProtocol>();
    co_return std::shared_ptr<TextFormatterProtocol>(formatter);
}

}  // namespace

QString cloudFormatterServerURL(const VantroseSettings& settings) {
    const QString account = UserDefaults::shared().string(QStringLiteral("cloudServerURL"));
    return account.isEmpty() ? settings.cloudServerURL : account;
}

DictationPipeline::Collaborators makeDesktopPipelineCollaborators(const VantroseSettings& settings) {
    return makeDesktopPipelineCollaborators(settings, std::make_unique<HistoryStorePipelineHistory>());
}

DictationPipeline::Collaborators makeDesktopPipelineCollaborators(const VantroseSettings& settings,
                                                                  std::unique_ptr<AbstractPipelineHistory> history) {
    DictationPipeline::Collaborators c;
    c.audio = std::make_unique<AudioEnginePipelineSource>();
    c.keyboardMonitor = std::make_unique<KeyboardMonitor>();
    c.textInserter = std::make_unique<TextInserter>();
    auto appDetector = std::make_unique<AppDetector>();
    c.contextReader = std::make_unique<ContextReader>(appDetector.get());
    c.appDetector = std::move(appDetector);

    // The decoder (about 80 MB) loads at the first press that needs it and goes after five idle
    // minutes: the program that sits in the tray does not carry it. The press starts the stream
    // before any chunk arrives and chunks wait in the engine's queue while it loads, so no word is
    // lost; the load runs while the user speaks.
    auto onDevice = std::make_shared<PocketSphinxASR>(QLocale(settings.language),
                                                      PocketSphinxASR::OnDemand{std::chrono::minutes(5)});
    c.recognizer = std::make_unique<ASRPipelineLiveRecognizer>(onDevice);
    c.batchRecognizer = std::make_unique<RetryPipelineBatchRecognizer>(onDevice);
    c.formatter = std::make_shared<AdaptiveFormatter>(settings.ollamaEndpoint, settings.ollamaModel);
    c.streamingLink =
        std::make_unique<TransportPipelineStreamingLink>(std::make_unique<StreamingTransport>(streamingServerURL()));
    c.history = std::move(history);

    c.services = std::make_unique<EvaluatingPipelineServices>();
    c.makeContextEngine = [](AbstractAppDetector& detector,
                             AbstractContextReader& reader) -> std::unique_ptr<AbstractContextEngine> {
        auto engine = std::make_unique<ContextEngine>(detector, reader);
        // Browsers: the address shown at the moment of dictation, read off the main thread.
        engine->setAddressLookup(&BrowserAddressLookup::lookupForApp);
        return engine;
    };
    c.makeScreenCaptureEngine = []() -> std::unique_ptr<AbstractScreenCaptureEngine> {
        return std::make_unique<ScreenCaptureEngine>();
    };
    c.probeCloudFormatter = &probeCloudFormatter;
    return c;
}

std::unique_ptr<DictationPipeline> assembleDictationPipeline(VantroseSettings settings, QObject* parent) {
    return assembleDictation(std::move(settings), parent).pipeline;
}

AssembledDictation assembleDictation(VantroseSettings settings, QObject* parent) {
    auto history = std::make_unique<HistoryStorePipelineHistory>();
    HistoryStore* store = &history->store();
    DictationPipeline::Collaborators collaborators = makeDesktopPipelineCollaborators(settings, std::move(history));
    return {std::make_unique<DictationPipeline>(std::move(settings), std::move(collaborators), parent), store};
}
