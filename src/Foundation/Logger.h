#pragma once

#include <QDateTime>
#include <QDebug>
#include <QLoggingCategory>
#include <QString>

#include <memory>
#include <optional>
#include <source_location>

class BoundedLogFile;
class SerialQueue;

// The process-wide text log: "main.log" in the log folder, one entry per line,
// "[local time] [file:line] message". The caller never waits for the disk. The file is readable
// by its owner alone and is moved to "main.old.log" before it passes 1 MiB, at launch and while
// the program runs, so the text log never takes much more than 2 MiB.
class Logger {
public:
    static Logger& shared();

    static void log(const QString& message, std::source_location where = std::source_location::current());
    static constexpr qint64 kLimitBytes = qint64{1024} * 1024;

    // The same with the call site given as a file name and line (messages that come through Qt).
    static void log(const QString& message, const char* file, int line);
    // Moves a "main.log" larger than 1 MiB to "main.old.log". Synchronous; called once at launch.
    static void rotateIfNeeded();

    // Waits until every line submitted so far is on disk (tests and shut-down).
    static void flush();

    QString logFilePath() const { return m_logFilePath; }
    QString oldLogFilePath() const;

    // Whether `category` lets messages of `type` through. Also makes sure the messages of the
    // program's own categories ("vantrose" and "vantrose.<Component>") reach main.log from then on.
    static bool enabled(const QLoggingCategory& category, QtMsgType type);
    // The text a message of `category` gets in main.log: "<Component>: message", or the message
    // alone for the category "vantrose".
    static QString prefixed(const char* categoryName, const QString& message);

    // Exposed for tests: the exact line for a message, time and call site.
    static QString formatLine(const QDateTime& time, const char* file, int line, const QString& message);

    ~Logger();

private:
    Logger();
    void append(const QByteArray& bytes);

    QString m_folder;
    QString m_logFilePath;
    std::unique_ptr<BoundedLogFile> m_file;  // touched on the queue, and by the launch's rotation
    std::unique_ptr<SerialQueue> m_queue;
};

// Log lines of a component go through its QLoggingCategory, named "vantrose.<Component>" (the line
// in main.log then reads "<Component>: message"); QT_LOGGING_RULES filters them, e.g.
// QT_LOGGING_RULES="vantrose.Pipeline.debug=false". Stream the message:
//     VLOG_INFO(lcPipeline) << "Started dictation " << id;
// Strings are written as they are (no quotes), items without spaces between them.
#define VLOG_AT_LEVEL(category, type)                                                                                  \
    for (bool vlogEnabled = ::Logger::enabled(category(), type); vlogEnabled; vlogEnabled = false)                     \
    ::LogLine(category().categoryName(), type, __FILE__, __LINE__).stream()
#define VLOG_DEBUG(category) VLOG_AT_LEVEL(category, QtDebugMsg)
#define VLOG_INFO(category) VLOG_AT_LEVEL(category, QtInfoMsg)
#define VLOG_WARNING(category) VLOG_AT_LEVEL(category, QtWarningMsg)

// One line of a category, collected while the statement streams into it and written when the
// statement ends. The program's categories go straight to main.log rather than through Qt's
// message handler: Qt sends what is logged while a handler runs (the shut-down that a toolkit
// warning starts) to stderr instead, and main.log would miss those lines.
class LogLine {
public:
    LogLine(const char* category, QtMsgType type, const char* file, int line);
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    QDebug& stream() { return *m_stream; }

private:
    const char* m_category;
    QtMsgType m_type;
    const char* m_file;
    int m_line;
    QString m_text;
    std::optional<QDebug> m_stream;  // writes into m_text; ended first, so the text is whole
};
