// The portal's Activated/Deactivated turned into the key events the X11 listener hears for the
// same binding, and what the hotkey matching makes of them.
#include "Platform/Wayland/PortalShortcutKeys.h"

#include "Core/Input/KeyCodeTable.h"
#include "Core/Input/KeyTransitionTranslator.h"
#include "Foundation/Clock.h"
#include "Platform/KeyboardMonitor.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t kCmd = Hotkey::commandFlag, kShift = Hotkey::shiftFlag, kOpt = Hotkey::optionFlag,
                   kCtrl = Hotkey::controlFlag;
using Type = KeySourceEvent::Type;

HotkeyBinding bind(HotkeyAction action, uint16_t key, uint64_t modifiers = 0) {
    return {action, Hotkey{key, modifiers}};
}

std::string describe(const KeySourceEvent& e) {
    const char* type = e.type == Type::KeyDown ? "down" : e.type == Type::KeyUp ? "up" : "flags";
    return std::string(type) + ":" + std::to_string(e.keyCode) + ":" + std::to_string(e.flags) +
           (e.isRepeat ? ":repeat" : "");
}

struct Recorder {
    std::vector<std::string> events;
    PortalShortcutKeys keys{[this](const KeySourceEvent& e) { events.push_back(describe(e)); }};
};

// What the X11 listener reports when the keys are pressed in this order and released in reverse.
std::vector<std::string> physicalPressAndRelease(const std::vector<uint16_t>& keyCodes) {
    KeyTransitionTranslator translator;
    std::vector<std::string> out;
    auto transition = [&](uint16_t keyCode, bool pressed) {
        if (auto e = translator.translate(KeyCodeTable::xKeycodeFor(keyCode), pressed, false))
            out.push_back(describe(*e));
    };
    for (uint16_t key : keyCodes) transition(key, true);
    for (auto key = keyCodes.rbegin(); key != keyCodes.rend(); ++key) transition(*key, false);
    return out;
}

struct StreamCase {
    const char* name;
    Hotkey hotkey;
    std::vector<uint16_t> physicalKeys;  // the modifiers' left keys first, then the key
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class SameStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SameStreamTest, ActivationAndDeactivationAreTheBindingsKeysGoingDownAndUp) {
    const StreamCase& c = GetParam();
    Recorder r;
    r.keys.setBindings({{HotkeyAction::lock, c.hotkey}});
    r.keys.activated(HotkeyAction::lock);
    r.keys.deactivated(HotkeyAction::lock);
    EXPECT_EQ(r.events, physicalPressAndRelease(c.physicalKeys));
}

