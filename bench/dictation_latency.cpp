// Key-up to paste call with the real recognisers, for a spoken sentence of about five seconds
// that reaches the pipeline at the microphone's pace:
//   OnDevice:  PocketSphinx gives live text while the key is held; at key-up the batch road
//              recognises the recording on the same recogniser (no cloud tier). Goal: p50 under
//              200 ms.
//   OnDeviceCold: the same with the decoder let go before every press, as the program does after
//              it has sat idle: the model loads while the user speaks. Goal: p50 under 200 ms.
//   RecordThenDecode: the reference - the way other Linux dictation tools work: nothing is
//              recognised while the key is held; at key-up the same recording is decoded in one
//              batch by the same recogniser.
//   Streaming: the real WebSocket transport against a loopback server that answers each commit
//              at once. Goal: under 30 ms.
//   LocalService: the same transport against the local service, whose own recogniser hears the
//              stream. Goal: p50 under 50 ms.
// The clock stops when the paster is called.
// The keyboard, paster, context, formatter, history and services are the test fakes.
// Counters: p50_ms / p90_ms / max_ms over the timed dictations; wer of the last pasted text.
// Run: bench_dictation_latency (needs flite and sox; each dictation takes its real five seconds).
#include "SignedInService.h"

#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "Core/Pipeline/PipelineAdapters.h"
#include "support/FakeAppDetector.h"
#include "support/FakeContextEngine.h"
#include "support/FakeContextReader.h"
#include "support/FakeKeyboardMonitor.h"
#include "support/FakeTextInserter.h"
#include "support/LoopbackStreamingServer.h"
#include "support/LoopbackVendorServer.h"
#include "support/Pipeline/PipelineFakes.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

using SteadyClock = std::chrono::steady_clock;

const QString kSentence = QStringLiteral(
    "please send the report to the team before the meeting tomorrow and bring the slides for the review");
constexpr std::size_t kChunkSamples = 640;  // 40 ms at 16 kHz, as the capture delivers them
constexpr int kTimedDictations = 8;

const std::vector<float>& recording() {
    static const std::vector<float> audio = [] {
        std::vector<float> speech = SpeechFixture::speak(kSentence);
        if (speech.empty()) return speech;
        std::vector<float> a = SpeechFixture::silence(0.3);
        a.insert(a.end(), speech.begin(), speech.end());
        a.resize(a.size() + 3200, 0.0f);
        a.resize(a.size() / kChunkSamples * kChunkSamples);
        return a;
    }();
    return audio;
}

// A microphone that plays a recording in capture-sized chunks, paced like the real one, from a
// thread of its own.
class SpeechSource final : public AbstractAudioSource {
public:
    ~SpeechSource() override { join(); }

    void setChunkHandler(ChunkHandler handler) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_handler = std::move(handler);
    }
    void startRecording() override { m_recording = true; }
    void stopRecording() override { m_recording = false; }
    void prewarm() override {}
    std::vector<float> currentFrequencyBands() const override { return std::vector<float>(10, 0.0f); }
    void setSelectedDeviceUID(const std::optional<QString>&) override {}
    std::vector<AudioDeviceInfo> listInputDevices() const override { return {}; }

    // Starts playing; returns at once.
    void play(const std::vector<float>& samples) {
        join();
        m_done = false;
        m_thread = std::thread([this, &samples] {
            const auto start = SteadyClock::now();
            for (std::size_t i = 0; i + kChunkSamples <= samples.size() && m_recording; i += kChunkSamples) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * (i / kChunkSamples)));
                ChunkHandler handler;
                {
                    std::lock_guard<std::mutex> lock(m_lock);
                    handler = m_handler;
                }
                if (handler && m_recording)
                    handler(AudioChunk(samples.begin() + long(i), samples.begin() + long(i + kChunkSamples)));
            }
            m_done = true;
        });
    }
    bool done() const { return m_done; }
    void join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    std::mutex m_lock;
    ChunkHandler m_handler;
    std::atomic<bool> m_recording{false};
    std::atomic<bool> m_done{true};
    std::thread m_thread;
};

