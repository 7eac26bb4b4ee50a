#include "Foundation/StringShield.h"
#include "Models/VantroseSettings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

// A value with every field away from its default, so a codec that drops or mixes up a member
// cannot round-trip it.
VantroseSettings everythingChanged() {
    VantroseSettings s;
    s.hotkeys = {{HotkeyAction::activate, {62, Hotkey::controlFlag}},
                 {HotkeyAction::activate, {61, 0}},
                 {HotkeyAction::cancel, {53, Hotkey::functionFlag | 0x100}}};
    s.dismissKeyCode = 65535;
    s.language = "de-CH";
    s.formattingEnabled = false;
    s.autoLearnWords = false;
    s.useLLMFormatting = true;
    s.ollamaModel = "llama3:8b";
    s.ollamaEndpoint = "http://127.0.0.1:1";
    s.cloudServerURL = "http://127.0.0.1:2";
    s.soundsEnabled = false;
    s.showOverlay = false;
    s.expandedPill = true;
    s.appInstructions = {{"org.gnome.Evolution", "Evolution", "Sign off with \"Cheers\""}, {"code", "VS Code", ""}};
    s.textReplacements = {{"btw", "by the way"}, {"smiley", "🙂"}};
    s.clipboardRestoreDelay = 1.25;
    s.typingRemindersEnabled = false;
    s.typingReminderSuppressedApps = {{"org.kde.konsole", "Konsole"}, {"firefox", "Firefox"}};
    s.personalization.overrideStyle = WritingStyle::excited;
    s.personalization.totalWordsDictated = 1234;
    s.personalization.voiceProfileUnlocked = true;
    s.personalization.writingSamples = {"Hi all,\nthanks."};
    s.writingStyle = WritingStyle::veryCasual;
    s.userName = "Zoë";
    s.customWords = {"Vantrose", "Kubernetes"};
    s.replacements = {{"gonna", "going to"}};
    s.snippets = {{"my address", "1 Main St\nSpringfield"}};
    s.selectedMicUID = "alsa_input.usb-mic";
    s.polishShortcut = "Ctrl+P";
    s.polishPrompt1 = "Shorter.";
    s.polishPrompt2 = "";
    return s;
}

// Sets (or, with an undefined value, removes) the member at a path such as "hotkeys[0].hotkey.keyCode".
QJsonValue withMember(const QJsonValue& root, const QString& path, const QJsonValue& value) {
    static const QRegularExpression head(R"(^([^.\[]+)|^\[(\d+)\])");
    const QRegularExpressionMatch m = head.match(path);
    Q_ASSERT(m.hasMatch());
    QString rest = path.mid(m.capturedLength());
    if (rest.startsWith('.')) rest.remove(0, 1);
    if (m.captured(1).isEmpty()) {
        QJsonArray array = root.toArray();
        const int index = m.captured(2).toInt();
        array[index] = rest.isEmpty() ? value : withMember(array[index], rest, value);
        return array;
    }
    QJsonObject object = root.toObject();
    const QString key = m.captured(1);
    if (!rest.isEmpty()) {
        object[key] = withMember(object[key], rest, value);
    } else if (value.isUndefined()) {
        object.remove(key);
    } else {
        object[key] = value;
    }
    return object;
}

JsonResult<VantroseSettings> decodeSettings(const QJsonValue& json) {
    return JsonCoding::decode<VantroseSettings>(QJsonDocument(json.toObject()).toJson());
}

// Every required member path of the encoded value, nested ones included.
QStringList requiredPaths(const QJsonObject& object, const QString& prefix = {}) {
    QStringList paths;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString path = JsonCoding::childPath(prefix, it.key());
        if (path == "selectedMicUID" || path == "personalization.overrideStyle") continue;
        paths << path;
        // String maps have user keys, not members; their values are checked by type.
        if (it.value().isObject() && it.key() != "typingReminderSuppressedApps" && it.key() != "replacements" &&
            it.key() != "snippets") {
            paths << requiredPaths(it.value().toObject(), path);
        }
        if (it.value().isArray() && !it.value().toArray().isEmpty() && it.value().toArray()[0].isObject())
            paths << requiredPaths(it.value().toArray()[0].toObject(), path + "[0]");
    }
    return paths;
}

}  // namespace

