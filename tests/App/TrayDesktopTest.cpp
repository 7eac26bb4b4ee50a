#include "App/AppDelegate.h"
#include "App/DesktopShell.h"
#include "App/ShellRules.h"
#include "Auth/AuthManager.h"
#include "Core/Audio/AudioEngine.h"
#include "Foundation/UserDefaults.h"

#include "App/ShellFakes.h"
#include "support/ExtraMicrophone.h"
#include "support/FixtureApp.h"
#include "support/PlaceholderViews.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QStyleHints>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

// The tray item docked in a real XEmbed tray (trayer), clicked and opened with the pointer.
class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        tray = startTool("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                                    "--heighttype", "pixel", "--height", "32", "--SetDockType", "true"});
        ASSERT_TRUE(tray->waitForStarted(10000));
        ASSERT_TRUE(waitUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 20s))
            << "the tray host never took the tray selection";

        // The test's clicks come quicker than a person's: a second one must not count as a double click.
        QGuiApplication::styleHints()->setMouseDoubleClickInterval(0);

        UserDefaults::shared().setValue(AuthManager::accessTokenKey, "stored-token");
        auth = std::make_unique<AuthManager>();
        AppDelegate::Dependencies deps;
        deps.permissions = std::make_unique<FakePermissionChecker>(events, PermissionSnapshot{false, true});
        delegate = std::make_unique<AppDelegate>(std::move(deps));
        shell = std::make_unique<DesktopShell>(*delegate, pipeline, *auth,
                                               std::make_unique<PlaceholderViewFactory>(pipeline, *auth));
        shell->setupStatusItem();
        item = shell->findChild<QSystemTrayIcon*>();
        ASSERT_NE(item, nullptr);
        // Docked means inside the tray's panel: trayer is placed at the top right, 120 x 32 pixels.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QRect panel(screen.right() - 119, screen.top(), 120, 32);
        ASSERT_TRUE(waitUntil([&] { return !item->geometry().isEmpty() && panel.contains(item->geometry()); }, 20s))
            << "the tray item never docked";
    }

    void TearDown() override {
        shell.reset();
        if (tray) {
            tray->terminate();
            if (!tray->waitForFinished(5000)) tray->kill();
        }
    }

    void clickItem(const char* button) {
        const QPoint centre = item->geometry().center();
        bool ok = false;
        runTool("xdotool", {"mousemove", QString::number(centre.x()), QString::number(centre.y()), "click", button}, {},
                &ok);
        ASSERT_TRUE(ok);
    }

    QStringList menuTexts() const {
        QStringList texts;
        for (QAction* action : item->contextMenu()->actions())
            if (!action->isSeparator()) texts << action->text();
        return texts;
    }

    // Opens the menu with the pointer, reads it and closes it again.
    QStringList openMenu() {
        QMenu* menu = item->contextMenu();
        clickItem("3");
        EXPECT_TRUE(waitUntil([&] { return menu->isVisible(); }, 10s)) << "the right click opened no menu";
        const QStringList texts = menuTexts();
        bool ok = false;
        runTool("xdotool", {"key", "Escape"}, {}, &ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(waitUntil([&] { return !menu->isVisible(); })) << "Escape left the menu open";
        return texts;
    }

    std::unique_ptr<QProcess> tray;
    ShellEvents events;
    FakeShellPipeline pipeline{events};
    std::unique_ptr<AuthManager> auth;
    std::unique_ptr<AppDelegate> delegate;
    std::unique_ptr<DesktopShell> shell;
    QSystemTrayIcon* item = nullptr;
};

TEST_F(TrayTest, ALeftClickOnTheDockedItemOpensTheHub) {
    EXPECT_TRUE(item->isVisible());
    ASSERT_EQ(shell->hubWindow(), nullptr);
    clickItem("1");
    ASSERT_TRUE(waitUntil([&] { return shell->hubWindow() && shell->hubWindow()->isVisible(); }, 10s));
}

TEST_F(TrayTest, TheMenuAndTheIconFollowTheStatus) {
    const QStringList idle = openMenu();
    EXPECT_EQ(idle, (QStringList{"Start Dictation", "⚠ Grant Accessibility Permission", "Microphone", "Settings...",
                                 "History", "Quit Vantrose"}));

    shell->setupOverlayWindow();  // the status is followed once the start-up has completed
    pipeline.currentStatus = DictationStatus::listening;
    shell->observerTick();
    EXPECT_EQ(item->toolTip(), ShellRules::iconForStatus(DictationStatus::listening).description);
    EXPECT_EQ(openMenu().value(0), "Stop Dictation");

    pipeline.currentStatus = DictationStatus::idle;
    shell->observerTick();
    EXPECT_EQ(item->toolTip(), ShellRules::iconForStatus(DictationStatus::idle).description);
    EXPECT_EQ(openMenu().value(0), "Start Dictation");
}

// The stored microphone unplugged: the tray says so and keeps the choice; while the menu is open
// its microphones follow the device as it is plugged in and out.
TEST_F(TrayTest, TheMicrophoneMenuFollowsDevicesAndSaysWhenTheChosenOneIsMissing) {
    ExtraMicrophone usb(QStringLiteral("vantrose_tray_mic"));
    pipeline.listDevices = &AudioEngine::listInputDevices;
    pipeline.currentSettings.selectedMicUID = usb.uid();
    QMenu* microphones = nullptr;
    const auto entry = [&](const QString& uid) -> QAction* {
        for (QAction* action : microphones->actions())
            if (action->data().toString() == uid) return action;
        return nullptr;
    };

    QMenu* menu = item->contextMenu();
    clickItem("3");
    ASSERT_TRUE(waitUntil([&] { return menu->isVisible(); }, 10s)) << "the right click opened no menu";
    for (QAction* action : menu->actions())
        if (action->menu()) microphones = action->menu();
    ASSERT_TRUE(microphones);
    EXPECT_EQ(microphones->title(), "Microphone (not connected)");
    QAction* missing = entry(usb.uid());
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->text(), usb.uid() + " (not connected)");
    EXPECT_TRUE(missing->isChecked());
    EXPECT_FALSE(missing->isEnabled());
    EXPECT_EQ(microphones->actions().last()->text(),
              "The chosen microphone is not connected. Recording from the system default until it returns.");

    ASSERT_TRUE(usb.plugIn());
    ASSERT_TRUE(waitUntil([&] { return microphones->title() == "Microphone"; }, 10s));
    QAction* plugged = entry(usb.uid());
    ASSERT_TRUE(plugged);
    EXPECT_TRUE(plugged->isEnabled());
    EXPECT_TRUE(plugged->isChecked());
    EXPECT_FALSE(plugged->text().endsWith("(not connected)"));

    ASSERT_TRUE(usb.unplug());
    EXPECT_TRUE(waitUntil([&] { return microphones->title() == "Microphone (not connected)"; }, 10s));
    EXPECT_EQ(pipeline.currentSettings.selectedMicUID, usb.uid());
    bool ok = false;
    runTool("xdotool", {"key", "Escape"}, {}, &ok);
    EXPECT_TRUE(waitUntil([&] { return !menu->isVisible(); }));
}

}  // namespace
