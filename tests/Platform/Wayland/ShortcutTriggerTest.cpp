// The trigger each hotkey proposes to the shortcuts portal, in the freedesktop shortcuts format.
#include "Platform/Wayland/ShortcutTrigger.h"

#include <gtest/gtest.h>

namespace {

constexpr quint64 kCmd = Hotkey::commandFlag, kShift = Hotkey::shiftFlag, kOpt = Hotkey::optionFlag,
                  kCtrl = Hotkey::controlFlag, kFn = Hotkey::functionFlag;

struct TriggerCase {
    const char* name;
    Hotkey hotkey;
    std::optional<QString> expected;
};

void PrintTo(const TriggerCase& c, std::ostream* os) { *os << c.name; }

class ShortcutTriggerTest : public ::testing::TestWithParam<TriggerCase> {};

TEST_P(ShortcutTriggerTest, WritesTheTriggerOrNone) {
    const TriggerCase& c = GetParam();
    EXPECT_EQ(ShortcutTrigger::preferredTrigger(c.hotkey), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ShortcutTriggerTest,
    ::testing::Values(
        TriggerCase{"LoneRightAlt", {61, 0}, QStringLiteral("Alt_R")},
        TriggerCase{"OptionSpace", {49, kOpt}, QStringLiteral("ALT+space")},
        TriggerCase{"ControlCommandV", {9, kCtrl | kCmd}, QStringLiteral("CTRL+LOGO+v")},
        TriggerCase{
            "ModifiersInTheFormatsOrder", {96, kCmd | kShift | kOpt | kCtrl}, QStringLiteral("CTRL+ALT+SHIFT+LOGO+F5")},
        // The key's own modifier bit is the key itself, not a second modifier.
        TriggerCase{"ModifierKeyWithItsOwnBit", {56, kCtrl | kShift}, QStringLiteral("CTRL+Shift_L")},
        TriggerCase{"FunctionKeyAlone", {96, 0}, QStringLiteral("F5")},
        // Taken alone these keys belong to every other program: the desktop would grab them.
        TriggerCase{"EscapeAlone", {53, 0}, std::nullopt}, TriggerCase{"LetterAlone", {0, 0}, std::nullopt},
        TriggerCase{"SpaceAlone", {49, 0}, std::nullopt}, TriggerCase{"ArrowAlone", {123, 0}, std::nullopt},
        TriggerCase{"EscapeWithAModifier", {53, kShift}, QStringLiteral("SHIFT+Escape")},
        // Fn never reaches the desktop, as a key or as a modifier.
        TriggerCase{"FnKey", {63, 0}, std::nullopt}, TriggerCase{"FnModifier", {96, kFn}, std::nullopt},
        TriggerCase{"KeyWithoutAnXKeycode", {0xFFF0, kCtrl}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