INSTANTIATE_TEST_SUITE_P(Tables, SameStreamTest,
                         ::testing::Values(StreamCase{"LoneRightAlt", {61, 0}, {61}},
                                           StreamCase{"OptionSpace", {49, kOpt}, {58, 49}},
                                           StreamCase{"ControlCommandV", {9, kCtrl | kCmd}, {59, 55, 9}},
                                           StreamCase{"PlainKey", {53, 0}, {53}},
                                           StreamCase{"TwoModifiers", {56, kCtrl | kShift}, {59, 56}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PortalShortcutKeysTest, KeysHeldByTwoShortcutsComeUpWithTheLastOne) {
    Recorder r;
    r.keys.setBindings({bind(HotkeyAction::lock, 49, kCtrl), bind(HotkeyAction::pasteLastTranscript, 9, kCtrl)});
    r.keys.activated(HotkeyAction::lock);
    r.keys.activated(HotkeyAction::pasteLastTranscript);
    r.keys.deactivated(HotkeyAction::lock);
    r.keys.deactivated(HotkeyAction::pasteLastTranscript);
    const std::string ctrl = std::to_string(kCtrl);
    EXPECT_EQ(r.events, (std::vector<std::string>{"flags:59:" + ctrl, "down:49:" + ctrl, "down:9:" + ctrl,
                                                  "up:49:" + ctrl, "up:9:" + ctrl, "flags:59:0"}));
}

TEST(PortalShortcutKeysTest, ActivatedAgainRepeatsTheKeyAndNothingElse) {
    Recorder r;
    r.keys.setBindings({bind(HotkeyAction::cancel, 53, kShift), bind(HotkeyAction::activate, 61)});
    r.keys.activated(HotkeyAction::cancel);
    r.keys.activated(HotkeyAction::cancel);
    r.keys.activated(HotkeyAction::activate);
    r.keys.activated(HotkeyAction::activate);  // a modifier reports changes only
    const std::string shift = std::to_string(kShift), both = std::to_string(kShift | kOpt);
    EXPECT_EQ(r.events, (std::vector<std::string>{"flags:56:" + shift, "down:53:" + shift,
                                                  "down:53:" + shift + ":repeat", "flags:61:" + both}));
}

TEST(PortalShortcutKeysTest, UnknownOrInactiveShortcutsDoNothing) {
    Recorder r;
    r.keys.setBindings({bind(HotkeyAction::cancel, 53)});
    r.keys.activated(HotkeyAction::lock);      // no binding
    r.keys.deactivated(HotkeyAction::cancel);  // never activated
    r.keys.releaseAll();
    EXPECT_TRUE(r.events.empty());
}

TEST(PortalShortcutKeysTest, NewBindingsLetGoOfWhatTheOldOnesHeld) {
    Recorder r;
    r.keys.setBindings({bind(HotkeyAction::activate, 61)});
    r.keys.activated(HotkeyAction::activate);
    r.keys.setBindings({bind(HotkeyAction::activate, 96)});
    EXPECT_EQ(r.events, (std::vector<std::string>{"flags:61:" + std::to_string(kOpt), "flags:61:0"}));
    EXPECT_FALSE(r.keys.isActive(HotkeyAction::activate));
}

// The hotkey matching behind the adapter: the same callbacks as with keys from the X server.
class MonitorHarness {
public:
    MonitorHarness() {
        Clock::setCurrent(&clock);
        auto record = [this](const char* what) { return [this, what] { calls.push_back(what); }; };
        monitor.onPushToTalkDown = record("down");
        monitor.onPushToTalkUp = record("up");
        monitor.onLock = record("lock");
        monitor.onPasteLastTranscript = record("paste");
        monitor.onDismiss = record("cancel");
    }
    ~MonitorHarness() { Clock::setCurrent(nullptr); }

    void setBindings(const QList<HotkeyBinding>& bindings) {
        monitor.setHotkeyBindings(bindings);
        monitor.startWithoutKeySource();
        keys.setBindings(bindings);
    }
    std::vector<std::string> settle() {
        QCoreApplication::processEvents();
        return calls;
    }

    ManualClock clock;
    KeyboardMonitor monitor;
    std::vector<std::string> calls;
    PortalShortcutKeys keys{[this](const KeySourceEvent& e) { monitor.handleEvent(e); }};
};

TEST(PortalShortcutKeysTest, EveryActionReachesItsCallback) {
    MonitorHarness h;
    h.setBindings({bind(HotkeyAction::activate, 61), bind(HotkeyAction::lock, 49, kOpt),
                   bind(HotkeyAction::pasteLastTranscript, 9, kCtrl | kCmd), bind(HotkeyAction::cancel, 53)});
    for (HotkeyAction action : allCases<HotkeyAction>()) {
        h.keys.activated(action);
        h.keys.deactivated(action);
    }
    EXPECT_EQ(h.settle(), (std::vector<std::string>{"down", "up", "lock", "paste", "cancel"}));
}

TEST(PortalShortcutKeysTest, CancelWhileHoldingPushToTalkKeepsItHeld) {
    MonitorHarness h;
    h.setBindings({bind(HotkeyAction::activate, 61), bind(HotkeyAction::cancel, 53)});
    h.keys.activated(HotkeyAction::activate);
    h.keys.activated(HotkeyAction::cancel);
    h.keys.deactivated(HotkeyAction::cancel);
    EXPECT_EQ(h.settle(), (std::vector<std::string>{"down", "cancel"}));
    EXPECT_TRUE(h.monitor.isPushToTalkHeld());
}

TEST(PortalShortcutKeysTest, AHeldPushToTalkWithoutADeactivatedIsReleasedWhenTheSessionEnds) {
    for (const Hotkey& hotkey : {Hotkey{61, 0}, Hotkey{96, 0}, Hotkey{49, kOpt | kCtrl}}) {
        MonitorHarness h;
        h.setBindings({{HotkeyAction::activate, hotkey}});
        h.keys.activated(HotkeyAction::activate);
        h.keys.releaseAll();
        h.clock.advance(std::chrono::seconds(1));  // past a combination's release debounce
        h.monitor.checkComboRelease();
        EXPECT_EQ(h.settle(), (std::vector<std::string>{"down", "up"})) << hotkey.displayName().toStdString();
        EXPECT_FALSE(h.monitor.isPushToTalkHeld());
    }
}

}  // namespace
