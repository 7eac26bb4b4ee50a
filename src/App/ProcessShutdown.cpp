#include "App/ProcessShutdown.h"

#include "App/AppDelegate.h"
#include "App/LogCategories.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/ThreadName.h"
#include "Platform/DesktopBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QSocketNotifier>
#include <QThread>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

// ---- The watchdog ---------------------------------------------------------------------------

int g_watchdogFd = -1;                 // write end of the arming pipe
std::atomic<int> g_watchdogStatus{1};  // the status to end with when the deadline passes

// Children would otherwise outlive us (reparented to init), holding the microphone or the bus.
void killChildren() {
    const QString self = QString::number(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        const int pid = entry.toInt(&isPid);
        if (!isPid) continue;
        FILE* f = std::fopen(qPrintable(QStringLiteral("/proc/%1/stat").arg(entry)), "r");
        if (!f) continue;
        char buf[512] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses; parse after the last ')'.
        const QByteArray stat(buf, qsizetype(n));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0) continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[1] == self.toLatin1()) ::kill(pid, SIGKILL);
    }
}

// A thread that sleeps until armed, then gives the process `limit` to end by itself.
void startWatchdog(std::chrono::milliseconds limit) {
    if (g_watchdogFd >= 0) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const int readFd = fds[0];
    std::thread([readFd, limit] {
        nameCurrentThread(QStringLiteral("com.vantrose.watchdog"));
        char byte = 0;
        while (::read(readFd, &byte, 1) < 0 && errno == EINTR) {}
        // Armed. The process normally ends well before the deadline, taking this thread along.
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            ::poll(nullptr, 0, int(left.count()) + 1);
        }
        // The log gets a moment to write the reason; a log that is stuck too must not hold us.
        auto written = std::make_shared<std::atomic<bool>>(false);
        std::thread([written] {
            nameCurrentThread(QStringLiteral("com.vantrose.watchdog-log"));
            VLOG_WARNING(lcVantrose) << "Shut-down did not finish in time; ending the process";
            Logger::flush();
            *written = true;
        }).detach();
        for (int i = 0; i < 40 && !*written; ++i) ::poll(nullptr, 0, 5);
        killChildren();
        ::_exit(g_watchdogStatus.load());
    }).detach();
    g_watchdogFd = fds[1];
}

// Async-signal-safe and thread-safe; later calls change nothing.
void armWatchdog() {
    if (g_watchdogFd < 0) return;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_watchdogFd, &byte, 1);
    errno = saved;
}

// ---- Signals --------------------------------------------------------------------------------

// The handler only arms the watchdog and writes the signal's number here; the main thread reads
// it and quits the event loop, so a signal runs the same orderly shut-down as the tray's Quit.
int g_signalFds[2] = {-1, -1};

void onSignal(int signal) {
    // Armed here, not on the main thread: a main thread that is stuck must not keep us alive.
    armWatchdog();
    const unsigned char byte = static_cast<unsigned char>(signal);
    const int saved = errno;
    [[maybe_unused]] const ssize_t written = ::write(g_signalFds[0], &byte, 1);
    errno = saved;
}

std::unique_ptr<QSocketNotifier> quitOnSignals() {
    if (g_signalFds[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) return nullptr;
    ::fcntl(g_signalFds[0], F_SETFL, O_NONBLOCK);
    auto notifier = std::make_unique<QSocketNotifier>(g_signalFds[1], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [] {
        unsigned char byte = 0;
        if (::read(g_signalFds[1], &byte, 1) != 1) return;
        VLOG_WARNING(lcVantrose) << QStringLiteral("Received signal %1; quitting").arg(int(byte));
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return notifier;
}

// ---- The end without the event loop ---------------------------------------------------------

// Set until the orderly shut-down has finished. The toolkit ends the process with exit() when its
// display connection breaks, also from inside the event loop of that shut-down; the exit handler
// then finishes what the shut-down had not done yet.
AppDelegate* g_delegateAwaitingShutdown = nullptr;
bool g_pipelineTornDown = false;

void endWithoutEventLoop() {
    AppDelegate* delegate = std::exchange(g_delegateAwaitingShutdown, nullptr);
    if (!delegate) return;
    armWatchdog();
    VLOG_WARNING(lcVantrose) << "The display connection was lost; quitting";
    // Only what keeps devices and other programs' state right: the hotkey listener, the window
    // tracker and the microphone. Nothing that needs the event loop.
    if (AbstractShellPipeline* pipeline = delegate->pipeline(); pipeline && !g_pipelineTornDown) pipeline->teardown();
    VLOG_INFO(lcVantrose) << "Application terminated";
    Logger::flush();
    // The remaining exit handlers would destroy objects that running threads still use.
    ::_exit(1);
}

// The toolkit reports a broken display connection with this warning and then calls exit(), which
// would run the static destructors while our threads still use those objects. End here instead.
QtMessageHandler g_previousMessageHandler = nullptr;

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (g_previousMessageHandler) g_previousMessageHandler(type, context, message);
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The X11 connection broke")) &&
        QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        endWithoutEventLoop();
}

// At logout the display goes away with the session: end as after a quit, within the limit.
void quitOnLostDisplay() {
    armWatchdog();
    runOnMain([] {
        VLOG_WARNING(lcVantrose) << "The display connection was lost; quitting";
        QCoreApplication::exit(1);
    });
}

}  // namespace

void ProcessShutdown::installDisplayHandlers() {
    DesktopBackend::current().installConnectionHandlers(endWithoutEventLoop);
}

ProcessShutdown::ProcessShutdown(std::chrono::milliseconds limit) {
    startWatchdog(limit);
    m_signals = quitOnSignals();
    DesktopBackend::current().setConnectionLostHook(quitOnLostDisplay);
}

ProcessShutdown::~ProcessShutdown() {
    if (!m_signals) return;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
}

void ProcessShutdown::guard(AppDelegate& delegate) {
    g_delegateAwaitingShutdown = &delegate;
    g_previousMessageHandler = qInstallMessageHandler(onQtMessage);
    // A category first used after this registration would be destroyed before the handler runs.
    (void)lcVantrose();
    std::atexit(endWithoutEventLoop);
}

int ProcessShutdown::finish(int status) {
    armWatchdog();
    if (AppDelegate* delegate = g_delegateAwaitingShutdown) delegate->applicationWillTerminate();
    g_pipelineTornDown = true;
    g_delegateAwaitingShutdown = nullptr;
    // Once the orderly shut-down has run, only destructors are left, and the program's own status
    // stands.
    g_watchdogStatus.store(status);
    DesktopBackend::current().setConnectionLostHook(armWatchdog);  // the application object goes next
    Logger::flush();
    return status;
}
