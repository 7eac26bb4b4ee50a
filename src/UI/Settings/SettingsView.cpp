#include "UI/Settings/SettingsView.h"

#include "Core/Cloud/AbstractAccount.h"
#include "Core/Pipeline/DictationPipeline.h"
#include "UI/Common/SettingsGroup.h"
#include "UI/Settings/SettingsGlyphs.h"
#include "UI/Settings/SettingsRules.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

const QColor kGreen(0x34, 0xC7, 0x59);
const QColor kOrange(0xFF, 0x95, 0x00);
const QColor kRed(0xFF, 0x3B, 0x30);

QLabel* grantedLabel(QWidget* parent) {
    auto* label = SettingsStyle::label(QStringLiteral("✔ Granted"), 12, parent, kGreen);
    label->setObjectName(QStringLiteral("grantedLabel"));
    return label;
}

// Holds several alternative contents of one row; the caller shows one at a time.
QWidget* holder(QWidget* parent, std::initializer_list<QWidget*> children) {
    auto* box = new QWidget(parent);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* child : children) {
        child->setParent(box);
        layout->addWidget(child);
    }
    return box;
}

QPushButton* smallButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    QFont f = button->font();
    f.setPointSizeF(11);
    button->setFont(f);
    return button;
}

}  // namespace

SettingsView::SettingsView(DictationPipeline& pipeline, std::vector<AudioDeviceInfo> audioDevices,
                           std::optional<QString> selectedMicUID, AbstractAccount& auth, ViewPermissions permissions,
                           QWidget* parent)
    : QWidget(parent),
      m_pipeline(pipeline),
      m_auth(auth),
      m_permissions(std::move(permissions)),
      m_audioDevices(std::move(audioDevices)),
      m_selectedMicUID(std::move(selectedMicUID)),
      m_storedMicUID(pipeline.settings().selectedMicUID) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("settingsTabs"));
    const QColor glyphColor = palette().color(QPalette::WindowText);
    m_tabs->addTab(buildGeneralTab(), SettingsGlyphs::icon(QStringLiteral("gear"), glyphColor, 14),
                   QStringLiteral("General"));
    m_tabs->addTab(buildModesTab(), SettingsGlyphs::icon(QStringLiteral("textformat"), glyphColor, 14),
                   QStringLiteral("Modes"));
    m_tabs->addTab(buildDictionaryTab(), SettingsGlyphs::icon(QStringLiteral("book"), glyphColor, 14),
                   QStringLiteral("Dictionary"));
    m_tabs->addTab(buildShortcutsTab(), SettingsGlyphs::icon(QStringLiteral("keyboard"), glyphColor, 14),
                   QStringLiteral("Shortcuts"));
    // The pane fills its host: a fixed pane larger than the window would push its last rows
    // and the scroll bars out of sight. The tabs scroll whatever does not fit.
    layout->addWidget(m_tabs);

    // Whatever the pipeline publishes rebuilds the pane's values; the level meter and the live
    // text change many times a second and show nothing here.
    for (auto signal : {&DictationPipeline::settingsChanged, &DictationPipeline::recentResultsChanged,
                        &DictationPipeline::totalsChanged, &DictationPipeline::lastResultChanged,
                        &DictationPipeline::persistentModeChanged, &DictationPipeline::typingSuggestionChanged})
        connect(&m_pipeline, signal, this, &SettingsView::refresh);
    connect(&m_pipeline, &DictationPipeline::statusChanged, this, &SettingsView::refresh);
    connect(&m_auth, &AbstractAccount::isAuthenticatedChanged, this, &SettingsView::refresh);
    connect(&m_auth, &AbstractAccount::currentUserChanged, this, &SettingsView::refresh);
    refresh();
}

void SettingsView::write(const std::function<void(VantroseSettings&)>& change) { m_pipeline.updateSettings(change); }

