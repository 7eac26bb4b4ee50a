#include "Core/Input/KeyCodes.h"

#include "Core/Input/KeyCodeTable.h"
#include "Core/Input/KeyTransitionTranslator.h"

// The toolkit's native scan codes are X keycodes under X11 and XWayland, the only sessions the
// program runs in; the table is the physical layout both use.
bool KeyCodes::reachesDesktop(uint16_t keyCode) { return KeyCodeTable::xKeycodeFor(keyCode) != 0; }

NativeKeyTranslator::NativeKeyTranslator() : m_translator(std::make_unique<KeyTransitionTranslator>()) {}

NativeKeyTranslator::~NativeKeyTranslator() = default;

std::optional<KeySourceEvent> NativeKeyTranslator::translate(quint32 nativeScanCode, bool pressed) {
    if (nativeScanCode == 0 || nativeScanCode > 255) return std::nullopt;
    auto event = m_translator->translate(static_cast<uint8_t>(nativeScanCode), pressed, false);
    if (!event || event->keyCode == KeyCodeTable::kUnmapped) return std::nullopt;
    return event;
}

void NativeKeyTranslator::reset() { m_translator->reset(); }
