#include "App/InputDeviceWatcher.h"

#include <QEvent>
#include <QMediaDevices>
#include <QWidget>

InputDeviceWatcher::InputDeviceWatcher(DeviceList list, QObject* parent)
    : QObject(parent),
      m_list(std::move(list)),
      m_devices(m_list ? m_list() : std::vector<AudioDeviceInfo>()) {
    m_poll.setInterval(kPollInterval);
    connect(&m_poll, &QTimer::timeout, this, &InputDeviceWatcher::check);
    auto* media = new QMediaDevices(this);
    connect(media, &QMediaDevices::audioInputsChanged, this, &InputDeviceWatcher::check);
}

void InputDeviceWatcher::setActive(bool active) {
    if (active == m_poll.isActive()) return;
    if (!active) {
        m_poll.stop();
        return;
    }
    check();
    m_poll.start();
}

void InputDeviceWatcher::followVisibility(QWidget* widget) {
    widget->installEventFilter(this);
    setActive(widget->isVisible());
}

bool InputDeviceWatcher::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Show) setActive(true);
    if (event->type() == QEvent::Hide) setActive(false);
    return QObject::eventFilter(watched, event);
}

void InputDeviceWatcher::check() {
    std::vector<AudioDeviceInfo> now = m_list ? m_list() : std::vector<AudioDeviceInfo>();
    if (now == m_devices) return;
    m_devices = std::move(now);
    Q_EMIT devicesChanged();
}
