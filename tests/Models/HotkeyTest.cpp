#include "Models/Hotkey.h"
#include "Models/VantroseSettings.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

namespace {

constexpr quint64 kShift = Hotkey::shiftFlag;
constexpr quint64 kControl = Hotkey::controlFlag;
constexpr quint64 kOption = Hotkey::optionFlag;
constexpr quint64 kCommand = Hotkey::commandFlag;
constexpr quint64 kCapsLock = Hotkey::capsLockFlag;
constexpr quint64 kFunction = Hotkey::functionFlag;

QString str(const char* utf8) { return QString::fromUtf8(utf8); }

VantroseSettings withBindings(QList<HotkeyBinding> bindings) {
    VantroseSettings s;
    s.hotkeys = std::move(bindings);
    return s;
}

}  // namespace

TEST(HotkeyTest, ModifierKeysMapToTheirFlags) {
    struct Case {
        quint16 keyCode;
        quint64 flag;
    };
    const Case cases[] = {
        {54, kCommand}, {55, kCommand}, {56, kShift},    {57, kCapsLock}, {58, kOption}, {59, kControl}, {60, kShift},
        {61, kOption},  {62, kControl}, {63, kFunction}, {53, 0},         {64, 0},       {0, 0},         {65535, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyCode);
        EXPECT_EQ(Hotkey::modifierFlag(c.keyCode), c.flag);
        EXPECT_EQ((Hotkey{c.keyCode, 0}.primaryModifierFlag()), c.flag);
        EXPECT_EQ(Hotkey::modifierKeyCodes().contains(c.keyCode), c.flag != 0);
    }
    EXPECT_EQ(Hotkey::modifierKeyCodes().size(), 10);
}

TEST(HotkeyTest, KeyNames) {
    struct Case {
        quint16 keyCode;
        const char* name;
    };
    const Case cases[] = {
        // letters, digits and punctuation follow the physical layout, not the alphabet
        {0, "A"},
        {4, "H"},
        {5, "G"},
        {9, "V"},
        {11, "B"},
        {15, "R"},
        {16, "Y"},
        {17, "T"},
        {18, "1"},
        {22, "6"},
        {23, "5"},
        {24, "="},
        {27, "-"},
        {29, "0"},
        {30, "]"},
        {33, "["},
        {35, "P"},
        {37, "L"},
        {39, "'"},
        {41, ";"},
        {42, "\\"},
        {43, ","},
        {44, "/"},
        {47, "."},
        {50, "`"},
        // keys named as a PC keyboard names them: Command is Super, Option is Alt
        {36, "Enter"},
        {48, "Tab"},
        {49, "Space"},
        {51, "Backspace"},
        {53, "Esc"},
        {76, "Keypad Enter"},
        {54, "Right Super"},
        {55, "Left Super"},
        {56, "Left Shift"},
        {57, "Caps Lock"},
        {58, "Left Alt"},
        {59, "Left Ctrl"},
        {60, "Right Shift"},
        {61, "Right Alt"},
        {62, "Right Ctrl"},
        {63, "Fn"},
        {114, "Insert"},  // the Help key sits where a PC keyboard has Insert
        {115, "Home"},
        {116, "Page Up"},
        {117, "Delete"},
        {119, "End"},
        {121, "Page Down"},
        {123, "Left"},
        {124, "Right"},
        {125, "Down"},
        {126, "Up"},
        // function keys sit at scattered codes
        {122, "F1"},
        {120, "F2"},
        {99, "F3"},
        {118, "F4"},
        {96, "F5"},
        {97, "F6"},
        {98, "F7"},
        {100, "F8"},
        {101, "F9"},
        {109, "F10"},
        {103, "F11"},
        {111, "F12"},
        {105, "F13"},
        {107, "F14"},
        {113, "F15"},
        // everything else is named by its code
        {10, "Key 10"},
        {52, "Key 52"},
        {64, "Key 64"},
        {75, "Key 75"},
        {77, "Key 77"},
        {102, "Key 102"},
        {118, "F4"},
        {120, "F2"},
        {127, "Key 127"},
        {200, "Key 200"},
        {65535, "Key 65535"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keyCode);
        EXPECT_EQ(Hotkey::keyName(c.keyCode), str(c.name));
    }
}

