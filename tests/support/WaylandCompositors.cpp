#include "support/WaylandCompositors.h"

#include "support/FixtureApp.h"
#include "support/TestEnvironment.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <set>

namespace {

using namespace std::chrono_literals;

// Polls without an event loop: the fixtures also run where none turns.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        QThread::msleep(20);
    }
    return true;
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every process whose parent chain leads to `root` (not `root` itself).
std::set<qint64> descendantsOf(qint64 root) {
    std::map<qint64, qint64> parents;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok) continue;
        const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0) continue;
        const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
        if (fields.size() > 1) parents[pid] = fields[1].toLongLong();
    }
    std::set<qint64> found;
    bool grew = true;
    while (grew) {
        grew = false;
        for (const auto& [pid, parent] : parents)
            if ((parent == root || found.count(parent)) && !found.count(pid)) grew = found.insert(pid).second || grew;
    }
    return found;
}

// The processes running as user `uid`.
std::set<qint64> processesOf(unsigned uid) {
    std::set<qint64> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (!ok) continue;
        struct stat info {};
        if (::stat(QStringLiteral("/proc/%1").arg(pid).toLocal8Bit().constData(), &info) == 0 && info.st_uid == uid)
            found.insert(pid);
    }
    return found;
}

bool alive(qint64 pid) {
    // A zombie still answers kill(0); it is gone for our purposes.
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && stat.size() > close + 2 && stat.at(close + 2) != 'Z';
}

// Ends the given processes: politely, then for good.
void endProcesses(const std::set<qint64>& pids) {
    for (qint64 pid : pids) ::kill(pid_t(pid), SIGTERM);
    const auto anyAlive = [&pids] {
        for (qint64 pid : pids)
            if (alive(pid)) return true;
        return false;
    };
    if (!pollUntil([&] { return !anyAlive(); }, 3s))
        for (qint64 pid : pids) ::kill(pid_t(pid), SIGKILL);
    pollUntil([&] { return !anyAlive(); }, 5s);
}

void endProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// For a program started through a wrapper (runuser): the program first, then the wrapper, which
// would otherwise sit out a grace period of its own after passing the signal on.
void endWrappedProcess(QProcess& wrapper) {
    if (wrapper.state() == QProcess::NotRunning) return;
    endProcesses(descendantsOf(wrapper.processId()));
    endProcess(wrapper);
}

QProcessEnvironment waylandClientEnvironment(const QString& socket) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("WAYLAND_DISPLAY", socket);
    return env;
}

std::atomic<int> g_swayCount{0};

}  // namespace

void EndProcess::operator()(QProcess* process) const {
    endWrappedProcess(*process);
    delete process;
}

// ---------------------------------------------------------------------------------------------

WestonCompositor::WestonCompositor(Output output) : m_output(output) {}

WestonCompositor::~WestonCompositor() { stop(); }

bool WestonCompositor::start(std::chrono::milliseconds timeout) {
    if (!m_runtime.isValid()) return false;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", m_runtime.path());
    env.remove("WAYLAND_DISPLAY");
    QStringList args{"--xwayland", "--socket=vantrose-weston", "--idle-time=0"};
    if (m_output == Output::Headless) {
        args << "--backend=headless-backend.so";
    } else {
        // Nested in the X server of DISPLAY, which gives it a seat (that server's keyboard and pointer).
        args << "--backend=x11-backend.so"
             << "--use-pixman"
             << "--width=1024"
             << "--height=768";
    }
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("weston", args);
    if (!m_process.waitForStarted(int(timeout.count()))) return false;
    static const QRegularExpression listening(QStringLiteral("xserver listening on display (:\\d+)"));
    const bool ready = pollUntil(
        [&] {
            m_process.waitForReadyRead(50);
            m_log += m_process.readAll();
            const auto match = listening.match(QString::fromLocal8Bit(m_log));
            if (match.hasMatch()) m_xDisplay = match.captured(1);
            return !m_xDisplay.isEmpty() || m_process.state() != QProcess::Running;
        },
        timeout);
    m_socket = m_runtime.filePath("vantrose-weston");
    if (!ready || m_xDisplay.isEmpty() || !QFileInfo::exists(m_socket)) return false;
    return m_output == Output::Headless || focusNestedWindow(timeout);
}

