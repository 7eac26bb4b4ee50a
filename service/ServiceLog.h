#pragma once

#include <QString>

// The service's log: lines on standard error, or in a file of its own that stays bounded. Past
// its cap the file becomes "<file>.1" (replacing the one before) and a new file starts, so the
// log never holds more than about twice the cap. Log files are 0600.
class ServiceLog {
public:
    ServiceLog() = default;  // standard error, unbounded: for tests and a terminal
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // Appends to `path` from now on. With `captureStderr`, the process's standard error goes
    // to the same file, so what the libraries print is bounded too. False, with `error` set,
    // when the file cannot be opened; the log stays where it was.
    bool open(const QString& path, qint64 maxBytes, bool captureStderr, QString* error = nullptr);

    // One line; a newline is added.
    void write(const QString& line);

    // Starts a new file when the current one has passed the cap (others may write to standard
    // error between the service's own lines).
    void rotateIfFull();

private:
    int m_fd = 2;
    bool m_ownsFd = false;
    bool m_captureStderr = false;
    QString m_path;
    qint64 m_maxBytes = 0;
};
