#include "App/DesktopShell.h"

#include "App/AppDelegate.h"
#include "App/InputDeviceWatcher.h"
#include "App/LogCategories.h"
#include "App/TrayIcons.h"
#include "Auth/AuthManager.h"
#include "Core/Audio/AudioEngine.h"
#include "Foundation/Logger.h"
#include "Platform/DesktopBackend.h"
#include "UI/Settings/SettingsRules.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <memory>

namespace {
// A top-level window holding one view, kept (hidden) when the user closes it.
QWidget* makeWindow(QWidget* view, const QString& title) {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setAttribute(Qt::WA_DeleteOnClose, false);
    window->setWindowTitle(title);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    return window;
}

void showAndActivate(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
}

void replaceWindow(QPointer<QWidget>& field, QWidget* window) {
    // The previous window of this kind is hidden already; nothing refers to it any more.
    if (field) field->deleteLater();
    field = window;
}

QRect centredIn(const QScreen* screen, QSize size) {
    const QRect available = screen->availableGeometry();
    return QRect(available.x() + (available.width() - size.width()) / 2,
                 available.y() + (available.height() - size.height()) / 2, size.width(), size.height());
}
}  // namespace

DesktopShell::DesktopShell(AppDelegate& delegate, AbstractShellPipeline& pipeline, AuthManager& auth,
                           std::unique_ptr<AbstractShellViewFactory> views, QObject* parent)
    : QObject(parent),
      m_delegate(delegate),
      m_pipeline(pipeline),
      m_auth(auth),
      m_views(std::move(views)) {}

DesktopShell::~DesktopShell() {
    for (QWidget* window : {m_hubWindow.data(), m_onboardingWindow.data(), m_settingsWindow.data(),
                            m_historyWindow.data(), m_overlayWindow.data()})
        delete window;
    delete m_menu;
    delete m_microphoneMenu;
}

// ---- Tray item and menu

void DesktopShell::setupStatusItem() {
    const ShellRules::StatusIcon icon = ShellRules::launchIcon();
    m_statusItem = new QSystemTrayIcon(TrayIcons::icon(icon.symbol), this);
    m_iconSymbol = icon.symbol;
    m_statusItem->setToolTip(icon.description);
    m_menu = new QMenu;
    // Built afresh at every opening, so titles, checks and the accessibility line are current.
    connect(m_menu, &QMenu::aboutToShow, this, &DesktopShell::rebuildMenu);
    m_microphoneMenu = new QMenu(QStringLiteral("Microphone"));
    // Microphones plugged in or out while the menu is open show at once.
    auto* devices = new InputDeviceWatcher([this] { return m_pipeline.listInputDevices(); }, this);
    connect(devices, &InputDeviceWatcher::devicesChanged, this, &DesktopShell::rebuildMicrophoneMenu);
    connect(m_menu, &QMenu::aboutToShow, devices, [devices] { devices->setActive(true); });
    connect(m_menu, &QMenu::aboutToHide, devices, [devices] { devices->setActive(false); });
    m_statusItem->setContextMenu(m_menu);
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) showHubWindow();
    });
    m_statusItem->show();
    if (QSystemTrayIcon::isSystemTrayAvailable())
        VLOG_INFO(lcStatusItem) << "Tray item shown";
    else
        VLOG_INFO(lcStatusItem) << "No system tray on this desktop; the hub window stays reachable";
}

