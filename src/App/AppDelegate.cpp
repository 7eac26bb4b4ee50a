#include "App/AppDelegate.h"

#include "App/AbstractShellUI.h"
#include "App/LogCategories.h"
#include "App/SingleInstance.h"
#include "App/UrlRedaction.h"
#include "Auth/AuthManager.h"
#include "Auth/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"

#include <QTimer>

#include <QCoro/QCoroSignal>

namespace {
QString boolText(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }
}  // namespace

AppDelegate::AppDelegate(Dependencies deps, QObject* parent)
    : QObject(parent),
      m_deps(std::move(deps)),
      m_auth(m_deps.authManager) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    m_pipeline = m_deps.makePipeline();
    VLOG_INFO(lcVantrose) << "Application launching...";
    Logger::rotateIfNeeded();
    // The sign-in callback arrives through the single-instance socket, connected by the entry point.
    m_ui = m_deps.makeUI(*this);
    m_ui->setupStatusItem();
    m_ui->setupPipelineObservers();

    if (m_auth->isAuthenticated())
        launchAfterAuth();
    else
        showRichOnboarding();

    // Only later changes count; a sign-out closes what carries the account and reopens onboarding
    // one event-loop turn afterwards, a sign-in opens it again.
    connect(m_auth, &AuthManager::isAuthenticatedChanged, this, [this](bool authenticated) {
        runOnMain(this, [this, authenticated] {
            if (m_terminated) return;
            m_pipeline->setAccountSignedIn(authenticated);
            if (!authenticated) showRichOnboarding();
        });
    });

    if (m_deps.trackAppLaunched) m_deps.trackAppLaunched();
    VLOG_INFO(lcVantrose) << "Application launched successfully";
}

void AppDelegate::launchAfterAuth() {
    launchAfterAuthTask();  // runs to its end on the main thread; the start-up does not wait
}

QCoro::Task<> AppDelegate::launchAfterAuthTask() {
    QPointer<AppDelegate> self(this);
    const PermissionSnapshot granted = co_await m_deps.permissions->check();
    if (!self || m_terminated) co_return;
    VLOG_INFO(lcLaunchAfterAuth) << "AX=" << boolText(granted.accessibility) << " Mic=" << boolText(granted.microphone);
    if (!m_deps.permissions->accessibilityNotice().isEmpty())
        VLOG_INFO(lcLaunchAfterAuth) << "No accessibility bus — dictating without the focused field's text";
    if (!granted.allGranted()) {
        VLOG_INFO(lcLaunchAfterAuth) << "Permissions missing — showing onboarding then dashboard";
        showRichOnboarding();
        co_return;
    }
    VLOG_INFO(lcLaunchAfterAuth) << "All permissions granted — starting pipeline + dashboard";
    co_await ensurePipelineSetUp();
    if (!self || m_terminated) co_return;
    enterRunning();
}

void AppDelegate::showRichOnboarding() {
    if (m_terminated) return;
    QPointer<AppDelegate> self(this);
    m_ui->showRichOnboarding([self] {
        // Completion runs one main-queue turn later, outside the onboarding view's own handler.
        runOnMain(self, [self] {
            if (!self) return;
            self->m_ui->orderOutOnboarding();
            self->completeOnboarding();
        });
    });
}

QCoro::Task<> AppDelegate::completeOnboarding() {
    // The on-device recogniser needs no permission of its own here, so nothing is asked first.
    QPointer<AppDelegate> self(this);
    co_await ensurePipelineSetUp();
    if (!self || m_terminated) co_return;
    enterRunning();
}

QCoro::Task<> AppDelegate::ensurePipelineSetUp() {
    QPointer<AppDelegate> self(this);
    switch (m_setupState) {
    case SetupState::done: co_return;
    case SetupState::running: co_await qCoro(this, &AppDelegate::pipelineReady); co_return;
    case SetupState::notStarted: break;
    }
    m_setupState = SetupState::running;
    co_await m_pipeline->setup();
    if (!self) co_return;
    m_setupState = SetupState::done;
    Q_EMIT pipelineReady();
}

void AppDelegate::enterRunning() {
    if (m_deps.playStartupSound) m_deps.playStartupSound();
    m_ui->setupOverlayWindow();
    m_ui->showHubWindow();
    m_running = true;
}

void AppDelegate::applicationWillTerminate() {
    if (m_terminated) return;
    m_terminated = true;
    if (m_deps.flushAnalytics) m_deps.flushAnalytics();
    if (m_pipeline) m_pipeline->teardown();
    VLOG_INFO(lcVantrose) << "Application terminated";
}

void AppDelegate::handleInstanceMessage(const QString& message) {
    if (m_terminated) return;
    if (message == SingleInstance::showHubMessage) {
        // Before the first start-up completes the hub has nothing to show; onboarding comes forward.
        if (m_running)
            m_ui->showHubWindow();
        else
            m_ui->activate();
        return;
    }
    if (message.startsWith(QStringLiteral("url "))) handleURLEvent(message.mid(4));
}

void AppDelegate::handleURLEvent(const QString& urlText) {
    const QUrl url(urlText.trimmed(), QUrl::StrictMode);
    if (urlText.trimmed().isEmpty() || !url.isValid() || url.scheme().isEmpty()) {
        VLOG_WARNING(lcAuth) << "Ignored a callback that is not a valid URL";
        return;
    }
    VLOG_INFO(lcAuth) << "Received URL callback: " << redactedURLForLog(url);
    m_auth->handleURL(url);
    if (m_ui) m_ui->activate();
}

void AppDelegate::toggleDictationAction() {
    const DictationStatus status = m_pipeline->status();
    if (status == DictationStatus::listening) {
        m_pipeline->stopDictation();
        return;
    }
    if (status != DictationStatus::idle) return;
    m_pipeline->startDictation();
    const QString dictation = m_pipeline->currentDictationID();
    if (dictation.isEmpty()) return;
    // The automatic stop belongs to this dictation only; a later one keeps running.
    QTimer::singleShot(m_autoStop, this, [this, dictation] {
        if (m_terminated || !m_pipeline) return;
        if (m_pipeline->status() == DictationStatus::listening && m_pipeline->currentDictationID() == dictation)
            m_pipeline->stopDictation();
    });
}

void AppDelegate::selectMic(const std::optional<QString>& uid) {
    m_pipeline->setMicDevice(uid);
    VantroseSettings settings = m_pipeline->settings();
    settings.selectedMicUID = uid;
    m_pipeline->setSettings(settings);
}

void AppDelegate::promptAccessibility() { m_deps.permissions->requestAccessibility(); }

QCoro::Task<bool> AppDelegate::checkAccessibility() { return m_deps.permissions->checkAccessibility(); }

QString AppDelegate::accessibilityNotice() { return m_deps.permissions->accessibilityNotice(); }

QString AppDelegate::inputNeeds() { return m_deps.permissions->inputNeeds(); }

QString AppDelegate::inputNotice() { return m_deps.permissions->inputNotice(); }

bool AppDelegate::accessibilityGranted() { return m_deps.permissions->lastKnownAccessibility(); }
