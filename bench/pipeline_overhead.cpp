// Key-up to paste call on the batch road with instant collaborators: the pipeline's own
// overhead (chunk drain, joining the audio, gate, formatting, post-processing, replacements).
// The clock stops when the paster is called; what the pipeline does after the paste (the record,
// the history) is not part of it. Budget: under 1 ms.
#include "support/Pipeline/PipelineHarness.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <chrono>

namespace {

void BM_KeyUpToPasteCall(benchmark::State& state) {
    PipelineHarness h;
    h.setUp();
    auto& p = *h.pipeline;
    for (auto _ : state) {
        p.startDictation();
        h.audio->feed(125);  // a 5 s utterance
        const auto pastesBefore = h.inserter->calls.size();
        const auto start = std::chrono::steady_clock::now();
        p.stopDictation();
        while (h.inserter->calls.size() == pastesBefore) QCoreApplication::processEvents(QEventLoop::AllEvents);
        const auto elapsed = h.inserter->calls.last().at - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        while (p.status() != DictationStatus::idle) QCoreApplication::processEvents(QEventLoop::AllEvents);
        h.clock.advance(std::chrono::seconds(1));  // lets the stage reset run
    }
}
BENCHMARK(BM_KeyUpToPasteCall)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
