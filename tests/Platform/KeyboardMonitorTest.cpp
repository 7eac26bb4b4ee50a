// Hotkey matching, the combination-release debounce and the callbacks, driven by synthetic
// key events and a manual clock.
#include "Platform/KeyboardMonitor.h"
#include "Foundation/Clock.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t kCmd = Hotkey::commandFlag, kShift = Hotkey::shiftFlag, kOpt = Hotkey::optionFlag,
                   kCtrl = Hotkey::controlFlag;

struct Step {
    enum Kind { Flags, Down, Repeat, Up, Wait } kind;
    uint16_t key = 0;
    uint64_t flags = 0;
    double seconds = 0;
};
Step flags(uint16_t key, uint64_t f) { return {Step::Flags, key, f}; }
Step down(uint16_t key, uint64_t f = 0) { return {Step::Down, key, f}; }
Step repeat(uint16_t key, uint64_t f = 0) { return {Step::Repeat, key, f}; }
Step up(uint16_t key) { return {Step::Up, key}; }
Step wait(double s) { return {Step::Wait, 0, 0, s}; }
HotkeyBinding bind(HotkeyAction action, uint16_t key, uint64_t modifiers = 0) {
    return {action, Hotkey{key, modifiers}};
}

class Harness {
public:
    Harness() {
        Clock::setCurrent(&clock);
        auto record = [this](const char* what) { return [this, what] { calls.push_back(what); }; };
        monitor.onPushToTalkDown = record("down");
        monitor.onPushToTalkUp = record("up");
        monitor.onLock = record("lock");
        monitor.onPasteLastTranscript = record("paste");
        monitor.onDismiss = record("cancel");
        monitor.onKeyDown = [this](const KeyEvent& e) {
            keys.push_back(e);
            calls.push_back("key:" + std::to_string(e.keyCode));
        };
    }
    ~Harness() { Clock::setCurrent(nullptr); }

    void run(const std::vector<Step>& steps) {
        for (const Step& s : steps) {
            KeySourceEvent e;
            e.keyCode = s.key;
            e.flags = s.flags;
            switch (s.kind) {
            case Step::Flags: e.type = KeySourceEvent::Type::FlagsChanged; break;
            case Step::Down: e.type = KeySourceEvent::Type::KeyDown; break;
            case Step::Repeat:
                e.type = KeySourceEvent::Type::KeyDown;
                e.isRepeat = true;
                break;
            case Step::Up: e.type = KeySourceEvent::Type::KeyUp; break;
            case Step::Wait:
                clock.advance(std::chrono::duration<double>(s.seconds));
                monitor.checkComboRelease();
                continue;
            }
            monitor.handleEvent(e);
        }
        QCoreApplication::processEvents();
    }

    std::vector<std::string> hotkeyCalls() const {
        std::vector<std::string> out;
        for (const auto& c : calls)
            if (c.rfind("key:", 0) != 0) out.push_back(c);
        return out;
    }

    ManualClock clock;
    KeyboardMonitor monitor;
    std::vector<std::string> calls;
    std::vector<KeyEvent> keys;
};

