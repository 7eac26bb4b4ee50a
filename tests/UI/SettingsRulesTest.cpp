#include "UI/Settings/SettingsRules.h"
#include "UI/Settings/ReplacementRules.h"

#include <gtest/gtest.h>

namespace {

TEST(SettingsRules, MicrophoneEntriesStartWithTheSystemDefault) {
    EXPECT_EQ(SettingsRules::microphoneEntries({}),
              (QList<SettingsRules::MicrophoneEntry>{{QStringLiteral("System Default"), std::nullopt}}));

    std::vector<AudioDeviceInfo> devices(2);
    devices[0].uid = QStringLiteral("usb-mic");
    devices[0].name = QStringLiteral("USB Mic");
    devices[1].uid = QStringLiteral("builtin");
    devices[1].name = QStringLiteral("Built-in");
    devices[1].isDefault = true;
    const auto entries = SettingsRules::microphoneEntries(devices);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[1], (SettingsRules::MicrophoneEntry{QStringLiteral("USB Mic"), QStringLiteral("usb-mic")}));
    // The default device is still chosen by its own identifier, not as "system default".
    EXPECT_EQ(entries[2],
              (SettingsRules::MicrophoneEntry{QStringLiteral("Built-in (default)"), QStringLiteral("builtin")}));
    EXPECT_EQ(SettingsRules::microphoneEntries(devices, QStringLiteral("usb-mic")), entries);
    EXPECT_EQ(SettingsRules::missingMicrophoneNotice(devices, QStringLiteral("usb-mic")), std::nullopt);
    EXPECT_EQ(SettingsRules::missingMicrophoneNotice(devices, std::nullopt), std::nullopt);

    // A chosen device that is not connected stays in the list, last, named by its identifier.
    const auto missing = SettingsRules::microphoneEntries(devices, QStringLiteral("headset"));
    ASSERT_EQ(missing.size(), 4);
    EXPECT_EQ(missing[3], (SettingsRules::MicrophoneEntry{QStringLiteral("headset (not connected)"),
                                                          QStringLiteral("headset"), false}));
    EXPECT_TRUE(SettingsRules::missingMicrophoneNotice(devices, QStringLiteral("headset")).has_value());
    EXPECT_EQ(SettingsRules::microphoneEntries({}, QStringLiteral("headset")).size(), 2);
}

TEST(SettingsRules, LanguageIndexFindsOnlyTheOfferedLanguages) {
    EXPECT_EQ(SettingsRules::languageIndex(QStringLiteral("en-US")), 0);
    EXPECT_EQ(SettingsRules::languageIndex(QStringLiteral("en-AU")), 2);
    EXPECT_EQ(SettingsRules::languageIndex(QStringLiteral("de-DE")), -1);
}

TEST(SettingsRules, WritingStyleLabelsCapitaliseEveryWord) {
    const std::pair<WritingStyle, const char*> cases[] = {
        {WritingStyle::default_, "Default"}, {WritingStyle::formal, "Formal"},
        {WritingStyle::casual, "Casual"},    {WritingStyle::veryCasual, "Very_Casual"},
        {WritingStyle::concise, "Concise"},  {WritingStyle::excited, "Excited"},
    };
    for (const auto& [style, label] : cases)
        EXPECT_EQ(SettingsRules::writingStyleLabel(style), QString::fromUtf8(label));
}

TEST(SettingsRules, SortedKeysFollowCodePoints) {
    const QString fullwidthA = QString(QChar(0xFF21));       // inside the first plane, above the surrogates
    const QString mathA = QString::fromUcs4(U"\U0001D400");  // beyond the first plane
    QMap<QString, QString> map{
        {QStringLiteral("apple"), {}}, {QStringLiteral("Apple"), {}}, {mathA, {}}, {fullwidthA, {}}};
    EXPECT_EQ(SettingsRules::sortedKeys(map),
              (QStringList{QStringLiteral("Apple"), QStringLiteral("apple"), fullwidthA, mathA}));
}

TEST(SettingsRules, RemovingAWordRemovesEveryExactCopy) {
    const QStringList words{QStringLiteral("Kubernetes"), QStringLiteral("kubernetes"), QStringLiteral("Kubernetes"),
                            QStringLiteral("Qt")};
    EXPECT_EQ(SettingsRules::removingWord(words, QStringLiteral("Kubernetes")),
              (QStringList{QStringLiteral("kubernetes"), QStringLiteral("Qt")}));
}

TEST(SettingsRules, ShownHotkeyIsTheFirstBindingOrRightAlt) {
    VantroseSettings settings;
    settings.hotkeys = {{HotkeyAction::lock, Hotkey{49, Hotkey::optionFlag}}, {HotkeyAction::lock, Hotkey{1, 0}}};
    EXPECT_EQ(SettingsRules::shownHotkey(settings, HotkeyAction::lock), (Hotkey{49, Hotkey::optionFlag}));
    EXPECT_EQ(SettingsRules::shownHotkey(settings, HotkeyAction::cancel), (Hotkey{61, 0}));
}

