// Following the focus across applications: who took it, and in which window.
#include "Platform/Atspi/AtspiWorker.h"

namespace {

// How far up from a focused element a window is looked for.
constexpr int kMaxWindowDepth = 32;

bool isWindowRole(AtspiRole role) {
    return role == ATSPI_ROLE_FRAME || role == ATSPI_ROLE_WINDOW || role == ATSPI_ROLE_DIALOG ||
           role == ATSPI_ROLE_FILE_CHOOSER || role == ATSPI_ROLE_ALERT;
}

}  // namespace

void AtspiClient::Worker::notifyFocusFollowers(AtspiAccessible* element) {
    if (focusFollowers.empty() || isUnresponsive(element)) return;
    rehomeApp(element);
    callTimedOut = false;
    FocusChange change;
    change.pid = pidOf(element);
    if (change.pid <= 0 || change.pid == ownPid) return;
    GError* error = nullptr;
    Ref app(atspi_accessible_get_application(element, &error));
    clearError(&error);
    if (app && !callTimedOut) change.applicationName = nameOf(app.accessible());
    if (!callTimedOut) change.windowTitle = windowTitleOf(element);
    noteTimeout(element);
    // These calls may have opened the direct connection to the application, which libatspi sets
    // up on the default context (the main thread's): bring it over, as after every job.
    rehomeApp(element);
    // A handler may stop following: hand the change to the followers there were.
    const auto followers = focusFollowers;
    for (const auto& [id, handler] : followers) handler(change);
}

QString AtspiClient::Worker::windowTitleOf(AtspiAccessible* element) {
    Ref current(g_object_ref(element));
    for (int depth = 0; depth < kMaxWindowDepth && current && !callTimedOut; ++depth) {
        bool ok = false;
        const AtspiRole role = roleOf(current.accessible(), &ok);
        if (!ok || role == ATSPI_ROLE_APPLICATION) break;
        if (isWindowRole(role)) return nameOf(current.accessible());
        CallTimer timer(*this);
        GError* error = nullptr;
        Ref parent(atspi_accessible_get_parent(current.accessible(), &error));
        clearError(&error);
        current = std::move(parent);
    }
    return {};
}
