#include "Platform/Linux/EvdevKeyStream.h"

#include <linux/input.h>

#include <cstring>

namespace {

constexpr int kXKeycodeOffset = 8;  // X keycodes are evdev key codes plus 8
constexpr int kRelease = 0, kPress = 1, kRepeat = 2;

}  // namespace

EvdevKeyStream::EvdevKeyStream(Handler handler) : m_handler(std::move(handler)) {}

bool EvdevKeyStream::feed(int device, const char* data, size_t size) {
    Device& d = m_devices[device];
    d.pending.append(data, qsizetype(size));
    bool resync = false;
    constexpr qsizetype kRecord = sizeof(input_event);
    qsizetype offset = 0;
    for (; offset + kRecord <= d.pending.size(); offset += kRecord) {
        input_event event;
        std::memcpy(&event, d.pending.constData() + offset, sizeof event);
        record(d, event.type, event.code, event.value, &resync);
    }
    d.pending.remove(0, offset);
    return resync;
}

void EvdevKeyStream::record(Device& device, uint16_t type, uint16_t code, int32_t value, bool* resync) {
    if (type == EV_SYN) {
        if (code == SYN_DROPPED) {
            device.dropping = true;
        } else if (code == SYN_REPORT && device.dropping) {
            device.dropping = false;
            *resync = true;
        }
        return;
    }
    if (device.dropping) return;  // the events up to the next report are incomplete
    if (type != EV_KEY) return;   // scan codes, LEDs, repeat settings: nothing a hotkey needs
    const int xKeycode = code + kXKeycodeOffset;
    if (xKeycode > 255 || (value != kRelease && value != kPress && value != kRepeat)) {
        ++m_ignored;  // buttons past the keyboard's range, or a value no keyboard sends
        return;
    }
    const auto x = uint8_t(xKeycode);
    if (value == kRelease)
        release(device, x);
    else
        press(device, x, value == kRepeat && device.held.test(x));
}

void EvdevKeyStream::press(Device& device, uint8_t xKeycode, bool repeat) {
    if (!device.held.test(xKeycode)) {
        device.held.set(xKeycode);
        // The same key already down on another keyboard: the press is a repeat there too.
        ++m_holders[xKeycode];
    }
    report(xKeycode, true, repeat || m_translator.isDown(xKeycode));
}

void EvdevKeyStream::release(Device& device, uint8_t xKeycode) {
    if (device.held.test(xKeycode)) {
        device.held.reset(xKeycode);
        if (--m_holders[xKeycode] > 0) return;  // another keyboard still holds it
    } else if (m_holders[xKeycode] > 0) {
        return;
    }
    // Released keys this stream never saw go down (held before reading began) are reported as
    // the X listener reports them.
    report(xKeycode, false, false);
}

void EvdevKeyStream::report(uint8_t xKeycode, bool pressed, bool repeat) {
    const QString characters = m_keymap.transition(xKeycode, pressed, repeat);
    std::optional<KeySourceEvent> event = m_translator.translate(xKeycode, pressed, m_keymap.capsLocked());
    if (!event) return;
    if (event->type == KeySourceEvent::Type::KeyDown) event->characters = characters;
    if (m_handler) m_handler(*event);
}

void EvdevKeyStream::resync(int device, const std::optional<KeyBits>& down) {
    Device& d = m_devices[device];
    for (int x = 0; x < 256; ++x) {
        const int code = x - kXKeycodeOffset;
        const bool isDown = down && code >= 0 && down->test(size_t(code));
        if (d.held.test(size_t(x)) && !isDown) release(d, uint8_t(x));
        if (!d.held.test(size_t(x)) && isDown) press(d, uint8_t(x), false);
    }
}

size_t EvdevKeyStream::removeDevice(int device) {
    auto it = m_devices.find(device);
    if (it == m_devices.end()) return 0;
    Device& d = it->second;
    for (int x = 0; x < 256; ++x)
        if (d.held.test(size_t(x))) release(d, uint8_t(x));
    const size_t partial = size_t(d.pending.size());
    m_devices.erase(it);
    return partial;
}
