#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Real Wayland compositors for desktop tests, each started by the test and ended with it (also
// when the test fails): everything they started goes with them. Clients reach them through the
// absolute path of their socket (WAYLAND_DISPLAY may hold one).

// A child process that is ended (politely, then for good) when its pointer goes.
struct EndProcess {
    void operator()(QProcess* process) const;
};
using ChildProcess = std::unique_ptr<QProcess, EndProcess>;

// Weston with XWayland, as root. Its headless back-end has no seat at all (no keyboard focus, no
// clipboard between clients, no window ever active); nested in the test desktop's X server, its
// X11 back-end gets a seat from that server's core devices, so windows take the focus there.
class WestonCompositor {
public:
    enum class Output { Headless, NestedInX11 };

    explicit WestonCompositor(Output output = Output::Headless);
    ~WestonCompositor();
    WestonCompositor(const WestonCompositor&) = delete;
    WestonCompositor& operator=(const WestonCompositor&) = delete;

    // Starts it and waits until it announces XWayland ("xserver listening on display :N").
    // False when it did not in time; log() says what it printed.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    QString socket() const { return m_socket; }
    QString xDisplay() const { return m_xDisplay; }  // ":N"
    qint64 pid() const { return m_process.processId(); }
    QString log();
    // Ends it at once, as a session that ends does, and everything it started.
    void kill();
    void stop();

private:
    bool focusNestedWindow(std::chrono::milliseconds timeout);

    Output m_output;
    QTemporaryDir m_runtime;
    QProcess m_process;
    QByteArray m_log;
    QString m_socket;
    QString m_xDisplay;
};

// Sway (wlroots: virtual keyboard, data-control, the list of windows) with its headless back-end
// and XWayland. Sway refuses to run as root, so it runs as a user the fixture creates and removes.
class SwayCompositor {
public:
    struct Window {
        qint64 pid = 0;
        QString appId;
        QString title;
    };

    SwayCompositor();
    ~SwayCompositor();
    SwayCompositor(const SwayCompositor&) = delete;
    SwayCompositor& operator=(const SwayCompositor&) = delete;

    // Creates the user and starts Sway. False when it cannot: skipReason() says why when no user
    // could be created (the test should skip), log() what Sway printed otherwise.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    QString skipReason() const { return m_skipReason; }
    QString socket() const { return m_socket; }
    QString xDisplay() const { return m_xDisplay; }
    QString log();

    // The window that has the keyboard focus, from Sway's own account (its IPC).
    std::optional<Window> focusedWindow();
    // Waits until the window of process `pid` has the focus (XWayland windows may name no process:
    // the second form takes any description of the window).
    bool waitForFocus(qint64 pid, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForFocus(const std::function<bool(const Window&)>& isIt,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Starts an X client on Sway's XWayland. It runs as Sway's user: XWayland lets no other user
    // in. The caller owns it; stop() ends it anyway.
    ChildProcess startXClient(const QString& program, const QStringList& args);

    // Ends Sway and everything running as its user, then removes the user.
    void stop();

private:
    bool createUser();
    void endUserProcesses();

    QString m_user;
    unsigned m_uid = 0;
    bool m_userCreated = false;
    QString m_skipReason;
    QTemporaryDir m_runtime;
    QProcess m_process;
    QByteArray m_log;
    QString m_socket;
    QString m_xDisplay;
    QString m_ipcSocket;
};

// A native Wayland GTK text field: `zenity --entry` with GDK_BACKEND=wayland on the compositor at
// `socket`; it prints its text when Return is pressed. Ended when the object goes away.
class WaylandGtkEntry {
public:
    WaylandGtkEntry(const QString& socket, const QString& title);
    ~WaylandGtkEntry();
    WaylandGtkEntry(const WaylandGtkEntry&) = delete;
    WaylandGtkEntry& operator=(const WaylandGtkEntry&) = delete;

    qint64 pid() const { return m_process->processId(); }
    bool isRunning() const { return m_process->state() == QProcess::Running; }
    // What the field printed when it closed on Return; nothing when it did not in time.
    std::optional<QString> waitForPrintedText(std::chrono::milliseconds timeout = std::chrono::seconds(10));

private:
    std::unique_ptr<QProcess> m_process;
};

// Runs a Wayland command-line client (wl-paste, ...) against the compositor at `socket` to the
// end and returns its standard output; `ok` tells whether it exited with status 0 in time.
QByteArray runWaylandTool(const QString& socket, const QString& program, const QStringList& args,
                          const QByteArray& input = {}, bool* ok = nullptr,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
// The Wayland clipboard's content as `mimeType`; nothing when it has none.
std::optional<QByteArray> waylandClipboard(const QString& socket, const QString& mimeType);
// The MIME types the Wayland clipboard offers, in its order.
QStringList waylandClipboardTypes(const QString& socket);
// Puts `data` on the Wayland clipboard as `mimeType` (empty: wl-copy's own text types), as another
// program does: a wl-copy serves it until it is replaced or the object goes away.
class WaylandCopy {
public:
    WaylandCopy(const QString& socket, const QByteArray& data, const QString& mimeType = {});
    ~WaylandCopy();
    WaylandCopy(const WaylandCopy&) = delete;
    WaylandCopy& operator=(const WaylandCopy&) = delete;

    // Stops the program (SIGSTOP), so it holds the clipboard but never answers a request for it.
    void freeze();

private:
    std::unique_ptr<QProcess> m_process;
    bool m_frozen = false;
};

// Makes this process a client of the Wayland session at `socket` for this scope: what picks the
// desktop back-end or connects to "the" compositor meanwhile uses it.
class ScopedWaylandSession {
public:
    explicit ScopedWaylandSession(const QString& socket);
    ~ScopedWaylandSession();
    ScopedWaylandSession(const ScopedWaylandSession&) = delete;
    ScopedWaylandSession& operator=(const ScopedWaylandSession&) = delete;

private:
    QByteArray m_saved;
    bool m_wasSet;
};
