// Finding the target application, its window and its focused element; the walk over a window's
// texts; the search for a browser's address bar.
#include "Platform/Atspi/AtspiWorker.h"

#include "Platform/Atspi/AtspiRoles.h"

#include <algorithm>
#include <vector>

namespace {

// Bounds on the search for the focused element inside a window.
constexpr int kFocusSearchMaxNodes = 4000;
constexpr int kFocusSearchMaxDepth = 40;
constexpr auto kFocusSearchMax = std::chrono::milliseconds(300);
// The longest text of one element the window walk keeps; longer ones are skipped.
constexpr int kWalkTextLimit = 2000;

}  // namespace

// The application element of `pid`, skipping our own process.
Ref AtspiClient::Worker::applicationFor(qint64 pid) {
    if (pid <= 0 || pid == ownPid) return {};
    Ref desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    const int count = std::min(childCount(desktop.accessible()), kMaxChildrenScanned);
    for (int i = 0; i < count; ++i) {
        Ref app = childAt(desktop.accessible(), i);
        if (app && pidOf(app.accessible()) == pid) {
            rehomeApp(app.accessible());
            return app;
        }
    }
    return {};
}

Ref AtspiClient::Worker::activeWindowOf(AtspiAccessible* app) {
    const int count = std::min(childCount(app), kMaxChildrenScanned);
    for (int i = 0; i < count && !callTimedOut; ++i) {
        Ref window = childAt(app, i);
        if (window && hasState(window.accessible(), ATSPI_STATE_ACTIVE)) return window;
    }
    return {};
}

// The application (and its active window) that has the user's focus.
std::pair<Ref, Ref> AtspiClient::Worker::activeApplication() {
    Ref desktop(atspi_get_desktop(0));
    if (!desktop) return {};
    const int count = std::min(childCount(desktop.accessible()), kMaxChildrenScanned);
    for (int i = 0; i < count; ++i) {
        Ref app = childAt(desktop.accessible(), i);
        if (!app) continue;
        const qint64 pid = pidOf(app.accessible());
        if (pid <= 0 || pid == ownPid || isUnresponsive(app.accessible())) continue;
        rehomeApp(app.accessible());
        callTimedOut = false;
        Ref window = activeWindowOf(app.accessible());
        noteTimeout(app.accessible());
        if (window) return {std::move(app), std::move(window)};
    }
    return {};
}

// The application's focused window: the active one; when the application is not in front,
// the window holding its focused element, else its first showing window.
Ref AtspiClient::Worker::focusedWindowOf(AtspiAccessible* app) {
    if (Ref active = activeWindowOf(app)) return active;
    if (callTimedOut) return {};
    const int count = std::min(childCount(app), kMaxChildrenScanned);
    Ref firstShowing;
    for (int i = 0; i < count && !callTimedOut; ++i) {
        Ref window = childAt(app, i);
        if (!window) continue;
        if (Ref focused = searchFocused(window.accessible())) return window;
        if (!firstShowing && hasState(window.accessible(), ATSPI_STATE_SHOWING)) firstShowing = std::move(window);
    }
    return firstShowing;
}

std::pair<Ref, Ref> AtspiClient::Worker::resolveTarget(qint64 pid) {
    if (pid == 0) return activeApplication();
    Ref app = applicationFor(pid);
    if (!app || isUnresponsive(app.accessible())) return {std::move(app), Ref()};
    Ref window = focusedWindowOf(app.accessible());
    noteTimeout(app.accessible());
    return {std::move(app), std::move(window)};
}

// The deepest focused element under `root` (post-order, hidden subtrees skipped).
Ref AtspiClient::Worker::findFocused(AtspiAccessible* root, int depth, int& budget) {
    if (budget-- <= 0 || depth > kFocusSearchMaxDepth || callTimedOut ||
        (focusSearchClock.isValid() && focusSearchClock.elapsed() > kFocusSearchMax.count()))
        return {};
    AtspiStateSet* set = stateSetOf(root);
    const bool focused = set && atspi_state_set_contains(set, ATSPI_STATE_FOCUSED);
    const bool showing = !set || atspi_state_set_is_empty(set) || atspi_state_set_contains(set, ATSPI_STATE_SHOWING);
    if (set) g_object_unref(set);
    if (depth > 0 && !showing && !focused) return {};
    const int count = childCount(root);
    for (int i = 0; i < count && budget > 0 && !callTimedOut; ++i) {
        Ref child = childAt(root, i);
        if (!child) continue;
        Ref found = findFocused(child.accessible(), depth + 1, budget);
        if (found) return found;
    }
    if (focused && depth > 0) return Ref(g_object_ref(root));
    return {};
}

// One bounded search (nodes and time) for the focused element under `root`.
Ref AtspiClient::Worker::searchFocused(AtspiAccessible* root) {
    focusSearchClock.start();
    int budget = kFocusSearchMaxNodes;
    return findFocused(root, 0, budget);
}

