#include "support/AtspiFixtureProcess.h"

#include "support/TestEnvironment.h"

namespace {
void stopProcess(QProcess* process) {
    if (!process || process->state() == QProcess::NotRunning) return;
    process->terminate();
    if (!process->waitForFinished(3000)) {
        process->kill();
        process->waitForFinished(3000);
    }
}
}  // namespace

AtspiFixtureProcess::AtspiFixtureProcess(const QStringList& arguments) : m_process(std::make_unique<QProcess>()) {
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start(QStringLiteral(VANTROSE_BINARY_DIR "/tests/apps/atspi_fixture"), arguments);
}

AtspiFixtureProcess::~AtspiFixtureProcess() { stopProcess(m_process.get()); }

void AtspiFixtureProcess::drain() {
    m_buffer += m_process->readAllStandardOutput();
    qsizetype newline;
    while ((newline = m_buffer.indexOf('\n')) >= 0) {
        m_lines << QString::fromUtf8(m_buffer.left(newline));
        m_buffer.remove(0, newline + 1);
    }
}

bool AtspiFixtureProcess::waitUntilReady() {
    if (!m_process->waitForStarted(5000)) return false;
    return waitUntil(
        [this] {
            drain();
            return m_lines.contains(QStringLiteral("READY"));
        },
        std::chrono::seconds(20));
}

qint64 AtspiFixtureProcess::pid() const { return m_process->processId(); }

QStringList AtspiFixtureProcess::reportedTexts() {
    drain();
    QStringList texts;
    for (const QString& line : m_lines)
        if (line.startsWith(QLatin1String("TEXT:"))) texts << line.mid(5);
    return texts;
}

GtkEntryProcess::GtkEntryProcess(const QString& text) : m_process(std::make_unique<QProcess>()) {
    m_process->start(QStringLiteral("zenity"),
                     {QStringLiteral("--entry"), QStringLiteral("--title=Vantrose GTK field"),
                      QStringLiteral("--text=Field"), QStringLiteral("--entry-text=") + text});
    m_process->waitForStarted(5000);
}

GtkEntryProcess::~GtkEntryProcess() { stopProcess(m_process.get()); }

qint64 GtkEntryProcess::pid() const { return m_process->processId(); }

QStringList runAtspiProbe(qint64 pid, const QStringList& arguments, bool* ok) {
    QProcess probe;
    probe.setProcessChannelMode(QProcess::SeparateChannels);
    probe.start(QStringLiteral(VANTROSE_BINARY_DIR "/tests/apps/atspi_probe"),
                QStringList{QString::number(pid)} + arguments);
    const bool finished = probe.waitForStarted(5000) &&
                          waitUntil([&] { return probe.state() == QProcess::NotRunning; }, std::chrono::seconds(30));
    if (!finished) stopProcess(&probe);
    if (ok) *ok = finished && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0;
    return QString::fromUtf8(probe.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}
