#pragma once

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The focused element of another application as AT-SPI describes it.
struct AtspiFieldInfo {
    qint64 pid = 0;
    QString role;  // AT-SPI role name ("text", "entry", ...); empty when unreadable
    bool isTextInputRole = false;
    bool isEditable = false;
    QString value;  // the element's text (a window around the caret for huge texts)
    bool hasSelectionRange = false;
    int selectionStart = 0;  // UTF-16 indices into `value`, start <= end
    int selectionEnd = 0;
    int selectionLocation = 0;  // the selection in characters (code points), as AT-SPI defines offsets
    int selectionLength = 0;
    QString selectedText;
    QString description;
};

struct AtspiFocusRead {
    enum class Status { Ok, NotTrusted, NoApplication, NoFocusedElement, PasswordField };
    Status status = Status::NotTrusted;
    int errorCode = 0;  // with NoFocusedElement: the AT-SPI error code, 0 when none was focused
    AtspiFieldInfo field;
};

struct AtspiWalkLimits {
    std::chrono::milliseconds budget{150};
    int maxVisits = 1500;
    int maxDepth = 24;
    int maxTextCharacters = 100000;  // all texts together; the walk stops when they reach it
};

struct AtspiWindowWalk {
    bool trusted = false;
    bool applicationFound = false;
    bool windowFound = false;
    int visitCount = 0;
    QStringList texts;
    bool timedOut = false;
};

// The accessibility bus client. libatspi keeps global, unsynchronised state, so every call into
// it happens on one worker thread that runs its own GMainContext; the public functions post a job
// there and wait for it. They may be called from any thread but that worker, and should not be
// called from the main thread (a slow application can hold a call for the call timeout).
// Our own process is never queried: its accessibility bridge answers on our main thread.
class AtspiClient {
public:
    static AtspiClient& shared();
    ~AtspiClient();

    AtspiClient(const AtspiClient&) = delete;
    AtspiClient& operator=(const AtspiClient&) = delete;

    // The accessibility bus is reachable and enabled. Sets org.a11y.Status.IsEnabled when it is
    // not, as assistive tools do, so toolkits start exporting their trees.
    bool isTrusted();

    // Sets org.a11y.Status.IsEnabled, the switch Chromium- and Electron-based applications read
    // before building their accessibility trees. True when the bus reports it enabled.
    bool enableAccessibility();

    // pid 0 means: the application that owns the active window.
    AtspiFocusRead readFocusedField(qint64 pid);
    AtspiWindowWalk walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits = {});

    // Depth-first search below the application element for an entry named or described as an
    // address, URL or search bar; the text of the first non-empty one.
    std::optional<QString> findAddressBarText(qint64 pid, int maxDepth, int maxChildren);

    // Watches the focused element of `pid` for text changes until `duration` passes.
    // `onChange` gets the element's new text (whole, or a window around the caret in a huge
    // field, as readFocusedField reads it); `onEnd` runs once when the watch ends.
    // Both run on the client's worker thread and must hop to their own thread themselves.
    // False when nothing could be watched (no focused element, a password field, not trusted).
    using ChangeHandler = std::function<void(const QString&)>;
    using EndHandler = std::function<void()>;
    bool observeTextChanges(qint64 pid, std::chrono::milliseconds duration, ChangeHandler onChange, EndHandler onEnd);
    int activeObservationCount();

    // An element of another application took the focus: the application's process, its name on
    // the accessibility bus and the title of the window that holds the element.
    struct FocusChange {
        qint64 pid = 0;
        QString applicationName;
        QString windowTitle;  // empty when no window around the element has a name
    };
    using FocusHandler = std::function<void(const FocusChange&)>;
    // Calls `onFocus` on the client's worker thread each time an element of another application
    // takes the focus (it must hop to its own thread itself), until stopFollowingFocus(id).
    // Returns the id; 0 when the accessibility bus cannot be used.
    int followFocus(FocusHandler onFocus);
    void stopFollowingFocus(int id);

    struct Worker;

private:
    AtspiClient();
    template <typename R>
    R runSync(std::function<R(Worker&)> job, R fallback);

    std::unique_ptr<Worker> m_worker;
};