TEST(SettingsTest, DefaultValue) {
    const VantroseSettings s;
    EXPECT_EQ(s.dismissKeyCode, 53);
    EXPECT_EQ(s.language, "en-US");
    EXPECT_EQ(s.ollamaModel, "qwen2.5:1.5b");
    EXPECT_EQ(s.ollamaEndpoint, StringShield::ollamaBase());
    EXPECT_EQ(s.cloudServerURL, StringShield::apiBase());
    EXPECT_FALSE(s.ollamaEndpoint.isEmpty());
    EXPECT_EQ(s.clipboardRestoreDelay, 0.5);
    EXPECT_EQ(s.writingStyle, WritingStyle::default_);
    EXPECT_EQ(s.personalization, PersonalizationSettings());
    EXPECT_FALSE(s.selectedMicUID.has_value());
    EXPECT_EQ(s.polishShortcut, "Space+Fn");
    EXPECT_EQ(s.polishPrompt1, "Make this more concise.");
    EXPECT_EQ(s.polishPrompt2, "Fix grammar and spelling.");
    EXPECT_TRUE(s.formattingEnabled && s.autoLearnWords && s.soundsEnabled && s.showOverlay &&
                s.typingRemindersEnabled);
    EXPECT_FALSE(s.useLLMFormatting || s.expandedPill);
}

TEST(SettingsTest, EncodingWritesEveryMemberButAnAbsentMicrophone) {
    const QJsonObject json = VantroseSettings().toJson();
    EXPECT_EQ(json.size(), 26);
    EXPECT_FALSE(json.contains("selectedMicUID"));
    EXPECT_EQ(json["writingStyle"], "default");
    EXPECT_EQ(json["dismissKeyCode"], 53);
    EXPECT_EQ(json["hotkeys"].toArray()[2].toObject()["action"], "paste_last_transcript");

    VantroseSettings withMic;
    withMic.selectedMicUID = "mic-1";
    EXPECT_EQ(withMic.toJson().size(), 27);
    EXPECT_EQ(withMic.toJson()["selectedMicUID"], "mic-1");
}

TEST(SettingsTest, RoundTrip) {
    VantroseSettings micOnly;
    micOnly.selectedMicUID = "";
    VantroseSettings noHotkeys;
    noHotkeys.hotkeys.clear();
    const std::pair<const char*, VantroseSettings> cases[] = {
        {"default", VantroseSettings()},
        {"every field changed", everythingChanged()},
        {"empty microphone id", micOnly},
        {"no hotkeys", noHotkeys},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        const auto decoded = JsonCoding::decode<VantroseSettings>(JsonCoding::toBytes(value.toJson()));
        ASSERT_TRUE(decoded.ok()) << decoded.error().toString().toStdString();
        EXPECT_EQ(*decoded, value);
    }
}

TEST(SettingsTest, EveryRequiredMemberIsRequired) {
    const QJsonObject full = everythingChanged().toJson();
    const QStringList paths = requiredPaths(full);
    // All 26 top-level members, plus those of a binding, a hotkey, an instruction, a rule and
    // the personalisation object.
    for (const char* expected :
         {"polishPrompt2", "hotkeys[0].action", "hotkeys[0].hotkey.modifiers", "appInstructions[0].instruction",
          "textReplacements[0].replacement", "personalization.writingSamples", "personalization.totalWordsDictated"})
        EXPECT_TRUE(paths.contains(expected)) << expected;
    ASSERT_EQ(paths.size(), 26 + 2 + 2 + 3 + 2 + 13);

    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        const auto decoded = decodeSettings(withMember(full, path, QJsonValue(QJsonValue::Undefined)));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().path, path);
        EXPECT_EQ(decoded.error().message, "missing required member");
    }
}

