// The JSON columns of the history database and the metrics records: the first byte picks the
// record type, the rest is its JSON. Accepted values must survive encode -> decode unchanged.
#include "FuzzSupport.h"

#include "Models/DictationMetrics.h"
#include "Models/Hotkey.h"
#include "Models/Personalization.h"

#include <cmath>
#include <limits>

namespace {

// A stored latency record keeps every other field when one optional number is not finite.
void checkNonFiniteLatency(const DictationLatencyMetrics& decoded, std::uint8_t selector) {
    static const double values[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                    -std::numeric_limits<double>::infinity()};
    DictationLatencyMetrics metrics = decoded;
    std::optional<double>* all[] = {&metrics.timeToFirstChunkMs,
                                    &metrics.prepareRequestMs,
                                    &metrics.uploadRequestMs,
                                    &metrics.remoteLatencyMs,
                                    &metrics.timeToPasteTextMs,
                                    &metrics.axContextTimeMs,
                                    &metrics.mediaStreamSetupMs,
                                    &metrics.firstAudioChunkLatencyMs,
                                    &metrics.backendPingTimeAtStreamStartMs,
                                    &metrics.backendCommitAckTimeMs,
                                    &metrics.serverProcessingTimeMs,
                                    &metrics.asrTimeMs,
                                    &metrics.llmTimeMs,
                                    &metrics.pastedTimeMs,
                                    &metrics.ocrCaptureTimeMs};
    *all[selector % std::size(all)] = values[(selector / std::size(all)) % std::size(values)];
    const QByteArray encoded = Fuzz::bytes(metrics.toJson());
    JsonResult<DictationLatencyMetrics> reloaded = JsonCoding::decode<DictationLatencyMetrics>(encoded);
    Fuzz::check(reloaded.ok(), "a non-finite latency value loses the stored record", QString::fromUtf8(encoded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    const QByteArray json(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    switch (selector % 7) {
    case 0:
        if (auto latency = Fuzz::checkRoundTrip<DictationLatencyMetrics>(json, "latency metrics round trip")) {
            checkNonFiniteLatency(*latency, selector / 7);
        }
        break;
    case 1: Fuzz::checkRoundTrip<DictationPersistenceMetrics>(json, "persistence metrics round trip"); break;
    case 2: Fuzz::checkRoundTrip<DictationOutcomeSnapshot>(json, "outcome snapshot round trip"); break;
    case 3: Fuzz::checkRoundTrip<HeartbeatLagSample>(json, "heartbeat lag round trip"); break;
    case 4: Fuzz::checkRoundTrip<PersonalizationSettings>(json, "personalisation round trip"); break;
    case 5: Fuzz::checkRoundTrip<HotkeyBinding>(json, "hotkey binding round trip"); break;
    case 6: Fuzz::checkRoundTrip<Hotkey>(json, "hotkey round trip"); break;
    }
    return 0;
}
