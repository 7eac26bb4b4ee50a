#include "Platform/Linux/AtspiClient.h"

#include "Foundation/Logger.h"
#include "Platform/Linux/TextOffsets.h"

// libatspi's headers use the word "signals" as an identifier; Qt's keyword macros are off.
#include <atspi/atspi.h>
#include <dbus/dbus.h>
#include <glib.h>

#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kDefaultCallTimeoutMs = 500;
constexpr int kSessionCallTimeoutMs = 1000;
// Text larger than this is read as a window around the caret, never whole.
constexpr int kWholeTextLimit = 200000;
constexpr int kCaretWindow = 12000;
// Bounds on the search for the focused element inside a window.
constexpr int kFocusSearchMaxNodes = 4000;
constexpr int kFocusSearchMaxDepth = 40;
constexpr qint64 kFocusSearchMaxMs = 300;
// The error code reported when the application did not answer in time.
constexpr int kErrorUnresponsive = 2;

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
        if (m_object)
            g_object_unref(m_object);
        m_object = nullptr;
    }
    AtspiAccessible* accessible() const { return static_cast<AtspiAccessible*>(m_object); }
    explicit operator bool() const { return m_object != nullptr; }

private:
    gpointer m_object = nullptr;
};

QString takeString(gchar* text) {
    if (!text)
        return {};
    QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

// Set when a call into an application ran out of time during the current job. Only the
// worker thread touches it; a job stops talking to an application that stopped answering.
bool g_callTimedOut = false;

void clearError(GError** error) {
    if (*error) {
        const QString message = QString::fromUtf8((*error)->message ? (*error)->message : "");
        if (message.contains(QLatin1String("reply"), Qt::CaseInsensitive)
            || message.contains(QLatin1String("timeout"), Qt::CaseInsensitive)
            || message.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            g_callTimedOut = true;
        g_error_free(*error);
        *error = nullptr;
    }
}

bool isTextInputRole(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_COMBO_BOX:
        return true;
    default:
        return false;
    }
}

enum class RoleGroup { Skip, TextBearing, Structural, Other };

RoleGroup roleGroup(AtspiRole role) {
    switch (role) {
    case ATSPI_ROLE_SCROLL_BAR:
    case ATSPI_ROLE_SEPARATOR:
    case ATSPI_ROLE_RULER:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_COLOR_CHOOSER:
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
    case ATSPI_ROLE_ANIMATION:
        return RoleGroup::Skip;
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_TABLE_CELL:
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_PAGE_TAB:
        return RoleGroup::TextBearing;
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_PAGE_TAB_LIST:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_GROUPING:
        return RoleGroup::Structural;
    default:
        return RoleGroup::Other;
    }
}

bool sameElement(AtspiAccessible* a, AtspiAccessible* b) {
    if (a == b)
        return true;
    if (!a || !b || !a->parent.app || !b->parent.app)
        return false;
    return g_strcmp0(a->parent.path, b->parent.path) == 0
        && g_strcmp0(a->parent.app->bus_name, b->parent.app->bus_name) == 0;
}

}  // namespace

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
    std::atomic<int> callTimeoutMs{kDefaultCallTimeoutMs};

    // Touched only on the worker thread.
    bool atspiReady = false;
    bool atspiFailed = false;
    DBusConnection* session = nullptr;
    AtspiEventListener* textListener = nullptr;
    AtspiEventListener* focusListener = nullptr;
    Ref lastFocused;  // the element that last reported gaining focus
    QElapsedTimer focusSearchClock;  // bounds one search for the focused element
    std::map<int, std::unique_ptr<Observation>> observations;
    // Applications (by bus name) that let a call run out of time, and until when they are
    // left alone.
    std::map<QString, std::chrono::steady_clock::time_point> unresponsiveUntil;
    int nextObservationId = 1;
    std::atomic<int> observationCount{0};
    qint64 ownPid = ::getpid();

    void start() {
        std::promise<void> ready;
        auto started = ready.get_future();
        thread = std::thread([this, &ready] {
            context = g_main_context_new();
            g_main_context_push_thread_default(context);
            loop = g_main_loop_new(context, FALSE);
            running = true;
            ready.set_value();
            g_main_loop_run(loop);
            shutdownOnThread();
            g_main_context_pop_thread_default(context);
            g_main_loop_unref(loop);
            g_main_context_unref(context);
        });
        started.wait();
    }

    void stop() {
        if (!thread.joinable())
            return;
        running = false;
        post([this] { g_main_loop_quit(loop); });
        thread.join();
    }

    void post(std::function<void()> job) {
        auto* heap = new std::function<void()>(std::move(job));
        g_main_context_invoke_full(
            context, G_PRIORITY_DEFAULT,
            [](gpointer data) -> gboolean {
                (*static_cast<std::function<void()>*>(data))();
                return G_SOURCE_REMOVE;
            },
            heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    }

    bool isWorkerThread() const { return std::this_thread::get_id() == thread.get_id(); }

    void shutdownOnThread() {
        for (auto& [id, obs] : observations) {
            if (obs->expiry) {
                g_source_destroy(obs->expiry);
                g_source_unref(obs->expiry);
            }
        }
        observations.clear();
        observationCount = 0;
        lastFocused.reset();
        if (focusListener) {
            atspi_event_listener_deregister(focusListener, "object:state-changed:focused", nullptr);
            g_object_unref(focusListener);
            focusListener = nullptr;
        }
        if (textListener) {
            atspi_event_listener_deregister(textListener, "object:text-changed", nullptr);
            g_object_unref(textListener);
            textListener = nullptr;
        }
        if (session) {
            dbus_connection_close(session);
            dbus_connection_unref(session);
            session = nullptr;
        }
    }

    // --- The session bus: the accessibility switch.

    bool ensureSession() {
        if (session && dbus_connection_get_is_connected(session))
            return true;
        if (session) {
            dbus_connection_unref(session);
            session = nullptr;
        }
        DBusError error;
        dbus_error_init(&error);
        session = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
        if (!session) {
            dbus_error_free(&error);
            return false;
        }
        dbus_connection_set_exit_on_disconnect(session, FALSE);
        return true;
    }

    // org.a11y.Status.IsEnabled on the accessibility bus launcher; nullopt when unreachable.
    std::optional<bool> readIsEnabled() {
        if (!ensureSession())
            return std::nullopt;
        DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                         "org.freedesktop.DBus.Properties", "Get");
        const char* iface = "org.a11y.Status";
        const char* property = "IsEnabled";
        dbus_message_append_args(call, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &property,
                                 DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(session, call, kSessionCallTimeoutMs, &error);
        dbus_message_unref(call);
        if (!reply) {
            dbus_error_free(&error);
            return std::nullopt;
        }
        std::optional<bool> result;
        DBusMessageIter iter;
        if (dbus_message_iter_init(reply, &iter) && dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
            DBusMessageIter variant;
            dbus_message_iter_recurse(&iter, &variant);
            if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_BOOLEAN) {
                dbus_bool_t value = FALSE;
                dbus_message_iter_get_basic(&variant, &value);
                result = value != FALSE;
            }
        }
        dbus_message_unref(reply);
        return result;
    }

    bool writeIsEnabled() {
        if (!ensureSession())
            return false;
        DBusMessage* call = dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                                         "org.freedesktop.DBus.Properties", "Set");
        const char* iface = "org.a11y.Status";
        const char* property = "IsEnabled";
        DBusMessageIter iter, variant;
        dbus_message_iter_init_append(call, &iter);
        dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &iface);
        dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &property);
        dbus_message_iter_open_container(&iter, DBUS_TYPE_VARIANT, "b", &variant);
        dbus_bool_t yes = TRUE;
        dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &yes);
        dbus_message_iter_close_container(&iter, &variant);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(session, call, kSessionCallTimeoutMs, &error);
        dbus_message_unref(call);
        if (!reply) {
            dbus_error_free(&error);
            return false;
        }
        const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
        dbus_message_unref(reply);
        return ok;
    }

    // --- libatspi set-up.

    bool ensureAtspi() {
        if (atspiReady)
            return true;
        if (atspiFailed)
            return false;
        // Enable the bus first, so that the launcher hands out an address and toolkits export.
        const auto enabled = readIsEnabled();
        if (!enabled.has_value()) {
            // No session bus or no launcher: libatspi would abort the process on first use.
            return false;
        }
        if (!*enabled && !writeIsEnabled())
            VLOG("AtspiClient: Could not set org.a11y.Status.IsEnabled");
        const int status = atspi_init();
        if (status != 0 && status != 1) {
            atspiFailed = true;
            VLOG(QStringLiteral("AtspiClient: Accessibility bus unavailable (atspi_init %1)").arg(status));
            return false;
        }
        // libatspi attaches its connection to the default context, which Qt's main thread runs;
        // move it to ours so that nothing of libatspi is ever dispatched on another thread.
        atspi_set_main_context(context);
        atspi_set_timeout(callTimeoutMs.load(), callTimeoutMs.load());
        atspiReady = true;
        // Following focus events finds the focused element without searching large trees.
        focusListener = atspi_event_listener_new(&Worker::onFocusEvent, this, nullptr);
        GError* error = nullptr;
        if (!atspi_event_listener_register(focusListener, "object:state-changed:focused", &error)) {
            g_object_unref(focusListener);
            focusListener = nullptr;
        }
        clearError(&error);
        rehomeConnections();
        return true;
    }

    // Direct connections to applications are opened by libatspi on the default context;
    // keep every one on ours.
    void rehomeConnections() {
        atspi_dbus_connection_setup_with_g_main(atspi_get_a11y_bus(), context);
        Ref desktop(atspi_get_desktop(0));
        if (!desktop)
            return;
        GError* error = nullptr;
        const int count = atspi_accessible_get_child_count(desktop.accessible(), &error);
        clearError(&error);
        for (int i = 0; i < count; ++i) {
            Ref app(atspi_accessible_get_child_at_index(desktop.accessible(), i, &error));
            clearError(&error);
            if (app && app.accessible()->parent.app && app.accessible()->parent.app->bus)
                atspi_dbus_connection_setup_with_g_main(app.accessible()->parent.app->bus, context);
        }
    }

    bool trusted() {
        if (!ensureAtspi())
            return false;
        auto enabled = readIsEnabled();
        if (!enabled.has_value())
            enabled = readIsEnabled();  // a busy session bus gets a second chance
        if (!enabled.has_value())
            return false;
        if (!*enabled)
            return writeIsEnabled();
        return true;
    }

    // --- Tree helpers.

    // libatspi reports no error for many failed reads (states, child counts); a call that took
    // the whole call timeout is taken as the application not answering.
    class CallTimer {
    public:
        explicit CallTimer(const Worker& worker) : m_limitMs(worker.callTimeoutMs.load()) { m_clock.start(); }
        ~CallTimer() {
            if (m_clock.elapsed() >= m_limitMs)
                g_callTimedOut = true;
        }

    private:
        QElapsedTimer m_clock;
        qint64 m_limitMs;
    };

    AtspiStateSet* stateSetOf(AtspiAccessible* element) {
        CallTimer timer(*this);
        return atspi_accessible_get_state_set(element);
    }

    bool hasState(AtspiAccessible* element, AtspiStateType state) {
        AtspiStateSet* set = stateSetOf(element);
        if (!set)
            return false;
        const bool result = atspi_state_set_contains(set, state);
        g_object_unref(set);
        return result;
    }

    qint64 pidOf(AtspiAccessible* element) {
        GError* error = nullptr;
        const guint pid = atspi_accessible_get_process_id(element, &error);
        const bool failed = error != nullptr;
        clearError(&error);
        return failed ? 0 : qint64(pid);
    }

    Ref childAt(AtspiAccessible* parent, int index) {
        CallTimer timer(*this);
        GError* error = nullptr;
        Ref child(atspi_accessible_get_child_at_index(parent, index, &error));
        clearError(&error);
        return child;
    }

    int childCount(AtspiAccessible* element) {
        CallTimer timer(*this);
        GError* error = nullptr;
        const int count = atspi_accessible_get_child_count(element, &error);
        const bool failed = error != nullptr;
        clearError(&error);
        return failed ? -1 : count;
    }

    AtspiRole roleOf(AtspiAccessible* element, bool* ok = nullptr) {
        CallTimer timer(*this);
        GError* error = nullptr;
        const AtspiRole role = atspi_accessible_get_role(element, &error);
        if (ok)
            *ok = error == nullptr;
        clearError(&error);
        return role;
    }

    QString nameOf(AtspiAccessible* element) { return timedStringOf(element, atspi_accessible_get_name); }

    QString descriptionOf(AtspiAccessible* element) { return timedStringOf(element, atspi_accessible_get_description); }

    // One string property of an element, read under the call timer.
    QString timedStringOf(AtspiAccessible* element, gchar* (*get)(AtspiAccessible*, GError**)) {
        CallTimer timer(*this);
        GError* error = nullptr;
        QString text = takeString(get(element, &error));
        clearError(&error);
        return text;
    }

    // The text of an element through its Text interface; nullopt when it has none or it is
    // longer than `maxCharacters` (negative: no limit).
    std::optional<QString> textOf(AtspiAccessible* element, int maxCharacters = -1) {
        CallTimer timer(*this);
        AtspiText* text = atspi_accessible_get_text_iface(element);
        if (!text)
            return std::nullopt;
        GError* error = nullptr;
        const int count = atspi_text_get_character_count(text, &error);
        std::optional<QString> result;
        if (!error && count >= 0 && (maxCharacters < 0 || count <= maxCharacters)) {
            gchar* raw = atspi_text_get_text(text, 0, count, &error);
            if (!error)
                result = takeString(raw);
            else
                g_free(raw);
        }
        clearError(&error);
        g_object_unref(text);
        return result;
    }

    static QString busNameOf(AtspiAccessible* element) {
        return element && element->parent.app ? QString::fromUtf8(element->parent.app->bus_name) : QString();
    }

    bool isUnresponsive(AtspiAccessible* app) {
        const auto it = unresponsiveUntil.find(busNameOf(app));
        if (it == unresponsiveUntil.end())
            return false;
        if (std::chrono::steady_clock::now() < it->second)
            return true;
        unresponsiveUntil.erase(it);
        return false;
    }

    // After a job: an application that let a call time out is skipped for a while, so one
    // frozen program costs one timeout, not one per element.
    void noteTimeout(AtspiAccessible* app) {
        if (g_callTimedOut && app)
            unresponsiveUntil[busNameOf(app)] = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    }

    // The application element of `pid`, skipping our own process.
    Ref applicationFor(qint64 pid) {
        if (pid <= 0 || pid == ownPid)
            return {};
        Ref desktop(atspi_get_desktop(0));
        if (!desktop)
            return {};
        const int count = childCount(desktop.accessible());
        for (int i = 0; i < count; ++i) {
            Ref app = childAt(desktop.accessible(), i);
            if (app && pidOf(app.accessible()) == pid) {
                rehomeApp(app.accessible());
                return app;
            }
        }
        return {};
    }

    void rehomeApp(AtspiAccessible* app) {
        if (app->parent.app && app->parent.app->bus)
            atspi_dbus_connection_setup_with_g_main(app->parent.app->bus, context);
    }

    Ref activeWindowOf(AtspiAccessible* app) {
        const int count = childCount(app);
        for (int i = 0; i < count && !g_callTimedOut; ++i) {
            Ref window = childAt(app, i);
            if (window && hasState(window.accessible(), ATSPI_STATE_ACTIVE))
                return window;
        }
        return {};
    }

    // The application (and its active window) that has the user's focus.
    std::pair<Ref, Ref> activeApplication() {
        Ref desktop(atspi_get_desktop(0));
        if (!desktop)
            return {};
        const int count = childCount(desktop.accessible());
        for (int i = 0; i < count; ++i) {
            Ref app = childAt(desktop.accessible(), i);
            if (!app)
                continue;
            const qint64 pid = pidOf(app.accessible());
            if (pid <= 0 || pid == ownPid || isUnresponsive(app.accessible()))
                continue;
            rehomeApp(app.accessible());
            g_callTimedOut = false;
            Ref window = activeWindowOf(app.accessible());
            noteTimeout(app.accessible());
            if (window)
                return {std::move(app), std::move(window)};
        }
        return {};
    }

    // The application's focused window: the active one; when the application is not in front,
    // the window holding its focused element, else its first showing window.
    Ref focusedWindowOf(AtspiAccessible* app) {
        if (Ref active = activeWindowOf(app))
            return active;
        if (g_callTimedOut)
            return {};
        const int count = childCount(app);
        Ref firstShowing;
        for (int i = 0; i < count && !g_callTimedOut; ++i) {
            Ref window = childAt(app, i);
            if (!window)
                continue;
            if (Ref focused = searchFocused(window.accessible()))
                return window;
            if (!firstShowing && hasState(window.accessible(), ATSPI_STATE_SHOWING))
                firstShowing = std::move(window);
        }
        return firstShowing;
    }

    std::pair<Ref, Ref> resolveTarget(qint64 pid) {
        if (pid == 0)
            return activeApplication();
        Ref app = applicationFor(pid);
        if (!app || isUnresponsive(app.accessible()))
            return {std::move(app), Ref()};
        Ref window = focusedWindowOf(app.accessible());
        noteTimeout(app.accessible());
        return {std::move(app), std::move(window)};
    }

    // The deepest focused element under `root` (post-order, hidden subtrees skipped).
    Ref findFocused(AtspiAccessible* root, int depth, int& budget) {
        if (budget-- <= 0 || depth > kFocusSearchMaxDepth || g_callTimedOut
            || (focusSearchClock.isValid() && focusSearchClock.elapsed() > kFocusSearchMaxMs))
            return {};
        AtspiStateSet* set = stateSetOf(root);
        const bool focused = set && atspi_state_set_contains(set, ATSPI_STATE_FOCUSED);
        const bool showing = !set || atspi_state_set_is_empty(set) || atspi_state_set_contains(set, ATSPI_STATE_SHOWING);
        if (set)
            g_object_unref(set);
        if (depth > 0 && !showing && !focused)
            return {};
        const int count = childCount(root);
        for (int i = 0; i < count && budget > 0; ++i) {
            Ref child = childAt(root, i);
            if (!child)
                continue;
            Ref found = findFocused(child.accessible(), depth + 1, budget);
            if (found)
                return found;
        }
        if (focused && depth > 0)
            return Ref(g_object_ref(root));
        return {};
    }

    // One bounded search (nodes and time) for the focused element under `root`.
    Ref searchFocused(AtspiAccessible* root) {
        focusSearchClock.start();
        int budget = kFocusSearchMaxNodes;
        return findFocused(root, 0, budget);
    }

    static void onFocusEvent(AtspiEvent* event, void* data) {
        auto* self = static_cast<Worker*>(data);
        if (event && event->source && event->detail1 == 1)
            self->lastFocused = Ref(g_object_ref(event->source));
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    Ref focusedElement(AtspiAccessible* app, AtspiAccessible* window) {
        // Fast path: the element that last announced focus, when it belongs to this
        // application and still has it.
        if (lastFocused && busNameOf(lastFocused.accessible()) == busNameOf(app)
            && hasState(lastFocused.accessible(), ATSPI_STATE_FOCUSED))
            return Ref(g_object_ref(lastFocused.accessible()));
        if (window)
            return searchFocused(window);
        focusSearchClock.start();
        int budget = kFocusSearchMaxNodes;
        // No window says it is active: look through all of them.
        const int count = childCount(app);
        for (int i = 0; i < count && budget > 0; ++i) {
            Ref candidate = childAt(app, i);
            if (!candidate)
                continue;
            Ref found = findFocused(candidate.accessible(), 0, budget);
            if (found)
                return found;
        }
        return {};
    }

    // --- The focused field.

    AtspiFocusRead readFocusedField(qint64 pid) {
        AtspiFocusRead result;
        if (!trusted()) {
            result.status = AtspiFocusRead::Status::NotTrusted;
            return result;
        }
        auto [app, window] = resolveTarget(pid);
        if (!app) {
            result.status = AtspiFocusRead::Status::NoApplication;
            return result;
        }
        if (isUnresponsive(app.accessible())) {
            result.status = AtspiFocusRead::Status::NoFocusedElement;
            result.errorCode = kErrorUnresponsive;
            return result;
        }
        Ref element = focusedElement(app.accessible(), window.accessible());
        noteTimeout(app.accessible());
        if (!element) {
            result.status = AtspiFocusRead::Status::NoFocusedElement;
            result.errorCode = g_callTimedOut ? kErrorUnresponsive : 0;
            return result;
        }
        AtspiFieldInfo& field = result.field;
        field.pid = pidOf(app.accessible());

        bool roleOk = false;
        const AtspiRole role = roleOf(element.accessible(), &roleOk);
        if (roleOk && role == ATSPI_ROLE_PASSWORD_TEXT) {
            result.status = AtspiFocusRead::Status::PasswordField;
            return result;
        }
        if (roleOk) {
            GError* error = nullptr;
            field.role = takeString(atspi_accessible_get_role_name(element.accessible(), &error));
            clearError(&error);
        }
        field.isTextInputRole = roleOk && isTextInputRole(role);

        AtspiStateSet* states = stateSetOf(element.accessible());
        if (states && !atspi_state_set_is_empty(states)) {
            field.isEditable = atspi_state_set_contains(states, ATSPI_STATE_EDITABLE)
                && !atspi_state_set_contains(states, ATSPI_STATE_READ_ONLY);
        } else {
            field.isEditable = roleOk && isTextInputRole(role);
        }
        if (states)
            g_object_unref(states);

        if (!g_callTimedOut)
            readText(element.accessible(), app.accessible(), field);
        if (!g_callTimedOut)
            field.description = descriptionOf(element.accessible());
        noteTimeout(app.accessible());
        result.status = AtspiFocusRead::Status::Ok;
        return result;
    }

    void readText(AtspiAccessible* element, AtspiAccessible* app, AtspiFieldInfo& field) {
        AtspiText* text = atspi_accessible_get_text_iface(element);
        if (!text)
            return;
        GError* error = nullptr;
        const int count = atspi_text_get_character_count(text, &error);
        clearError(&error);
        int caret = atspi_text_get_caret_offset(text, &error);
        if (error)
            caret = -1;
        clearError(&error);
        const int selections = atspi_text_get_n_selections(text, &error);
        clearError(&error);
        int rangeStart = -1;
        int rangeEnd = -1;
        if (selections > 0) {
            AtspiRange* range = atspi_text_get_selection(text, 0, &error);
            if (!error && range) {
                rangeStart = range->start_offset;
                rangeEnd = range->end_offset;
            }
            clearError(&error);
            if (range)
                g_free(range);
        }
        const TextOffsets::Range selected = TextOffsets::selectedRange(caret, selections, rangeStart, rangeEnd);
        const int selStart = selected.start;
        const int selEnd = selected.end;

        GError* tkError = nullptr;
        const QString toolkit = takeString(atspi_accessible_get_toolkit_name(app, &tkError));
        clearError(&tkError);
        const bool isQt = toolkit.compare(QLatin1String("Qt"), Qt::CaseInsensitive) == 0;

        int windowStart = 0;
        int windowEnd = count;
        if (count > kWholeTextLimit) {
            const int anchor = selStart >= 0 ? selStart : 0;
            windowStart = std::max(0, anchor - kCaretWindow);
            windowEnd = std::min(count, std::max(anchor, selEnd) + kCaretWindow);
        }
        if (count >= 0) {
            gchar* raw = atspi_text_get_text(text, windowStart, windowEnd, &error);
            if (!error)
                field.value = takeString(raw);
            else
                g_free(raw);
            clearError(&error);
        }
        g_object_unref(text);

        if (selStart < 0)
            return;
        const TextOffsets::Unit unit = windowStart == 0 && windowEnd == count
            ? TextOffsets::unitForReportedCount(field.value, count, isQt)
            : (isQt ? TextOffsets::Unit::Utf16 : TextOffsets::Unit::CodePoints);
        field.hasSelectionRange = true;
        field.selectionStart = TextOffsets::toUtf16Index(field.value, qint64(selStart) - windowStart, unit);
        field.selectionEnd = TextOffsets::toUtf16Index(field.value, qint64(selEnd) - windowStart, unit);
        // A caret window only exists for huge texts; there the location counts from its start
        // in the toolkit's own unit.
        field.selectionLocation = windowStart + TextOffsets::codePointsFromUtf16Index(field.value, field.selectionStart);
        field.selectionLength = TextOffsets::codePointsFromUtf16Index(field.value, field.selectionEnd)
            - TextOffsets::codePointsFromUtf16Index(field.value, field.selectionStart);
        field.selectedText = field.value.mid(field.selectionStart, field.selectionEnd - field.selectionStart);
    }

    // --- The window's texts.

    struct WalkState {
        QElapsedTimer clock;
        AtspiWalkLimits limits;
        AtspiWindowWalk result;
    };

    void walk(AtspiAccessible* element, int depth, WalkState& state) {
        if (g_callTimedOut)
            state.result.timedOut = true;
        if (state.result.timedOut)
            return;
        if (state.clock.nsecsElapsed() / 1e6 > state.limits.budgetMs) {
            state.result.timedOut = true;
            return;
        }
        if (depth > state.limits.maxDepth || state.result.visitCount > state.limits.maxVisits - 1)
            return;
        ++state.result.visitCount;

        bool roleOk = false;
        const AtspiRole role = roleOf(element, &roleOk);
        const bool secret = roleOk && role == ATSPI_ROLE_PASSWORD_TEXT;
        const QString name = nameOf(element);
        if (!name.isEmpty() && !secret)
            state.result.texts.append(name);
        if (!secret) {
            if (auto value = textOf(element, 2000); value && !value->isEmpty() && *value != name)
                state.result.texts.append(*value);
        }
        const QString description = descriptionOf(element);
        if (!description.isEmpty())
            state.result.texts.append(description);

        const int count = childCount(element);
        if (count < 0)
            return;
        std::vector<Ref> textBearing, other, structural;
        for (int i = 0; i < count; ++i) {
            Ref child = childAt(element, i);
            if (!child)
                continue;
            bool ok = false;
            const AtspiRole childRole = roleOf(child.accessible(), &ok);
            switch (ok ? roleGroup(childRole) : RoleGroup::Other) {
            case RoleGroup::Skip: break;
            case RoleGroup::TextBearing: textBearing.push_back(std::move(child)); break;
            case RoleGroup::Structural: structural.push_back(std::move(child)); break;
            case RoleGroup::Other: other.push_back(std::move(child)); break;
            }
        }
        for (auto* group : {&textBearing, &other, &structural}) {
            for (Ref& child : *group) {
                if (state.result.visitCount >= state.limits.maxVisits)
                    return;
                walk(child.accessible(), depth + 1, state);
                if (state.result.timedOut)
                    return;
            }
        }
    }

    AtspiWindowWalk walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits) {
        WalkState state;
        state.limits = limits;
        if (!trusted())
            return state.result;
        state.result.trusted = true;
        auto [app, window] = resolveTarget(pid);
        state.result.applicationFound = bool(app);
        if (!app || !window)
            return state.result;
        state.result.windowFound = true;
        state.clock.start();
        walk(window.accessible(), 0, state);
        return state.result;
    }

    // --- The browser's address bar.

    std::optional<QString> findAddressBar(AtspiAccessible* element, int depth, int maxDepth, int maxChildren) {
        if (depth >= maxDepth || g_callTimedOut)
            return std::nullopt;
        bool ok = false;
        const AtspiRole role = roleOf(element, &ok);
        if (ok && (role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_TEXT)) {
            const QString label = (nameOf(element) + QLatin1Char(' ') + descriptionOf(element)).toLower();
            if (label.contains(QLatin1String("address")) || label.contains(QLatin1String("url"))
                || label.contains(QLatin1String("search"))) {
                if (auto value = textOf(element); value && !value->isEmpty())
                    return value;
            }
        }
        const int count = childCount(element);
        for (int i = 0; i < count && i < maxChildren; ++i) {
            Ref child = childAt(element, i);
            if (!child)
                continue;
            if (auto found = findAddressBar(child.accessible(), depth + 1, maxDepth, maxChildren))
                return found;
        }
        return std::nullopt;
    }

    std::optional<QString> findAddressBarText(qint64 pid, int maxDepth, int maxChildren) {
        if (!trusted())
            return std::nullopt;
        Ref app = applicationFor(pid);
        if (!app || isUnresponsive(app.accessible()))
            return std::nullopt;
        auto found = findAddressBar(app.accessible(), 0, maxDepth, maxChildren);
        noteTimeout(app.accessible());
        return found;
    }

    // --- Watching a field.

    static void onTextEvent(AtspiEvent* event, void* data) {
        auto* self = static_cast<Worker*>(data);
        self->handleTextEvent(event);
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    void handleTextEvent(AtspiEvent* event) {
        if (!event || !event->source)
            return;
        for (auto& [id, obs] : observations) {
            if (!sameElement(obs->element.accessible(), event->source))
                continue;
            auto text = textOf(obs->element.accessible());
            if (!text || *text == obs->lastText)
                continue;
            obs->lastText = *text;
            if (obs->onChange)
                obs->onChange(*text);
        }
    }

    bool ensureTextListener() {
        if (textListener)
            return true;
        textListener = atspi_event_listener_new(&Worker::onTextEvent, this, nullptr);
        GError* error = nullptr;
        const bool ok = atspi_event_listener_register(textListener, "object:text-changed", &error);
        clearError(&error);
        if (!ok) {
            g_object_unref(textListener);
            textListener = nullptr;
        }
        return ok;
    }

    bool observe(qint64 pid, double seconds, ChangeHandler onChange, EndHandler onEnd) {
        if (!trusted() || !ensureTextListener())
            return false;
        auto [app, window] = resolveTarget(pid);
        if (!app)
            return false;
        Ref element = focusedElement(app.accessible(), window.accessible());
        if (!element)
            return false;
        if (roleOf(element.accessible()) == ATSPI_ROLE_PASSWORD_TEXT)
            return false;
        auto obs = std::make_unique<Observation>();
        obs->id = nextObservationId++;
        obs->lastText = textOf(element.accessible()).value_or(QString());
        obs->element = std::move(element);
        obs->onChange = std::move(onChange);
        obs->onEnd = std::move(onEnd);
        const int id = obs->id;
        const guint ms = guint(std::clamp(seconds, 0.0, 86400.0) * 1000.0);
        obs->expiry = g_timeout_source_new(ms);
        struct Expiry { Worker* worker; int id; };
        g_source_set_callback(
            obs->expiry,
            [](gpointer data) -> gboolean {
                auto* e = static_cast<Expiry*>(data);
                e->worker->endObservation(e->id);
                return G_SOURCE_REMOVE;
            },
            new Expiry{this, id}, [](gpointer data) { delete static_cast<Expiry*>(data); });
        g_source_attach(obs->expiry, context);
        observations.emplace(id, std::move(obs));
        observationCount = int(observations.size());
        return true;
    }

    void endObservation(int id) {
        auto it = observations.find(id);
        if (it == observations.end())
            return;
        std::unique_ptr<Observation> obs = std::move(it->second);
        observations.erase(it);
        observationCount = int(observations.size());
        if (obs->expiry) {
            g_source_unref(obs->expiry);
            obs->expiry = nullptr;
        }
        if (obs->onEnd)
            obs->onEnd();
    }
};

