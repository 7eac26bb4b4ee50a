#include "ServiceLog.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int openLogFile(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                          S_IRUSR | S_IWUSR);
    if (fd >= 0) ::fchmod(fd, S_IRUSR | S_IWUSR);  // a log the scripts created first
    return fd;
}

}  // namespace

ServiceLog::~ServiceLog() {
    if (m_ownsFd) ::close(m_fd);
}

bool ServiceLog::open(const QString& path, qint64 maxBytes, bool captureStderr, QString* error) {
    const int fd = openLogFile(path);
    if (fd < 0) {
        if (error) *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (captureStderr) ::dup2(fd, STDERR_FILENO);
    if (m_ownsFd) ::close(m_fd);
    m_fd = fd;
    m_ownsFd = true;
    m_captureStderr = captureStderr;
    m_path = path;
    m_maxBytes = maxBytes;
    rotateIfFull();
    return true;
}

void ServiceLog::write(const QString& line) {
    const QByteArray bytes = line.toUtf8() + '\n';
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t written = ::write(m_fd, bytes.constData() + at, size_t(bytes.size() - at));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        at += written;
    }
    rotateIfFull();
}

void ServiceLog::rotateIfFull() {
    if (!m_ownsFd) return;
    struct stat info {};
    if (::fstat(m_fd, &info) != 0 || info.st_size <= m_maxBytes) return;
    const QByteArray current = QFile::encodeName(m_path);
    const QByteArray previous = QFile::encodeName(m_path + QStringLiteral(".1"));
    if (::rename(current.constData(), previous.constData()) != 0) return;
    const int fd = openLogFile(m_path);
    if (fd < 0) return;  // keeps writing to the moved file rather than losing lines
    if (m_captureStderr) ::dup2(fd, STDERR_FILENO);
    ::close(m_fd);
    m_fd = fd;
}
