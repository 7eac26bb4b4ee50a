// Recognition speed of the on-device recogniser on a flite sentence of about five seconds:
//   batch: one transcribe() of the whole recording;
//   stream_final: from the last chunk (decoder caught up, as it is after a held key) to the
//                 final streaming result - the goal is under 200 ms;
//   chunk_features: the per-chunk level and band work on the capture thread.
// Run: build/bench/bench_recognition (needs flite and sox).
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Audio/AudioEngine.h"
#include "support/AwaitTask.h"
#include "support/SpeechFixture.h"
#include "support/TestEnvironment.h"

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

const QString kSentence = QStringLiteral(
    "please send the report to the team before the meeting tomorrow and bring the slides for the review");

const std::vector<float>& recording() {
    static const std::vector<float> audio = [] {
        std::vector<float> a = SpeechFixture::silence(0.3);
        const std::vector<float> speech = SpeechFixture::speak(kSentence);
        a.insert(a.end(), speech.begin(), speech.end());
        a.resize(a.size() + 4800, 0.0f);
        a.resize(a.size() / 640 * 640);
        return a;
    }();
    return audio;
}

PocketSphinxASR& engine() {
    static PocketSphinxASR instance;
    static const bool loaded = instance.waitUntilIdle();
    (void)loaded;
    return instance;
}

void setCounters(benchmark::State& state, double secondsPerIteration, const QString& text) {
    const double audioSeconds = double(recording().size()) / 16000.0;
    state.counters["audio_s"] = audioSeconds;
    state.counters["rtf"] = secondsPerIteration / audioSeconds;
    state.counters["wer"] = SpeechFixture::wordErrorRate(kSentence, text);
}

void BM_Batch(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    PocketSphinxASR& asr = engine();
    double total = 0;
    QString text;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        text = AwaitTask::run(asr.transcribe(recording())).text;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    setCounters(state, total / double(state.iterations()), text);
}
BENCHMARK(BM_Batch)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_StreamFinal(benchmark::State& state) {
    if (recording().empty()) return state.SkipWithError("flite and sox are needed");
    PocketSphinxASR& asr = engine();
    const std::vector<float>& audio = recording();
    QString text;
    for (auto _ : state) {
        asr.startStreaming([](const QString&) {});
        for (std::size_t i = 0; i < audio.size(); i += 640)
            asr.feedAudioChunk(std::vector<float>(audio.begin() + long(i), audio.begin() + long(i + 640)));
        asr.waitUntilIdle();  // the decoder has heard every chunk, as it has by the key-up
        const auto start = std::chrono::steady_clock::now();
        text = AwaitTask::run(asr.stopStreaming()).text;
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    setCounters(state, 0, text);
    state.counters.erase("rtf");
}
BENCHMARK(BM_StreamFinal)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ChunkFeatures(benchmark::State& state) {
    AudioChunk chunk(640);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = 0.3f * float(std::sin(double(i) * 0.1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(AudioEngine::computeRMS(chunk));
        benchmark::DoNotOptimize(AudioEngine::computeFrequencyBands(chunk, 10));
    }
}
BENCHMARK(BM_ChunkFeatures)->Unit(benchmark::kMicrosecond);

}  // namespace