Ref AtspiClient::Worker::focusedElement(AtspiAccessible* app, AtspiAccessible* window) {
    // Fast path: the element that last announced focus, when it belongs to this
    // application and still has it.
    if (lastFocused && busNameOf(lastFocused.accessible()) == busNameOf(app) &&
        hasState(lastFocused.accessible(), ATSPI_STATE_FOCUSED))
        return Ref(g_object_ref(lastFocused.accessible()));
    if (window) return searchFocused(window);
    focusSearchClock.start();
    int budget = kFocusSearchMaxNodes;
    // No window says it is active: look through all of them.
    const int count = std::min(childCount(app), kMaxChildrenScanned);
    for (int i = 0; i < count && budget > 0 && !callTimedOut; ++i) {
        Ref candidate = childAt(app, i);
        if (!candidate) continue;
        Ref found = findFocused(candidate.accessible(), 0, budget);
        if (found) return found;
    }
    return {};
}

void AtspiClient::Worker::walk(AtspiAccessible* element, int depth, WalkState& state) {
    if (walkStopped(state)) return;
    if (depth > state.limits.maxDepth || state.result.visitCount > state.limits.maxVisits - 1) return;
    ++state.result.visitCount;
    collectTexts(element, state);

    const int count = std::min(childCount(element), state.limits.maxVisits);
    std::vector<Ref> textBearing, other, structural;
    for (int i = 0; i < count && !walkStopped(state); ++i) {
        Ref child = childAt(element, i);
        if (!child) continue;
        bool ok = false;
        const AtspiRole childRole = roleOf(child.accessible(), &ok);
        switch (ok ? AtspiRoles::groupOf(childRole) : AtspiRoles::Group::Other) {
        case AtspiRoles::Group::Skip: break;
        case AtspiRoles::Group::TextBearing: textBearing.push_back(std::move(child)); break;
        case AtspiRoles::Group::Structural: structural.push_back(std::move(child)); break;
        case AtspiRoles::Group::Other: other.push_back(std::move(child)); break;
        }
    }
    for (auto* group : {&textBearing, &other, &structural}) {
        for (Ref& child : *group) {
            if (state.result.visitCount >= state.limits.maxVisits) return;
            walk(child.accessible(), depth + 1, state);
            if (state.result.timedOut || state.textCharacters >= state.limits.maxTextCharacters) return;
        }
    }
}

// The element's name, text and description; never a password field's text.
void AtspiClient::Worker::collectTexts(AtspiAccessible* element, WalkState& state) {
    bool roleOk = false;
    const AtspiRole role = roleOf(element, &roleOk);
    const bool secret = roleOk && role == ATSPI_ROLE_PASSWORD_TEXT;
    const QString name = nameOf(element);
    if (!name.isEmpty() && !secret) addWalkText(name, state);
    if (!secret) {
        if (auto value = textOf(element, kWalkTextLimit); value && !value->isEmpty() && *value != name)
            addWalkText(*value, state);
    }
    const QString description = descriptionOf(element);
    if (!description.isEmpty()) addWalkText(description, state);
}

// Out of time, or an application stopped answering, or the texts are all we keep.
bool AtspiClient::Worker::walkStopped(WalkState& state) {
    if (callTimedOut || std::chrono::nanoseconds(state.clock.nsecsElapsed()) > state.limits.budget)
        state.result.timedOut = true;
    return state.result.timedOut || state.textCharacters >= state.limits.maxTextCharacters;
}

void AtspiClient::Worker::addWalkText(const QString& text, WalkState& state) {
    const qsizetype room = state.limits.maxTextCharacters - state.textCharacters;
    if (room <= 0) return;
    const QString kept = text.left(room);
    state.textCharacters += int(kept.size());
    state.result.texts.append(kept);
}

AtspiWindowWalk AtspiClient::Worker::walkFocusedWindow(qint64 pid, const AtspiWalkLimits& limits) {
    WalkState state;
    state.limits = limits;
    if (!trusted()) return state.result;
    state.result.trusted = true;
    auto [app, window] = resolveTarget(pid);
    state.result.applicationFound = bool(app);
    if (!app || !window) return state.result;
    state.result.windowFound = true;
    state.clock.start();
    walk(window.accessible(), 0, state);
    return state.result;
}

std::optional<QString> AtspiClient::Worker::findAddressBar(AtspiAccessible* element, int depth, int maxDepth,
                                                           int maxChildren) {
    if (depth >= maxDepth || callTimedOut) return std::nullopt;
    bool ok = false;
    const AtspiRole role = roleOf(element, &ok);
    if (ok && (role == ATSPI_ROLE_ENTRY || role == ATSPI_ROLE_TEXT)) {
        const QString label = (nameOf(element) + QLatin1Char(' ') + descriptionOf(element)).toLower();
        if (label.contains(QLatin1String("address")) || label.contains(QLatin1String("url")) ||
            label.contains(QLatin1String("search"))) {
            if (auto value = textOf(element, AtspiTextLimits::kAddress); value && !value->isEmpty()) return value;
        }
    }
    const int count = childCount(element);
    for (int i = 0; i < count && i < maxChildren && !callTimedOut; ++i) {
        Ref child = childAt(element, i);
        if (!child) continue;
        if (auto found = findAddressBar(child.accessible(), depth + 1, maxDepth, maxChildren)) return found;
    }
    return std::nullopt;
}

std::optional<QString> AtspiClient::Worker::findAddressBarText(qint64 pid, int maxDepth, int maxChildren) {
    if (!trusted()) return std::nullopt;
    Ref app = applicationFor(pid);
    if (!app || isUnresponsive(app.accessible())) return std::nullopt;
    auto found = findAddressBar(app.accessible(), 0, maxDepth, maxChildren);
    noteTimeout(app.accessible());
    return found;
}
