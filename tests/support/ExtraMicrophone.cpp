#include "support/ExtraMicrophone.h"

#include "Core/Audio/AudioEngine.h"
#include "support/TestEnvironment.h"

#include <QProcess>

namespace {

QString pactl(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("pactl"), args);
    if (!process.waitForFinished(10000) || process.exitCode() != 0) return {};
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool listed(const QString& uid) {
    for (const AudioDeviceInfo& device : AudioEngine::listInputDevices())
        if (device.uid == uid) return true;
    return false;
}

}  // namespace

ExtraMicrophone::ExtraMicrophone(QString uid) : m_uid(std::move(uid)) {}

ExtraMicrophone::~ExtraMicrophone() { unplug(); }

QString ExtraMicrophone::fifoPath() const { return TestEnvironment::root() + QStringLiteral("/") + m_uid + ".fifo"; }

bool ExtraMicrophone::plugIn() {
    if (m_module.isEmpty())
        m_module = pactl({QStringLiteral("load-module"), QStringLiteral("module-pipe-source"),
                          QStringLiteral("source_name=") + m_uid, QStringLiteral("file=") + fifoPath(),
                          QStringLiteral("format=s16le"), QStringLiteral("rate=16000"), QStringLiteral("channels=1")});
    return !m_module.isEmpty() && waitUntil([this] { return listed(m_uid); }, std::chrono::seconds(20));
}

bool ExtraMicrophone::unplug() {
    if (m_module.isEmpty()) return true;
    pactl({QStringLiteral("unload-module"), m_module});
    m_module.clear();
    return waitUntil([this] { return !listed(m_uid); }, std::chrono::seconds(20));
}
