#include "App/DisplayCheck.h"

#include "Platform/DesktopBackend.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

bool otherPlatformChosen(int argc, char** argv) {
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) platform = argv[i + 1];
    return !platform.isEmpty() && !platform.startsWith("xcb");
}

std::optional<QString> displayProblem(bool platformChosen) {
    if (platformChosen) return std::nullopt;
    return DesktopBackend::current().unavailableReason();
}

std::optional<QString> unresponsiveSessionBus(std::chrono::milliseconds limit) {
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    if (address.isEmpty()) return std::nullopt;
    // The first address of the list, when it is a local socket; any other transport is left to
    // the toolkit. libdbus is not used here: its connection set-up holds a process-wide lock for as
    // long as the bus keeps silent, and the toolkit's own connection would then wait on that lock.
    const QByteArray first = address.split(';').value(0);
    if (!first.startsWith("unix:")) return std::nullopt;
    QByteArray path;
    bool abstract = false;
    for (const QByteArray& pair : first.mid(5).split(',')) {
        if (pair.startsWith("path="))
            path = QByteArray::fromPercentEncoding(pair.mid(5));
        else if (pair.startsWith("abstract=")) {
            path = QByteArray::fromPercentEncoding(pair.mid(9));
            abstract = true;
        }
    }
    sockaddr_un socketAddress{};
    if (path.isEmpty() || path.size() + 1 > qsizetype(sizeof(socketAddress.sun_path))) return std::nullopt;
    socketAddress.sun_family = AF_UNIX;
    std::memcpy(socketAddress.sun_path + (abstract ? 1 : 0), path.constData(), size_t(path.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto waitFor = [&](short events) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, events, 0};
        return left.count() > 0 && ::poll(&p, 1, int(left.count())) == 1;
    };
    // Nobody there, or the bus answers the authentication at all: the toolkit meets either at once.
    bool silent = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0 || errno == EINPROGRESS) {
        if (errno == EINPROGRESS && !waitFor(POLLOUT)) {
            silent = true;
        } else {
            const QByteArray hello =
                QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(::getuid()).toHex() + "\r\n";
            if (::send(fd, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size())
                silent = !waitFor(POLLIN);
        }
    }
    ::close(fd);
    if (!silent) return std::nullopt;
    return QStringLiteral("The session bus at %1 does not answer within %2 ms")
        .arg(QString::fromLocal8Bit(address))
        .arg(limit.count());
}
