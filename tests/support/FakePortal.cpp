#include "support/FakePortal.h"

#include "support/TestEnvironment.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {

const QString kPortalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kControl = QStringLiteral("org.vantrose.FakePortalControl");

QString programPath() { return QStringLiteral(VANTROSE_BINARY_DIR "/tests/apps/fake_portal"); }

}  // namespace

FakePortal::FakePortal(const QStringList& arguments) : m_arguments(arguments) {}

FakePortal::~FakePortal() {
    if (!m_process) return;
    m_process->kill();
    m_process->waitForFinished(5000);
    waitUntil([] { return !portalOnBus(); });
}

bool FakePortal::portalOnBus() {
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(kPortalName).value();
}

bool FakePortal::start() {
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(programPath(), m_arguments);
    if (!m_process->waitForStarted(5000)) return false;
    const bool ready =
        waitUntil([this] { return m_process->canReadLine() || m_process->state() == QProcess::NotRunning; });
    return ready && m_process->readLine().trimmed() == "READY" && portalOnBus();
}

QStringList FakePortal::control(const QString& method, const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kControl, QStringLiteral("/control"), kControl, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    return reply.arguments().value(0).toStringList();
}

void FakePortal::setMode(const QString& method, const QString& mode) {
    control(QStringLiteral("SetMode"), {method, mode});
}
void FakePortal::activate(const QString& shortcutId) { control(QStringLiteral("Activate"), {shortcutId}); }
void FakePortal::deactivate(const QString& shortcutId) { control(QStringLiteral("Deactivate"), {shortcutId}); }
void FakePortal::sendGarbageSignals() { control(QStringLiteral("SendGarbageSignals")); }
void FakePortal::closeSessions() { control(QStringLiteral("CloseSessions")); }
void FakePortal::drop() { control(QStringLiteral("Drop")); }
void FakePortal::take() { control(QStringLiteral("Take")); }
QStringList FakePortal::log() { return control(QStringLiteral("Log")); }
QStringList FakePortal::sentKeys() { return control(QStringLiteral("SentKeys")); }