QCheckBox* SettingsView::addSwitch(QWidget* group, const QString& label, const QString& name,
                                   bool VantroseSettings::*field) {
    // The label at the leading edge and the switch at the trailing one, as in a form.
    auto* box = new QCheckBox;
    box->setObjectName(name);
    box->setAccessibleName(label);
    connect(box, &QCheckBox::toggled, this,
            [this, field](bool on) { write([&](VantroseSettings& s) { s.*field = on; }); });
    static_cast<SettingsGroup*>(group)->addRow(new SettingsRow(label, box));
    m_switches.append({box, field});
    return box;
}

QWidget* SettingsView::buildGeneralTab() {
    QVBoxLayout* column = nullptr;
    QScrollArea* scroll = SettingsStyle::scrollingPage(this, column, 20, 20);

    auto* input = new SettingsGroup(QStringLiteral("Input"));
    m_microphone = new QComboBox;
    m_microphone->setObjectName(QStringLiteral("microphonePicker"));
    m_microphone->setAccessibleName(QStringLiteral("Microphone"));
    m_microphone->setFixedWidth(200);
    connect(m_microphone, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0 || index >= m_microphoneEntries.size()) return;
        m_selectedMicUID = m_microphoneEntries[index].uid;
        m_pipeline.setMicDevice(m_selectedMicUID);
        // Stored like the tray's choice, so the tray, this picker and the next start agree on
        // the device in use.
        const std::optional<QString> uid = m_selectedMicUID;
        m_storedMicUID = uid;
        write([&](VantroseSettings& s) { s.selectedMicUID = uid; });
        refreshMicrophone();
    });
    input->addRow(new SettingsRow(QStringLiteral("Microphone"), m_microphone));
    m_microphoneNotice = SettingsStyle::label(QString(), 12, this, kOrange);
    m_microphoneNotice->setObjectName(QStringLiteral("microphoneNotice"));
    m_microphoneNotice->setWordWrap(true);
    m_microphoneNoticeRow = input->addRow(m_microphoneNotice);
    refreshMicrophone();
    m_language = new QComboBox;
    m_language->setObjectName(QStringLiteral("languagePicker"));
    m_language->setFixedWidth(160);
    for (const auto& entry : SettingsRules::languageEntries()) m_language->addItem(entry.label, entry.code);
    connect(m_language, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index < 0) return;
        const QString code = m_language->itemData(index).toString();
        write([&](VantroseSettings& s) { s.language = code; });
    });
    input->addRow(new SettingsRow(QStringLiteral("Language"), m_language));
    column->addWidget(input);

    auto* preferences = new SettingsGroup(QStringLiteral("Preferences"));
    addSwitch(preferences, QStringLiteral("Play feedback sounds"), QStringLiteral("soundsEnabled"),
              &VantroseSettings::soundsEnabled);
    addSwitch(preferences, QStringLiteral("Show overlay indicator"), QStringLiteral("showOverlay"),
              &VantroseSettings::showOverlay);
    addSwitch(preferences, QStringLiteral("Expanded overlay (show live text)"), QStringLiteral("expandedPill"),
              &VantroseSettings::expandedPill);
    addSwitch(preferences, QStringLiteral("Suggest voice when typing a lot"), QStringLiteral("typingRemindersEnabled"),
              &VantroseSettings::typingRemindersEnabled);
    column->addWidget(preferences);

    auto* permissions = new SettingsGroup(QStringLiteral("Permissions"));
    m_accessibilityGranted = grantedLabel(this);
    m_grantAccess = smallButton(QStringLiteral("Grant Access"), this);
    m_grantAccess->setObjectName(QStringLiteral("grantAccess"));
    connect(m_grantAccess, &QPushButton::clicked, this, [this] {
        // The answer shows at the next rebuild, once the desktop reports the access.
        if (m_permissions.openAccessibilitySettings) m_permissions.openAccessibilitySettings();
    });
    permissions->addRow(
        new SettingsRow(QStringLiteral("Accessibility"), holder(this, {m_accessibilityGranted, m_grantAccess})));
    m_microphoneGranted = grantedLabel(this);
    m_microphoneMissing = SettingsStyle::label(QStringLiteral("Not granted"), 12, this, kOrange);
    m_microphoneMissing->setObjectName(QStringLiteral("microphoneNotGranted"));
    permissions->addRow(
        new SettingsRow(QStringLiteral("Microphone"), holder(this, {m_microphoneGranted, m_microphoneMissing})));
    column->addWidget(permissions);

    auto* about = new SettingsGroup(QStringLiteral("About"));
    auto* badge = SettingsStyle::label(QStringLiteral("v" VANTROSE_VERSION " beta"), 11, this);
    badge->setContentsMargins(8, 3, 8, 3);
    badge->setStyleSheet(QStringLiteral("background: rgba(128,128,128,0.18); border-radius: 8px;"));
    about->addRow(new SettingsRow(QStringLiteral("Vantrose"), badge));
    m_accountEmail = SettingsStyle::label(QString(), 12, this, SettingsStyle::secondary(this));
    m_accountEmail->setObjectName(QStringLiteral("accountEmail"));
    m_accountRow = about->addRow(new SettingsRow(QStringLiteral("Account"), m_accountEmail));
    auto* signOut = smallButton(QStringLiteral("Sign Out"), this);
    signOut->setObjectName(QStringLiteral("signOut"));
    QPalette red = signOut->palette();
    red.setColor(QPalette::ButtonText, kRed);
    signOut->setPalette(red);
    connect(signOut, &QPushButton::clicked, this, [this] { m_auth.logout(); });
    auto* signOutRow = new QWidget;
    auto* signOutLayout = new QHBoxLayout(signOutRow);
    signOutLayout->setContentsMargins(0, 2, 0, 0);
    signOutLayout->addStretch(1);
    signOutLayout->addWidget(signOut);
    m_signOutRow = about->addRow(signOutRow);
    column->addWidget(about);
    column->addStretch(1);
    return scroll;
}

