#pragma once

#include "Models/Hotkey.h"

#include <QList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Properties of the hotkey listener that must hold for any bindings and any key sequence, as a
// plain function so unit tables and fuzz targets can share it. Keys are X keycodes fed through
// KeyTransitionTranslator (Caps Lock's lock state toggles on its press, as X reports it).
namespace KeyboardMonitorProperties {

struct Step {
    enum Kind { Press, Release, Wait } kind = Press;
    uint8_t xKeycode = 0;  // Press, Release
    double seconds = 0;    // Wait: the clock moves on, then the combination-release check runs
};

// Runs `steps`, then releases every key still down and waits past the combination-release
// check. Checks that:
//  - push-to-talk DOWN and UP strictly alternate, starting with DOWN;
//  - once every key is up, push-to-talk is not held and every DOWN has its UP;
//  - a listener given all `bindings` reports exactly what one given only the first binding of
//    each action reports (every callback, in order).
// Returns a description of the first violation, or nothing. Needs a QCoreApplication; installs
// its own manual clock for the duration.
std::optional<std::string> violation(const QList<HotkeyBinding>& bindings, const std::vector<Step>& steps);

}  // namespace KeyboardMonitorProperties
