#include "Core/Audio/MicTimingPredictor.h"

#include "Core/LogCategories.h"
#include "Foundation/AppPaths.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/SerialQueue.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace {

// Seconds between the Unix epoch and 2001-01-01 00:00 UTC, the origin of stored time stamps.
constexpr double kAbsoluteTimeOffset = 978307200.0;

double absoluteNow() {
    return static_cast<double>(Clock::current().now().toMSecsSinceEpoch()) / 1000.0 - kAbsoluteTimeOffset;
}

}  // namespace

QJsonObject MicTimingPredictor::Timing::toJson() const {
    return {{QStringLiteral("durationMs"), durationMs},
            {QStringLiteral("timestamp"), timestamp},
            {QStringLiteral("isCold"), isCold}};
}

JsonResult<MicTimingPredictor::Timing> MicTimingPredictor::Timing::fromJson(const QJsonValue& json,
                                                                            const QString& path) {
    JsonDecoder d(json, path);
    Timing t;
    t.durationMs = d.number(QStringLiteral("durationMs"));
    t.timestamp = d.number(QStringLiteral("timestamp"));
    t.isCold = d.boolean(QStringLiteral("isCold"));
    return d.finish(t);
}

MicTimingPredictor& MicTimingPredictor::shared() {
    static MicTimingPredictor instance;
    return instance;
}

QString MicTimingPredictor::defaultFilePath() { return AppPaths::dataDir() + QStringLiteral("/mic_timings.json"); }

MicTimingPredictor::MicTimingPredictor(QString filePath)
    : m_filePath(std::move(filePath)),
      m_writer(std::make_unique<SerialQueue>(QStringLiteral("com.vantrose.mic-timing"))) {
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());  // a failure only costs the file
    load();
}

MicTimingPredictor::~MicTimingPredictor() = default;

void MicTimingPredictor::flush() { m_writer->drain(); }

QString MicTimingPredictor::deviceKey(const std::optional<QString>& deviceUID) {
    if (!deviceUID || deviceUID->isEmpty()) return QStringLiteral("system-default");
    return *deviceUID;
}

bool MicTimingPredictor::isColdStart(const QString& key) const {
    if (m_lastDeviceUID && *m_lastDeviceUID != key) return true;
    const auto last = m_lastUseTime.constFind(key);
    if (last != m_lastUseTime.cend()) return absoluteNow() - *last > coldThresholdSec;
    return true;
}

double MicTimingPredictor::ewma(const QList<double>& newestFirst) {
    if (newestFirst.isEmpty()) return 0;
    double value = newestFirst.last();
    for (qsizetype i = newestFirst.size() - 2; i >= 0; --i) value = value * (1.0 - alpha) + newestFirst[i] * alpha;
    return value;
}

std::optional<double> MicTimingPredictor::predict(const std::optional<QString>& deviceUID) {
    const QString key = deviceKey(deviceUID);
    if (int& withheld = m_unreliable[key]; withheld >= 1) {
        --withheld;
        return std::nullopt;
    }
    const QList<Timing> history = m_timings.value(key);
    if (history.isEmpty()) return std::nullopt;

    QList<double> cold, warm;
    for (const Timing& t : history) (t.isCold ? cold : warm).append(t.durationMs);
    const QList<double>& chosen = isColdStart(key) ? (cold.isEmpty() ? warm : cold) : (warm.isEmpty() ? cold : warm);
    return ewma(chosen.first(std::min<qsizetype>(predictionWindow, chosen.size())));
}

void MicTimingPredictor::recordTiming(const std::optional<QString>& deviceUID, double durationMs,
                                      std::optional<double> prediction) {
    // A broken measurement would poison every later prediction and could not be written as
    // JSON, which would cost the whole file at the next launch.
    if (!std::isfinite(durationMs)) return;
    const QString key = deviceKey(deviceUID);
    const bool cold = isColdStart(key);
    const double now = absoluteNow();

    QList<Timing>& list = m_timings[key];
    list.prepend(Timing{durationMs, now, cold});
    if (list.size() > maxTimingsPerDevice) list.resize(maxTimingsPerDevice);

    m_lastUseTime[key] = now;
    m_lastDeviceUID = key;

    if (prediction && std::abs(durationMs - *prediction) > unreliableThresholdMs) {
        m_unreliable[key] = unreliableSkipCount;
        VLOG_WARNING(lcMicTiming) << QStringLiteral("Device '%1' marked unreliable (predicted %2ms, actual %3ms)")
                                         .arg(key, QString::asprintf("%.0f", *prediction),
                                              QString::asprintf("%.0f", durationMs));
    }
    save();
}

void MicTimingPredictor::load() {
    QFile file(m_filePath);
    if (!file.open(QIODevice::ReadOnly)) return;
    JsonResult<QJsonObject> document = JsonCoding::parseObject(file.readAll());
    if (!document) return;

    QHash<QString, QList<Timing>> loaded;
    qsizetype total = 0;
    for (auto it = document->constBegin(); it != document->constEnd(); ++it) {
        JsonResult<QList<Timing>> list = JsonCoding::toList<Timing>(it.value(), it.key());
        if (!list) return;  // one bad entry: the file as a whole is not trusted
        QList<Timing> timings = std::move(list).value();
        if (timings.size() > maxTimingsPerDevice) timings.resize(maxTimingsPerDevice);
        total += timings.size();
        loaded.emplace(it.key(), std::move(timings));
    }
    m_timings = std::move(loaded);
    VLOG_INFO(lcMicTiming) << QStringLiteral("Loaded %1 timings for %2 devices").arg(total).arg(m_timings.size());
}

void MicTimingPredictor::save() {
    // The snapshot is taken now (a cheap shared copy) and encoded on the writer. The single
    // writer keeps snapshots in order and replaces the file atomically, so a reader never sees
    // half a file and an older snapshot never overwrites a newer one.
    m_writer->async([path = m_filePath, timings = m_timings] {
        QJsonObject object;
        for (auto it = timings.cbegin(); it != timings.cend(); ++it)
            object.insert(it.key(), JsonCoding::fromList(it.value()));
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
        file.commit();
    });
}
