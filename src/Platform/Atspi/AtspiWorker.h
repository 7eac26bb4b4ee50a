#pragma once

// The accessibility client's worker, shared by the files that make up AtspiClient: bus and
// connection state (AtspiBus.cpp), reads of one element (AtspiElements.cpp), finding and walking
// elements (AtspiTree.cpp), the focused field (AtspiFocusedField.cpp) and change events
// (AtspiTextEvents.cpp). Everything here runs on the worker thread unless marked atomic.

#include "Platform/Atspi/AtspiClient.h"
#include "Platform/Atspi/AtspiTextLimits.h"
#include "Platform/Atspi/TextOffsets.h"

// libatspi's headers use the word "signals" as an identifier; Qt's keyword macros are off.
#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <glib.h>

#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include <unistd.h>

// The time a single call into another application may take.
inline constexpr auto kAtspiCallTimeout = std::chrono::milliseconds(500);

// Owns one GObject reference.
class Ref {
public:
    Ref() = default;
    explicit Ref(gpointer object) : m_object(object) {}
    ~Ref() { reset(); }
    Ref(Ref&& other) noexcept : m_object(other.m_object) { other.m_object = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            m_object = other.m_object;
            other.m_object = nullptr;
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    void reset() {
        if (m_object) g_object_unref(m_object);
        m_object = nullptr;
    }
    AtspiAccessible* accessible() const { return static_cast<AtspiAccessible*>(m_object); }
    explicit operator bool() const { return m_object != nullptr; }

private:
    gpointer m_object = nullptr;
};

// A name, description or other short string libatspi handed over, cut to
// AtspiTextLimits::kLabel characters; frees it.
QString takeLabel(gchar* text);

// Loops over an application's list of children look at no more than this many.
inline constexpr int kMaxChildrenScanned = 1000;

// ---------------------------------------------------------------------------------------------
// The worker: one thread, one GMainContext, all of libatspi.

struct AtspiClient::Worker {
    struct Observation {
        int id = 0;
        Ref element;
        ChangeHandler onChange;
        EndHandler onEnd;
        QString lastText;
        GSource* expiry = nullptr;
    };

    std::thread thread;
    GMainContext* context = nullptr;
    GMainLoop* loop = nullptr;
    std::atomic<bool> running{false};

    // Touched only on the worker thread.
    bool atspiReady = false;
    bool atspiFailed = false;
    DBusConnection* session = nullptr;
    AtspiEventListener* textListener = nullptr;
    AtspiEventListener* focusListener = nullptr;
    Ref lastFocused;                 // the element that last reported gaining focus
    QElapsedTimer focusSearchClock;  // bounds one search for the focused element
    std::map<int, std::unique_ptr<Observation>> observations;
    // Applications (by bus name) that let a call run out of time, and until when they are
    // left alone.
    std::map<QString, std::chrono::steady_clock::time_point> unresponsiveUntil;
    int nextObservationId = 1;
    std::map<int, FocusHandler> focusFollowers;
    int nextFollowerId = 1;
    std::atomic<int> observationCount{0};
    qint64 ownPid = ::getpid();
    // Set when a call into an application ran out of time during the current job; a job stops
    // talking to an application that stopped answering.
    bool callTimedOut = false;

    // --- Bus and connection state.
    void start();
    void stop();
    void post(std::function<void()> job);
    void shutdownOnThread();
    bool ensureSession();
    std::optional<bool> readIsEnabled();
    bool writeIsEnabled();
    DBusMessage* isEnabledCall(const char* method);
    DBusMessage* sendSessionCall(DBusMessage* call);
    bool ensureAtspi();
    void rehomeConnections();
    bool trusted();
    bool isUnresponsive(AtspiAccessible* app);
    void noteTimeout(AtspiAccessible* app);
    void rehomeApp(AtspiAccessible* app);
    bool isWorkerThread() const { return std::this_thread::get_id() == thread.get_id(); }
    // Drops a reported error; one that says the call ran out of time sets `callTimedOut`.
    void clearError(GError** error);

    // --- One element, read under the call timer.

