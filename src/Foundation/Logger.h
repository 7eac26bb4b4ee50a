#pragma once

#include <QDateTime>
#include <QString>

#include <memory>
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

    // Moves a "main.log" larger than 1 MiB to "main.old.log". Synchronous; called once at launch.
    static void rotateIfNeeded();

    // Waits until every line submitted so far is on disk (tests and shut-down).
    static void flush();

    QString logFilePath() const { return m_logFilePath; }
    QString oldLogFilePath() const;

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

// Shorthand used across the code base.
#define VLOG(msg) ::Logger::log((msg))
