#include "Foundation/Logger.h"

#include "Foundation/AppPaths.h"
#include "Foundation/BoundedLogFile.h"
#include "Foundation/Clock.h"
#include "Foundation/SerialQueue.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <cstring>
#include <mutex>

namespace {

constexpr char kProgramCategory[] = "vantrose";

bool isProgramCategory(const char* name) {
    const std::size_t length = std::strlen(kProgramCategory);
    return name && std::strncmp(name, kProgramCategory, length) == 0 && (name[length] == '\0' || name[length] == '.');
}

QtMessageHandler g_previousHandler = nullptr;

// The program's categories go to main.log; everything else (Qt's own messages) to whatever
// handled messages before.
void routeMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (isProgramCategory(context.category)) {
        Logger::log(Logger::prefixed(context.category, message), context.file ? context.file : "", context.line);
        return;
    }
    if (g_previousHandler) g_previousHandler(type, context, message);
}

}  // namespace

bool Logger::enabled(const QLoggingCategory& category, QtMsgType type) {
    static std::once_flag installed;
    std::call_once(installed, [] { g_previousHandler = qInstallMessageHandler(routeMessage); });
    return category.isEnabled(type);
}

QString Logger::prefixed(const char* categoryName, const QString& message) {
    const std::size_t length = std::strlen(kProgramCategory);
    if (!isProgramCategory(categoryName) || categoryName[length] == '\0') return message;
    return QString::fromUtf8(categoryName + length + 1) + QStringLiteral(": ") + message;
}

LogLine::LogLine(const char* category, QtMsgType type, const char* file, int line)
    : m_category(category),
      m_type(type),
      m_file(file),
      m_line(line) {
    m_stream.emplace(&m_text);
    m_stream->noquote().nospace();
}

LogLine::~LogLine() {
    m_stream.reset();
    if (isProgramCategory(m_category)) {
        Logger::log(Logger::prefixed(m_category, m_text), m_file, m_line);
        return;
    }
    const QMessageLogger logger(m_file, m_line, nullptr, m_category);
    switch (m_type) {
    case QtDebugMsg: logger.debug().noquote() << m_text; break;
    case QtInfoMsg: logger.info().noquote() << m_text; break;
    default: logger.warning().noquote() << m_text; break;
    }
}

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
    log(message, where.file_name(), static_cast<int>(where.line()));
}

void Logger::log(const QString& message, const char* file, int line) {
    Logger& self = shared();
    // The time stamp and the line are made on the caller's thread, so each line carries the time of its call.
    const QString text = formatLine(Clock::current().now().toLocalTime(), file, line, message);
    QByteArray bytes = text.toUtf8();
    self.m_queue->async([&self, bytes = std::move(bytes)] { self.append(bytes); });
}

void Logger::append(const QByteArray& bytes) { m_file->append(bytes); }

void Logger::rotateIfNeeded() {
    Logger& self = shared();
    // On the queue, so no line is written while the file moves.
    self.m_queue->sync([&self] { self.m_file->rotateIfLarger(); });
}

void Logger::flush() { shared().m_queue->drain(); }