struct MatchCase {
    const char* name;
    QList<HotkeyBinding> bindings;
    std::vector<Step> steps;
    std::vector<std::string> expected;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class HotkeyMatchingTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(HotkeyMatchingTest, ReportsTheExpectedCallbacks) {
    const MatchCase& c = GetParam();
    Harness h;
    h.monitor.setHotkeyBindings(c.bindings);
    h.monitor.startWithoutKeySource();
    h.run(c.steps);
    EXPECT_EQ(h.hotkeyCalls(), c.expected);
}

const HotkeyBinding kRightOption = bind(HotkeyAction::activate, 61);

INSTANTIATE_TEST_SUITE_P(
    Tables, HotkeyMatchingTest,
    ::testing::Values(
        MatchCase{"RightOptionPressAndRelease", {kRightOption}, {flags(61, kOpt), flags(61, 0)}, {"down", "up"}},
        MatchCase{"LeftOptionIsNotRightOption", {kRightOption}, {flags(58, kOpt), flags(58, 0)}, {}},
        MatchCase{"AnotherModifierEndsLonePushToTalk",
                  {kRightOption},
                  {flags(61, kOpt), flags(56, kOpt | kShift), flags(61, kShift), flags(56, 0), flags(61, kOpt)},
                  {"down", "up", "down"}},
        MatchCase{"LoneModifierLockNeedsARisingEdge",
                  {bind(HotkeyAction::lock, 54)},
                  {flags(55, kCmd), flags(54, kCmd), flags(54, kCmd), flags(55, 0), flags(54, 0), flags(54, kCmd)},
                  {"lock"}},
        MatchCase{"CombinationReleaseWaitsForTheDebounce",
                  {bind(HotkeyAction::activate, 59, kOpt)},
                  {flags(59, kCtrl), flags(58, kCtrl | kOpt), flags(58, kCtrl), wait(0.19)},
                  {"down"}},
        MatchCase{"CombinationReleasesAfterTheDebounce",
                  {bind(HotkeyAction::activate, 59, kOpt)},
                  {flags(59, kCtrl), flags(58, kCtrl | kOpt), flags(58, kCtrl), wait(0.2)},
                  {"down", "up"}},
        MatchCase{"CombinationRestoredInTimeStaysHeld",
                  {bind(HotkeyAction::activate, 59, kOpt)},
                  {flags(62, kCtrl), flags(61, kCtrl | kOpt), flags(61, kCtrl), wait(0.1), flags(58, kCtrl | kOpt),
                   wait(0.2), flags(58, kCtrl), wait(0.2)},
                  {"down", "up"}},
        MatchCase{"OrdinaryActivateKeyIgnoresRepeats",
                  {bind(HotkeyAction::activate, 96)},
                  {down(96), repeat(96), repeat(96), up(96), down(96, kCmd), up(96)},
                  {"down", "up", "down", "up"}},
        MatchCase{"KeyUpOfAnotherKeyDoesNotRelease", {bind(HotkeyAction::activate, 96)}, {down(96), up(97)}, {"down"}},
        MatchCase{"LockFiresOncePerPressNotPerRepeat",
                  {bind(HotkeyAction::lock, 49, kOpt)},
                  {down(49, kOpt), repeat(49, kOpt), repeat(49, kOpt), down(49, kOpt | kShift), down(49)},
                  {"lock", "lock"}},
        MatchCase{"CancelMatchesWithAnyModifiers",
                  {bind(HotkeyAction::cancel, 53)},
                  {down(53), repeat(53), down(53, kCmd | kShift)},
                  {"cancel", "cancel"}},
        MatchCase{"PasteLastNeedsEveryNamedModifier",
                  {bind(HotkeyAction::pasteLastTranscript, 9, kCmd | kCtrl)},
                  {down(9, kCmd), down(9, kCtrl), down(9, kCmd | kCtrl), repeat(9, kCmd | kCtrl)},
                  {"paste"}},
        MatchCase{"TwoBindingsOnOneKeyFireInListOrder",
                  {bind(HotkeyAction::cancel, 53), bind(HotkeyAction::lock, 53)},
                  {down(53)},
                  {"cancel", "lock"}},
        MatchCase{"NoBindingsNoHotkeys", {}, {flags(61, kOpt), flags(61, 0), down(53)}, {}},
        // Only the first binding of each action counts, for the press and for the release.
        MatchCase{"SecondPushToTalkModifierDoesNotEndTheFirst",
                  {kRightOption, bind(HotkeyAction::activate, 63)},
                  {flags(61, kOpt)},
                  {"down"}},
        MatchCase{"SecondPushToTalkKeyDoesNotStartOne",
                  {bind(HotkeyAction::activate, 96), bind(HotkeyAction::activate, 9)},
                  {down(9), up(9), down(96), up(96)},
                  {"down", "up"}},
        MatchCase{"SecondPasteBindingDoesNotFire",
                  {bind(HotkeyAction::pasteLastTranscript, 54), bind(HotkeyAction::pasteLastTranscript, 61, kShift)},
                  {flags(56, kShift), flags(61, kShift | kOpt), flags(54, kShift | kOpt | kCmd)},
                  {"paste"}},
        MatchCase{"CapsLockCannotBePushToTalk",
                  {bind(HotkeyAction::activate, 57)},
                  {flags(57, Hotkey::capsLockFlag), flags(56, Hotkey::capsLockFlag | kShift)},
                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(KeyboardMonitorTest, EveryKeyDownIsRecordedAfterItsHotkeyCallback) {
    Harness h;
    h.monitor.startWithoutKeySource();  // no bindings: the records still come, flags still tracked
    h.run({flags(56, kShift)});
    EXPECT_EQ(h.monitor.heldModifierFlags(), kShift);

    h.monitor.setHotkeyBindings({bind(HotkeyAction::cancel, 53)});
    KeySourceEvent a{KeySourceEvent::Type::KeyDown, 0, kShift, false, QStringLiteral("A")};
    KeySourceEvent esc{KeySourceEvent::Type::KeyDown, 53, 0, true, QStringLiteral("\x1b")};
    h.monitor.handleEvent(a);
    h.monitor.handleEvent(esc);
    QCoreApplication::processEvents();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"key:0", "key:53"}));  // a repeat fires no cancel
    ASSERT_EQ(h.keys.size(), 2u);
    EXPECT_EQ(h.keys[0], (KeyEvent{0, kShift, "A", false}));
    EXPECT_TRUE(h.keys[1].isRepeat);

    h.calls.clear();
    esc.isRepeat = false;
    h.monitor.handleEvent(esc);
    QCoreApplication::processEvents();
    EXPECT_EQ(h.calls, (std::vector<std::string>{"cancel", "key:53"}));
}

TEST(KeyboardMonitorTest, NothingIsDeliveredOnceStopped) {
    Harness h;
    h.monitor.setHotkeyBindings({kRightOption});
    h.monitor.startWithoutKeySource();
    h.monitor.handleEvent({KeySourceEvent::Type::FlagsChanged, 61, kOpt, false, {}});
    EXPECT_TRUE(h.monitor.isPushToTalkHeld());
    h.monitor.stop();  // the DOWN already posted must not arrive after stop()
    EXPECT_FALSE(h.monitor.isPushToTalkHeld());
    h.run({flags(61, 0), down(0)});
    EXPECT_TRUE(h.calls.empty());
}

TEST(KeyboardMonitorTest, ChangingThePushToTalkHotkeyWhileHeldReleasesIt) {
    Harness h;
    h.monitor.setHotkeyBindings({bind(HotkeyAction::activate, 96), bind(HotkeyAction::cancel, 53)});
    h.monitor.startWithoutKeySource();
    h.run({down(96)});
    h.monitor.setHotkeyBindings({bind(HotkeyAction::activate, 96), bind(HotkeyAction::lock, 49)});
    EXPECT_TRUE(h.monitor.isPushToTalkHeld());    // same push-to-talk hotkey: still held
    h.monitor.setHotkeyBindings({kRightOption});  // e.g. the server's copy arrives mid-press
    h.run({up(96)});
    EXPECT_FALSE(h.monitor.isPushToTalkHeld());
    EXPECT_EQ(h.hotkeyCalls(), (std::vector<std::string>{"down", "up"}));
}

TEST(KeyboardMonitorTest, BindingsUpdateTakesTheFirstActivateBinding) {
    KeyboardMonitor monitor;
    monitor.setHotkeyBindings(
        {bind(HotkeyAction::lock, 49, kOpt), bind(HotkeyAction::activate, 96), bind(HotkeyAction::activate, 97)});
    EXPECT_EQ(monitor.hotkey(), (Hotkey{96, 0}));
    EXPECT_EQ(monitor.pushToTalkKeyCode(), 96);
    monitor.setHotkeyBindings({bind(HotkeyAction::cancel, 53)});
    EXPECT_EQ(monitor.pushToTalkKeyCode(), 96);
}

}  // namespace
