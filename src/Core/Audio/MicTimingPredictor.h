#pragma once

#include "Models/JsonCoding.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

class SerialQueue;

// Learns, per input device, how long the microphone takes to deliver audio after a dictation
// starts, and predicts the next start-up from the recent ones. Start-ups after a device switch
// or a long pause ("cold") are kept apart from back-to-back ones ("warm"). The history survives
// restarts in "mic_timings.json" in the data folder.
//
// predict() and recordTiming() are called on the main thread; the file is written on the
// predictor's own serial worker from a copy, so snapshots land in the order they were taken.
class MicTimingPredictor {
public:
    struct Timing {
        double durationMs = 0;
        double timestamp = 0;  // seconds since 2001-01-01 00:00 UTC
        bool isCold = false;

        QJsonObject toJson() const;
        static JsonResult<Timing> fromJson(const QJsonValue& json, const QString& path = {});
        bool operator==(const Timing&) const = default;
    };

    static constexpr int maxTimingsPerDevice = 1024;
    static constexpr int predictionWindow = 10;
    static constexpr double alpha = 0.3;
    static constexpr auto coldThreshold = std::chrono::minutes(2);
    static constexpr auto unreliableThreshold = std::chrono::milliseconds(400);
    static constexpr int unreliableSkipCount = 10;

    static MicTimingPredictor& shared();

    // Reads the history from `filePath` ("mic_timings.json" in the data folder by default).
    explicit MicTimingPredictor(QString filePath = defaultFilePath());
    // Finishes the file writes already submitted.
    ~MicTimingPredictor();

    MicTimingPredictor(const MicTimingPredictor&) = delete;
    MicTimingPredictor& operator=(const MicTimingPredictor&) = delete;

    // The predicted start-up in milliseconds; none without history, or while the device is
    // withheld after a bad miss. No device id (or an empty one) means the system default.
    std::optional<double> predict(const std::optional<QString>& deviceUID);
    // Adds a measured start-up and, when the prediction made for it missed by more than
    // unreliableThreshold, withholds the device's next unreliableSkipCount predictions.
    void recordTiming(const std::optional<QString>& deviceUID, double durationMs, std::optional<double> prediction);

    // The device's recorded start-ups, newest first.
    QList<Timing> timings(const QString& deviceKey) const { return m_timings.value(deviceKey); }
    bool isColdStart(const QString& deviceKey) const;
    // Waits until every file write submitted so far is done (tests and shut-down).
    void flush();

    static QString deviceKey(const std::optional<QString>& deviceUID);
    // Exponentially weighted mean of durations given newest first: starts from the oldest and
    // folds in each newer one with weight alpha.
    static double ewma(const QList<double>& newestFirst);
    static QString defaultFilePath();

private:
    void load();
    void save();

    QHash<QString, QList<Timing>> m_timings;  // newest first
    QHash<QString, int> m_unreliable;
    QHash<QString, double> m_lastUseTime;
    std::optional<QString> m_lastDeviceUID;
    QString m_filePath;
    std::unique_ptr<SerialQueue> m_writer;
};
