// "mic_timings.json" as found on disk: arbitrary bytes as the file, then the predictor loads
// it, predicts and records. Accepted timings must survive encode -> decode unchanged.
#include "FuzzSupport.h"

#include "Core/Audio/MicTimingPredictor.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    static const QString path = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/mic_timings.json");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    {
        MicTimingPredictor predictor(path);
        const std::optional<QString> devices[] = {std::nullopt, QStringLiteral("usb-mic")};
        for (const auto& device : devices) {
            for (const auto& timing : predictor.timings(MicTimingPredictor::deviceKey(device))) {
                const QByteArray encoded = Fuzz::bytes(timing.toJson());
                Fuzz::check(JsonCoding::decode<MicTimingPredictor::Timing>(encoded).toOptional() ==
                                std::optional(timing),
                            "mic timing round trip", QString::fromUtf8(encoded));
                Fuzz::check(predictor.timings(MicTimingPredictor::deviceKey(device)).size() <=
                                MicTimingPredictor::maxTimingsPerDevice,
                            "mic timings per device stay bounded");
            }
            const std::optional<double> predicted = predictor.predict(device);
            predictor.recordTiming(device, 120, predicted);
        }
        predictor.flush();
    }
    // What the predictor wrote back must load again.
    MicTimingPredictor reloaded(path);
    return 0;
}
