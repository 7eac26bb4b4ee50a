#include "support/LogText.h"

#include "Foundation/Logger.h"

#include <QFile>

QString loggedText() {
    Logger::flush();
    QFile file(Logger::shared().logFilePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll());
}

qsizetype logMark() { return loggedText().size(); }

QString loggedTextSince(qsizetype mark) { return loggedText().mid(mark); }
