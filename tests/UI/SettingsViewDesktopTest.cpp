#include "Auth/AuthManager.h"
#include "Foundation/UserDefaults.h"
#include "UI/Settings/HotkeyRecorderButton.h"
#include "UI/Settings/SettingsView.h"

#include "ShownText.h"
#include "support/AtspiFixtureProcess.h"
#include "support/ExtraMicrophone.h"
#include "support/Pipeline/PipelineHarness.h"
#include "support/TestEnvironment.h"

#include "App/DictationViewFactory.h"
#include "UI/Hub/HubView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

namespace {

// A settings pane over a real pipeline on fakes, with permissions the test sets.
struct Pane {
    explicit Pane(VantroseSettings settings = VantroseSettings(), std::vector<AudioDeviceInfo> devices = {})
        : harness(std::move(settings)) {
        harness.setUp();
        ViewPermissions permissions;
        permissions.accessibilityGranted = [this] { return accessibility; };
        permissions.microphoneGranted = [this] { return microphone; };
        permissions.openAccessibilitySettings = [this] { ++accessibilityRequests; };
        view = std::make_unique<SettingsView>(*harness.pipeline, std::move(devices), std::nullopt, auth,
                                              std::move(permissions));
        view->show();
    }
    const VantroseSettings& settings() const { return harness.pipeline->settings(); }
    template <typename W>
    W* find(const QString& name) const {
        return view->findChild<W*>(name);
    }
    // Any publish of the pipeline rebuilds the pane.
    void republish() {
        harness.pipeline->updateSettings([](VantroseSettings&) {});
    }

    PipelineHarness harness;
    AuthManager auth;
    bool accessibility = false;
    bool microphone = false;
    int accessibilityRequests = 0;
    std::unique_ptr<SettingsView> view;
};

TEST(SettingsView, SwitchesShowAndWriteTheirSetting) {
    const std::pair<const char*, bool VantroseSettings::*> switches[] = {
        {"soundsEnabled", &VantroseSettings::soundsEnabled},
        {"showOverlay", &VantroseSettings::showOverlay},
        {"expandedPill", &VantroseSettings::expandedPill},
        {"typingRemindersEnabled", &VantroseSettings::typingRemindersEnabled},
        {"formattingEnabled", &VantroseSettings::formattingEnabled},
        {"autoLearnWords", &VantroseSettings::autoLearnWords},
    };
    Pane pane;
    for (const auto& [name, field] : switches) {
        auto* box = pane.find<QCheckBox>(QString::fromLatin1(name));
        ASSERT_TRUE(box) << name;
        const bool before = pane.settings().*field;
        EXPECT_EQ(box->isChecked(), before) << name;
        box->click();
        EXPECT_EQ(pane.settings().*field, !before) << name;
    }
    // Only the switched fields changed: formatting is bound to its own flag, not the LLM one.
    EXPECT_FALSE(pane.settings().useLLMFormatting);
}

TEST(SettingsView, PickersShowTheStoredValueAndWriteTheChoice) {
    VantroseSettings settings;
    settings.language = QStringLiteral("fr-FR");
    settings.writingStyle = WritingStyle::veryCasual;
    Pane pane(settings);
    auto* language = pane.find<QComboBox>(QStringLiteral("languagePicker"));
    // A language the picker does not offer matches no entry and stays stored.
    EXPECT_EQ(language->currentIndex(), -1);
    pane.republish();
    EXPECT_EQ(pane.settings().language, QStringLiteral("fr-FR"));
    language->setCurrentIndex(1);
    EXPECT_EQ(pane.settings().language, QStringLiteral("en-GB"));

    auto* style = pane.find<QComboBox>(QStringLiteral("writingStylePicker"));
    EXPECT_EQ(style->currentText(), QStringLiteral("Very_Casual"));
    style->setCurrentIndex(1);
    EXPECT_EQ(pane.settings().writingStyle, WritingStyle::formal);
}

TEST(SettingsView, TheNameFieldWritesEveryEditAndKeepsItsCursor) {
    Pane pane;
    auto* name = pane.find<QLineEdit>(QStringLiteral("userName"));
    EXPECT_EQ(name->placeholderText(), QStringLiteral("For context"));
    QTest::keyClicks(name, QStringLiteral("Jane"));
    EXPECT_EQ(pane.settings().userName, QStringLiteral("Jane"));
    name->setCursorPosition(1);
    QTest::keyClicks(name, QStringLiteral("x"));
    EXPECT_EQ(pane.settings().userName, QStringLiteral("Jxane"));
    EXPECT_EQ(name->cursorPosition(), 2);
}

TEST(SettingsView, TheMicrophonePickerChoosesAndStoresTheDevice) {
    std::vector<AudioDeviceInfo> devices(1);
    devices[0].uid = QStringLiteral("alsa_input.usb");
    devices[0].name = QStringLiteral("USB Mic");
    devices[0].isDefault = true;
    Pane pane(VantroseSettings(), devices);
    auto* picker = pane.find<QComboBox>(QStringLiteral("microphonePicker"));
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->currentText(), QStringLiteral("System Default"));
    EXPECT_EQ(picker->itemText(1), QStringLiteral("USB Mic (default)"));
    picker->setCurrentIndex(1);
    EXPECT_EQ(pane.harness.audio->selectedDeviceUID, QStringLiteral("alsa_input.usb"));
    // Stored like the tray's choice, so the next pane (and the tray) show the device in use.
    EXPECT_EQ(pane.settings().selectedMicUID, QStringLiteral("alsa_input.usb"));
    SettingsView next(*pane.harness.pipeline, devices, pane.settings().selectedMicUID, pane.auth, {});
    EXPECT_EQ(next.findChild<QComboBox*>(QStringLiteral("microphonePicker"))->currentText(),
              QStringLiteral("USB Mic (default)"));
    picker->setCurrentIndex(0);
    EXPECT_EQ(pane.harness.audio->selectedDeviceUID, std::nullopt);
    EXPECT_EQ(pane.settings().selectedMicUID, std::nullopt);