QWidget* SettingsView::buildModesTab() {
    QVBoxLayout* column = nullptr;
    QScrollArea* scroll = SettingsStyle::scrollingPage(this, column, 20, 20);

    auto* formatting = new SettingsGroup(QStringLiteral("AI Formatting"));
    addSwitch(formatting, QStringLiteral("Enable AI formatting"), QStringLiteral("formattingEnabled"),
              &VantroseSettings::formattingEnabled);
    column->addWidget(formatting);

    auto* style = new SettingsGroup(QStringLiteral("Writing Style"));
    m_writingStyle = new QComboBox;
    m_writingStyle->setObjectName(QStringLiteral("writingStylePicker"));
    m_writingStyle->setFixedWidth(140);
    for (WritingStyle value : allCases<WritingStyle>())
        m_writingStyle->addItem(SettingsRules::writingStyleLabel(value), rawValue(value));
    connect(m_writingStyle, &QComboBox::currentIndexChanged, this, [this](int index) {
        const auto value = fromRawValue<WritingStyle>(m_writingStyle->itemData(index).toString());
        if (!value) return;
        write([&](VantroseSettings& s) { s.writingStyle = *value; });
    });
    style->addRow(new SettingsRow(QStringLiteral("Default style"), m_writingStyle));
    column->addWidget(style);

    auto* personal = new SettingsGroup(QStringLiteral("Personalization"));
    m_userName = new QLineEdit;
    m_userName->setObjectName(QStringLiteral("userName"));
    m_userName->setPlaceholderText(QStringLiteral("For context"));
    m_userName->setFixedWidth(180);
    connect(m_userName, &QLineEdit::textEdited, this,
            [this](const QString& text) { write([&](VantroseSettings& s) { s.userName = text; }); });
    personal->addRow(new SettingsRow(QStringLiteral("Your name"), m_userName));
    addSwitch(personal, QStringLiteral("Auto-learn new words"), QStringLiteral("autoLearnWords"),
              &VantroseSettings::autoLearnWords);
    column->addWidget(personal);
    column->addStretch(1);
    return scroll;
}

