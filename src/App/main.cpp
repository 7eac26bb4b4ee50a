#include "App/AppDelegate.h"
#include "App/DesktopShell.h"
#include "App/DictationShellPipeline.h"
#include "App/DictationViewFactory.h"
#include "App/DisplayCheck.h"
#include "App/LogCategories.h"
#include "App/ProcessShutdown.h"
#include "App/SingleInstance.h"
#include "Assembly/PipelineAssembly.h"
#include "Auth/AuthManager.h"
#include "Core/Audio/SoundManager.h"
#include "Core/Services/Analytics.h"
#include "Core/Services/SettingsStore.h"
#include "Foundation/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Platform/DesktopBackend.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSysInfo>

#include <sys/utsname.h>

#include <cstdio>
#include <utility>

namespace {
// From a termination signal or the loss of the display to the end of the process.
constexpr std::chrono::milliseconds kShutdownLimit(1500);
// Part of that limit an analytics upload may take at quit.
constexpr std::chrono::milliseconds kAnalyticsQuitWait(400);

// The machine the kernel runs on (x86_64, aarch64, ...), not the one this binary was built for.
QString machineArchitecture() {
    struct utsname name {};
    if (::uname(&name) == 0) return QString::fromLocal8Bit(name.machine);
    return QSysInfo::currentCpuArchitecture();
}
}  // namespace

int main(int argc, char** argv) {
    // Without a display the toolkit would abort in its constructor, before a word is logged.
    if (const std::optional<QString> problem = displayProblem(otherPlatformChosen(argc, argv))) {
        VLOG_WARNING(lcVantrose) << *problem;
        std::fprintf(stderr, "vantrose: %s\n", qPrintable(*problem));
        Logger::flush();
        return 1;
    }

    // A session bus that never answers would freeze the first window; without it the toolkit's
    // accessibility bridge and the context reader see no bus and go on. The address points at
    // nothing rather than being unset: unset, D-Bus would autolaunch a bus of its own through
    // dbus-launch, which blocks the caller and leaves a daemon behind.
    const std::optional<QString> busProblem = unresponsiveSessionBus(std::chrono::seconds(3));
    if (busProblem) qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/dev/null/no-session-bus");

    QApplication app(argc, argv);
    // Replaces the toolkit's Xlib handlers, which end the process from whichever thread met the error.
    ProcessShutdown::installDisplayHandlers();
    QCoreApplication::setApplicationName("Vantrose");
    QCoreApplication::setApplicationVersion(VANTROSE_VERSION);
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrose"));
    // A tray program keeps running with every window closed.
    QApplication::setQuitOnLastWindowClosed(false);
    // The network clients send the signed-in account's token.
    AuthManager::installAsTokenSource();

    // A second process hands its request (the sign-in URL, or "show the hub") over and ends.
    SingleInstance instance;
    const QString request = SingleInstance::messageForArguments(app.arguments().mid(1));
    if (!instance.listen()) {
        if (instance.folderRefused()) {
            // Nothing goes to a socket someone else controls.
            VLOG_WARNING(lcVantrose) << "Refused the single-instance socket: " << instance.errorString();
            std::fprintf(stderr, "vantrose: cannot use the single-instance socket: %s\n",
                         qPrintable(instance.errorString()));
            Logger::flush();
            return 1;
        }
        if (SingleInstance::sendMessage(instance.socketPath(), request)) {
            VLOG_INFO(lcVantrose) << "Handed the request to the running instance";
            Logger::flush();
            return 0;
        }
        VLOG_WARNING(lcVantrose) << "Could not start the single-instance socket: " << instance.errorString();
        std::fprintf(stderr, "vantrose: another instance seems to run but does not answer (%s)\n",
                     qPrintable(instance.errorString()));
        Logger::flush();
        return 1;
    }

    VLOG_INFO(lcProgram) << "=== Vantrose v" VANTROSE_VERSION " starting ===";
    VLOG_INFO(lcProgram) << "Platform: " << QSysInfo::prettyProductName() << " (" << QSysInfo::kernelType() << " "
                         << QSysInfo::kernelVersion() << ")";
    VLOG_INFO(lcProgram) << "Architecture: " << machineArchitecture();
    VLOG_INFO(lcProgram) << "Desktop: " << DesktopBackend::current().name() << " session";
    if (busProblem) VLOG_WARNING(lcVantrose) << *busProblem << "; running without it";

    // From here on every way of ending the process is bounded by the limit (App/ProcessShutdown.h).
    ProcessShutdown shutdown(kShutdownLimit);

    AuthManager::setURLOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); });

    AppDelegate::Dependencies deps;
    // The pipeline is made first; the shell's views are then built over it and its history.
    DictationShellPipeline* dictation = nullptr;
    HistoryStore* historyStore = nullptr;
    deps.makePipeline = [&dictation, &historyStore] {
        AssembledDictation assembled = assembleDictation(SettingsStore::loadSettings());
        historyStore = assembled.historyStore;
        auto pipeline = std::make_unique<DictationShellPipeline>(std::move(assembled.pipeline));
        dictation = pipeline.get();
        return pipeline;
    };
    deps.authManager = &AuthManager::shared();
    deps.permissions = std::make_unique<DesktopPermissionChecker>();
    deps.makeUI = [&dictation, &historyStore](AppDelegate& delegate) -> std::unique_ptr<AbstractShellUI> {
        auto views =
            std::make_unique<DictationViewFactory>(dictation->pipeline(), *historyStore, AuthManager::shared());
        return std::make_unique<DesktopShell>(delegate, *delegate.pipeline(), AuthManager::shared(), std::move(views));
    };
    deps.playStartupSound = [] { SoundManager::playCustomSound(QStringLiteral("startup"), QStringLiteral("wav")); };
    deps.trackAppLaunched = [] { Analytics::shared().trackAppLaunched(); };
    deps.flushAnalytics = [] {
        if (!Analytics::shared().flushForQuit(kAnalyticsQuitWait))
            VLOG_INFO(lcVantrose) << "Analytics upload still running at quit; leaving it";
    };

    AppDelegate delegate(std::move(deps));
    shutdown.guard(delegate);
    QObject::connect(&instance, &SingleInstance::messageReceived, &delegate, &AppDelegate::handleInstanceMessage);
    delegate.applicationDidFinishLaunching();
    // Started by the desktop with the sign-in URL while no instance ran: handle it like a hand-over.
    if (request != SingleInstance::showHubMessage)
        runOnMain(&delegate, [&delegate, request] { delegate.handleInstanceMessage(request); });

    return shutdown.finish(app.exec());
}
