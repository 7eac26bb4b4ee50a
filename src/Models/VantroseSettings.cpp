#include "Models/VantroseSettings.h"

#include "Foundation/StringShield.h"

#include <algorithm>

QJsonObject AppInstruction::toJson() const {
    return QJsonObject{
        {QStringLiteral("bundleId"), bundleId},
        {QStringLiteral("appName"), appName},
        {QStringLiteral("instruction"), instruction},
    };
}

JsonResult<AppInstruction> AppInstruction::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    AppInstruction a;
    a.bundleId = d.string(QStringLiteral("bundleId"));
    a.appName = d.string(QStringLiteral("appName"));
    a.instruction = d.string(QStringLiteral("instruction"));
    return d.finish(std::move(a));
}

QJsonObject TextReplacement::toJson() const {
    return QJsonObject{
        {QStringLiteral("trigger"), trigger},
        {QStringLiteral("replacement"), replacement},
    };
}

JsonResult<TextReplacement> TextReplacement::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    TextReplacement r;
    r.trigger = d.string(QStringLiteral("trigger"));
    r.replacement = d.string(QStringLiteral("replacement"));
    return d.finish(std::move(r));
}

VantroseSettings::VantroseSettings()
    : hotkeys(defaultHotkeys()),
      ollamaEndpoint(StringShield::ollamaBase()),
      cloudServerURL(StringShield::apiBase()) {}

QList<HotkeyBinding> VantroseSettings::defaultHotkeys() {
    return {
        {HotkeyAction::activate, {Hotkey::rightOptionKeyCode, 0}},
        // Ctrl+Alt+Space: Alt+Space opens the window menu of openbox, GNOME, KDE and Xfce, and
        // Super+Space switches the keyboard layout; no common desktop binds this one.
        {HotkeyAction::lock, {49, Hotkey::controlFlag | Hotkey::optionFlag}},
        {HotkeyAction::pasteLastTranscript, {9, Hotkey::controlFlag | Hotkey::commandFlag}},  // Ctrl+Super+V
        {HotkeyAction::cancel, {Hotkey::escapeKeyCode, 0}},
    };
}

Hotkey VantroseSettings::pushToTalkHotkey() const {
    return hotkey(HotkeyAction::activate).value_or(Hotkey{Hotkey::rightOptionKeyCode, 0});
}

std::optional<Hotkey> VantroseSettings::hotkey(HotkeyAction action) const {
    const auto it =
        std::find_if(hotkeys.cbegin(), hotkeys.cend(), [action](const HotkeyBinding& b) { return b.action == action; });
    if (it == hotkeys.cend()) return std::nullopt;
    return it->hotkey;
}

void VantroseSettings::setHotkey(const Hotkey& hotkey, HotkeyAction action) {
    const auto it =
        std::find_if(hotkeys.begin(), hotkeys.end(), [action](const HotkeyBinding& b) { return b.action == action; });
    if (it != hotkeys.end()) {
        it->hotkey = hotkey;
    } else {
        hotkeys.append(HotkeyBinding{action, hotkey});
    }
}

