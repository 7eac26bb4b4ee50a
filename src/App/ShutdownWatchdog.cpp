#include "App/ShutdownWatchdog.h"

#include "Foundation/Logger.h"

#include <QDir>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {

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

}  // namespace

ShutdownWatchdog::ShutdownWatchdog(std::chrono::milliseconds limit) {
    if (s_fd >= 0) return;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const int readFd = fds[0];
    std::thread([readFd, limit] {
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
            VLOG("Vantrose: Shut-down did not finish in time; ending the process");
            Logger::flush();
            *written = true;
        }).detach();
        for (int i = 0; i < 40 && !*written; ++i) ::poll(nullptr, 0, 5);
        killChildren();
        ::_exit(s_status.load());
    }).detach();
    s_fd = fds[1];
}

void ShutdownWatchdog::arm() {
    if (s_fd < 0) return;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_fd, &byte, 1);
    errno = saved;
}
