#pragma once

#include "Models/Hotkey.h"
#include "Models/JsonCoding.h"
#include "Models/Personalization.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

// A formatting instruction for one application. Identity in lists: bundleId.
struct AppInstruction {
    QString bundleId;  // the application's identifier (desktop-file or Flatpak id on Linux)
    QString appName;
    QString instruction;  // free text handed to formatting for that application

    const QString& id() const { return bundleId; }
    bool operator==(const AppInstruction&) const = default;

    QJsonObject toJson() const;
    static JsonResult<AppInstruction> fromJson(const QJsonValue& json, const QString& path = {});
};

// One of the user's replacement rules, applied to the finished text. Identity in lists: trigger.
struct TextReplacement {
    QString trigger;      // the spoken word or phrase
    QString replacement;  // the text put in its place

    const QString& id() const { return trigger; }
    bool operator==(const TextReplacement&) const = default;

    QJsonObject toJson() const;
    static JsonResult<TextReplacement> fromJson(const QJsonValue& json, const QString& path = {});
};

// Every user setting in one value. A default-constructed value is the first-run default.
// Its JSON form is what the settings file and the server copy hold; decoding is all or nothing.
struct VantroseSettings {
    VantroseSettings();  // the defaults; the two base URLs come from the server constants

    // For each action the first binding with it counts. Later bindings of an action (a settings
    // file or the server's copy may hold them) are kept as they are but never fire: the hotkey
    // listener ignores them for presses and releases alike, and logs that it does.
    QList<HotkeyBinding> hotkeys;
    quint16 dismissKeyCode = Hotkey::escapeKeyCode;
    QString language = QStringLiteral("en-US");
    bool formattingEnabled = true;
    bool autoLearnWords = true;
    bool useLLMFormatting = false;
    QString ollamaModel = QStringLiteral("qwen2.5:1.5b");
    QString ollamaEndpoint;
    QString cloudServerURL;
    bool soundsEnabled = true;
    bool showOverlay = true;
    bool expandedPill = false;
    QList<AppInstruction> appInstructions;
    QList<TextReplacement> textReplacements;
    double clipboardRestoreDelay = 0.5;  // seconds
    bool typingRemindersEnabled = true;
    QMap<QString, QString> typingReminderSuppressedApps;  // application id -> application name
    PersonalizationSettings personalization;
    WritingStyle writingStyle = WritingStyle::default_;
    QString userName;
    QStringList customWords;
    QMap<QString, QString> replacements;    // spoken form -> written form
    QMap<QString, QString> snippets;        // trigger -> expansion
    std::optional<QString> selectedMicUID;  // absent: the system default input
    QString polishShortcut = QStringLiteral("Space+Fn");
    QString polishPrompt1 = QStringLiteral("Make this more concise.");
    QString polishPrompt2 = QStringLiteral("Fix grammar and spelling.");

    static QList<HotkeyBinding> defaultHotkeys();

    // The hotkey of the first push-to-talk binding; Right Alt (Right Option) alone when there is none.
    Hotkey pushToTalkHotkey() const;
    // The hotkey of the first binding with that action.
    std::optional<Hotkey> hotkey(HotkeyAction action) const;
    // Rebinds the first binding of that action in place, or appends a new binding.
    void setHotkey(const Hotkey& hotkey, HotkeyAction action);

    bool operator==(const VantroseSettings&) const = default;

    QJsonObject toJson() const;
    static JsonResult<VantroseSettings> fromJson(const QJsonValue& json, const QString& path = {});
};
