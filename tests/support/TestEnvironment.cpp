#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

#include <memory>

namespace {
// Removed with everything in it when the process ends: ctest runs each case in a process of its
// own, and the folders of thousands of cases would otherwise stay in /tmp.
std::unique_ptr<QTemporaryDir> g_root;
}  // namespace

void TestEnvironment::install() {
    if (g_root) return;
    g_root = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/vantrose-test-XXXXXX");
    // An empty root would put every test's files, and the modes they set, on "/".
    if (!g_root->isValid()) qFatal("no temporary folder for the tests: %s", qPrintable(g_root->errorString()));
    const QString base = g_root->path();
    for (const char* sub : {"home", "data", "state", "config", "cache"}) QDir().mkpath(base + "/" + sub);
    qputenv("HOME", (base + "/home").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (base + "/data").toLocal8Bit());
    qputenv("XDG_STATE_HOME", (base + "/state").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (base + "/config").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (base + "/cache").toLocal8Bit());
}

QString TestEnvironment::root() {
    if (!g_root) qFatal("TestEnvironment::root() before TestEnvironment::install()");
    return g_root->path();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}
