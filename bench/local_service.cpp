// The local service under load, on its real recogniser:
//   EightStreams: eight streaming dictations of the same five-second sentence at once, each paced
//                 like a microphone, committed together. Goal: no word lost — every stream's text
//                 is the text one stream alone gets. Counters: differing streams, worst word
//                 error rate, commit → result p50/max.
//   IdleMemory:   the service process, started as scripts/run.sh starts it, after a signed-in
//                 client connected its stream and stayed idle. Goal: under 120 MB resident.
//   MemoryAfterBurst: the same process a minute after eight streams dictated at once (their
//                 connections stay open and idle, as the program's do). Goal: under 120 MB
//                 resident: the recognisers give their decoders back when idle.
// Run: bench_local_service (needs flite and sox; each round takes the sentence's real length).
#include "SignedInService.h"

#include "Auth/AuthManager.h"
#include "Core/Cloud/StreamingTransport.h"
#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "support/ConsentBrowser.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const QString kSentence = QStringLiteral(
    "please send the report to the team before the meeting tomorrow and bring the slides for the review");
constexpr std::size_t kChunkSamples = 640;  // 40 ms at 16 kHz
constexpr int kStreams = 8;

const std::vector<float>& recording() {
    static const std::vector<float> audio = [] {
        std::vector<float> a = SpeechFixture::silence(0.3);
        std::vector<float> speech = SpeechFixture::speak(kSentence);
        if (speech.empty()) return speech;
        a.insert(a.end(), speech.begin(), speech.end());
        a.resize((a.size() + 3200) / kChunkSamples * kChunkSamples, 0.0f);
        return a;
    }();
    return audio;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(std::lround(p * double(values.size() - 1))))];
}

struct Stream {
    std::unique_ptr<StreamingTransport> transport;
    QString raw;
    bool done = false;
    SteadyClock::time_point committedAt;
    double commitToResultMs = 0;
};

// Streams the recording on every transport at once, paced at the microphone's 40 ms a chunk, and
// commits them together. False when a result is missing at the deadline.
bool streamTogether(std::vector<Stream>& streams) {
    const std::vector<float>& audio = recording();
    for (Stream& s : streams) {
        s.raw.clear();
        s.done = false;
        s.transport->beginNewSession();
    }
    std::size_t at = 0;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    QObject::connect(&pace, &QTimer::timeout, [&] {
        if (at >= audio.size()) return pace.stop();
        const std::vector<float> chunk(audio.begin() + long(at), audio.begin() + long(at + kChunkSamples));
        for (Stream& s : streams) s.transport->sendAudioChunk(chunk);
        at += kChunkSamples;
    });
    pace.start(40);
    if (!waitUntil([&] { return !pace.isActive(); }, 60s)) return false;
    for (Stream& s : streams) {
        s.committedAt = SteadyClock::now();
        s.transport->commit(QJsonObject{}, QStringLiteral("en"));
    }
    return waitUntil(
        [&] { return std::all_of(streams.begin(), streams.end(), [](const Stream& s) { return s.done; }); }, 20s);
}

std::vector<Stream> openStreams(const QString& base, const QString& accessToken, int count) {
    std::vector<Stream> streams(count);
    for (Stream& s : streams) {
        StreamingTransport::Credentials credentials{[] { return QStringLiteral("bench-device"); },
                                                    [accessToken]() -> std::optional<QString> { return accessToken; }};
        s.transport = std::make_unique<StreamingTransport>(base, StreamingTransport::Tuning{}, credentials);
        Stream* self = &s;
        s.transport->onFinalResult = [self](const QString& raw, const QString&, const QJsonObject&) {
            self->raw = raw;
            self->commitToResultMs =
                std::chrono::duration<double, std::milli>(SteadyClock::now() - self->committedAt).count();
            self->done = true;
        };
        s.transport->connect();
    }
    return streams;
}

bool allConnected(const std::vector<Stream>& streams) {
    return waitUntil(
        [&] {
            return std::all_of(streams.begin(), streams.end(), [](const Stream& s) {
                return s.transport->state() == StreamingTransport::State::connected;
            });
        },
        30s);
}