// ---------------------------------------------------------------------------------------------

AtspiClient& AtspiClient::shared() {
    static AtspiClient client;
    return client;
}

AtspiClient::AtspiClient() : m_worker(std::make_unique<Worker>()) { m_worker->start(); }

AtspiClient::~AtspiClient() { m_worker->stop(); }

template <typename R>
R AtspiClient::runSync(std::function<R(Worker&)> job, R fallback) {
    Worker& worker = *m_worker;
    if (!worker.running)
        return fallback;
    auto runJob = [&worker](const std::function<R(Worker&)>& fn) {
        g_callTimedOut = false;
        R result = fn(worker);
        // A reply handled inside the job may have opened a direct connection to an
        // application on the default context; bring it over before anything else runs.
        if (worker.atspiReady)
            worker.rehomeConnections();
        return result;
    };
    if (worker.isWorkerThread())
        return runJob(job);
    auto promise = std::make_shared<std::promise<R>>();
    auto future = promise->get_future();
    worker.post([promise, job = std::move(job), runJob] { promise->set_value(runJob(job)); });
    try {
        return future.get();
    } catch (const std::future_error&) {
        return fallback;  // the worker stopped before running the job (process exit)
    }
}

bool AtspiClient::isTrusted() {
    return runSync<bool>([](Worker& w) { return w.trusted(); }, false);
}

