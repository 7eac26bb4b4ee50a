#include "Assembly/PipelineAssembly.h"

#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Core/Formatting/CloudLLMFormatter.h"
#include "Core/Pipeline/PipelineAdapters.h"
#include "Foundation/UserDefaults.h"
#include "support/AwaitTask.h"
#include "support/LoopbackVendorServer.h"
#include "support/text/ClosedLoopbackURL.h"

#include <QJsonObject>

#include <gtest/gtest.h>

// The assembled pipeline runs on the real engines, each set up from the settings, and starts
// nothing until its set-up.
TEST(PipelineAssemblyTest, BuildsTheRealCollaboratorsFromTheSettings) {
    UserDefaults::shared().setValue("cloudServerURL", QStringLiteral("http://127.0.0.1:8124"));
    VantroseSettings settings;
    settings.language = QStringLiteral("en-GB");

    DictationPipeline::Collaborators c = makeDesktopPipelineCollaborators(settings);
    ASSERT_TRUE(c.audio && c.keyboardMonitor && c.textInserter && c.contextReader && c.appDetector && c.recognizer &&
                c.batchRecognizer && c.formatter && c.streamingLink && c.history && c.services);
    ASSERT_TRUE(c.makeContextEngine && c.makeScreenCaptureEngine && c.probeCloudFormatter);

    auto* live = dynamic_cast<ASRPipelineLiveRecognizer*>(c.recognizer.get());
    ASSERT_TRUE(live);
    const auto onDevice = std::dynamic_pointer_cast<PocketSphinxASR>(live->engine());
    ASSERT_TRUE(onDevice);
    EXPECT_EQ(onDevice->localeIdentifier(), "en-GB");
    // The program sits idle without the on-device model: it loads at the first dictation.
    EXPECT_EQ(onDevice->loadedDecoders(), 0);

    auto* link = dynamic_cast<TransportPipelineStreamingLink*>(c.streamingLink.get());
    ASSERT_TRUE(link);
    EXPECT_EQ(link->transport().serverURL(), "http://127.0.0.1:8124");
    EXPECT_EQ(link->state(), AbstractStreamingLink::State::disconnected);
    EXPECT_FALSE(c.batchRecognizer->hasCloudRecognizer());  // built by the set-up

    DictationPipeline pipeline(settings, std::move(c));
    EXPECT_EQ(pipeline.status(), DictationStatus::idle);
}

// The availability probe asks the server the formatting requests go to: the account's server
// when one is set, else the settings' server. The formatter it gives formats there.
TEST(PipelineAssemblyTest, TheFormatterIsProbedWhereItsRequestsGo) {
    LoopbackVendorServer server;
    ASSERT_TRUE(server.start());
    server.setLLMProviders(QJsonObject{{"loopback", true}});
    for (const bool accountServerSet : {true, false}) {
        SCOPED_TRACE(accountServerSet);
        server.clearRequests();
        VantroseSettings settings;
        if (accountServerSet) {
            UserDefaults::shared().setValue("cloudServerURL", server.baseUrl());
            settings.cloudServerURL = closedLoopbackURL();
        } else {
            UserDefaults::shared().remove("cloudServerURL");
            settings.cloudServerURL = server.baseUrl();
        }
        DictationPipeline::Collaborators c = makeDesktopPipelineCollaborators(settings);
        const std::shared_ptr<TextFormatterProtocol> formatter = AwaitTask::run(c.probeCloudFormatter(settings));
        ASSERT_TRUE(formatter) << "the probe asked another server";
        EXPECT_EQ(server.requestCount(server.paths().health), 1);
        const auto* cloud = dynamic_cast<const CloudLLMFormatter*>(formatter.get());
        ASSERT_TRUE(cloud);
        EXPECT_EQ(cloud->serverURL(), server.baseUrl());
    }
    UserDefaults::shared().remove("cloudServerURL");
}
