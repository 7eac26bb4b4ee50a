#pragma once

#include "Core/Input/KeySourceEvent.h"

#include <QtGlobal>

#include <cstdint>
#include <memory>
#include <optional>

class KeyTransitionTranslator;

// Keys in the settings' numbering as the desktop sees them, for the views' hotkey rules.
namespace KeyCodes {

// Whether a key reaches the desktop at all, so a hotkey on it can fire (Fn, for one, never does).
bool reachesDesktop(uint16_t keyCode);

}  // namespace KeyCodes

// Turns the toolkit's key events (their native scan code) into key events in the settings'
// numbering, with modifier bits from the keys held, as the global hotkey listener reports them.
class NativeKeyTranslator {
public:
    NativeKeyTranslator();
    ~NativeKeyTranslator();
    NativeKeyTranslator(const NativeKeyTranslator&) = delete;
    NativeKeyTranslator& operator=(const NativeKeyTranslator&) = delete;

    // Nothing for a key without a settings key code, a scan code out of range, a repeated press
    // of a modifier or a Caps Lock release.
    std::optional<KeySourceEvent> translate(quint32 nativeScanCode, bool pressed);
    void reset();

private:
    std::unique_ptr<KeyTransitionTranslator> m_translator;
};
