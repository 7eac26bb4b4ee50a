#include "Foundation/Logger.h"

#include "Foundation/AppPaths.h"
#include "Foundation/BoundedLogFile.h"
#include "Foundation/Clock.h"
#include "Foundation/SerialQueue.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

Logger& Logger::shared() {
    static Logger instance;
    return instance;
}

Logger::Logger()
    : m_folder(AppPaths::logDir()),
      m_logFilePath(m_folder + "/main.log"),
      m_file(std::make_unique<BoundedLogFile>(m_logFilePath, m_folder + "/main.old.log", kLimitBytes)),
      m_queue(std::make_unique<SerialQueue>("com.vantrose.logger")) {}

Logger::~Logger() = default;

QString Logger::oldLogFilePath() const { return m_folder + "/main.old.log"; }

QString Logger::formatLine(const QDateTime& time, const char* file, int line, const QString& message) {
    const QString name = QFileInfo(QString::fromUtf8(file)).fileName();
    return QStringLiteral("[%1] [%2:%3] %4\n")
        .arg(time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), name, QString::number(line), message);
}

void Logger::log(const QString& message, std::source_location where) {
    Logger& self = shared();
    // The time stamp and the line are made on the caller's thread, so each line carries the time of its call.
    const QString line =
        formatLine(Clock::current().now().toLocalTime(), where.file_name(), static_cast<int>(where.line()), message);
    QByteArray bytes = line.toUtf8();
    self.m_queue->async([&self, bytes = std::move(bytes)] { self.append(bytes); });
}

void Logger::append(const QByteArray& bytes) { m_file->append(bytes); }

void Logger::rotateIfNeeded() {
    Logger& self = shared();
    // On the queue, so no line is written while the file moves.
    self.m_queue->sync([&self] { self.m_file->rotateIfLarger(); });
}

void Logger::flush() { shared().m_queue->drain(); }
