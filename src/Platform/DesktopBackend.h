#pragma once

#include "Core/Input/KeySourceEvent.h"
#include "Models/Hotkey.h"
#include "Models/PasteOutcome.h"

#include <QImage>
#include <QRegion>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class QWindow;

// The desktop services a session offers, behind one interface per service. The facades of this
// layer (AppDetector, KeyboardMonitor, TextInserter, ContextReader, ScreenCaptureEngine, the
// permission check) ask DesktopBackend::current() for them and never see a windowing system's
// headers. Three back-ends exist: X11, Wayland (the desktop portals, the keyboard devices and the
// compositor's own interfaces, with XWayland as the last resort) and a do-nothing one for a
// session with neither, whose answers all say "unavailable".

struct ActiveWindowInfo {
    uint32_t window = 0;
    int32_t pid = 0;  // 0 when unknown
    QString appId;    // the identifier (see AppIdentity)
    QString appName;  // empty when neither a desktop entry nor the window's class names it
    QString title;    // the window title
};

// Follows the active window from a thread of its own.
class AbstractWindowTracker {
public:
    // Called on the tracker's thread whenever another window becomes active, or the active
    // window's title changes.
    using Handler = std::function<void(const ActiveWindowInfo&)>;
    virtual ~AbstractWindowTracker() = default;
    virtual bool start(Handler handler) = 0;  // false when the session offers no window tracking
    virtual void stop() = 0;
    // The last description seen; never waits on the display server.
    virtual std::optional<ActiveWindowInfo> latest() const = 0;
    // Asks the display server now; blocks for a few round trips (call off the main thread).
    virtual std::optional<ActiveWindowInfo> queryNow() = 0;
};

// Listen-only, system-wide key events, from a thread of its own.
class AbstractKeySource {
public:
    // The first way to listen, and the one tried when it fails (X11: XInput2 raw events, RECORD).
    enum class Method { Preferred, Fallback };
    using Handler = std::function<void(const KeySourceEvent&)>;
    virtual ~AbstractKeySource() = default;
    // False when the method cannot be used; the reason is in lastError(). `onConnectionLost`
    // runs on the source's thread when the display goes away later.
    virtual bool start(Handler handler, Method method, std::function<void()> onConnectionLost) = 0;
    virtual void stop() = 0;  // ends and joins the thread; harmless when not running
    virtual QString lastError() const = 0;
    // The hotkeys to hear, the first binding of each action counting; given before start() and
    // again whenever they change. Sources that hear every key ignore them.
    virtual void setBindings(const QList<HotkeyBinding>& bindings) { (void)bindings; }
    // How the source listens with `method`, for the log.
    virtual QString methodName(Method method) const {
        return method == Method::Preferred ? QStringLiteral("XInput2 raw key events") : QStringLiteral("XRecord");
    }
};

// Does the pastes of a TextInserter, one at a time on its queue's thread: saves the user's
// clipboard, writes the text, sends the paste chord, and later gives the clipboard back.
class AbstractPasteWorker {
public:
    struct Result {
        PasteOutcome outcome;
        uint64_t generation = 0;  // pass to restore() once the restore delay has passed
        bool scheduleRestore = false;
    };
    virtual ~AbstractPasteWorker() = default;
    virtual Result paste(const QString& text, const std::optional<QString>& html) = 0;
    // Gives the user's clipboard back when no later paste took over (`generation` is still the latest).
    virtual void restore(uint64_t generation) = 0;
    // Gives back a clipboard still waiting for its restore (at shut-down).
    virtual void restorePending() = 0;
    // The latest paste's outcome; callable from any thread.
    virtual std::optional<PasteOutcome> lastOutcome() const = 0;
};

class DesktopBackend {
public:
    virtual ~DesktopBackend() = default;

    // "x11", "wayland" or "none".
    virtual QString name() const = 0;

    // Why this session's display cannot be used (probes the connection: blocking), or nothing
    // when it can.
    virtual std::optional<QString> unavailableReason() const = 0;

    virtual std::unique_ptr<AbstractWindowTracker> makeWindowTracker() = 0;
    virtual std::unique_ptr<AbstractKeySource> makeKeySource() = 0;
    virtual std::unique_ptr<AbstractPasteWorker> makePasteWorker() = 0;

    // Global hotkeys can be heard and synthetic keys sent. Blocking.
    virtual bool keyInputAvailable() = 0;
    // What this session asks of the user before the hotkey is heard and the paste keys sent in
    // every window, in its own terms: one short line (the onboarding's row) and in full, with how
    // to get it (the hub's banner). Empty where the general texts hold (X11). Blocking.
    struct InputNeeds {
        QString brief;
        QString full;
    };
    virtual InputNeeds inputNeeds() { return {}; }
    // Presses and releases one key (settings' numbering) with exactly these modifiers, holding
    // it 10 ms. Blocking.
    virtual void simulateKeyPress(uint16_t keyCode, uint64_t flags) = 0;

    // The screen can be read. Blocking.
    virtual bool canCaptureScreen() = 0;
    // The monitor under the pointer; on failure nothing, with a short reason in `error`.
    virtual std::optional<QImage> grabMonitorUnderPointer(QString* error) = 0;

    // The text the user last selected, when process `ownerPid` holds the selection (no pid: nothing).
    // Blocks up to `timeout`.
    virtual std::optional<QString> readSelection(qint64 ownerPid, std::chrono::milliseconds timeout) = 0;

    // Limits where the pointer reaches one of this program's windows: clicks inside `region`
    // (window coordinates) go to the window, all others to whatever lies below it; an empty
    // region lets every click through. False when the session cannot do this; the caller then
    // decides for the whole window.
    virtual bool setWindowInputRegion(QWindow* window, const QRegion& region) {
        (void)window;
        (void)region;
        return false;
    }

    // Process-wide handling of a broken display connection: installs the handlers (after the
    // toolkit has installed its own) and sets what runs, once, when the connection is lost.
    // `toolkitConnectionLost` runs when the toolkit's own connection breaks inside one of its
    // calls, where nothing may return; it must end the process.
    virtual void installConnectionHandlers(std::function<void()> toolkitConnectionLost) { (void)toolkitConnectionLost; }
    virtual void setConnectionLostHook(std::function<void()> hook) { (void)hook; }

    // The back-end of this session: Wayland when the session is one (WAYLAND_DISPLAY is set, or
    // XDG_SESSION_TYPE says "wayland"), else X11 when DISPLAY names a display, else the
    // do-nothing one. The one place that picks; read at each call, so a process that loses
    // DISPLAY (the tests do) gets the do-nothing back-end from then on.
    static DesktopBackend& current();

    // Which back-end current() picks for these variables: "wayland", "x11" or "none".
    static QString kindFor(const QByteArray& waylandDisplay, const QByteArray& sessionType, const QByteArray& display);
};