void BM_EightStreams(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    SignedInService service;
    if (!service.start(kStreams)) return state.SkipWithError("the service did not start or sign in");

    // What one stream alone gets from this audio: the reference for every concurrent one.
    std::vector<Stream> alone = openStreams(service.service->baseUrl(), service.accessToken, 1);
    if (!allConnected(alone) || !streamTogether(alone)) return state.SkipWithError("the single stream failed");
    const QString reference = alone.front().raw;
    const double referenceMs = alone.front().commitToResultMs;
    alone.clear();
    // Its recogniser back in the pool first: the eight take every recogniser the service has.
    if (!waitUntil([&] { return service.service->speech().openStreams() == 0; }, 30s))
        return state.SkipWithError("the single stream did not close");

    std::vector<Stream> streams = openStreams(service.service->baseUrl(), service.accessToken, kStreams);
    if (!allConnected(streams)) return state.SkipWithError("not every stream connected");
    int differing = 0;
    int missing = 0;
    double worstWer = 0;
    std::vector<double> latencies;
    for (auto _ : state) {
        const auto start = SteadyClock::now();
        // A result later than the transport's commit deadline counts as missing: the program
        // would send that dictation to the batch road.
        streamTogether(streams);
        state.SetIterationTime(std::chrono::duration<double>(SteadyClock::now() - start).count());
        for (const Stream& s : streams) {
            if (!s.done) {
                ++missing;
                continue;
            }
            if (s.raw != reference) ++differing;
            worstWer = std::max(worstWer, SpeechFixture::wordErrorRate(kSentence, s.raw));
            latencies.push_back(s.commitToResultMs);
        }
    }
    if (latencies.empty()) return state.SkipWithError("no stream's result came");
    state.counters["streams"] = kStreams;
    state.counters["differing_streams"] = differing;
    state.counters["missing_results"] = missing;
    state.counters["reference_commit_to_result_ms"] = referenceMs;
    state.counters["worst_wer"] = worstWer;
    state.counters["reference_wer"] = SpeechFixture::wordErrorRate(kSentence, reference);
    state.counters["commit_to_result_p50_ms"] = percentile(latencies, 0.5);
    state.counters["commit_to_result_max_ms"] = *std::max_element(latencies.begin(), latencies.end());
}
BENCHMARK(BM_EightStreams)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// A /proc/<pid>/status figure in MB ("VmRSS", "VmHWM").
double statusMegabytes(qint64 pid, const QByteArray& field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

double residentMegabytes(qint64 pid) { return statusMegabytes(pid, "VmRSS"); }

// The service as scripts/run.sh starts it, in a process of its own, with a signed-in client.
struct ServiceProcess {
    QTemporaryDir dataDir;
    QProcess process;
    QString base;
    SignedInService client;

    // An empty string when it started and signed in; otherwise what went wrong.
    QString start() {
        const QString portFile = dataDir.filePath("port");
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(
            QStringLiteral(VANTROSE_BINARY_DIR "/service/vantrose-service"),
            {"--port", "0", "--port-file", portFile, "--data-dir", dataDir.filePath("service"), "--ollama", ""});
        if (!process.waitForStarted(10000)) return QStringLiteral("the service did not start");
        QString port;
        waitUntil(
            [&] {
                QFile file(portFile);
                return file.open(QIODevice::ReadOnly) &&
                       !(port = QString::fromLatin1(file.readAll()).trimmed()).isEmpty();
            },
            20s);
        base = QStringLiteral("http://127.0.0.1:") + port;
        if (port.isEmpty() || !client.signIn(base, port.toInt()))
            return QStringLiteral("could not sign in to the service");
        return {};
    }
    double residentMb() const { return residentMegabytes(process.processId()); }
    double peakResidentMb() const { return statusMegabytes(process.processId(), "VmHWM"); }

    ~ServiceProcess() {
        if (process.state() == QProcess::NotRunning) return;
        process.terminate();
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
        }
    }
};

void BM_IdleMemory(benchmark::State& state) {
    ServiceProcess service;
    if (const QString problem = service.start(); !problem.isEmpty())
        return state.SkipWithError(problem.toStdString().c_str());
    const double started = service.residentMb();

    // The program keeps one stream open while it waits for the key.
    StreamingTransport::Credentials credentials{
        [] { return QStringLiteral("bench-device"); },
        [token = service.client.accessToken]() -> std::optional<QString> { return token; }};
    StreamingTransport transport(service.base, StreamingTransport::Tuning{}, credentials);
    transport.connect();
    const bool connected = waitUntil([&] { return transport.state() == StreamingTransport::State::connected; }, 30s);
    double idle = 0;
    for (auto _ : state) {
        waitUntil([] { return false; }, 5s);  // let it settle: nothing happens meanwhile
        idle = service.residentMb();
    }
    transport.disconnect();
    if (!connected) return state.SkipWithError("the stream did not connect");
    state.counters["started_rss_mb"] = started;
    state.counters["idle_with_stream_rss_mb"] = idle;
}
BENCHMARK(BM_IdleMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_MemoryAfterBurst(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    ServiceProcess service;
    if (const QString problem = service.start(); !problem.isEmpty())
        return state.SkipWithError(problem.toStdString().c_str());
    const double started = service.residentMb();
    std::vector<Stream> streams = openStreams(service.base, service.client.accessToken, kStreams);
    if (!allConnected(streams)) return state.SkipWithError("not every stream connected");
    double afterBurst = 0;
    double afterMinute = 0;
    int results = 0;
    for (auto _ : state) {
        streamTogether(streams);
        results = int(std::count_if(streams.begin(), streams.end(), [](const Stream& s) { return s.done; }));
        afterBurst = service.residentMb();
        waitUntil([] { return false; }, 60s);  // the streams stay open and idle meanwhile
        afterMinute = service.residentMb();
    }
    const double peak = service.peakResidentMb();
    for (Stream& s : streams) s.transport->disconnect();
    if (results < kStreams) return state.SkipWithError("not every stream got its result");
    state.counters["started_rss_mb"] = started;
    state.counters["burst_peak_rss_mb"] = peak;
    state.counters["after_burst_rss_mb"] = afterBurst;
    state.counters["minute_after_burst_rss_mb"] = afterMinute;
}
BENCHMARK(BM_MemoryAfterBurst)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
