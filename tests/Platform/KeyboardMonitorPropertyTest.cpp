// The listener's properties over the shortest inputs that broke them and over many seeded
// random bindings and key sequences.
#include "support/KeyboardMonitorProperties.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using KeyboardMonitorProperties::Step;

Step press(uint8_t x) { return {Step::Press, x, 0}; }
Step release(uint8_t x) { return {Step::Release, x, 0}; }
Step wait(double s) { return {Step::Wait, 0, s}; }

// X keycodes: A (settings key 0), V (9), Space (49), Escape (53), F5 (96), the modifiers, and
// two keys without a settings key code.
constexpr uint8_t kA = 38, kV = 55, kLeftCtrl = 37, kLeftAlt = 64, kRightAlt = 108, kRightSuper = 134, kCapsLock = 66;
constexpr uint8_t kKeyPool[] = {38, 55, 65, 9, 71, 134, 133, 50, 66, 64, 37, 62, 108, 105, 120, 255};
constexpr uint16_t kCodePool[] = {54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 0, 9, 49, 53, 96, 200, 0xFFFF};
constexpr uint64_t kBitPool[] = {Hotkey::capsLockFlag, Hotkey::shiftFlag,   Hotkey::controlFlag,
                                 Hotkey::optionFlag,   Hotkey::commandFlag, Hotkey::functionFlag};

struct PropertyCase {
    const char* name;
    QList<HotkeyBinding> bindings;
    std::vector<Step> steps;
};

void PrintTo(const PropertyCase& c, std::ostream* os) { *os << c.name; }

class KeyboardMonitorPropertyTest : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(KeyboardMonitorPropertyTest, Holds) {
    const PropertyCase& c = GetParam();
    const auto broken = KeyboardMonitorProperties::violation(c.bindings, c.steps);
    EXPECT_FALSE(broken) << *broken;
}

INSTANTIATE_TEST_SUITE_P(
    ShortestInputs, KeyboardMonitorPropertyTest,
    ::testing::Values(
        // Two push-to-talk bindings (an unusual key with modifier bits first, then a plain key),
        // paste-last on Right Command and on Right Option with other bits: A held and let go.
        PropertyCase{"SecondActivateBindingOnAnOrdinaryKey",
                     {{HotkeyAction::activate, {200, Hotkey::commandFlag | 0x4}},
                      {HotkeyAction::activate, {0, 0}},
                      {HotkeyAction::pasteLastTranscript, {54, 0}},
                      {HotkeyAction::pasteLastTranscript, {61, Hotkey::shiftFlag | 0x100}}},
                     {press(kRightSuper), press(kA), release(kRightSuper), wait(0.3), release(kA), wait(0.3)}},
        PropertyCase{"FiveAndVBothPushToTalk",
                     {{HotkeyAction::activate, {96, 0}}, {HotkeyAction::activate, {9, 0}}},
                     {press(kV), release(kV)}},
        PropertyCase{"RightOptionAndFnBothPushToTalk",
                     {{HotkeyAction::activate, {61, 0}}, {HotkeyAction::activate, {63, 0}}},
                     {press(kRightAlt), wait(0.1), release(kRightAlt)}},
        PropertyCase{
            "CapsLockAlonePushToTalk", {{HotkeyAction::activate, {57, 0}}}, {press(kCapsLock), release(kCapsLock)}},
        PropertyCase{
            "CombinationReleasedInPieces",
            {{HotkeyAction::activate, {59, Hotkey::optionFlag}}, {HotkeyAction::activate, {58, 0}}},
            {press(kLeftCtrl), press(kLeftAlt), release(kLeftCtrl), wait(0.1), press(kLeftCtrl), release(kLeftAlt)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyboardMonitorPropertyTest, HoldForSeededRandomBindingsAndKeys) {
    std::mt19937 random(20261210);
    auto pick = [&](auto& pool) { return pool[random() % std::size(pool)]; };
    for (int round = 0; round < 400; ++round) {
        QList<HotkeyBinding> bindings;
        const int bindingCount = 1 + int(random() % 6);
        for (int i = 0; i < bindingCount; ++i) {
            uint64_t modifiers = 0;
            for (uint64_t bit : kBitPool)
                if (random() % 4 == 0) modifiers |= bit;
            if (random() % 8 == 0) modifiers |= uint64_t(1) << (random() % 64);
            bindings.append({HotkeyAction(random() % 4), {pick(kCodePool), modifiers}});
        }
        std::vector<Step> steps;
        std::vector<uint8_t> held;
        const int stepCount = 1 + int(random() % 40);
        for (int i = 0; i < stepCount; ++i) {
            const unsigned roll = random() % 10;
            if (roll < 5) {
                const uint8_t x = pick(kKeyPool);
                steps.push_back(press(x));  // a key already down repeats
                held.push_back(x);
            } else if (roll < 8 && !held.empty()) {
                const size_t k = random() % held.size();
                steps.push_back(release(held[k]));
                held.erase(held.begin() + long(k));
            } else if (roll < 9) {
                steps.push_back(release(pick(kKeyPool)));  // a release X never sent
            } else {
                steps.push_back(wait(0.05 * double(random() % 8)));
            }
        }
        const auto broken = KeyboardMonitorProperties::violation(bindings, steps);
        ASSERT_FALSE(broken) << "round " << round << ": " << *broken;
    }
}

}  // namespace