// Runs the event loop without pausing until `condition` holds; false at the deadline.
bool spinUntil(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    while (!condition()) {
        if (SteadyClock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return true;
}

// A pipeline on the real on-device recogniser and the given streaming link; fakes elsewhere.
struct RealRecognizerPipeline {
    std::shared_ptr<PocketSphinxASR> onDevice;
    SpeechSource* audio = nullptr;
    FakeTextInserter* inserter = nullptr;
    std::unique_ptr<DictationPipeline> pipeline;

    // `liveRecognition` false: the recogniser hears nothing until key-up (record, then decode).
    // Without an engine of its own the pipeline's recogniser loads its model at once and keeps it.
    explicit RealRecognizerPipeline(std::unique_ptr<AbstractStreamingLink> link, bool liveRecognition = true,
                                    std::shared_ptr<PocketSphinxASR> engine = nullptr)
        : onDevice(engine ? std::move(engine) : std::make_shared<PocketSphinxASR>()) {
        onDevice->waitUntilIdle();  // a resident model is loaded before the first dictation
        DictationPipeline::Collaborators c;
        auto a = std::make_unique<SpeechSource>();
        audio = a.get();
        c.audio = std::move(a);
        c.keyboardMonitor = std::make_unique<FakeKeyboardMonitor>();
        auto i = std::make_unique<FakeTextInserter>();
        inserter = i.get();
        c.textInserter = std::move(i);
        c.contextReader = std::make_unique<FakeContextReader>();
        c.appDetector = std::make_unique<FakeAppDetector>();
        if (liveRecognition) {
            c.recognizer = std::make_unique<ASRPipelineLiveRecognizer>(onDevice);
        } else {
            auto none = std::make_unique<FakeLiveRecognizer>();
            none->streaming = false;
            c.recognizer = std::move(none);
        }
        // No cloud tier and no fall-back recogniser: the device alone recognises the recording.
        c.batchRecognizer =
            std::make_unique<RetryPipelineBatchRecognizer>(onDevice, RetryPipelineBatchRecognizer::Factories{});
        c.formatter = std::make_shared<FakeFormatter>();
        c.streamingLink = std::move(link);
        c.history = std::make_unique<FakePipelineHistory>();
        c.services = std::make_unique<RecordingPipelineServices>();
        c.makeContextEngine = [](AbstractAppDetector&, AbstractContextReader&) {
            return std::make_unique<FakeContextEngine>();
        };
        pipeline = std::make_unique<DictationPipeline>(VantroseSettings(), std::move(c));
        QCoro::waitFor(pipeline->setup());
    }

    // One dictation of `speech`; the milliseconds from key-up to the paste call, or a negative
    // value when no paste came.
    double dictate(const std::vector<float>& speech) {
        pipeline->startDictation();
        if (pipeline->status() != DictationStatus::listening) return -1;
        audio->play(speech);
        if (!waitUntil([&] { return audio->done(); }, std::chrono::seconds(30))) return -1;
        audio->join();
        const auto pastesBefore = inserter->calls.size();
        const auto keyUp = SteadyClock::now();
        pipeline->stopDictation();
        if (!spinUntil([&] { return inserter->calls.size() > pastesBefore; }, std::chrono::seconds(20))) return -1;
        const double ms = std::chrono::duration<double, std::milli>(inserter->calls.last().at - keyUp).count();
        if (!waitUntil([&] { return pipeline->status() == DictationStatus::idle; }, std::chrono::seconds(10)))
            return -1;
        return ms;
    }

    QString lastPaste() const { return inserter->calls.isEmpty() ? QString() : inserter->calls.last().text; }
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(std::lround(p * double(values.size() - 1)));
    return values[std::min(index, values.size() - 1)];
}

// Times the dictations: one untimed first run, then one per benchmark iteration.
void runDictations(benchmark::State& state, RealRecognizerPipeline& r) {
    const std::vector<float>& speech = recording();
    if (r.dictate(speech) < 0) return state.SkipWithError("the first dictation pasted nothing");
    std::vector<double> latencies;
    for (auto _ : state) {
        const double ms = r.dictate(speech);
        if (ms < 0) {
            state.SkipWithError("a dictation pasted nothing");
            break;
        }
        latencies.push_back(ms);
        state.SetIterationTime(ms / 1000.0);
    }
    if (latencies.empty()) return;
    state.counters["audio_s"] = double(speech.size()) / 16000.0;
    state.counters["p50_ms"] = percentile(latencies, 0.5);
    state.counters["p90_ms"] = percentile(latencies, 0.9);
    state.counters["max_ms"] = *std::max_element(latencies.begin(), latencies.end());
    state.counters["wer"] = SpeechFixture::wordErrorRate(kSentence, r.lastPaste());
}

void BM_OnDeviceKeyUpToPaste(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    auto link = std::make_unique<FakeStreamingLink>();  // no server: every dictation takes the batch road
    RealRecognizerPipeline r(std::move(link));
    runDictations(state, r);
}
BENCHMARK(BM_OnDeviceKeyUpToPaste)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kTimedDictations);

void BM_OnDeviceColdKeyUpToPaste(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    // Released as soon as each dictation has ended (the check runs while the dictation settles
    // back to idle): every press finds no decoder.
    auto engine = std::make_shared<PocketSphinxASR>(QLocale(QLocale::English, QLocale::UnitedStates),
                                                    PocketSphinxASR::OnDemand{std::chrono::milliseconds(0)});
    RealRecognizerPipeline r(std::make_unique<FakeStreamingLink>(), /*liveRecognition=*/true, engine);
    runDictations(state, r);
}
BENCHMARK(BM_OnDeviceColdKeyUpToPaste)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kTimedDictations);