void DesktopShell::rebuildMenu() {
    m_menu->clear();
    const bool listening = m_pipeline.status() == DictationStatus::listening;
    QAction* toggle =
        m_menu->addAction(listening ? QStringLiteral("Stop Dictation") : QStringLiteral("Start Dictation"));
    toggle->setShortcut(QKeySequence(QStringLiteral("Ctrl+D")));
    connect(toggle, &QAction::triggered, &m_delegate, &AppDelegate::toggleDictationAction);
    m_menu->addSeparator();

    if (m_delegate.accessibilityGranted()) {
        m_menu->addAction(QStringLiteral("Accessibility: Granted"))->setEnabled(false);
    } else {
        QAction* grant = m_menu->addAction(QStringLiteral("⚠ Grant Accessibility Permission"));
        grant->setToolTip(QStringLiteral("Accessibility: NOT GRANTED"));
        connect(grant, &QAction::triggered, &m_delegate, &AppDelegate::promptAccessibility);
    }
    m_menu->addSeparator();

    rebuildMicrophoneMenu();
    m_menu->addMenu(m_microphoneMenu);
    m_menu->addSeparator();

    QAction* settings = m_menu->addAction(QStringLiteral("Settings..."));
    settings->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    connect(settings, &QAction::triggered, this, &DesktopShell::openSettings);
    QAction* history = m_menu->addAction(QStringLiteral("History"));
    history->setShortcut(QKeySequence(QStringLiteral("Ctrl+H")));
    connect(history, &QAction::triggered, this, &DesktopShell::openHistory);
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("Quit Vantrose"));
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    // The orderly shut-down runs once the event loop has returned.
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void DesktopShell::rebuildMicrophoneMenu() {
    if (!m_microphoneMenu) return;
    m_microphoneMenu->clear();
    for (QActionGroup* old : m_microphoneMenu->findChildren<QActionGroup*>()) delete old;
    auto* group = new QActionGroup(m_microphoneMenu);
    const std::optional<QString> selected = m_pipeline.settings().selectedMicUID;
    const std::vector<AudioDeviceInfo> devices = m_pipeline.listInputDevices();
    const std::optional<QString> notice = SettingsRules::missingMicrophoneNotice(devices, selected);
    m_microphoneMenu->setTitle(notice ? QStringLiteral("Microphone (not connected)") : QStringLiteral("Microphone"));
    for (const SettingsRules::MicrophoneEntry& entry : SettingsRules::microphoneEntries(devices, selected)) {
        QAction* item = m_microphoneMenu->addAction(entry.label);
        item->setCheckable(true);
        item->setChecked(entry.uid == selected);
        if (entry.uid) item->setData(*entry.uid);
        group->addAction(item);
        // The chosen device that is not connected stays chosen; picking it again changes nothing.
        item->setEnabled(entry.connected);
        const std::optional<QString> uid = entry.uid;
        connect(item, &QAction::triggered, this, [this, uid] { m_delegate.selectMic(uid); });
        if (!entry.uid) m_microphoneMenu->addSeparator();
    }
    if (notice) {
        m_microphoneMenu->addSeparator();
        m_microphoneMenu->addAction(*notice)->setEnabled(false);
    }
}

void DesktopShell::updateMenuBarIcon(DictationStatus status) {
    if (m_lastMenuBarIconState && *m_lastMenuBarIconState == status) return;
    m_lastMenuBarIconState = status;
    if (!m_statusItem) return;
    const ShellRules::StatusIcon icon = ShellRules::iconForStatus(status);
    m_statusItem->setIcon(TrayIcons::icon(icon.symbol));
    m_statusItem->setToolTip(icon.description);
    m_iconSymbol = icon.symbol;
}

// ---- Windows

bool DesktopShell::bringForward(QWidget* window) {
    if (!window || !window->isVisible()) return false;
    window->raise();
    window->activateWindow();
    return true;
}

void DesktopShell::showHubWindow() {
    if (bringForward(m_hubWindow)) return;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QWidget* window = makeWindow(m_views->makeHubView(permissions()), QStringLiteral("Vantrose"));
    window->setObjectName(QStringLiteral("hubWindow"));
    // The hub's content keeps the window at least as large as it needs (700 x 480 or more, so
    // its dashboard stays whole); a fixed floor here would let the window cut it.
    window->setGeometry(ShellRules::hubGeometry(screen->availableGeometry(), window->sizeHint()));
    replaceWindow(m_hubWindow, window);
    showAndActivate(window);
    VLOG_INFO(lcWindows) << "Hub window shown";
}

