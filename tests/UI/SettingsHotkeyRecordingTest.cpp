#include "UI/Settings/HotkeyRecording.h"

#include <gtest/gtest.h>

#include <variant>

namespace {

constexpr quint64 kOption = Hotkey::optionFlag;
constexpr quint64 kControl = Hotkey::controlFlag;
constexpr quint64 kShift = Hotkey::shiftFlag;
constexpr quint64 kCommand = Hotkey::commandFlag;

// One input to the recorder: a modifier change, a key-down, or the combination delay running out.
struct Flags {
    quint16 key;
    quint64 flags;
};
struct Down {
    quint16 key;
    quint64 flags;
};
struct Elapsed {};
using Input = std::variant<Flags, Down, Elapsed>;

HotkeyRecording::Step feed(HotkeyRecording& r, const Input& input) {
    if (auto* f = std::get_if<Flags>(&input)) return r.flagsChanged(f->key, f->flags);
    if (auto* d = std::get_if<Down>(&input)) return r.keyDown(d->key, d->flags);
    return r.comboDelayElapsed();
}

TEST(HotkeyRecording, KeySequencesGiveTheirHotkey) {
    struct Case {
        const char* name;
        std::vector<Input> inputs;
        std::optional<Hotkey> committed;  // none: recording ends or stays without a change
        bool stillRecording;
    };
    const Case cases[] = {
        {"right option pressed and released alone",
         {Flags{61, kOption}, Flags{61, 0}, Elapsed{}},
         Hotkey{61, 0},
         false},
        {"right option then left control within the delay",
         {Flags{61, kOption}, Flags{59, kOption | kControl}, Elapsed{}},
         Hotkey{59, kOption},
         false},
        {"option then space commits on the key-down",
         {Flags{58, kOption}, Down{49, kOption}},
         Hotkey{49, kOption},
         false},
        {"command shift K",
         {Flags{55, kCommand}, Flags{56, kCommand | kShift}, Down{40, kCommand | kShift}},
         Hotkey{40, kCommand | kShift},
         false},
        {"modifiers held past the delay commit alone",
         {Flags{55, kCommand}, Flags{56, kCommand | kShift}, Elapsed{}, Down{40, kCommand | kShift}},
         Hotkey{56, kCommand},
         false},
        {"caps lock and Fn bits are never recorded",
         {Down{0, kCommand | Hotkey::capsLockFlag | Hotkey::functionFlag}},
         Hotkey{0, kCommand},
         false},
        {"Fn alone shows nothing", {Flags{63, Hotkey::functionFlag}, Elapsed{}}, std::nullopt, true},
        {"caps lock alone shows nothing", {Flags{57, Hotkey::capsLockFlag}, Elapsed{}}, std::nullopt, true},
        {"a non-modifier flags change is ignored", {Flags{40, kShift}, Elapsed{}}, std::nullopt, true},
        {"escape cancels", {Down{53, 0}}, std::nullopt, false},
        {"escape with modifiers cancels a pending modifier",
         {Flags{58, kOption}, Down{53, kOption}, Elapsed{}},
         std::nullopt,
         false},
    };
    for (const Case& c : cases) {
        HotkeyRecording r;
        r.start();
        for (const Input& input : c.inputs) feed(r, input);
        EXPECT_EQ(r.committed(), c.committed) << c.name;
        EXPECT_EQ(r.isRecording(), c.stillRecording) << c.name;
    }
}

TEST(HotkeyRecording, LabelFollowsTheRecordingState) {
    HotkeyRecording r;
    const Hotkey current{9, kCommand | kControl};
    EXPECT_EQ(r.label(current), QStringLiteral("Ctrl+Super+V"));
    r.start();
    EXPECT_EQ(r.label(current), QStringLiteral("Press a key..."));
    EXPECT_EQ(r.flagsChanged(61, kOption), HotkeyRecording::Step::pending);
    EXPECT_EQ(r.label(current), QStringLiteral("Right Alt..."));
    // A release adds no modifier: the pending key stays and the delay is not restarted.
    EXPECT_EQ(r.flagsChanged(61, 0), HotkeyRecording::Step::nothing);
    EXPECT_EQ(r.comboDelayElapsed(), HotkeyRecording::Step::committed);
    EXPECT_EQ(r.label(Hotkey{61, 0}), QStringLiteral("Right Alt"));
}

TEST(HotkeyRecording, NothingHappensOutsideRecording) {
    HotkeyRecording r;
    EXPECT_EQ(r.keyDown(0, 0), HotkeyRecording::Step::nothing);
    r.start();
    r.flagsChanged(58, kOption);
    r.cancel();
    // The delay of a cancelled combination runs out with nothing to commit.
    EXPECT_EQ(r.comboDelayElapsed(), HotkeyRecording::Step::nothing);
    EXPECT_FALSE(r.committed());
}

}  // namespace