TEST(SettingsTest, MistypedOrOutOfRangeMembersFailTheWholeDecode) {
    struct Case {
        const char* path;
        QJsonValue value;
    };
    const Case cases[] = {
        {"formattingEnabled", "true"},
        {"formattingEnabled", 1},
        {"language", QJsonValue::Null},
        {"dismissKeyCode", 70000},
        {"dismissKeyCode", -1},
        {"dismissKeyCode", 53.5},
        {"dismissKeyCode", "53"},
        {"clipboardRestoreDelay", "0.5"},
        {"writingStyle", "Formal"},
        {"writingStyle", "very-casual"},
        {"hotkeys", QJsonObject()},
        {"hotkeys[1].action", "push"},
        {"hotkeys[2].hotkey.keyCode", 65536},
        {"hotkeys[2].hotkey.modifiers", 1.5},
        {"appInstructions", "none"},
        {"appInstructions[1].bundleId", 7},
        {"textReplacements[0]", "btw"},
        {"typingReminderSuppressedApps", QJsonArray()},
        {"typingReminderSuppressedApps.firefox", true},
        {"replacements.gonna", QJsonValue::Null},
        {"customWords", "Vantrose"},
        {"customWords[1]", 3},
        {"personalization", QJsonArray()},
        {"personalization.editingStrength", "strong"},
        {"personalization.totalWordsDictated", 12.5},
        {"personalization.overrideStyle", 1},
        {"personalization.writingSamples[0]", false},
        {"selectedMicUID", 42},
        {"selectedMicUID", QJsonArray{"a"}},
    };
    const QJsonObject full = everythingChanged().toJson();
    for (const Case& c : cases) {
        const QString path = QString::fromUtf8(c.path);
        SCOPED_TRACE(QJsonDocument(QJsonArray{path, c.value}).toJson(QJsonDocument::Compact).toStdString());
        const auto decoded = decodeSettings(withMember(full, path, c.value));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().path, path) << decoded.error().toString().toStdString();
    }
}

TEST(SettingsTest, OptionalMembersAcceptMissingAndNull) {
    const QJsonObject full = everythingChanged().toJson();
    struct Case {
        const char* path;
        QJsonValue value;
    };
    for (const Case& c :
         {Case{"selectedMicUID", QJsonValue::Null}, Case{"selectedMicUID", QJsonValue(QJsonValue::Undefined)},
          Case{"personalization.overrideStyle", QJsonValue::Null},
          Case{"personalization.overrideStyle", QJsonValue(QJsonValue::Undefined)}}) {
        SCOPED_TRACE(c.path);
        const auto decoded = decodeSettings(withMember(full, c.path, c.value));
        ASSERT_TRUE(decoded.ok()) << decoded.error().toString().toStdString();
        if (QByteArray(c.path) == "selectedMicUID") {
            EXPECT_FALSE(decoded->selectedMicUID.has_value());
        } else {
            EXPECT_FALSE(decoded->personalization.overrideStyle.has_value());
        }
    }
}

TEST(SettingsTest, UnknownMembersAreIgnored) {
    QJsonValue json = everythingChanged().toJson();
    json = withMember(json, "futureSetting", QJsonObject{{"x", 1}});
    json = withMember(json, "hotkeys[0].label", "push");
    json = withMember(json, "hotkeys[0].hotkey.device", 3);
    json = withMember(json, "personalization.tone", "warm");
    const auto decoded = decodeSettings(json);
    ASSERT_TRUE(decoded.ok()) << decoded.error().toString().toStdString();
    EXPECT_EQ(*decoded, everythingChanged());
}

TEST(SettingsTest, DuplicateAndEmptyBindingListsDecodeAsWritten) {
    const auto two = decodeSettings(everythingChanged().toJson());
    ASSERT_TRUE(two.ok());
    ASSERT_EQ(two->hotkeys.size(), 3);
    EXPECT_EQ(two->hotkeys[0].hotkey, (Hotkey{62, Hotkey::controlFlag}));
    EXPECT_EQ(two->hotkeys[1].hotkey, (Hotkey{61, 0}));
    EXPECT_EQ(two->pushToTalkHotkey(), (Hotkey{62, Hotkey::controlFlag}));

    const auto none = decodeSettings(withMember(VantroseSettings().toJson(), "hotkeys", QJsonArray()));
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none->hotkeys.isEmpty());
    EXPECT_EQ(none->pushToTalkHotkey(), (Hotkey{61, 0}));
}

TEST(SettingsTest, DocumentsThatAreNoSettingsObjectFail) {
    for (const char* text : {"", "[]", "\"settings\"", "null", "{\"language\": \"en-US\"", "{}"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(JsonCoding::decode<VantroseSettings>(QByteArray(text)).ok());
    }
}

TEST(SettingsTest, ListRecordsIdentityAndEquality) {
    const AppInstruction a{"org.gnome.Evolution", "Evolution", "Be brief."};
    AppInstruction b = a;
    b.instruction = "Be formal.";
    EXPECT_EQ(a.id(), b.id());
    EXPECT_NE(a, b);

    const TextReplacement r{"btw", "by the way"};
    TextReplacement q = r;
    q.replacement = "BTW";
    EXPECT_EQ(r.id(), q.id());
    EXPECT_NE(r, q);
    EXPECT_EQ(JsonCoding::toBytes(r.toJson()), R"({"replacement":"by the way","trigger":"btw"})");
}