    Pane empty;
    EXPECT_EQ(empty.find<QComboBox>(QStringLiteral("microphonePicker"))->count(), 1);
}

// The pane as the program builds it, over the test desktop's real devices: a stored microphone
// that is unplugged is shown as such with what records meanwhile, and the picker follows the
// device as it is plugged in and out while the pane is open.
TEST(SettingsView, TheMicrophonePickerFollowsDevicesAndSaysWhenTheChosenOneIsMissing) {
    ExtraMicrophone usb(QStringLiteral("vantrose_pane_mic"));
    VantroseSettings settings;
    settings.selectedMicUID = usb.uid();
    PipelineHarness harness(settings);
    harness.setUp();
    AuthManager auth;
    HubView hub(*harness.pipeline, DictationViewFactory::hubActions(*harness.pipeline, auth, {}));
    hub.setSelectedTab(HubTab::settings);
    hub.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&hub));
    auto* picker = hub.findChild<QComboBox*>(QStringLiteral("microphonePicker"));
    auto* notice = hub.findChild<QLabel*>(QStringLiteral("microphoneNotice"));
    ASSERT_TRUE(picker && notice);
    EXPECT_EQ(picker->currentText(), usb.uid() + " (not connected)");
    EXPECT_TRUE(notice->isVisible());
    EXPECT_EQ(notice->text(),
              "The chosen microphone is not connected. Recording from the system default until it returns.");

    ASSERT_TRUE(usb.plugIn());
    ASSERT_TRUE(waitUntil([&] { return !notice->isVisible(); }, std::chrono::seconds(10)));
    EXPECT_FALSE(picker->currentText().endsWith("(not connected)"));
    EXPECT_GT(picker->currentIndex(), 0);

    ASSERT_TRUE(usb.unplug());
    EXPECT_TRUE(
        waitUntil([&] { return picker->currentText() == usb.uid() + " (not connected)"; }, std::chrono::seconds(10)));
    EXPECT_TRUE(notice->isVisible());
    // Only the user changes the choice.
    EXPECT_EQ(harness.pipeline->settings().selectedMicUID, usb.uid());
    EXPECT_EQ(harness.audio->selectedDeviceUID, usb.uid());
}

TEST(SettingsView, PermissionRowsFollowTheShellsAnswersAtEachRebuild) {
    Pane pane;
    auto* grant = pane.find<QPushButton>(QStringLiteral("grantAccess"));
    auto* notGranted = pane.find<QLabel>(QStringLiteral("microphoneNotGranted"));
    EXPECT_TRUE(grant->isVisible());
    EXPECT_TRUE(notGranted->isVisible());
    grant->click();
    EXPECT_EQ(pane.accessibilityRequests, 1);
    EXPECT_TRUE(grant->isVisible());  // granted shows only once the desktop reports it

    pane.accessibility = true;
    pane.microphone = true;
    pane.republish();
    EXPECT_FALSE(grant->isVisible());
    EXPECT_FALSE(notGranted->isVisible());
}

