#include "App/AppDelegate.h"
#include "App/DesktopShell.h"
#include "App/SignalBridge.h"
#include "App/DictationShellPipeline.h"
#include "App/PipelineAssembly.h"
#include "App/SingleInstance.h"
#include "Auth/AuthManager.h"
#include "Core/Analytics.h"
#include "Core/Logger.h"
#include "Core/SettingsStore.h"
#include "Core/SoundManager.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSysInfo>

#include <sys/utsname.h>

#include <cstdio>

namespace {
// The machine the kernel runs on (x86_64, aarch64, ...), not the one this binary was built for.
QString machineArchitecture() {
    struct utsname name {};
    if (::uname(&name) == 0) return QString::fromLocal8Bit(name.machine);
    return QSysInfo::currentCpuArchitecture();
}
}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName("Vantrose");
    QCoreApplication::setApplicationVersion(VANTROSE_VERSION);
    QGuiApplication::setDesktopFileName(QStringLiteral("vantrose"));
    // A tray program keeps running with every window closed.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second process hands its request (the sign-in URL, or "show the hub") over and ends.
    SingleInstance instance;
    const QString request = SingleInstance::messageForArguments(app.arguments().mid(1));
    if (!instance.listen()) {
        if (SingleInstance::sendMessage(instance.socketPath(), request)) {
            VLOG("Vantrose: Handed the request to the running instance");
            Logger::flush();
            return 0;
        }
        VLOG("Vantrose: Could not start the single-instance socket: " + instance.errorString());
        std::fprintf(stderr, "vantrose: another instance seems to run but does not answer (%s)\n",
                     qPrintable(instance.errorString()));
        Logger::flush();
        return 1;
    }

    VLOG("=== Vantrose v" VANTROSE_VERSION " starting ===");
    VLOG("Platform: " + QSysInfo::prettyProductName() + " (" + QSysInfo::kernelType() + " "
         + QSysInfo::kernelVersion() + ")");
    VLOG("Architecture: " + machineArchitecture());

    SignalBridge signalBridge;
    QObject::connect(&signalBridge, &SignalBridge::terminationRequested, &app, [](int signal) {
        VLOG(QStringLiteral("Vantrose: Received signal %1; quitting").arg(signal));
        QCoreApplication::quit();
    });

    AuthManager::setURLOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); });

    AppDelegate::Dependencies deps;
    deps.makePipeline = [] {
        return std::make_unique<DictationShellPipeline>(assembleDictationPipeline(SettingsStore::loadSettings()));
    };
    deps.authManager = &AuthManager::shared();
    deps.permissions = std::make_unique<DesktopPermissionChecker>();
    deps.makeUI = [](AppDelegate& delegate) -> std::unique_ptr<ShellUI> {
        return std::make_unique<DesktopShell>(delegate, *delegate.pipeline(), AuthManager::shared());
    };
    deps.playStartupSound = [] { SoundManager::playCustomSound(QStringLiteral("startup"), QStringLiteral("wav")); };
    deps.trackAppLaunched = [] { Analytics::shared().trackAppLaunched(); };
    deps.flushAnalytics = [] {
        if (!Analytics::shared().flushForQuit(std::chrono::milliseconds(2000)))
            VLOG("Vantrose: Analytics upload still running at quit; leaving it");
    };

    AppDelegate delegate(std::move(deps));
    QObject::connect(&instance, &SingleInstance::messageReceived, &delegate, &AppDelegate::handleInstanceMessage);
    delegate.applicationDidFinishLaunching();
    // Started by the desktop with the sign-in URL while no instance ran: handle it like a hand-over.
    if (request != SingleInstance::showHubMessage)
        QMetaObject::invokeMethod(&delegate, [&delegate, request] { delegate.handleInstanceMessage(request); },
                                  Qt::QueuedConnection);

    const int status = app.exec();
    delegate.applicationWillTerminate();
    Logger::flush();
    return status;
}
