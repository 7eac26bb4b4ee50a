#pragma once

#include <QString>

#include <atomic>
#include <thread>
#include <vector>

// Plays samples into the virtual microphone of the test desktop: s16le 16 kHz mono written to
// the FIFO in $VANTROSE_MIC_FIFO, paced like a real microphone, from a thread of its own.
class MicFeeder {
public:
    // True inside scripts/with-desktop.sh.
    static bool available();

    explicit MicFeeder(QString fifoPath = {});
    ~MicFeeder();  // waits for the playback to end

    // Starts playing; returns at once. A playback already running finishes first.
    void play(std::vector<float> samples);
    // Plays an audio file (WAV or anything sox reads), converted to 16 kHz mono. False when the
    // file cannot be read.
    bool playFile(const QString& path);
    bool finished() const { return m_finished.load(); }
    // Blocks until everything has been written.
    void wait();
    // Samples written so far.
    std::size_t written() const { return m_written.load(); }

private:
    QString m_fifoPath;
    std::thread m_thread;
    std::atomic<bool> m_finished{true};
    std::atomic<std::size_t> m_written{0};
};
