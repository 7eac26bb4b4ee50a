#pragma once

#include <QString>

#include <cstdint>

// One key-down seen by the global key listener, in the settings' key-code and modifier-flag
// terms (see Hotkey). Handed to the typing reminders; never logged.
struct KeyEvent {
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;  // every modifier bit as delivered
    QString characters;       // the text the key produces, at most 16 UTF-16 units; may be empty
    bool isRepeat = false;    // an auto-repeat

    static constexpr int maxCharacters = 16;

    bool operator==(const KeyEvent&) const = default;
};