void DesktopShell::showRichOnboarding(std::function<void()> onComplete) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    // A new onboarding takes the place of any earlier one, which would otherwise stay on screen
    // with a completion of its own.
    if (m_onboardingWindow) {
        m_onboardingWindow->hide();
        m_onboardingWindow->deleteLater();
        m_onboardingWindow = nullptr;
    }
    auto completed = std::make_shared<bool>(false);
    auto once = [completed, onComplete = std::move(onComplete)] {
        if (*completed) return;
        *completed = true;
        onComplete();
    };
    OnboardingFlow::Permissions permissions;
    permissions.accessibilityGranted = [delegate = QPointer<AppDelegate>(&m_delegate)]() -> QCoro::Task<bool> {
        if (!delegate) co_return false;
        const bool granted = co_await delegate->checkAccessibility();
        co_return granted;
    };
    permissions.requestAccessibility = [delegate = QPointer<AppDelegate>(&m_delegate)] {
        if (delegate) delegate->promptAccessibility();
    };
    permissions.accessibilityNotice = [delegate = QPointer<AppDelegate>(&m_delegate)] {
        return delegate ? delegate->accessibilityNotice() : QString();
    };
    permissions.inputNeeds = [delegate = QPointer<AppDelegate>(&m_delegate)] {
        return delegate ? delegate->inputNeeds() : QString();
    };
    permissions.inputNotice = [delegate = QPointer<AppDelegate>(&m_delegate)] {
        return delegate ? delegate->inputNotice() : QString();
    };
    permissions.microphoneGranted = [] { return AudioEngine::requestPermission(); };
    permissions.requestMicrophone = [] { return AudioEngine::requestPermission(); };
    QWidget* view = m_views->makeOnboardingView(m_auth.isAuthenticated(), std::move(permissions), std::move(once));
    QWidget* window = makeWindow(view, QString());
    window->setObjectName(QStringLiteral("onboardingWindow"));
    window->setStyleSheet(QStringLiteral("#onboardingWindow { background-color: rgb(8, 8, 10); }"));
    window->setAttribute(Qt::WA_StyledBackground);
    window->setMinimumSize(600, 480);
    window->setGeometry(ShellRules::onboardingGeometry(screen->availableGeometry()));
    m_onboardingWindow = window;
    showAndActivate(window);
    VLOG_INFO(lcWindows) << "Onboarding window shown";
}

void DesktopShell::orderOutOnboarding() {
    if (m_onboardingWindow) m_onboardingWindow->hide();
}

void DesktopShell::openSettings() {
    if (bringForward(m_settingsWindow)) return;
    QScreen* screen = QGuiApplication::primaryScreen();
    QWidget* window = makeWindow(m_views->makeSettingsView(permissions()), QStringLiteral("Vantrose Settings"));
    window->setObjectName(QStringLiteral("settingsWindow"));
    // Opens at the pane's own size and may shrink to the smallest size whose every tab still
    // scrolls to its last control.
    window->setMinimumSize(ShellRules::kSettingsMinimumSize);
    window->resize(ShellRules::kSettingsSize);
    if (screen) window->setGeometry(centredIn(screen, window->size()));
    replaceWindow(m_settingsWindow, window);
    showAndActivate(window);
}

void DesktopShell::openHistory() {
    if (bringForward(m_historyWindow)) return;
    QScreen* screen = QGuiApplication::primaryScreen();
    QWidget* window = makeWindow(m_views->makeHistoryView(), QStringLiteral("Dictation History"));
    window->setObjectName(QStringLiteral("historyWindow"));
    window->resize(420, 520);
    if (screen) window->setGeometry(centredIn(screen, window->size()));
    replaceWindow(m_historyWindow, window);
    showAndActivate(window);
}

void DesktopShell::activate() {
    for (QWidget* window :
         {m_onboardingWindow.data(), m_hubWindow.data(), m_settingsWindow.data(), m_historyWindow.data()})
        if (bringForward(window)) return;
}

ViewPermissions DesktopShell::permissions() {
    ViewPermissions permissions;
    const QPointer<AppDelegate> delegate(&m_delegate);
    permissions.accessibilityGranted = [delegate] { return delegate && delegate->accessibilityGranted(); };
    permissions.microphoneGranted = [] { return !AudioEngine::listInputDevices().empty(); };
    permissions.openAccessibilitySettings = [delegate] {
        if (delegate) delegate->promptAccessibility();
    };
    permissions.accessibilityNotice = [delegate] { return delegate ? delegate->accessibilityNotice() : QString(); };
    permissions.inputNeeds = [delegate] { return delegate ? delegate->inputNeeds() : QString(); };
    permissions.inputNotice = [delegate] { return delegate ? delegate->inputNotice() : QString(); };
    return permissions;
}

// ---- Overlay panel

