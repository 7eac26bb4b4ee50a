#include "support/Pipeline/PipelineHarness.h"

#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>

PipelineHarness::PipelineHarness(VantroseSettings settings) : PipelineHarness(std::move(settings), Options()) {}

PipelineHarness::PipelineHarness(VantroseSettings settings, Options options) {
    Clock::setCurrent(&clock);
    DictationPipeline::Collaborators c;
    auto a = std::make_unique<FakePipelineAudio>();
    audio = a.get();
    c.audio = std::move(a);
    auto k = std::make_unique<FakeKeyboardMonitor>();
    keyboard = k.get();
    c.keyboardMonitor = std::move(k);
    auto i = std::make_unique<FakeTextInserter>();
    inserter = i.get();
    c.textInserter = std::move(i);
    auto r = std::make_unique<FakeContextReader>();
    reader = r.get();
    c.contextReader = std::move(r);
    auto d = std::make_unique<FakeAppDetector>();
    detector = d.get();
    c.appDetector = std::move(d);
    auto rec = std::make_unique<FakeLiveRecognizer>();
    recognizer = rec.get();
    c.recognizer = std::move(rec);
    if (options.makeBatchRecognizer) {
        c.batchRecognizer = options.makeBatchRecognizer();
    } else {
        auto b = std::make_unique<FakeBatchRecognizer>();
        batch = b.get();
        c.batchRecognizer = std::move(b);
    }
    auto f = std::make_shared<FakeFormatter>();
    formatter = f.get();
    c.formatter = f;
    if (options.makeStreamingLink) {
        c.streamingLink = options.makeStreamingLink();
    } else {
        auto l = std::make_unique<FakeStreamingLink>();
        link = l.get();
        c.streamingLink = std::move(l);
    }
    if (options.makeHistory) {
        c.history = options.makeHistory();
    } else {
        auto h = std::make_unique<FakePipelineHistory>();
        history = h.get();
        c.history = std::move(h);
    }
    auto s = std::make_unique<RecordingPipelineServices>();
    services = s.get();
    c.services = std::move(s);
    c.settingsHooks = std::move(options.settingsHooks);
    if (options.probeCloudFormatter) {
        c.probeCloudFormatter = [probe = std::move(options.probeCloudFormatter)](
                                    VantroseSettings) -> QCoro::Task<std::shared_ptr<TextFormatterProtocol>> {
            co_return probe();
        };
    }
    if (options.withContextEngine) {
        c.makeContextEngine = [this](AbstractAppDetector&, AbstractContextReader&) {
            auto engine = std::make_unique<FakeContextEngine>();
            contextEngine = engine.get();
            return engine;
        };
    }
    c.makeScreenCaptureEngine = FakeScreenCaptureEngine::factory(screen);
    pipeline = std::make_unique<DictationPipeline>(std::move(settings), std::move(c));
}

PipelineHarness::~PipelineHarness() {
    pipeline.reset();
    Clock::setCurrent(nullptr);
}

void PipelineHarness::setUp() { QCoro::waitFor(pipeline->setup()); }

void PipelineHarness::record(int chunks) {
    pipeline->startDictation();
    audio->feed(chunks);
}

bool PipelineHarness::waitForStatus(DictationStatus status) {
    return waitUntil([&] { return pipeline->status() == status; });
}

bool PipelineHarness::dictate(int chunks) {
    record(chunks);
    pipeline->stopDictation();
    return waitUntil([&] { return pipeline->status() == DictationStatus::idle; });
}