QJsonObject VantroseSettings::toJson() const {
    QJsonObject json{
        {QStringLiteral("hotkeys"), JsonCoding::fromList(hotkeys)},
        {QStringLiteral("dismissKeyCode"), int(dismissKeyCode)},
        {QStringLiteral("language"), language},
        {QStringLiteral("formattingEnabled"), formattingEnabled},
        {QStringLiteral("autoLearnWords"), autoLearnWords},
        {QStringLiteral("useLLMFormatting"), useLLMFormatting},
        {QStringLiteral("ollamaModel"), ollamaModel},
        {QStringLiteral("ollamaEndpoint"), ollamaEndpoint},
        {QStringLiteral("cloudServerURL"), cloudServerURL},
        {QStringLiteral("soundsEnabled"), soundsEnabled},
        {QStringLiteral("showOverlay"), showOverlay},
        {QStringLiteral("expandedPill"), expandedPill},
        {QStringLiteral("appInstructions"), JsonCoding::fromList(appInstructions)},
        {QStringLiteral("textReplacements"), JsonCoding::fromList(textReplacements)},
        {QStringLiteral("clipboardRestoreDelay"), clipboardRestoreDelay},
        {QStringLiteral("typingRemindersEnabled"), typingRemindersEnabled},
        {QStringLiteral("typingReminderSuppressedApps"), JsonCoding::fromStringMap(typingReminderSuppressedApps)},
        {QStringLiteral("personalization"), personalization.toJson()},
        {QStringLiteral("writingStyle"), rawValue(writingStyle)},
        {QStringLiteral("userName"), userName},
        {QStringLiteral("customWords"), QJsonArray::fromStringList(customWords)},
        {QStringLiteral("replacements"), JsonCoding::fromStringMap(replacements)},
        {QStringLiteral("snippets"), JsonCoding::fromStringMap(snippets)},
        {QStringLiteral("polishShortcut"), polishShortcut},
        {QStringLiteral("polishPrompt1"), polishPrompt1},
        {QStringLiteral("polishPrompt2"), polishPrompt2},
    };
    if (selectedMicUID) json.insert(QStringLiteral("selectedMicUID"), *selectedMicUID);
    return json;
}

JsonResult<VantroseSettings> VantroseSettings::fromJson(const QJsonValue& json, const QString& path) {
    JsonDecoder d(json, path);
    VantroseSettings s;
    s.hotkeys = d.list<HotkeyBinding>(QStringLiteral("hotkeys"));
    s.dismissKeyCode = d.integer<quint16>(QStringLiteral("dismissKeyCode"));
    s.language = d.string(QStringLiteral("language"));
    s.formattingEnabled = d.boolean(QStringLiteral("formattingEnabled"));
    s.autoLearnWords = d.boolean(QStringLiteral("autoLearnWords"));
    s.useLLMFormatting = d.boolean(QStringLiteral("useLLMFormatting"));
    s.ollamaModel = d.string(QStringLiteral("ollamaModel"));
    s.ollamaEndpoint = d.string(QStringLiteral("ollamaEndpoint"));
    s.cloudServerURL = d.string(QStringLiteral("cloudServerURL"));
    s.soundsEnabled = d.boolean(QStringLiteral("soundsEnabled"));
    s.showOverlay = d.boolean(QStringLiteral("showOverlay"));
    s.expandedPill = d.boolean(QStringLiteral("expandedPill"));
    s.appInstructions = d.list<AppInstruction>(QStringLiteral("appInstructions"));
    s.textReplacements = d.list<TextReplacement>(QStringLiteral("textReplacements"));
    s.clipboardRestoreDelay = d.number(QStringLiteral("clipboardRestoreDelay"));
    s.typingRemindersEnabled = d.boolean(QStringLiteral("typingRemindersEnabled"));
    s.typingReminderSuppressedApps = d.stringMap(QStringLiteral("typingReminderSuppressedApps"));
    s.personalization = d.object<PersonalizationSettings>(QStringLiteral("personalization"));
    s.writingStyle = d.enumeration<WritingStyle>(QStringLiteral("writingStyle"), fromRawValue<WritingStyle>);
    s.userName = d.string(QStringLiteral("userName"));
    s.customWords = d.stringList(QStringLiteral("customWords"));
    s.replacements = d.stringMap(QStringLiteral("replacements"));
    s.snippets = d.stringMap(QStringLiteral("snippets"));
    s.selectedMicUID = d.optionalString(QStringLiteral("selectedMicUID"));
    s.polishShortcut = d.string(QStringLiteral("polishShortcut"));
    s.polishPrompt1 = d.string(QStringLiteral("polishPrompt1"));
    s.polishPrompt2 = d.string(QStringLiteral("polishPrompt2"));
    return d.finish(std::move(s));
}
