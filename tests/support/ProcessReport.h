#pragma once

#include <QString>

class QProcess;

// What became of a program a test started, for a failure message: how it ended, or, while it
// still runs, every thread's stack (through gdb when it is installed) so a hang shows where.
QString processReport(const QProcess& process);
