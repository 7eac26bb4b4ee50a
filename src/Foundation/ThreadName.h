#pragma once

#include <QByteArray>
#include <QString>

// Thread names. A thread of the program carries the label of the service it works for,
// "com.vantrose.<service>" ("com.vantrose.app-detector"): Qt's name for it (QThread::objectName,
// what log lines and debuggers show) is the whole label. The kernel keeps 15 bytes of a name
// (top -H, ps, /proc/<pid>/task/*/comm), so it gets the service's part, the label without
// "com.vantrose."; where that is still longer, its end, the telling part ("eyboard-monitor").

// Names the calling thread, both ways. A QThread may be named (setObjectName) before it starts;
// it still calls this first thing, since Qt hands the kernel the first 15 bytes of its name.
void nameCurrentThread(const QString& label);

// The kernel's form of `label`: at most 15 bytes of UTF-8, never a character cut in two.
QByteArray kernelThreadName(const QString& label);