QWidget* SettingsView::buildDictionaryTab() {
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    content->setObjectName(QStringLiteral("dictionaryList"));
    m_dictionary = new QVBoxLayout(content);
    m_dictionary->setContentsMargins(12, 8, 12, 8);
    m_dictionary->setSpacing(0);
    scroll->setWidget(content);
    return scroll;
}

void SettingsView::setAudioDevices(std::vector<AudioDeviceInfo> devices) {
    m_audioDevices = std::move(devices);
    refreshMicrophone();
}

void SettingsView::refreshMicrophone() {
    const auto entries = SettingsRules::microphoneEntries(m_audioDevices, m_selectedMicUID);
    if (entries != m_microphoneEntries) {
        const QSignalBlocker block(m_microphone);
        m_microphoneEntries = entries;
        m_microphone->clear();
        for (const SettingsRules::MicrophoneEntry& entry : entries) m_microphone->addItem(entry.label);
    }
    int selected = 0;
    for (int i = 0; i < m_microphoneEntries.size(); ++i)
        if (m_microphoneEntries[i].uid == m_selectedMicUID) selected = i;
    if (m_microphone->currentIndex() != selected) {
        const QSignalBlocker block(m_microphone);
        m_microphone->setCurrentIndex(selected);
    }
    const std::optional<QString> notice = SettingsRules::missingMicrophoneNotice(m_audioDevices, m_selectedMicUID);
    m_microphoneNotice->setText(notice.value_or(QString()));
    m_microphoneNoticeRow->setVisible(notice.has_value());
}

void SettingsView::refresh() {
    const VantroseSettings& s = m_pipeline.settings();
    // A microphone chosen elsewhere (the tray) shows here too.
    if (s.selectedMicUID != m_storedMicUID) {
        m_storedMicUID = s.selectedMicUID;
        m_selectedMicUID = s.selectedMicUID;
    }
    refreshMicrophone();
    {
        const QSignalBlocker block(m_language);
        m_language->setCurrentIndex(SettingsRules::languageIndex(s.language));
    }
    {
        const QSignalBlocker block(m_writingStyle);
        m_writingStyle->setCurrentIndex(m_writingStyle->findData(rawValue(s.writingStyle)));
    }
    for (const auto& [box, field] : m_switches) {
        const QSignalBlocker block(box);
        box->setChecked(s.*field);
    }
    // Only a change from elsewhere touches the field, so typing keeps its cursor.
    if (m_userName->text() != s.userName) m_userName->setText(s.userName);

    const bool accessibility = m_permissions.accessibilityGranted && m_permissions.accessibilityGranted();
    m_accessibilityGranted->setVisible(accessibility);
    m_grantAccess->setVisible(!accessibility);
    const bool microphone = m_permissions.microphoneGranted && m_permissions.microphoneGranted();
    m_microphoneGranted->setVisible(microphone);
    m_microphoneMissing->setVisible(!microphone);

    const std::optional<QString> email = m_auth.currentUserEmail();
    m_accountRow->setVisible(email.has_value());
    if (email) m_accountEmail->setText(*email);
    m_signOutRow->setVisible(m_auth.isAuthenticated());

    refreshDictionary();
    for (HotkeyRecorderButton* button : m_recorders) button->refresh();
    for (QWidget* button : m_presets) button->update();
}

namespace {

QWidget* sectionHeader(const QString& title, QWidget* parent) {
    auto* label = SettingsStyle::label(title, 11, parent, SettingsStyle::secondary(parent));
    QFont f = label->font();
    f.setWeight(QFont::DemiBold);
    label->setFont(f);
    label->setContentsMargins(4, 14, 4, 4);
    return label;
}

// One row of the list, on the alternating background.
QWidget* listRow(QWidget* parent, int index, QHBoxLayout*& layout) {
    auto* row = new QWidget(parent);
    row->setAutoFillBackground(true);
    row->setBackgroundRole(index % 2 ? QPalette::AlternateBase : QPalette::Base);
    layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    return row;
}

}  // namespace