TEST(SettingsView, AboutShowsTheAccountOnlyWhileSignedIn) {
    Pane signedOut;
    EXPECT_FALSE(signedOut.find<QPushButton>(QStringLiteral("signOut"))->isVisible());
    EXPECT_FALSE(signedOut.find<QLabel>(QStringLiteral("accountEmail"))->isVisible());

    // The sign-out request goes nowhere.
    UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), QStringLiteral("http://127.0.0.1:9"));
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, QStringLiteral("token"));
    UserDefaults::shared().setValue(
        AuthManager::userDataKey,
        QStringLiteral(
            R"({"id":"1","email":"jane@example.com","name":"Jane","picture":"","plan":"free","api_key":""})"));
    Pane signedIn;
    auto* email = signedIn.find<QLabel>(QStringLiteral("accountEmail"));
    auto* signOut = signedIn.find<QPushButton>(QStringLiteral("signOut"));
    EXPECT_TRUE(email->isVisible());
    EXPECT_EQ(email->text(), QStringLiteral("jane@example.com"));
    ASSERT_TRUE(signOut->isVisible());
    signOut->click();
    EXPECT_FALSE(signedIn.auth.isAuthenticated());
    EXPECT_FALSE(signOut->isVisible());
    EXPECT_FALSE(email->isVisible());
}

TEST(SettingsView, DictionaryListsWordsAndDeletesEveryCopy) {
    VantroseSettings settings;
    settings.customWords = {QStringLiteral("Kubernetes"), QStringLiteral("Qt"), QStringLiteral("Kubernetes")};
    settings.replacements = {{QStringLiteral("apple"), QStringLiteral("b")},
                             {QStringLiteral("Apple"), QStringLiteral("a")}};
    Pane pane(settings);
    QWidget* list = pane.find<QWidget>(QStringLiteral("dictionaryList"));
    const auto texts = [&] {
        QStringList shown;
        for (QLabel* label : list->findChildren<QLabel*>()) shown << label->text();
        return shown;
    };
    EXPECT_TRUE(texts().contains(QStringLiteral("No snippets yet")));
    EXPECT_FALSE(texts().contains(QStringLiteral("No replacements yet")));
    EXPECT_LT(texts().indexOf(QStringLiteral("Apple")), texts().indexOf(QStringLiteral("apple")));

    const auto deletes = list->findChildren<QToolButton*>(QStringLiteral("deleteWord"));
    ASSERT_EQ(deletes.size(), 3);
    deletes[2]->click();
    EXPECT_EQ(pane.settings().customWords, QStringList{QStringLiteral("Qt")});
    EXPECT_TRUE(waitUntil([&] { return list->findChildren<QToolButton*>(QStringLiteral("deleteWord")).size() == 1; }));
}

TEST(SettingsView, ShortcutsShowAndChangeTheBindings) {
    VantroseSettings settings;
    settings.hotkeys = {{HotkeyAction::activate, Hotkey{61, 0}}, {HotkeyAction::lock, Hotkey{49, Hotkey::optionFlag}}};
    Pane pane(settings);
    auto* cancel = pane.find<HotkeyRecorderButton>(QStringLiteral("recorder_cancel"));
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->displayText(), QStringLiteral("Right Alt"));  // no binding: Right Alt is shown

    // A change for an action without a binding appends one at the end.
    pane.view->hotkeyBinding(HotkeyAction::cancel).set(Hotkey{12, Hotkey::commandFlag});
    EXPECT_EQ(pane.settings().hotkeys.last(), (HotkeyBinding{HotkeyAction::cancel, Hotkey{12, Hotkey::commandFlag}}));
    EXPECT_EQ(cancel->displayText(), QStringLiteral("Super+Q"));

    // The presets change only the push-to-talk hotkey.
    const auto presets = pane.view->findChildren<ActionPresetButton*>();
    ASSERT_EQ(presets.size(), 5);
    QStringList labels;
    for (const ActionPresetButton* preset : presets) labels << preset->text();
    EXPECT_EQ(labels, (QStringList{"Right Alt", "Left Alt", "Alt+Left Ctrl", "Right Ctrl", "F5"}));
    presets[1]->click();
    EXPECT_EQ(pane.settings().pushToTalkHotkey(), (Hotkey{58, 0}));
    EXPECT_TRUE(presets[1]->isSelectedPreset());
    EXPECT_FALSE(presets[0]->isSelectedPreset());
    EXPECT_EQ(pane.settings().hotkey(HotkeyAction::lock), (Hotkey{49, Hotkey::optionFlag}));
}