TEST(SettingsRules, ConflictsAreExactMatchesWithAnotherAction) {
    const VantroseSettings defaults;  // activate Right Alt, lock Ctrl+Alt+Space, paste Ctrl+Super+V, cancel Esc
    struct Case {
        Hotkey hotkey;
        HotkeyAction action;
        std::optional<HotkeyAction> conflict;
    };
    const Case cases[] = {
        {{53, 0}, HotkeyAction::activate, HotkeyAction::cancel},
        {{49, Hotkey::controlFlag | Hotkey::optionFlag}, HotkeyAction::activate, HotkeyAction::lock},
        {{61, 0}, HotkeyAction::activate, std::nullopt},  // its own hotkey again
        {{49, 0}, HotkeyAction::activate, std::nullopt},  // same key, other modifiers
        {{58, 0}, HotkeyAction::cancel, std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SettingsRules::conflictingAction(defaults, c.hotkey, c.action), c.conflict)
            << c.hotkey.displayName().toStdString();
    EXPECT_EQ(SettingsRules::conflictMessage({53, 0}, HotkeyAction::cancel),
              QStringLiteral("Esc is already used by Cancel. Choose another key or change Cancel first."));
}

TEST(SettingsRules, OnlyKeysTheDesktopNeverSeesGetANotice) {
    EXPECT_EQ(SettingsRules::unseenKeyNotice({63, 0}),
              QStringLiteral("Fn does not reach the desktop on this computer, so it cannot start Vantrose here."));
    for (const Hotkey& seen : {Hotkey{61, 0}, Hotkey{96, 0}, Hotkey{59, Hotkey::optionFlag}, Hotkey{49, 0}})
        EXPECT_EQ(SettingsRules::unseenKeyNotice(seen), std::nullopt) << seen.displayName().toStdString();
}

TEST(SettingsRules, EveryPresetIsAKeyTheDesktopSeesLabelledAsTheRecorderShowsIt) {
    for (const SettingsRules::Preset& preset : SettingsRules::pushToTalkPresets()) {
        EXPECT_EQ(preset.label, preset.hotkey.displayName());
        EXPECT_EQ(SettingsRules::unseenKeyNotice(preset.hotkey), std::nullopt) << preset.label.toStdString();
    }
}

TEST(ReplacementRules, NewRulesAreCheckedBeforeTheyAreStored) {
    const QList<TextReplacement> rules{{QStringLiteral("my email"), QStringLiteral("jane@example.com")}};
    struct Case {
        const char* trigger;
        const char* replacement;
        bool accepted;
    };
    const Case cases[] = {
        {"", "x", false},
        {"sig", "", false},
        {"   ", "x", false},            // spaces alone never match a word
        {"my email", "other", false},   // the same trigger again would never apply
        {"My  Email", "other", false},  // ... nor would one differing only in case and spacing
        {"my emails", "x", true},
        {" home ", " ", true},  // kept as typed: a replacement of spaces removes the phrase
    };
    for (const Case& c : cases) {
        const QString problem =
            ReplacementRules::problemWithNewRule(rules, QString::fromUtf8(c.trigger), QString::fromUtf8(c.replacement));
        EXPECT_EQ(problem.isEmpty(), c.accepted) << c.trigger << " -> " << problem.toStdString();
    }
    EXPECT_EQ(ReplacementRules::problemWithNewRule(rules, QStringLiteral("MY EMAIL"), QStringLiteral("x")),
              QStringLiteral("“my email” already has a replacement. Delete that rule first to change it."));
}

TEST(ReplacementRules, AddingKeepsTheTextAndDeletingMatchesTheExactTrigger) {
    QList<TextReplacement> rules = ReplacementRules::adding({}, QStringLiteral(" Sig "), QStringLiteral("Best, J"));
    EXPECT_EQ(rules, (QList<TextReplacement>{{QStringLiteral(" Sig "), QStringLiteral("Best, J")}}));

    rules = {{QStringLiteral("a"), QStringLiteral("1")},
             {QStringLiteral("A"), QStringLiteral("2")},
             {QStringLiteral("b"), QStringLiteral("3")},
             {QStringLiteral("a"), QStringLiteral("4")}};
    EXPECT_EQ(ReplacementRules::removingTrigger(rules, QStringLiteral("a")),
              (QList<TextReplacement>{{QStringLiteral("A"), QStringLiteral("2")},
                                      {QStringLiteral("b"), QStringLiteral("3")}}));
}

}  // namespace