void DesktopShell::setupOverlayWindow() {
    // One panel for the process: a repeated start-up keeps it instead of leaving a second one behind.
    if (m_overlayWindow) return;
    QWidget* panel = m_views->makeOverlayView();
    panel->setObjectName(QStringLiteral("overlayPanel"));
    panel->setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::NoDropShadowWindowHint | Qt::X11BypassWindowManagerHint);
    panel->setAttribute(Qt::WA_TranslucentBackground);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    panel->setWindowTitle(QStringLiteral("Vantrose Status"));
    panel->setFixedSize(ShellRules::kOverlayWidth, ShellRules::kOverlayHeight);
    panel->winId();  // the native window exists from here on, so its input flag can be set
    m_overlayWindow = panel;
    m_overlayInputRegion.reset();
    setOverlayInputRegion(QRegion());
    positionOverlayOnActiveDisplay(panel, ShellRules::kOverlayWidth, ShellRules::kOverlayHeight);
    m_overlayFrame = {};
}

void DesktopShell::setOverlayInputRegion(const QRegion& region) {
    if (!m_overlayWindow || m_overlayInputRegion == region) return;
    m_overlayInputRegion = region;
    QWindow* handle = m_overlayWindow->windowHandle();
    if (!handle) return;
    // Without an input shape the panel takes the pointer everywhere or nowhere.
    if (!DesktopBackend::current().setWindowInputRegion(handle, region))
        handle->setFlag(Qt::WindowTransparentForInput, region.isEmpty());
}

void DesktopShell::positionOverlayOnActiveDisplay(QWidget* window, int width, int height) {
    const QPoint mouse = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(mouse);
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens().first();
    if (!screen) return;
    window->move(ShellRules::overlayOrigin(screen->availableGeometry(), QSize(width, height)));
}

void DesktopShell::setupPipelineObservers() {
    m_observer = new QTimer(this);
    m_observer->setInterval(ShellRules::kObserverInterval);
    connect(m_observer, &QTimer::timeout, this, &DesktopShell::observerTick);
    m_observer->start();
    // An idle pipeline with a hidden panel gives the tick nothing to do, and waking ten times a
    // second for that costs more than the rest of the idle program. The timer rests then and
    // starts again at the pipeline's next change, so that change is drawn at the next tick as before.
    m_observerMayRest = m_pipeline.observeChanges(this, [this] {
        if (m_observer && !m_observer->isActive()) m_observer->start();
    });
}

bool DesktopShell::observerRunning() const { return m_observer && m_observer->isActive(); }

void DesktopShell::observerTick() {
    if (!m_overlayWindow) return;  // nothing to drive before the first completed start-up
    const DictationStatus status = m_pipeline.status();
    updateMenuBarIcon(status);
    const ShellRules::OverlayInput input{status, m_pipeline.settings().showOverlay, m_pipeline.hasTypingSuggestion(),
                                         m_pipeline.isPersistentMode()};
    QWidget* panel = m_overlayWindow;
    ShellRules::OverlayFrame current = m_overlayFrame;
    current.visible = panel->isVisible();
    const ShellRules::OverlayFrame next = ShellRules::nextOverlayFrame(current, input);
    if (ShellRules::overlayWanted(input)) {
        positionOverlayOnActiveDisplay(panel, panel->width(), panel->height());
        // The whole panel in a hands-free dictation (its pause and stop controls), the
        // suggestion card while a suggestion is shown, otherwise nothing: clicks pass through.
        QRegion pointer;
        if (next.acceptsMouse)
            pointer = QRegion(panel->rect());
        else if (input.hasTypingSuggestion)
            pointer = panel->property("pointerRegion").value<QRegion>();
        setOverlayInputRegion(pointer);
        if (!panel->isVisible()) {
            panel->setWindowOpacity(0.0);
            panel->show();
        }
        panel->setWindowOpacity(next.opacity);
    } else if (current.visible) {
        // A fading panel keeps a hands-free dictation's hold on the pointer; the card of a
        // suggestion that is gone takes no more clicks.
        setOverlayInputRegion(next.acceptsMouse ? QRegion(panel->rect()) : QRegion());
        panel->setWindowOpacity(next.opacity);
        if (!next.visible) panel->hide();
    }
    m_overlayFrame = next;
    if (m_observerMayRest && !ShellRules::overlayWanted(input) && !next.visible && m_observer) m_observer->stop();
}
