#pragma once

#include "App/AbstractShellPipeline.h"
#include "App/Permissions.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class AuthManager;
class AbstractShellUI;

// Starts and stops the program: builds the pipeline, gates the running application on sign-in
// and permissions, receives the sign-in callback URL, drives the menu's dictation and microphone
// actions, and shuts down in order. Owns the pipeline and the desktop side for the process's life.
// Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        std::function<std::unique_ptr<AbstractShellPipeline>()> makePipeline;
        AuthManager* authManager = nullptr;
        std::unique_ptr<AbstractPermissionChecker> permissions;
        // Built after the pipeline; receives the delegate it serves.
        std::function<std::unique_ptr<AbstractShellUI>(AppDelegate&)> makeUI;
        std::function<void()> playStartupSound;
        std::function<void()> trackAppLaunched;
        // Hands queued analytics to an upload and waits a short, bounded time for it.
        std::function<void()> flushAnalytics;
    };

    // A menu-started dictation still listening this long afterwards is stopped.
    static constexpr auto kAutoStop = std::chrono::seconds(30);

    explicit AppDelegate(Dependencies deps, QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // Runs once, whatever asked for the quit (menu, SIGTERM, SIGINT); later calls do nothing.
    void applicationWillTerminate();

    // A request handed over by another process, or the argument this one was started with.
    void handleInstanceMessage(const QString& message);
    // The sign-in callback: logged without its query values, then given to the account object.
    void handleURLEvent(const QString& urlText);

    // Menu actions.
    void toggleDictationAction();
    void selectMic(const std::optional<QString>& uid);
    void promptAccessibility();
    bool accessibilityGranted();
    QCoro::Task<bool> checkAccessibility();
    QString accessibilityNotice();
    QString inputNeeds();
    QString inputNotice();

    AbstractShellPipeline* pipeline() const { return m_pipeline.get(); }
    AbstractShellUI* ui() const { return m_ui.get(); }
    bool isRunning() const { return m_running; }
    void setAutoStop(std::chrono::milliseconds after) { m_autoStop = after; }

Q_SIGNALS:
    // The first pipeline set-up has returned.
    void pipelineReady();

private:
    void launchAfterAuth();
    QCoro::Task<> launchAfterAuthTask();
    void showRichOnboarding();
    QCoro::Task<> completeOnboarding();
    // Awaits the pipeline's set-up the first time; later callers wait for that one to end.
    QCoro::Task<> ensurePipelineSetUp();
    void enterRunning();

    Dependencies m_deps;
    std::unique_ptr<AbstractShellPipeline> m_pipeline;
    std::unique_ptr<AbstractShellUI> m_ui;
    AuthManager* m_auth = nullptr;
    enum class SetupState { notStarted, running, done };
    SetupState m_setupState = SetupState::notStarted;
    bool m_running = false;
    bool m_terminated = false;
    std::chrono::milliseconds m_autoStop = kAutoStop;
};