bool WestonCompositor::focusNestedWindow(std::chrono::milliseconds timeout) {
    // Nested, Weston's seat has the keyboard only while its window has the X focus: without it
    // no Wayland window takes the focus (and GTK reports none on the accessibility bus).
    unsigned long window = 0;
    const bool shown = pollUntil(
        [&] {
            // Weston names no process on its window; its class names it.
            const QByteArray out = runTool("xdotool", {"search", "--class", "^Weston Compositor$"});
            window = out.split('\n').first().trimmed().toULong();
            return window != 0;
        },
        timeout);
    if (!shown) return false;
    runTool("xdotool", {"windowactivate", QString::number(window)});
    return pollUntil([window] { return activeWindowId() == window; }, timeout);
}

QString WestonCompositor::log() {
    m_log += m_process.readAll();
    return QString::fromLocal8Bit(m_log);
}

void WestonCompositor::kill() {
    if (m_process.state() == QProcess::NotRunning) return;
    const std::set<qint64> children = descendantsOf(m_process.processId());
    m_process.kill();
    m_process.waitForFinished(5000);
    endProcesses(children);  // XWayland and Weston's own clients, left without their parent
}

void WestonCompositor::stop() {
    if (m_process.state() == QProcess::NotRunning) return;
    const std::set<qint64> children = descendantsOf(m_process.processId());
    endProcess(m_process);
    endProcesses(children);
}

// ---------------------------------------------------------------------------------------------

SwayCompositor::SwayCompositor() = default;

SwayCompositor::~SwayCompositor() { stop(); }

bool SwayCompositor::createUser() {
    if (::geteuid() != 0) {
        m_skipReason = QStringLiteral(
            "Sway refuses to run as root and this test cannot create a user to run it "
            "(it needs root for useradd)");
        return false;
    }
    m_user = QStringLiteral("vtsway%1x%2").arg(::getpid()).arg(g_swayCount++);
    QProcess useradd;
    useradd.setProcessChannelMode(QProcess::MergedChannels);
    useradd.start("useradd", {"-M", "-r", "-s", "/bin/bash", m_user});
    if (!useradd.waitForFinished(20000) || useradd.exitStatus() != QProcess::NormalExit || useradd.exitCode() != 0) {
        m_skipReason =
            QStringLiteral("Cannot create a user to run Sway (Sway refuses root): useradd: %1")
                .arg(useradd.error() == QProcess::FailedToStart ? QStringLiteral("not found")
                                                                : QString::fromLocal8Bit(useradd.readAll()).trimmed());
        return false;
    }
    m_userCreated = true;
    const passwd* entry = ::getpwnam(m_user.toLocal8Bit().constData());
    if (!entry) {
        m_skipReason = QStringLiteral("The user made for Sway cannot be found");
        return false;
    }
    m_uid = entry->pw_uid;
    return true;
}

