#pragma once

#include "Core/Input/KeySourceEvent.h"
#include "Core/Input/KeyTransitionTranslator.h"
#include "Platform/Linux/DefaultKeymap.h"

#include <QByteArray>

#include <bitset>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>

// The keys of every keyboard read through evdev, merged into one keyboard's key events in the
// settings' numbering, as the X11 listener reports them: the evdev key code plus 8 is the X
// keycode, and the key-code table takes it from there. Bytes come as read from each device
// (struct input_event records); a record split across reads waits for its rest, records that are
// no key press (1), repeat (2) or release (0) are passed over. A device that goes away lets go of
// the keys it held. Not thread-safe: the reader's thread owns it.
class EvdevKeyStream {
public:
    using Handler = std::function<void(const KeySourceEvent&)>;
    // The keys a device reports down, by evdev key code (EVIOCGKEY).
    using KeyBits = std::bitset<256>;

    explicit EvdevKeyStream(Handler handler);

    // Bytes read from `device` (any number identifying it). True when the kernel said it dropped
    // events (its buffer overflowed) and the device's keys must be asked for: call resync().
    bool feed(int device, const char* data, size_t size);
    // The keys `device` reports down after dropped events; nothing when they cannot be asked for,
    // and then every key it held comes up (a push-to-talk left down is worse than one let go).
    void resync(int device, const std::optional<KeyBits>& down);
    // The device is gone: its held keys come up. Returns the bytes of a partial record left over.
    size_t removeDevice(int device);

    // Records of other kinds or with values no keyboard sends, seen so far (for the log).
    size_t ignoredRecords() const { return m_ignored; }

private:
    struct Device {
        QByteArray pending;     // the start of a record whose rest has not been read yet
        std::bitset<256> held;  // by X keycode
        bool dropping = false;  // between SYN_DROPPED and the next SYN_REPORT
    };

    void record(Device& device, uint16_t type, uint16_t code, int32_t value, bool* resync);
    void press(Device& device, uint8_t xKeycode, bool repeat);
    void release(Device& device, uint8_t xKeycode);
    void report(uint8_t xKeycode, bool pressed, bool repeat);

    Handler m_handler;
    std::map<int, Device> m_devices;
    int m_holders[256] = {};  // how many devices hold each X keycode
    KeyTransitionTranslator m_translator;
    KeymapState m_keymap;
    size_t m_ignored = 0;
};
