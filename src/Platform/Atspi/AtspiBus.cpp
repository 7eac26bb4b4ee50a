// Bus and connection state: the worker thread and its main context, the session bus's
// accessibility switch, libatspi's set-up, and which applications stopped answering.
#include "Platform/Atspi/AtspiWorker.h"

#include "Foundation/Logger.h"
#include "Foundation/ThreadName.h"
#include "Platform/LogCategories.h"

#include <algorithm>
#include <future>

namespace {

constexpr auto kSessionCallTimeout = std::chrono::seconds(1);

}  // namespace

void AtspiClient::Worker::start() {
    std::promise<void> ready;
    auto started = ready.get_future();
    thread = std::thread([this, &ready] {
        nameCurrentThread(QStringLiteral("com.vantrose.atspi"));
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

void AtspiClient::Worker::stop() {
    if (!thread.joinable()) return;
    running = false;
    post([this] { g_main_loop_quit(loop); });
    thread.join();
}

void AtspiClient::Worker::post(std::function<void()> job) {
    auto* heap = new std::function<void()>(std::move(job));
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        heap, [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

void AtspiClient::Worker::shutdownOnThread() {
    for (auto& [id, obs] : observations) {
        if (obs->expiry) {
            g_source_destroy(obs->expiry);
            g_source_unref(obs->expiry);
        }
    }
    observations.clear();
    observationCount = 0;
    lastFocused.reset();
    focusFollowers.clear();
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

bool AtspiClient::Worker::ensureSession() {
    if (session && dbus_connection_get_is_connected(session)) return true;
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
std::optional<bool> AtspiClient::Worker::readIsEnabled() {
    if (!ensureSession()) return std::nullopt;
    DBusMessage* call = isEnabledCall("Get");
    DBusMessage* reply = sendSessionCall(call);
    if (!reply) return std::nullopt;
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

bool AtspiClient::Worker::writeIsEnabled() {
    if (!ensureSession()) return false;
    DBusMessage* call = isEnabledCall("Set");
    DBusMessageIter iter, variant;
    dbus_message_iter_init_append(call, &iter);
    dbus_message_iter_open_container(&iter, DBUS_TYPE_VARIANT, "b", &variant);
    dbus_bool_t yes = TRUE;
    dbus_message_iter_append_basic(&variant, DBUS_TYPE_BOOLEAN, &yes);
    dbus_message_iter_close_container(&iter, &variant);
    DBusMessage* reply = sendSessionCall(call);
    if (!reply) return false;
    const bool ok = dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    dbus_message_unref(reply);
    return ok;
}

// A Properties `method` call on the launcher's org.a11y.Status.IsEnabled, its two names added.
DBusMessage* AtspiClient::Worker::isEnabledCall(const char* method) {
    DBusMessage* call =
        dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", method);
    const char* iface = "org.a11y.Status";
    const char* property = "IsEnabled";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &property, DBUS_TYPE_INVALID);
    return call;
}

// Sends `call` (released here) on the session bus; the reply, or null on an error or timeout.
DBusMessage* AtspiClient::Worker::sendSessionCall(DBusMessage* call) {
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(
        session, call, static_cast<int>(std::chrono::milliseconds(kSessionCallTimeout).count()), &error);
    dbus_message_unref(call);
    if (!reply) dbus_error_free(&error);
    return reply;
}

bool AtspiClient::Worker::ensureAtspi() {
    if (atspiReady) return true;
    if (atspiFailed) return false;
    // Enable the bus first, so that the launcher hands out an address and toolkits export.
    const auto enabled = readIsEnabled();
    if (!enabled.has_value()) {
        // No session bus or no launcher: libatspi would abort the process on first use.
        return false;
    }
    if (!*enabled && !writeIsEnabled()) VLOG_WARNING(lcAtspiClient) << "Could not set org.a11y.Status.IsEnabled";
    const int status = atspi_init();
    if (status != 0 && status != 1) {
        atspiFailed = true;
        VLOG_WARNING(lcAtspiClient) << QStringLiteral("Accessibility bus unavailable (atspi_init %1)").arg(status);
        return false;
    }
    // libatspi attaches its connection to the default context, which Qt's main thread runs;
    // move it to ours so that nothing of libatspi is ever dispatched on another thread.
    atspi_set_main_context(context);
    const auto callTimeoutMs = static_cast<gint>(kAtspiCallTimeout.count());
    atspi_set_timeout(callTimeoutMs, callTimeoutMs);
    atspiReady = true;
    listenForFocus();
    rehomeConnections();
    return true;
}

// Direct connections to applications are opened by libatspi on the default context;
// keep every one on ours.
void AtspiClient::Worker::rehomeConnections() {
    atspi_dbus_connection_setup_with_g_main(atspi_get_a11y_bus(), context);
    Ref desktop(atspi_get_desktop(0));
    if (!desktop) return;
    GError* error = nullptr;
    const int count = std::min(atspi_accessible_get_child_count(desktop.accessible(), &error), kMaxChildrenScanned);
    clearError(&error);
    for (int i = 0; i < count; ++i) {
        Ref app(atspi_accessible_get_child_at_index(desktop.accessible(), i, &error));
        clearError(&error);
        if (app && app.accessible()->parent.app && app.accessible()->parent.app->bus)
            atspi_dbus_connection_setup_with_g_main(app.accessible()->parent.app->bus, context);
    }
}

bool AtspiClient::Worker::trusted() {
    if (!ensureAtspi()) return false;
    auto enabled = readIsEnabled();
    if (!enabled.has_value()) enabled = readIsEnabled();  // a busy session bus gets a second chance
    if (!enabled.has_value()) return false;
    if (!*enabled) return writeIsEnabled();
    return true;
}

bool AtspiClient::Worker::isUnresponsive(AtspiAccessible* app) {
    const auto it = unresponsiveUntil.find(busNameOf(app));
    if (it == unresponsiveUntil.end()) return false;
    if (std::chrono::steady_clock::now() < it->second) return true;
    unresponsiveUntil.erase(it);
    return false;
}

// After a job: an application that let a call time out is skipped for a while, so one
// frozen program costs one timeout, not one per element.
void AtspiClient::Worker::noteTimeout(AtspiAccessible* app) {
    if (callTimedOut && app)
        unresponsiveUntil[busNameOf(app)] = std::chrono::steady_clock::now() + std::chrono::seconds(3);
}

void AtspiClient::Worker::rehomeApp(AtspiAccessible* app) {
    if (app->parent.app && app->parent.app->bus) atspi_dbus_connection_setup_with_g_main(app->parent.app->bus, context);
}

void AtspiClient::Worker::clearError(GError** error) {
    if (*error) {
        const QString message = QString::fromUtf8((*error)->message ? (*error)->message : "");
        if (message.contains(QLatin1String("reply"), Qt::CaseInsensitive) ||
            message.contains(QLatin1String("timeout"), Qt::CaseInsensitive) ||
            message.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            callTimedOut = true;
        g_error_free(*error);
        *error = nullptr;
    }
}