bool SwayCompositor::start(std::chrono::milliseconds timeout) {
    if (!m_runtime.isValid() || !createUser()) return false;
    const QString dir = m_runtime.path();
    // The runtime folder is the user's own, as logind would make it; the config reports what Sway
    // set up (its sockets) into it once it runs.
    QFile report(dir + "/report-env.sh");
    QFile config(dir + "/sway.conf");
    if (!report.open(QIODevice::WriteOnly) || !config.open(QIODevice::WriteOnly)) return false;
    report.write(
        "{ echo \"WAYLAND_DISPLAY=$WAYLAND_DISPLAY\"; echo \"DISPLAY=$DISPLAY\"; "
        "echo \"SWAYSOCK=$SWAYSOCK\"; } > \"$XDG_RUNTIME_DIR/env.tmp\"\n"
        "mv \"$XDG_RUNTIME_DIR/env.tmp\" \"$XDG_RUNTIME_DIR/env\"\n");
    config.write(QStringLiteral("xwayland enable\nexec /bin/sh %1/report-env.sh\n").arg(dir).toUtf8());
    report.close();
    config.close();
    for (const QString& path : {dir, dir + "/report-env.sh", dir + "/sway.conf"})
        if (::chown(path.toLocal8Bit().constData(), m_uid, gid_t(-1)) != 0) return false;

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start("runuser", {"-u", m_user, "--", "env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin", "HOME=" + dir,
                                "XDG_RUNTIME_DIR=" + dir, "WLR_BACKENDS=headless", "WLR_LIBINPUT_NO_DEVICES=1",
                                "WLR_RENDERER=pixman", "sway", "-c", dir + "/sway.conf"});
    if (!m_process.waitForStarted(int(timeout.count()))) return false;
    const QString envFile = dir + "/env";
    const bool reported = pollUntil(
        [&] {
            m_log += m_process.readAll();
            return QFileInfo::exists(envFile) || m_process.state() != QProcess::Running;
        },
        timeout);
    if (!reported || !QFileInfo::exists(envFile)) return false;
    for (const QByteArray& line : readFile(envFile).split('\n')) {
        const QString text = QString::fromLocal8Bit(line);
        if (text.startsWith("WAYLAND_DISPLAY=")) m_socket = dir + "/" + text.mid(16);
        if (text.startsWith("DISPLAY=")) m_xDisplay = text.mid(8);
        if (text.startsWith("SWAYSOCK=")) m_ipcSocket = text.mid(9);
    }
    return !m_socket.endsWith('/') && QFileInfo::exists(m_socket);
}

QString SwayCompositor::log() {
    m_log += m_process.readAll();
    return QString::fromLocal8Bit(m_log);
}

std::optional<SwayCompositor::Window> SwayCompositor::focusedWindow() {
    if (m_ipcSocket.isEmpty()) return std::nullopt;
    QProcess swaymsg;
    swaymsg.start("swaymsg", {"-s", m_ipcSocket, "-r", "-t", "get_tree"});
    if (!swaymsg.waitForFinished(5000)) {
        swaymsg.kill();
        swaymsg.waitForFinished(1000);
        return std::nullopt;
    }
    std::function<std::optional<Window>(const QJsonObject&)> find = [&find](const QJsonObject& node) {
        if (node.value("focused").toBool() && node.contains("pid"))
            return std::optional<Window>(
                Window{node.value("pid").toInteger(), node.value("app_id").toString(), node.value("name").toString()});
        for (const char* key : {"nodes", "floating_nodes"}) {
            for (const QJsonValue child : node.value(key).toArray())
                if (auto found = find(child.toObject())) return found;
        }
        return std::optional<Window>();
    };
    return find(QJsonDocument::fromJson(swaymsg.readAllStandardOutput()).object());
}

bool SwayCompositor::waitForFocus(qint64 pid, std::chrono::milliseconds timeout) {
    return waitForFocus([pid](const Window& w) { return w.pid == pid; }, timeout);
}

bool SwayCompositor::waitForFocus(const std::function<bool(const Window&)>& isIt, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
            const auto window = focusedWindow();
            return window && isIt(*window);
        },
        timeout);
}

ChildProcess SwayCompositor::startXClient(const QString& program, const QStringList& args) {
    ChildProcess process(new QProcess);
    process->start("runuser", QStringList{"-u", m_user, "--", "env", "DISPLAY=" + m_xDisplay, program} + args);
    process->waitForStarted(5000);
    return process;
}

void SwayCompositor::endUserProcesses() {
    // XWayland leaves Sway's process tree (it is started detached), so everything that runs as
    // the user goes: all of it was started here.
    for (int round = 0; round < 3 && m_uid != 0; ++round) {
        const std::set<qint64> left = processesOf(m_uid);
        if (left.empty()) break;
        endProcesses(left);
    }
}

void SwayCompositor::stop() {
    endWrappedProcess(m_process);
    if (m_userCreated) {
        endUserProcesses();
        // XWayland's socket and lock, should it have been ended before removing them itself.
        if (!m_xDisplay.isEmpty()) {
            const QString number = m_xDisplay.mid(1);
            for (const QString& path : {"/tmp/.X11-unix/X" + number, "/tmp/.X" + number + "-lock"}) {
                struct stat info {};
                if (::lstat(path.toLocal8Bit().constData(), &info) == 0 && info.st_uid == m_uid) QFile::remove(path);
            }
        }
        QProcess userdel;
        userdel.start("userdel", {m_user});
        userdel.waitForFinished(20000);
        m_userCreated = false;
    }
}