    // libatspi reports no error for many failed reads (states, child counts); a call that took
    // the whole call timeout is taken as the application not answering.
    class CallTimer {
    public:
        explicit CallTimer(Worker& worker) : m_worker(worker) { m_clock.start(); }
        ~CallTimer() {
            if (m_clock.elapsed() >= kAtspiCallTimeout.count()) m_worker.callTimedOut = true;
        }

    private:
        Worker& m_worker;
        QElapsedTimer m_clock;
    };
    AtspiStateSet* stateSetOf(AtspiAccessible* element);
    bool hasState(AtspiAccessible* element, AtspiStateType state);
    qint64 pidOf(AtspiAccessible* element);
    Ref childAt(AtspiAccessible* parent, int index);
    int childCount(AtspiAccessible* element);
    AtspiRole roleOf(AtspiAccessible* element, bool* ok = nullptr);
    QString timedStringOf(AtspiAccessible* element, gchar* (*get)(AtspiAccessible*, GError**));
    // The whole text of an element through its Text interface; nullopt when it has none or it
    // is longer than `maxCharacters`.
    std::optional<QString> textOf(AtspiAccessible* element, int maxCharacters);
    // The text of a field as a watch follows it: whole, or a window around the caret.
    std::optional<QString> textAroundCaret(AtspiAccessible* element);
    int characterCount(AtspiText* text);  // -1 when unreadable
    // The characters of `window`, never more, however much the application sends.
    std::optional<QString> readRange(AtspiText* text, AtspiTextLimits::Window window);
    QString nameOf(AtspiAccessible* element) { return timedStringOf(element, atspi_accessible_get_name); }
    QString descriptionOf(AtspiAccessible* element) { return timedStringOf(element, atspi_accessible_get_description); }

    static QString busNameOf(AtspiAccessible* element) {
        return element && element->parent.app ? QString::fromUtf8(element->parent.app->bus_name) : QString();
    }

    // --- Finding elements and walking the window.

    struct WalkState {
        QElapsedTimer clock;
        AtspiWalkLimits limits;
        AtspiWindowWalk result;
        int textCharacters = 0;
    };
    Ref applicationFor(qint64 pid);
    Ref activeWindowOf(AtspiAccessible* app);
    std::pair<Ref, Ref> activeApplication();
    Ref focusedWindowOf(AtspiAccessible* app);
    std::pair<Ref, Ref> resolveTarget(qint64 pid);
    Ref findFocused(AtspiAccessible* root, int depth, int& budget);
    Ref searchFocused(AtspiAccessible* root);
    Ref focusedElement(AtspiAccessible* app, AtspiAccessible* window);
    void walk(AtspiAccessible* element, int depth, WalkState& state);
    void collectTexts(AtspiAccessible* element, WalkState& state);
    bool walkStopped(WalkState& state);
    void addWalkText(const QString& text, WalkState& state);
    AtspiWindowWalk walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits);
    std::optional<QString> findAddressBar(AtspiAccessible* element, int depth, int maxDepth, int maxChildren);
    std::optional<QString> findAddressBarText(qint64 pid, int maxDepth, int maxChildren);

    // --- The focused field.
    AtspiFocusRead readFocusedField(qint64 pid);
    AtspiFocusRead::Status describeField(AtspiAccessible* element, AtspiAccessible* app, AtspiFieldInfo& field);
    void readText(AtspiAccessible* element, AtspiAccessible* app, AtspiFieldInfo& field);
    TextOffsets::Range readSelection(AtspiText* text);
    bool toolkitIsQt(AtspiAccessible* app);

    // --- Change events: focus and text.
    void listenForFocus();
    void notifyFocusFollowers(AtspiAccessible* element);
    QString windowTitleOf(AtspiAccessible* element);
    static void onFocusEvent(AtspiEvent* event, void* data);
    static void onTextEvent(AtspiEvent* event, void* data);
    void handleTextEvent(AtspiEvent* event);
    bool ensureTextListener();
    bool observe(qint64 pid, std::chrono::milliseconds duration, ChangeHandler onChange, EndHandler onEnd);
    GSource* expiryFor(int id, std::chrono::milliseconds duration);
    void endObservation(int id);
};
