#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <memory>

// The fixture window (tests/support/apps/vantrose_fixture) run as a separate X client:
// a text field that reports its text, with WM_CLASS and title chosen by the test.
class FixtureApp {
public:
    struct Options {
        QString wmClass = QStringLiteral("VantroseFixture");
        QString title = QStringLiteral("Vantrose fixture");
        bool passwordField = false;
        QStringList extraEnvironment;  // "NAME=value"
    };

    FixtureApp();
    explicit FixtureApp(Options options);
    FixtureApp(const QString& wmClass, const QString& title);
    ~FixtureApp();  // kills the process

    // Starts the program and waits until its window is shown and active.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    qint64 pid() const;
    // The top-level window's X id (found by WM_CLASS); 0 when not found.
    unsigned long windowId();
    // Makes the window the active one and waits until the window manager says so.
    bool activate(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The field's latest text as printed by the program.
    QString text();
    // Waits until the field holds exactly `expected`.
    bool waitForText(const QString& expected, std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    void readOutput();

    Options m_options;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_buffer;
    QString m_text;
    bool m_ready = false;
    unsigned long m_window = 0;
};

// Runs a command-line tool to completion (xclip, xdotool, xprop...). Returns its standard output;
// `ok` tells whether it exited with status 0 before the deadline.
QByteArray runTool(const QString& program, const QStringList& args, const QByteArray& input = {}, bool* ok = nullptr,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Starts a tool that keeps running (xclip -i serving the clipboard); the caller owns it.
std::unique_ptr<QProcess> startTool(const QString& program, const QStringList& args, const QByteArray& input = {});

// The window the window manager reports as active (_NET_ACTIVE_WINDOW); 0 when none.
unsigned long activeWindowId();
