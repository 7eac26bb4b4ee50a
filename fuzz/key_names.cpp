// Key names, the key-code table and hotkey display names for any key code and modifier bits;
// X keycodes map back to the key code they came from.
#include "FuzzSupport.h"

#include "Core/Input/KeyCodeTable.h"
#include "Models/Hotkey.h"

#include <cstring>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzz::initialize();
    if (size < 10) return 0;
    quint16 keyCode;
    quint64 modifiers;
    std::memcpy(&keyCode, data, sizeof keyCode);
    std::memcpy(&modifiers, data + 2, sizeof modifiers);

    Fuzz::check(!Hotkey::keyName(keyCode).isEmpty(), "every key has a name");
    const Hotkey hotkey{keyCode, modifiers};
    (void)hotkey.displayName();
    // Modifier bits beyond the signed 64-bit range are written as a double (JSON has no wider
    // integer), so only the values a decoder can produce round-trip exactly.
    if (modifiers <= quint64(std::numeric_limits<qint64>::max())) {
        const QByteArray encoded = Fuzz::bytes(hotkey.toJson());
        Fuzz::check(JsonCoding::decode<Hotkey>(encoded).toOptional() == std::optional(hotkey), "hotkey round trip",
                    QString::fromUtf8(encoded));
    }

    const uint8_t x = KeyCodeTable::xKeycodeFor(keyCode);
    if (x != 0)
        Fuzz::check(KeyCodeTable::keyCodeForX(x) == keyCode, "an X keycode maps back to its key code",
                    QString::number(keyCode));
    const uint16_t back = KeyCodeTable::keyCodeForX(uint8_t(keyCode));
    if (back != KeyCodeTable::kUnmapped)
        Fuzz::check(KeyCodeTable::xKeycodeFor(back) == uint8_t(keyCode), "a key code maps back to its X keycode",
                    QString::number(uint8_t(keyCode)));
    return 0;
}