void SettingsView::refreshDictionary() {
    const VantroseSettings& s = m_pipeline.settings();
    // Rebuilt only when what it shows changed, so unrelated publishes do not reset the scroll.
    QStringList shown = s.customWords;
    shown << QStringLiteral("\x1f");
    for (auto it = s.replacements.cbegin(); it != s.replacements.cend(); ++it) shown << it.key() << it.value();
    shown << QStringLiteral("\x1f");
    for (auto it = s.snippets.cbegin(); it != s.snippets.cend(); ++it) shown << it.key() << it.value();
    if (shown == m_shownDictionary && m_dictionary->count() > 0) return;
    m_shownDictionary = shown;

    SettingsStyle::clearLayout(m_dictionary);
    QWidget* list = m_dictionary->parentWidget();
    const QColor secondary = SettingsStyle::secondary(this);
    const QColor tertiary = SettingsStyle::tertiary(this);
    const auto emptyRow = [&](const QString& text) {
        auto* label = SettingsStyle::label(text, 12, list, secondary);
        label->setContentsMargins(8, 4, 8, 4);
        m_dictionary->addWidget(label);
    };

    m_dictionary->addWidget(sectionHeader(QStringLiteral("Custom Words"), list));
    if (s.customWords.isEmpty()) emptyRow(QStringLiteral("No custom words yet"));
    for (int i = 0; i < s.customWords.size(); ++i) {
        const QString word = s.customWords[i];
        QHBoxLayout* layout = nullptr;
        QWidget* row = listRow(list, i, layout);
        layout->addWidget(SettingsStyle::label(word, 13, row));
        layout->addStretch(1);
        auto* remove = new QToolButton(row);
        remove->setObjectName(QStringLiteral("deleteWord"));
        remove->setAutoRaise(true);
        remove->setIcon(SettingsGlyphs::icon(QStringLiteral("trash"), kRed, 11));
        remove->setAccessibleName(QStringLiteral("Delete ") + word);
        connect(remove, &QToolButton::clicked, this, [this, word] {
            write([&](VantroseSettings& v) { v.customWords = SettingsRules::removingWord(v.customWords, word); });
        });
        layout->addWidget(remove);
        m_dictionary->addWidget(row);
    }

    const auto mapSection = [&](const QString& title, const QString& emptyText, const QMap<QString, QString>& map,
                                bool elide) {
        m_dictionary->addWidget(sectionHeader(title, list));
        if (map.isEmpty()) emptyRow(emptyText);
        const QStringList keys = SettingsRules::sortedKeys(map);
        for (int i = 0; i < keys.size(); ++i) {
            QHBoxLayout* layout = nullptr;
            QWidget* row = listRow(list, i, layout);
            layout->addWidget(SettingsStyle::label(keys[i], 13, row, secondary));
            layout->addWidget(SettingsStyle::label(QStringLiteral("→"), 9, row, tertiary));
            const QString value = map.value(keys[i]);
            QLabel* valueLabel = elide ? new OneLineLabel(value, row) : SettingsStyle::label(value, 13, row);
            valueLabel->setObjectName(QStringLiteral("entryValue"));
            QFont f = valueLabel->font();
            f.setPointSizeF(13);
            valueLabel->setFont(f);
            layout->addWidget(valueLabel, 1);
            m_dictionary->addWidget(row);
        }
    };
    mapSection(QStringLiteral("Replacements"), QStringLiteral("No replacements yet"), s.replacements, false);
    mapSection(QStringLiteral("Snippets"), QStringLiteral("No snippets yet"), s.snippets, true);
    m_dictionary->addStretch(1);
}
