#pragma once

#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Models/TranscriptionResult.h"
#include "Storage/HistoryStore.h"

#include <QFile>
#include <QString>

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <ostream>
#include <string>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace historytest {

inline QString logText() {
    Logger::flush();
    QFile f(Logger::shared().logFilePath());
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

// A record as the pipeline would make it, with the given formatted text.
inline TranscriptionResult record(const QString& formatted) {
    TranscriptionResult::Fields f;
    f.rawText = formatted.toLower();
    f.formattedText = formatted;
    f.language = QStringLiteral("en");
    f.detectedLanguage = QStringLiteral("en");
    f.asrTierUsed = QStringLiteral("primary");
    f.appType = QStringLiteral("unknown");
    f.persistenceMetrics.transcriptCommand = QStringLiteral("dictation");
    f.persistenceMetrics.fieldType = QStringLiteral("unknown");
    return TranscriptionResult(std::move(f));
}

// A second connection to the store's file, to look at what it wrote.
inline SQLite::Database inspect(const QString& path) {
    return SQLite::Database(path.toStdString(), SQLite::OPEN_READWRITE);
}

inline std::string scalarText(SQLite::Database& db, const std::string& sql) {
    SQLite::Statement q(db, sql);
    if (!q.executeStep() || q.isColumnNull(0)) return "<null>";
    return q.getColumn(0).getString();
}

}  // namespace historytest
