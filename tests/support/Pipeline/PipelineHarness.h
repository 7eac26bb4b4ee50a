#pragma once

#include "Assembly/DesktopPipelineAdapters.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "Foundation/Clock.h"
#include "support/FakeAppDetector.h"
#include "support/FakeContextEngine.h"
#include "support/FakeContextReader.h"
#include "support/FakeKeyboardMonitor.h"
#include "support/FakeScreenCaptureEngine.h"
#include "support/FakeTextInserter.h"
#include "support/Pipeline/PipelineFakes.h"

#include <memory>

// One pipeline over fakes, on a ManualClock, with pointers to every fake it owns.
struct PipelineHarness {
    struct Options {
        bool withContextEngine = true;
        // Set-up (and a dictation after the server's formatter failed) asks for the server's
        // formatter and gets what this gives (null: unavailable); none: nothing is asked.
        std::function<std::shared_ptr<TextFormatterProtocol>()> probeCloudFormatter;
        std::function<std::unique_ptr<AbstractPipelineHistory>()> makeHistory;  // none: a FakePipelineHistory
        // none: a FakeBatchRecognizer (`batch` is null when this gave another one)
        std::function<std::unique_ptr<AbstractBatchRecognizer>()> makeBatchRecognizer;
        SettingsStore::Hooks settingsHooks;  // none: the signed-in account's server
        // none: a FakeStreamingLink (`link` is null when this gave another one)
        std::function<std::unique_ptr<AbstractStreamingLink>()> makeStreamingLink;
    };
    explicit PipelineHarness(VantroseSettings settings = VantroseSettings());
    PipelineHarness(VantroseSettings settings, Options options);
    ~PipelineHarness();

    // The process clock while the harness lives: every wait, deadline and delayed call of the
    // pipeline runs when clock.advance() reaches it.
    ManualClock clock;
    FakePipelineAudio* audio = nullptr;
    FakeKeyboardMonitor* keyboard = nullptr;
    FakeTextInserter* inserter = nullptr;
    FakeContextReader* reader = nullptr;
    FakeAppDetector* detector = nullptr;
    FakeLiveRecognizer* recognizer = nullptr;
    FakeBatchRecognizer* batch = nullptr;  // null when Options::makeBatchRecognizer gave another one
    FakeFormatter* formatter = nullptr;
    FakeStreamingLink* link = nullptr;       // null when Options::makeStreamingLink gave another link
    FakePipelineHistory* history = nullptr;  // null when Options::makeHistory gave another store
    RecordingPipelineServices* services = nullptr;
    FakeContextEngine* contextEngine = nullptr;  // built by setup()
    std::shared_ptr<FakeScreenCaptureEngine::Script> screen = std::make_shared<FakeScreenCaptureEngine::Script>();
    std::unique_ptr<DictationPipeline> pipeline;

    void setUp();
    // Starts a dictation and feeds `chunks` chunks of speech.
    void record(int chunks);
    // Waits until the status is `status` (events processed meanwhile).
    bool waitForStatus(DictationStatus status);
    // The whole dictation on the batch road: record, stop, wait until idle again.
    bool dictate(int chunks = 25);
};
