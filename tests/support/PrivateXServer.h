#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <chrono>

// An X server of a test's own (Xvfb), for what must not happen to the shared virtual desktop:
// the server going away under a running program, as at logout.
class PrivateXServer {
public:
    PrivateXServer() = default;
    ~PrivateXServer() { stop(); }
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    // False when Xvfb is missing or did not report its display in time.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    QString display() const { return m_display; }  // ":N"
    qint64 pid() const { return m_process.processId(); }
    // Ends the server at once, as a session ending would.
    void kill();
    void stop() { kill(); }

private:
    QProcess m_process;
    QString m_display;
};

// Points DISPLAY at another server for this scope; what opens a display meanwhile uses it.
class ScopedDisplay {
public:
    explicit ScopedDisplay(const QString& display) : m_saved(qgetenv("DISPLAY")) {
        qputenv("DISPLAY", display.toLocal8Bit());
    }
    ~ScopedDisplay() { qputenv("DISPLAY", m_saved); }
    ScopedDisplay(const ScopedDisplay&) = delete;
    ScopedDisplay& operator=(const ScopedDisplay&) = delete;

private:
    QByteArray m_saved;
};