TEST(SettingsView, AScreenReaderTellsTheFourRecordersApartByTheirNames) {
    Pane pane;
    pane.view->tabs()->setCurrentIndex(3);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(pane.view.get()));
    const qint64 pid = QCoreApplication::applicationPid();
    bool ok = false;
    const QStringList buttons = runAtspiProbe(pid, {"names", "push button"}, &ok);
    ASSERT_TRUE(ok);
    for (const char* name :
         {"Push-to-Talk: Right Alt", "Hands-Free: Ctrl+Alt+Space", "Paste Last: Ctrl+Super+V", "Cancel: Esc"})
        EXPECT_TRUE(buttons.contains(QString::fromUtf8(name)))
            << name << " among " << buttons.join(" | ").toStdString();

    // The name follows what the button reads: recording, then the new hotkey.
    auto* recorder = pane.find<HotkeyRecorderButton>(QStringLiteral("recorder_activate"));
    recorder->click();
    EXPECT_TRUE(runAtspiProbe(pid, {"names", "push button"}).contains(QStringLiteral("Push-to-Talk: Press a key...")));
    recorder->click();
    pane.view->hotkeyBinding(HotkeyAction::activate).set(Hotkey{96, 0});
    EXPECT_TRUE(runAtspiProbe(pid, {"names", "push button"}).contains(QStringLiteral("Push-to-Talk: F5")));
}

TEST(SettingsView, AHotkeyOfAnotherActionIsRefusedWithAMessage) {
    Pane pane;
    pane.view->tabs()->setCurrentIndex(3);
    const VantroseSettings before = pane.settings();
    pane.view->hotkeyBinding(HotkeyAction::activate).set(Hotkey{53, 0});
    EXPECT_EQ(pane.settings(), before);
    auto* message = pane.find<QLabel>(QStringLiteral("hotkeyMessage"));
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(),
              QStringLiteral("Esc is already used by Cancel. Choose another key or change Cancel first."));

    pane.view->hotkeyBinding(HotkeyAction::activate).set(Hotkey{96, 0});
    EXPECT_EQ(pane.settings().pushToTalkHotkey(), (Hotkey{96, 0}));
    EXPECT_FALSE(message->isVisible());

    // Fn (a binding synced from another machine, say) is stored for machines that see it, with a
    // notice that this one does not.
    pane.view->hotkeyBinding(HotkeyAction::activate).set(Hotkey{63, 0});
    EXPECT_EQ(pane.settings().pushToTalkHotkey(), (Hotkey{63, 0}));
    EXPECT_TRUE(message->isVisible());
    EXPECT_TRUE(message->text().startsWith(QStringLiteral("Fn does not reach the desktop")));
}

}  // namespace

namespace {

void signInForTest() {
    UserDefaults::shared().setValue(QStringLiteral("cloudServerURL"), QStringLiteral("http://127.0.0.1:9"));
    UserDefaults::shared().setValue(AuthManager::accessTokenKey, QStringLiteral("token"));
    UserDefaults::shared().setValue(
        AuthManager::userDataKey,
        QStringLiteral(
            R"({"id":"1","email":"<b>jane</b>@example.com","name":"Jane","picture":"","plan":"free","api_key":""})"));
}

void signOutForTest() {
    UserDefaults::shared().remove(AuthManager::accessTokenKey);
    UserDefaults::shared().remove(AuthManager::userDataKey);
}

// The widgets a user works with, shown now.
QList<QWidget*> controlsIn(QWidget* page) {
    QList<QWidget*> controls;
    for (QWidget* w : page->findChildren<QWidget*>())
        if (w->isVisible() &&
            (qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QLineEdit*>(w)))
            controls << w;
    return controls;
}

// Scrolls each tab of `pane` to its end inside `window` and reports the controls that lie
// outside the window or outside the tab's visible area: none may, once scrolled to.
QStringList unreachableControls(QWidget* window, SettingsView& pane) {
    QStringList lost;
    const QRect inside = window->rect();
    for (int i = 0; i < pane.tabs()->count(); ++i) {
        pane.tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        auto* scroll = qobject_cast<QAbstractScrollArea*>(pane.tabs()->currentWidget());
        if (!scroll) {
            lost << QStringLiteral("tab %1 does not scroll").arg(i);
            continue;
        }
        const auto shown = [&](QWidget* w) {
            const QRect inViewport(w->mapTo(scroll->viewport(), QPoint()), w->size());
            const QRect inWindow(w->mapTo(window, QPoint()), w->size());
            return scroll->viewport()->rect().contains(inViewport) && inside.contains(inWindow);
        };
        // Every control can be brought into view, the last one by scrolling to the end.
        for (QWidget* control : controlsIn(scroll->viewport())) {
            scroll->verticalScrollBar()->setValue(0);
            QCoreApplication::processEvents();
            const int top = control->mapTo(scroll->viewport(), QPoint()).y();
            scroll->verticalScrollBar()->setValue(top - 4);
            QCoreApplication::processEvents();
            if (!shown(control))
                lost << QStringLiteral("tab %1: %2 %3")
                            .arg(i)
                            .arg(control->metaObject()->className(), control->objectName() + control->accessibleName());
        }
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->maximum());
        QCoreApplication::processEvents();
        QList<QWidget*> controls = controlsIn(scroll->viewport());
        if (controls.isEmpty()) continue;
        QWidget* last = *std::max_element(controls.begin(), controls.end(), [&](QWidget* a, QWidget* b) {
            return a->mapTo(window, QPoint(0, a->height())).y() < b->mapTo(window, QPoint(0, b->height())).y();
        });
        if (!shown(last)) lost << QStringLiteral("tab %1: the last control at its end").arg(i);
        if (!scroll->verticalScrollBar()->isVisible() && scroll->verticalScrollBar()->maximum() > 0)
            lost << QStringLiteral("tab %1: the scroll bar is out of sight").arg(i);
    }
    return lost;
}

