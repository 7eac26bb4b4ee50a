#pragma once

#include <QProcess>

#include <memory>

// Listens to what the test desktop's speakers play: records the default sink's monitor (the
// null sink of scripts/with-desktop.sh) and counts the samples loud enough to be a sound rather
// than the silence a null sink carries otherwise. Runs on the caller's event loop (waitUntil).
class SinkMonitor {
public:
    SinkMonitor();
    ~SinkMonitor();

    // Starts recording; false when the audio server cannot be recorded.
    bool start();
    // Samples louder than a quiet sound (about -30 dBFS) heard since start() or the last reset().
    long loudSamples() const { return m_loud; }
    // Every sample heard since start(), 16,000 a second: the speakers' own clock.
    long samples() const { return m_samples; }
    void reset() { m_loud = 0; }

private:
    void read();

    std::unique_ptr<QProcess> m_recorder;
    QByteArray m_pending;  // an odd byte left between two reads
    long m_loud = 0;
    long m_samples = 0;
};