// ---------------------------------------------------------------------------------------------

WaylandGtkEntry::WaylandGtkEntry(const QString& socket, const QString& title)
    : m_process(std::make_unique<QProcess>()) {
    QProcessEnvironment env = waylandClientEnvironment(socket);
    env.insert("GDK_BACKEND", "wayland");
    m_process->setProcessEnvironment(env);
    m_process->setStandardErrorFile(QProcess::nullDevice());
    m_process->start("zenity", {"--entry", "--title=" + title, "--text=Field"});
    m_process->waitForStarted(5000);
}

WaylandGtkEntry::~WaylandGtkEntry() { endProcess(*m_process); }

std::optional<QString> WaylandGtkEntry::waitForPrintedText(std::chrono::milliseconds timeout) {
    if (!m_process->waitForFinished(int(timeout.count())) || m_process->exitCode() != 0) return std::nullopt;
    QString text = QString::fromUtf8(m_process->readAllStandardOutput());
    if (text.endsWith('\n')) text.chop(1);
    return text;
}

// ---------------------------------------------------------------------------------------------

QByteArray runWaylandTool(const QString& socket, const QString& program, const QStringList& args,
                          const QByteArray& input, bool* ok, std::chrono::milliseconds timeout) {
    QProcess p;
    p.setProcessEnvironment(waylandClientEnvironment(socket));
    p.start(program, args);
    bool fine = p.waitForStarted(int(timeout.count()));
    if (fine) {
        if (!input.isEmpty()) p.write(input);
        p.closeWriteChannel();
        fine = p.waitForFinished(int(timeout.count())) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    endProcess(p);
    if (ok) *ok = fine;
    return p.readAllStandardOutput();
}

std::optional<QByteArray> waylandClipboard(const QString& socket, const QString& mimeType) {
    bool ok = false;
    QByteArray out = runWaylandTool(socket, "wl-paste", {"--no-newline", "--type", mimeType}, {}, &ok);
    if (!ok) return std::nullopt;
    return out;
}

QStringList waylandClipboardTypes(const QString& socket) {
    bool ok = false;
    const QByteArray out = runWaylandTool(socket, "wl-paste", {"--list-types"}, {}, &ok);
    if (!ok) return {};
    return QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts);
}

WaylandCopy::WaylandCopy(const QString& socket, const QByteArray& data, const QString& mimeType)
    : m_process(std::make_unique<QProcess>()) {
    m_process->setProcessEnvironment(waylandClientEnvironment(socket));
    m_process->setStandardErrorFile(QProcess::nullDevice());
    QStringList args{"--foreground"};
    if (!mimeType.isEmpty()) args << "--type" << mimeType;
    m_process->start("wl-copy", args);
    if (m_process->waitForStarted(5000)) {
        m_process->write(data);
        m_process->closeWriteChannel();
    }
}

WaylandCopy::~WaylandCopy() {
    if (m_frozen) ::kill(pid_t(m_process->processId()), SIGCONT);
    endProcess(*m_process);
}

void WaylandCopy::freeze() {
    if (m_process->state() == QProcess::Running && ::kill(pid_t(m_process->processId()), SIGSTOP) == 0) m_frozen = true;
}

ScopedWaylandSession::ScopedWaylandSession(const QString& socket)
    : m_saved(qgetenv("WAYLAND_DISPLAY")),
      m_wasSet(qEnvironmentVariableIsSet("WAYLAND_DISPLAY")) {
    qputenv("WAYLAND_DISPLAY", socket.toLocal8Bit());
}

ScopedWaylandSession::~ScopedWaylandSession() {
    if (m_wasSet)
        qputenv("WAYLAND_DISPLAY", m_saved);
    else
        qunsetenv("WAYLAND_DISPLAY");
}
