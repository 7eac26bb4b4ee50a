#pragma once

#include <QString>

// A second virtual microphone on the test desktop's PulseAudio (scripts/with-desktop.sh), fed
// from a FIFO of its own (MicFeeder(fifoPath())), as a USB microphone that is plugged in and out
// while the program runs. Unplugged when destroyed.
class ExtraMicrophone {
public:
    explicit ExtraMicrophone(QString uid);
    ~ExtraMicrophone();
    ExtraMicrophone(const ExtraMicrophone&) = delete;
    ExtraMicrophone& operator=(const ExtraMicrophone&) = delete;

    // Loads the source and waits until the program's device list shows it (or hides it).
    bool plugIn();
    bool unplug();

    const QString& uid() const { return m_uid; }
    QString fifoPath() const;

private:
    QString m_uid;
    QString m_module;  // pactl's index of the loaded module; empty while unplugged
};
