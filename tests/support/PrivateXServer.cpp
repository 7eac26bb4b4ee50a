#include "support/PrivateXServer.h"

#include <QElapsedTimer>

bool PrivateXServer::start(std::chrono::milliseconds timeout) {
    // Xvfb picks a free display itself and writes its number to standard output.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(QProcess::nullDevice());
    m_process.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "800x600x24", "-nolisten", "tcp"});
    if (!m_process.waitForStarted(int(timeout.count()))) return false;
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    while (!out.contains('\n')) {
        if (clock.elapsed() > timeout.count() || m_process.state() != QProcess::Running) return false;
        m_process.waitForReadyRead(200);
        out += m_process.readAllStandardOutput();
    }
    bool ok = false;
    const int number = out.left(out.indexOf('\n')).trimmed().toInt(&ok);
    if (!ok) return false;
    m_display = QStringLiteral(":%1").arg(number);
    return true;
}

void PrivateXServer::kill() {
    if (m_process.state() == QProcess::NotRunning) return;
    m_process.kill();
    m_process.waitForFinished(10000);
}