TEST(HotkeyTest, DisplayName) {
    struct Case {
        quint16 keyCode;
        quint64 modifiers;
        const char* text;
    };
    const Case cases[] = {
        {61, 0, "Right Alt"},
        {61, kOption, "Alt"},
        {49, kOption, "Alt+Space"},
        {49, kControl | kOption, "Ctrl+Alt+Space"},
        {9, kControl | kCommand, "Ctrl+Super+V"},
        {53, 0, "Esc"},
        {59, kOption, "Alt+Left Ctrl"},  // the key's own flag is missing, so its name stays
        {63, kFunction, "Fn"},           // Fn is not a named modifier: the key's name stays
        {200, 0, "Key 200"},
        {55, kCommand | kShift, "Shift+Super"},
        {55, kShift, "Shift+Left Super"},
        {57, kCapsLock, "Caps Lock"},
        {0, kShift | kCommand | kOption | kControl, "Ctrl+Alt+Shift+Super+A"},  // fixed order
        {9, kFunction | kCapsLock | 0x1 | 0x100, "V"},                          // bits without a name
        {62, kControl | kShift, "Ctrl+Shift"},
        {62, kFunction, "Right Ctrl"},  // a flag without a name shows nothing
    };
    for (const Case& c : cases) {
        const Hotkey hotkey{c.keyCode, c.modifiers};
        SCOPED_TRACE(QStringLiteral("key %1 modifiers %2").arg(c.keyCode).arg(c.modifiers).toStdString());
        EXPECT_EQ(hotkey.displayName(), str(c.text));
    }
}

TEST(HotkeyTest, ActionRawValuesInCaseOrder) {
    const QList<HotkeyAction> all = allCases<HotkeyAction>();
    const QStringList raw{"activate", "lock", "paste_last_transcript", "cancel"};
    ASSERT_EQ(all.size(), raw.size());
    for (qsizetype i = 0; i < all.size(); ++i) {
        EXPECT_EQ(rawValue(all[i]), raw[i]);
        EXPECT_EQ(fromRawValue<HotkeyAction>(raw[i]), all[i]);
    }
    for (const char* unknown : {"Activate", "paste-last-transcript", "", " lock"})
        EXPECT_FALSE(fromRawValue<HotkeyAction>(str(unknown)).has_value()) << unknown;
}