bool AtspiClient::enableAccessibility() {
    return runSync<bool>(
        [](Worker& w) {
            if (!w.ensureSession())
                return false;
            return w.writeIsEnabled() && w.readIsEnabled().value_or(false);
        },
        false);
}

std::optional<qint64> AtspiClient::activeApplicationPid() {
    return runSync<std::optional<qint64>>(
        [](Worker& w) -> std::optional<qint64> {
            if (!w.trusted())
                return std::nullopt;
            auto [app, window] = w.activeApplication();
            if (!app)
                return std::nullopt;
            return w.pidOf(app.accessible());
        },
        std::nullopt);
}

AtspiFocusRead AtspiClient::readFocusedField(qint64 pid) {
    return runSync<AtspiFocusRead>([pid](Worker& w) { return w.readFocusedField(pid); }, AtspiFocusRead{});
}

AtspiWindowWalk AtspiClient::walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits) {
    return runSync<AtspiWindowWalk>([pid, limits](Worker& w) { return w.walkFocusedWindow(pid, limits); },
                                    AtspiWindowWalk{});
}

std::optional<QString> AtspiClient::findAddressBarText(qint64 pid, int maxDepth, int maxChildren) {
    return runSync<std::optional<QString>>(
        [=](Worker& w) { return w.findAddressBarText(pid, maxDepth, maxChildren); }, std::nullopt);
}

bool AtspiClient::observeTextChanges(qint64 pid, double durationSeconds, ChangeHandler onChange, EndHandler onEnd) {
    return runSync<bool>(
        [pid, durationSeconds, onChange = std::move(onChange), onEnd = std::move(onEnd)](Worker& w) mutable {
            return w.observe(pid, durationSeconds, std::move(onChange), std::move(onEnd));
        },
        false);
}

int AtspiClient::activeObservationCount() { return m_worker->observationCount.load(); }

void AtspiClient::setCallTimeoutMs(int ms) {
    const int value = std::clamp(ms, 50, 5000);
    m_worker->callTimeoutMs = value;
    m_worker->post([w = m_worker.get(), value] {
        if (w->atspiReady)
            atspi_set_timeout(value, value);
    });
}
