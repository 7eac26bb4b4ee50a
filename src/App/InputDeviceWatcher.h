#pragma once

#include "Core/Audio/AudioEngine.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

class QWidget;

// Tells when microphones come or go while the program runs, for the lists that offer them.
// Qt Multimedia's change signals are used, but on PulseAudio they stay silent before Qt 6.6
// (the device list itself is kept current), so while active the watcher also compares the list
// once a second. It is active only while something shows the list. Main thread only.
class InputDeviceWatcher final : public QObject {
    Q_OBJECT
public:
    using DeviceList = std::function<std::vector<AudioDeviceInfo>()>;
    static constexpr auto kPollInterval = std::chrono::seconds(1);

    explicit InputDeviceWatcher(DeviceList list, QObject* parent = nullptr);

    // Compares the list now and keeps comparing while active.
    void setActive(bool active);
    bool isActive() const { return m_poll.isActive(); }
    // Active exactly while `widget` is shown.
    void followVisibility(QWidget* widget);
    const std::vector<AudioDeviceInfo>& devices() const { return m_devices; }

Q_SIGNALS:
    // The list differs from the one last seen (a device came, went, was renamed or became the default).
    void devicesChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void check();

    DeviceList m_list;
    std::vector<AudioDeviceInfo> m_devices;
    QTimer m_poll;
};