TEST(HotkeyTest, BindingIdentity) {
    struct Case {
        HotkeyBinding binding;
        const char* id;
    };
    const Case cases[] = {
        {{HotkeyAction::activate, {61, 0}}, "activate_61_0"},
        {{HotkeyAction::pasteLastTranscript, {9, kControl | kCommand}}, "paste_last_transcript_9_1310720"},
        {{HotkeyAction::lock, {49, kOption}}, "lock_49_524288"},
        {{HotkeyAction::cancel, {53, 0xFFFFFFFFFFFFFFFFull}}, "cancel_53_18446744073709551615"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.binding.id(), str(c.id));
}

TEST(HotkeyTest, EqualityTakesEveryModifierBit) {
    EXPECT_EQ((Hotkey{61, kOption}), (Hotkey{61, kOption}));
    EXPECT_NE((Hotkey{61, kOption}), (Hotkey{61, kOption | 0x100}));  // same display name, other value
    EXPECT_NE((HotkeyBinding{HotkeyAction::lock, {61, 0}}), (HotkeyBinding{HotkeyAction::activate, {61, 0}}));
}

TEST(HotkeyTest, BindingJsonRoundTrip) {
    const HotkeyBinding bindings[] = {
        {HotkeyAction::activate, {61, 0}},
        {HotkeyAction::pasteLastTranscript, {9, kControl | kCommand}},
        {HotkeyAction::cancel, {65535, 0x7FFFFFFFFFFFFFFFull}},
        {HotkeyAction::lock, {0, 0xFFFFFFFFFFFFFFFFull}},  // beyond the signed range still survives
    };
    for (const HotkeyBinding& b : bindings) {
        SCOPED_TRACE(b.id().toStdString());
        const QByteArray bytes = JsonCoding::toBytes(b.toJson());
        const auto decoded = JsonCoding::decode<HotkeyBinding>(bytes);
        ASSERT_TRUE(decoded.ok()) << decoded.error().toString().toStdString();
        EXPECT_EQ(*decoded, b);
    }
    EXPECT_EQ(JsonCoding::toBytes(HotkeyBinding{HotkeyAction::lock, {49, kOption}}.toJson()),
              R"({"action":"lock","hotkey":{"keyCode":49,"modifiers":524288}})");
}

TEST(HotkeyTest, BindingJsonRejectsBadMembers) {
    struct Case {
        const char* json;
        const char* errorPath;
    };
    const Case cases[] = {
        {R"({"hotkey":{"keyCode":1,"modifiers":0}})", "action"},
        {R"({"action":"activate"})", "hotkey"},
        {R"({"action":"Activate","hotkey":{"keyCode":1,"modifiers":0}})", "action"},
        {R"({"action":3,"hotkey":{"keyCode":1,"modifiers":0}})", "action"},
        {R"({"action":"activate","hotkey":[61,0]})", "hotkey"},
        {R"({"action":"activate","hotkey":{"modifiers":0}})", "hotkey.keyCode"},
        {R"({"action":"activate","hotkey":{"keyCode":61}})", "hotkey.modifiers"},
        {R"({"action":"activate","hotkey":{"keyCode":"61","modifiers":0}})", "hotkey.keyCode"},
        {R"({"action":"activate","hotkey":{"keyCode":65536,"modifiers":0}})", "hotkey.keyCode"},
        {R"({"action":"activate","hotkey":{"keyCode":-1,"modifiers":0}})", "hotkey.keyCode"},
        {R"({"action":"activate","hotkey":{"keyCode":61.5,"modifiers":0}})", "hotkey.keyCode"},
        {R"({"action":"activate","hotkey":{"keyCode":61,"modifiers":-1}})", "hotkey.modifiers"},
        {R"({"action":"activate","hotkey":{"keyCode":61,"modifiers":1e30}})", "hotkey.modifiers"},
        {R"({"action":"activate","hotkey":{"keyCode":61,"modifiers":null}})", "hotkey.modifiers"},
        {R"({"action":"activate","hotkey":{"keyCode":61,"modifiers":true}})", "hotkey.modifiers"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        const auto decoded = JsonCoding::decode<HotkeyBinding>(QByteArray(c.json));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().path, str(c.errorPath)) << decoded.error().toString().toStdString();
    }
}

TEST(HotkeyTest, DefaultBindings) {
    const VantroseSettings s;
    QStringList ids;
    for (const HotkeyBinding& b : s.hotkeys) ids << b.id();
    // Hands-free is Ctrl+Alt+Space: Alt+Space is the window manager's menu on the common desktops.
    EXPECT_EQ(ids, (QStringList{"activate_61_0", "lock_49_786432", "paste_last_transcript_9_1310720", "cancel_53_0"}));
    EXPECT_EQ(s.pushToTalkHotkey(), (Hotkey{61, 0}));

    // A stored settings file keeps the bindings it holds, the former Alt+Space default among them.
    QJsonObject stored = s.toJson();
    QJsonArray hotkeys = stored["hotkeys"].toArray();
    hotkeys[1] = HotkeyBinding{HotkeyAction::lock, {49, kOption}}.toJson();
    stored["hotkeys"] = hotkeys;
    const auto decoded = VantroseSettings::fromJson(stored);
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(decoded.value().hotkey(HotkeyAction::lock), (Hotkey{49, kOption}));
}

TEST(HotkeyTest, QueriesTakeTheFirstBindingOfAnAction) {
    const VantroseSettings twoActivates = withBindings(
        {{HotkeyAction::lock, {1, 0}}, {HotkeyAction::activate, {2, 0}}, {HotkeyAction::activate, {3, 0}}});
    EXPECT_EQ(twoActivates.pushToTalkHotkey(), (Hotkey{2, 0}));
    EXPECT_EQ(twoActivates.hotkey(HotkeyAction::activate), (Hotkey{2, 0}));
    EXPECT_EQ(twoActivates.hotkey(HotkeyAction::lock), (Hotkey{1, 0}));
    EXPECT_FALSE(twoActivates.hotkey(HotkeyAction::cancel).has_value());

    const VantroseSettings none = withBindings({{HotkeyAction::lock, {1, 0}}});
    EXPECT_EQ(none.pushToTalkHotkey(), (Hotkey{61, 0}));  // Right Alt alone
    EXPECT_FALSE(none.hotkey(HotkeyAction::activate).has_value());
}

TEST(HotkeyTest, SetHotkeyRebindsTheFirstInPlaceOrAppends) {
    const HotkeyBinding lockA{HotkeyAction::lock, {1, 0}};
    const HotkeyBinding activate{HotkeyAction::activate, {2, 0}};
    const HotkeyBinding lockB{HotkeyAction::lock, {3, 0}};
    const Hotkey fresh{40, kCommand};

    VantroseSettings s = withBindings({lockA, activate, lockB});
    s.setHotkey(fresh, HotkeyAction::lock);
    EXPECT_EQ(s.hotkeys, (QList<HotkeyBinding>{{HotkeyAction::lock, fresh}, activate, lockB}));

    s.setHotkey(fresh, HotkeyAction::cancel);
    EXPECT_EQ(s.hotkeys,
              (QList<HotkeyBinding>{{HotkeyAction::lock, fresh}, activate, lockB, {HotkeyAction::cancel, fresh}}));

    VantroseSettings empty = withBindings({});
    empty.setHotkey(fresh, HotkeyAction::activate);
    EXPECT_EQ(empty.pushToTalkHotkey(), fresh);
}
