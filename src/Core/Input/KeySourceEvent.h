#pragma once

#include <QString>

#include <cstdint>

// One keyboard event in the settings' numbering, as the hotkey matching consumes it.
struct KeySourceEvent {
    enum class Type { KeyDown, KeyUp, FlagsChanged };
    Type type = Type::KeyDown;
    uint16_t keyCode = 0;
    uint64_t flags = 0;     // modifier bits after the event, from the keys physically held
    bool isRepeat = false;  // key-down of a key that is already down
    QString characters;     // key-down only: the text the key produces (filled by the key source)
};
