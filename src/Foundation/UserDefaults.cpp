#include "Foundation/UserDefaults.h"

#include "Foundation/AppPaths.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::mutex g_instanceMutex;
std::unique_ptr<UserDefaults> g_instance;

void ensurePrivateFile(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    // Create it 0600 before QSettings ever writes it, and tighten an existing one.
    int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    ::chmod(native.constData(), 0600);
}
}  // namespace

UserDefaults& UserDefaults::shared() {
    std::lock_guard lock(g_instanceMutex);
    if (!g_instance) g_instance.reset(new UserDefaults(AppPaths::userDefaultsFile()));
    return *g_instance;
}

void UserDefaults::reloadForTesting() {
    std::lock_guard lock(g_instanceMutex);
    g_instance.reset(new UserDefaults(AppPaths::userDefaultsFile()));
}

UserDefaults::UserDefaults(const QString& path) : m_path(path) {
    ensurePrivateFile(path);
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
}

QVariant UserDefaults::value(const QString& key, const QVariant& fallback) const {
    std::lock_guard lock(m_mutex);
    return m_settings->value(key, fallback);
}

QString UserDefaults::string(const QString& key) const {
    return value(key).toString();
}

bool UserDefaults::contains(const QString& key) const {
    std::lock_guard lock(m_mutex);
    return m_settings->contains(key);
}

QVariantMap UserDefaults::section(const QString& name) const {
    std::lock_guard lock(m_mutex);
    QVariantMap values;
    m_settings->beginGroup(name);
    for (const QString& key : m_settings->childKeys()) values.insert(key, m_settings->value(key));
    m_settings->endGroup();
    return values;
}

void UserDefaults::setValue(const QString& key, const QVariant& value) {
    std::lock_guard lock(m_mutex);
    m_settings->setValue(key, value);
    m_settings->sync();
    ::chmod(QFile::encodeName(m_path).constData(), 0600);  // QSettings replaces the file on sync
}

void UserDefaults::remove(const QString& key) {
    std::lock_guard lock(m_mutex);
    m_settings->remove(key);
    m_settings->sync();
    ::chmod(QFile::encodeName(m_path).constData(), 0600);
}

void UserDefaults::sync() {
    std::lock_guard lock(m_mutex);
    m_settings->sync();
}