VantroseSettings longLists() {
    VantroseSettings s;
    for (int i = 0; i < 25; ++i) s.customWords << QStringLiteral("word%1").arg(i);
    s.snippets.insert(QStringLiteral("sig"), QStringLiteral("Best regards"));
    return s;
}

}  // namespace

TEST(SettingsView, EveryControlOfEveryTabIsReachableInTheWindowAndTheHub) {
    signInForTest();
    PipelineHarness harness(longLists());
    harness.setUp();
    AuthManager auth;
    ASSERT_TRUE(auth.isAuthenticated());

    // The settings window at its opening and its smallest size.
    for (const QSize size : {QSize(520, 540), QSize(500, 450)}) {
        QWidget window;
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* pane = new SettingsView(*harness.pipeline, {}, std::nullopt, auth, {});
        layout->addWidget(pane);
        window.resize(size);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        EXPECT_EQ(window.size(), size) << "the pane does not force the window larger";
        EXPECT_TRUE(pane->findChild<QPushButton*>(QStringLiteral("signOut"))->isVisibleTo(pane));
        const QStringList lost = unreachableControls(&window, *pane);
        EXPECT_TRUE(lost.isEmpty()) << size.width() << "x" << size.height() << ": " << lost.join(" | ").toStdString();
    }
    // The hub's Settings section at the hub's smallest and opening sizes.
    for (const QSize size : {QSize(700, 480), QSize(750, 500)}) {
        HubView hub(*harness.pipeline, DictationViewFactory::hubActions(*harness.pipeline, auth, {}));
        hub.setSelectedTab(HubTab::settings);
        hub.resize(size);
        hub.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&hub));
        auto* pane = hub.findChild<SettingsView*>();
        ASSERT_TRUE(pane);
        const QStringList lost = unreachableControls(&hub, *pane);
        EXPECT_TRUE(lost.isEmpty()) << size.width() << "x" << size.height() << ": " << lost.join(" | ").toStdString();
    }
    signOutForTest();
}

TEST(SettingsView, WordsEntriesAndTheAccountAreShownAsTypedNeverAsMarkup) {
    signInForTest();
    VantroseSettings settings;
    settings.customWords = {QStringLiteral("<b>bold</b>")};
    settings.replacements.insert(QStringLiteral("<i>key</i>"), QStringLiteral("<u>value</u>"));
    settings.snippets.insert(QStringLiteral("<s>sig</s>"), QStringLiteral("<b>snippet</b>"));
    Pane pane(settings);
    pane.view->resize(520, 540);
    QCoreApplication::processEvents();
    for (int i = 0; i < pane.view->tabs()->count(); ++i) {
        pane.view->tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        const QStringList cut = labelsNotShownWhole(pane.view->tabs()->currentWidget());
        EXPECT_TRUE(cut.isEmpty()) << "tab " << i << ": " << cut.join(" | ").toStdString();
    }
    EXPECT_EQ(pane.find<QLabel>(QStringLiteral("accountEmail"))->text(), QStringLiteral("<b>jane</b>@example.com"));
    signOutForTest();
}
