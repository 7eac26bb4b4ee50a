#include "Foundation/BoundedLogFile.h"

#include <QFile>
#include <QFileInfo>

namespace {
constexpr QFileDevice::Permissions kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
// Qt adds the bits of the user running the program; the file's own mode is the rest.
constexpr QFileDevice::Permissions kModeBits =
    ~QFileDevice::Permissions(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}  // namespace

BoundedLogFile::BoundedLogFile(QString path, QString oldPath, qint64 limitBytes)
    : m_path(std::move(path)),
      m_oldPath(std::move(oldPath)),
      m_limit(limitBytes) {}

bool BoundedLogFile::append(const QByteArray& bytes) {
    if (!m_madePrivate) makePrivate();
    const QFileInfo info(m_path);
    // A file that already holds something and would pass the limit starts afresh; a single
    // longer write still goes whole into a new file.
    if (info.exists() && info.size() > 0 && info.size() + bytes.size() > m_limit) rotate();
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append, kOwnerOnly)) return false;
    return file.write(bytes) == bytes.size();
}

void BoundedLogFile::rotateIfLarger() {
    if (!m_madePrivate) makePrivate();
    const QFileInfo info(m_path);
    if (info.exists() && info.size() > m_limit) rotate();
}

void BoundedLogFile::rotate() {
    QFile::remove(m_oldPath);
    QFile::rename(m_path, m_oldPath);  // a failure leaves the file growing; the next write tries again
}

void BoundedLogFile::makePrivate() {
    m_madePrivate = true;
    for (const QString& path : {m_path, m_oldPath}) {
        QFile file(path);
        if (file.exists() && (file.permissions() & kModeBits) != kOwnerOnly) file.setPermissions(kOwnerOnly);
    }
}
