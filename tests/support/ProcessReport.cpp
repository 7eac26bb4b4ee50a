#include "support/ProcessReport.h"

#include <QProcess>
#include <QStandardPaths>

QString processReport(const QProcess& process) {
    if (process.state() == QProcess::NotRunning) {
        return process.exitStatus() == QProcess::CrashExit
                   ? QStringLiteral("the program crashed")
                   : QStringLiteral("the program exited with code %1").arg(process.exitCode());
    }
    const QString gdb = QStandardPaths::findExecutable(QStringLiteral("gdb"));
    if (gdb.isEmpty()) return QStringLiteral("the program still runs (no gdb for its stacks)");
    QProcess stacks;
    stacks.setProcessChannelMode(QProcess::MergedChannels);
    stacks.start(gdb, {"-p", QString::number(process.processId()), "-batch", "-nx", "-ex", "thread apply all bt"});
    if (!stacks.waitForFinished(60000)) {
        stacks.kill();
        stacks.waitForFinished();
    }
    return QStringLiteral("the program still runs; its threads:\n") + QString::fromLocal8Bit(stacks.readAll());
}
