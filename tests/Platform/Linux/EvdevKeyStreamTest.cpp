// Keyboard records (struct input_event) decoded into the key events the X11 listener reports.
#include "Platform/Linux/EvdevKeyStream.h"

#include "Foundation/Clock.h"
#include "Models/Hotkey.h"
#include "Platform/KeyboardMonitor.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <linux/input.h>

#include <string>
#include <vector>

namespace {

constexpr uint64_t kOpt = Hotkey::optionFlag, kShift = Hotkey::shiftFlag;
using Type = KeySourceEvent::Type;

QByteArray record(uint16_t type, uint16_t code, int32_t value) {
    input_event event{};
    event.type = type;
    event.code = code;
    event.value = value;
    return QByteArray(reinterpret_cast<const char*>(&event), sizeof event);
}
QByteArray key(uint16_t code, int32_t value) { return record(EV_KEY, code, value) + record(EV_SYN, SYN_REPORT, 0); }
QByteArray press(uint16_t code) { return key(code, 1); }
QByteArray repeat(uint16_t code) { return key(code, 2); }
QByteArray release(uint16_t code) { return key(code, 0); }

std::string describe(const KeySourceEvent& e) {
    const char* type = e.type == Type::KeyDown ? "down" : e.type == Type::KeyUp ? "up" : "flags";
    std::string out = std::string(type) + ":" + std::to_string(e.keyCode) + ":" + std::to_string(e.flags);
    if (e.isRepeat) out += ":repeat";
    if (!e.characters.isEmpty()) out += ":" + e.characters.toStdString();
    return out;
}

struct Stream {
    std::vector<std::string> events;
    EvdevKeyStream stream{[this](const KeySourceEvent& e) { events.push_back(describe(e)); }};
    bool feed(int device, const QByteArray& bytes) {
        return stream.feed(device, bytes.constData(), size_t(bytes.size()));
    }
};

const std::string kOptS = std::to_string(kOpt), kShiftS = std::to_string(kShift);

struct DecodeCase {
    const char* name;
    QByteArray bytes;
    std::vector<std::string> expected;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class EvdevDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(EvdevDecodeTest, ReportsWhatTheX11ListenerReports) {
    const DecodeCase& c = GetParam();
    Stream s;
    s.feed(1, c.bytes);
    EXPECT_EQ(s.events, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, EvdevDecodeTest,
    ::testing::Values(
        // Right Alt is evdev 100, X keycode 108, the settings' 61.
        DecodeCase{"ModifierPressRepeatRelease",
                   press(KEY_RIGHTALT) + repeat(KEY_RIGHTALT) + release(KEY_RIGHTALT),
                   {"flags:61:" + kOptS, "flags:61:0"}},
        DecodeCase{"LetterTypesItsCharacter",
                   press(KEY_A) + repeat(KEY_A) + release(KEY_A),
                   {"down:0:0:a", "down:0:0:repeat:a", "up:0:0"}},
        DecodeCase{"ShiftChangesTheCharacterAndTheFlags",
                   press(KEY_LEFTSHIFT) + press(KEY_A) + release(KEY_A) + release(KEY_LEFTSHIFT),
                   {"flags:56:" + kShiftS, "down:0:" + kShiftS + ":A", "up:0:" + kShiftS, "flags:56:0"}},
        DecodeCase{"RepeatWithoutAPressIsThePress", repeat(KEY_F5), {"down:96:0"}},
        DecodeCase{"ScanCodesLedsAndButtonsArePassedOver",
                   record(EV_MSC, MSC_SCAN, 0x70004) + record(EV_LED, LED_CAPSL, 1) + key(BTN_LEFT, 1) + key(KEY_A, 7) +
                       press(KEY_ESC),
                   {"down:53:0:\x1b"}},
        // The kernel's buffer overflowed: keys between the drop and the next report are not trusted.
        DecodeCase{"EventsAfterADropWaitForTheReport",
                   press(KEY_B) + record(EV_SYN, SYN_DROPPED, 0) + key(KEY_C, 1),
                   {"down:11:0:b"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EvdevKeyStreamTest, RecordsSplitAcrossReadsAreJoined) {
    Stream whole, split;
    const QByteArray bytes = press(KEY_LEFTSHIFT) + press(KEY_A) + release(KEY_A);
    whole.feed(1, bytes);
    for (qsizetype i = 0; i < bytes.size(); i += 5) split.feed(1, bytes.mid(i, 5));
    EXPECT_EQ(split.events, whole.events);
    EXPECT_EQ(split.events.size(), 3u);
}

TEST(EvdevKeyStreamTest, ADeviceRemovedMidPressReleasesWhatItHeld) {
    Stream s;
    s.feed(1, press(KEY_RIGHTALT) + press(KEY_F5));
    s.feed(1, record(EV_KEY, KEY_G, 1).left(10));  // half a record, then the device is gone
    s.events.clear();
    EXPECT_EQ(s.stream.removeDevice(1), 10u);
    EXPECT_EQ(s.events, (std::vector<std::string>{"up:96:" + kOptS, "flags:61:0"}));
    s.events.clear();
    s.feed(1, press(KEY_RIGHTALT));  // the same number later is a new device with nothing held
    EXPECT_EQ(s.events, (std::vector<std::string>{"flags:61:" + kOptS}));
}

TEST(EvdevKeyStreamTest, AKeyHeldOnTwoKeyboardsComesUpWithTheLast) {
    Stream s;
    s.feed(1, press(KEY_LEFTSHIFT));
    s.feed(2, press(KEY_LEFTSHIFT));
    s.feed(1, release(KEY_LEFTSHIFT));
    EXPECT_EQ(s.events, (std::vector<std::string>{"flags:56:" + kShiftS}));
    s.stream.removeDevice(2);
    EXPECT_EQ(s.events, (std::vector<std::string>{"flags:56:" + kShiftS, "flags:56:0"}));
}

TEST(EvdevKeyStreamTest, AfterDroppedEventsTheDevicesKeysAreTakenAsReported) {
    Stream s;
    s.feed(1, press(KEY_RIGHTALT) + press(KEY_F5));
    EXPECT_TRUE(s.feed(1, record(EV_SYN, SYN_DROPPED, 0) + record(EV_SYN, SYN_REPORT, 0)));
    s.events.clear();
    EvdevKeyStream::KeyBits down;
    down.set(KEY_F5);
    down.set(KEY_A);  // went down while events were dropped
    s.stream.resync(1, down);
    EXPECT_EQ(s.events, (std::vector<std::string>{"down:0:" + kOptS + ":a", "flags:61:0"}));

    s.events.clear();
    s.stream.resync(1, std::nullopt);  // cannot be asked: everything comes up
    EXPECT_EQ(s.events, (std::vector<std::string>{"up:0:0", "up:96:0"}));
}

TEST(EvdevKeyStreamTest, PushToTalkThroughTheHotkeyMatching) {
    ManualClock clock;
    Clock::setCurrent(&clock);
    KeyboardMonitor monitor;
    std::vector<std::string> calls;
    monitor.onPushToTalkDown = [&] { calls.push_back("down"); };
    monitor.onPushToTalkUp = [&] { calls.push_back("up"); };
    monitor.setHotkeyBindings({{HotkeyAction::activate, {Hotkey::rightOptionKeyCode, 0}}});
    monitor.startWithoutKeySource();
    EvdevKeyStream stream([&](const KeySourceEvent& e) { monitor.handleEvent(e); });
    const QByteArray held = press(KEY_RIGHTALT) + repeat(KEY_RIGHTALT) + repeat(KEY_RIGHTALT);
    stream.feed(3, held.constData(), size_t(held.size()));
    stream.removeDevice(3);
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, (std::vector<std::string>{"down", "up"}));
    Clock::setCurrent(nullptr);
}

}  // namespace