void BM_RecordThenDecodeKeyUpToPaste(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    RealRecognizerPipeline r(std::make_unique<FakeStreamingLink>(), /*liveRecognition=*/false);
    runDictations(state, r);
}
BENCHMARK(BM_RecordThenDecodeKeyUpToPaste)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kTimedDictations);

void BM_StreamingKeyUpToPaste(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    LoopbackVendorServer http;
    if (!http.start()) return state.SkipWithError("the loopback server did not start");
    LoopbackStreamingServer server(http);
    const QString formatted = kSentence.left(1).toUpper() + kSentence.mid(1) + QLatin1Char('.');
    server.setDefaultCommitReply(LoopbackStreamingServer::CommitReply::result(kSentence, formatted));

    StreamingTransport::Credentials credentials;
    credentials.deviceID = [] { return QStringLiteral("bench-device"); };
    credentials.accessToken = [] { return std::optional<QString>(); };
    auto link = std::make_unique<TransportPipelineStreamingLink>(
        std::make_unique<StreamingTransport>(http.baseUrl(), StreamingTransport::Tuning{}, credentials));
    AbstractStreamingLink* linkView = link.get();
    RealRecognizerPipeline r(std::move(link));
    if (!waitUntil([&] { return linkView->state() == AbstractStreamingLink::State::connected; }))
        return state.SkipWithError("the streaming connection did not open");
    runDictations(state, r);
    if (server.commitCount() < kTimedDictations + 1) state.SkipWithError("a dictation left the streaming road");
}
BENCHMARK(BM_StreamingKeyUpToPaste)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kTimedDictations);

// The same over the local service: its real recogniser hears the stream and formats by rule.
void BM_LocalServiceKeyUpToPaste(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    SignedInService service;
    if (!service.start()) return state.SkipWithError("the local service did not start or sign in");
    StreamingTransport::Credentials credentials;
    credentials.deviceID = [] { return QStringLiteral("bench-device"); };
    credentials.accessToken = [token = service.accessToken] { return std::optional<QString>(token); };
    auto link = std::make_unique<TransportPipelineStreamingLink>(
        std::make_unique<StreamingTransport>(service.service->baseUrl(), StreamingTransport::Tuning{}, credentials));
    AbstractStreamingLink* linkView = link.get();
    RealRecognizerPipeline r(std::move(link));
    if (!waitUntil([&] { return linkView->state() == AbstractStreamingLink::State::connected; }))
        return state.SkipWithError("the streaming connection did not open");
    runDictations(state, r);
}
BENCHMARK(BM_LocalServiceKeyUpToPaste)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(kTimedDictations);

}  // namespace
