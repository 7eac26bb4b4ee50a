#pragma once

#include "App/AbstractShellUI.h"
#include "App/AbstractShellViewFactory.h"
#include "App/ShellRules.h"

#include <QObject>
#include <QPointer>
#include <QRegion>
#include <QWidget>

#include <memory>
#include <optional>

class AppDelegate;
class AuthManager;
class QMenu;
class QSystemTrayIcon;
class QTimer;
class AbstractShellPipeline;

// The tray item with its menu, the hub, onboarding, settings and history windows, and the overlay
// panel with its 0.1 s observer tick. Each window is built on first use and rebuilt when asked for
// while hidden; a visible one is only brought forward. What fills the windows comes from `views`.
class DesktopShell final : public QObject, public AbstractShellUI {
    Q_OBJECT
public:
    DesktopShell(AppDelegate& delegate, AbstractShellPipeline& pipeline, AuthManager& auth,
                 std::unique_ptr<AbstractShellViewFactory> views, QObject* parent = nullptr);
    ~DesktopShell() override;

    void setupStatusItem() override;
    void setupPipelineObservers() override;
    void showHubWindow() override;
    void showRichOnboarding(std::function<void()> onComplete) override;
    void orderOutOnboarding() override;
    void setupOverlayWindow() override;
    void openSettings() override;
    void openHistory() override;
    void activate() override;

    void updateMenuBarIcon(DictationStatus status);
    void observerTick();
    // Whether the observer timer is running (it rests while nothing can change on screen).
    bool observerRunning() const;

    // For the desktop tests.
    QWidget* hubWindow() const { return m_hubWindow; }
    QWidget* settingsWindow() const { return m_settingsWindow; }
    QWidget* overlayWindow() const { return m_overlayWindow; }
    QString currentIconSymbol() const { return m_iconSymbol; }

private:
    // What the views are told of the permissions: the accessibility answer of the latest check,
    // and whether any microphone exists (Linux asks no microphone permission).
    ViewPermissions permissions();
    void rebuildMenu();
    // The microphone submenu: the devices present now, the stored choice checked, and a chosen
    // device that is not connected named as such with what records meanwhile.
    void rebuildMicrophoneMenu();
    static bool bringForward(QWidget* window);
    static void positionOverlayOnActiveDisplay(QWidget* window, int width, int height);
    // Where the overlay panel takes the pointer (panel coordinates); empty: nowhere.
    void setOverlayInputRegion(const QRegion& region);

    AppDelegate& m_delegate;
    AbstractShellPipeline& m_pipeline;
    AuthManager& m_auth;
    std::unique_ptr<AbstractShellViewFactory> m_views;

    QSystemTrayIcon* m_statusItem = nullptr;
    QMenu* m_menu = nullptr;
    QMenu* m_microphoneMenu = nullptr;  // kept across openings; its items follow the devices
    QString m_iconSymbol;
    std::optional<DictationStatus> m_lastMenuBarIconState;
    QTimer* m_observer = nullptr;
    // The pipeline reports its changes, so the timer may rest while idle and hidden.
    bool m_observerMayRest = false;

    QPointer<QWidget> m_hubWindow;
    QPointer<QWidget> m_onboardingWindow;
    QPointer<QWidget> m_settingsWindow;
    QPointer<QWidget> m_historyWindow;
    QPointer<QWidget> m_overlayWindow;
    ShellRules::OverlayFrame m_overlayFrame;
    std::optional<QRegion> m_overlayInputRegion;  // what was set last; none before the first
};
