// Change events: the element that last took focus, and watches on a field's text.
#include "Platform/Atspi/AtspiWorker.h"

#include <algorithm>

namespace {

bool sameElement(AtspiAccessible* a, AtspiAccessible* b) {
    if (a == b) return true;
    if (!a || !b || !a->parent.app || !b->parent.app) return false;
    return g_strcmp0(a->parent.path, b->parent.path) == 0 &&
           g_strcmp0(a->parent.app->bus_name, b->parent.app->bus_name) == 0;
}

}  // namespace

void AtspiClient::Worker::onFocusEvent(AtspiEvent* event, void* data) {
    auto* self = static_cast<Worker*>(data);
    if (event && event->source && event->detail1 == 1) {
        self->lastFocused = Ref(g_object_ref(event->source));
        self->notifyFocusFollowers(event->source);
    }
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiClient::Worker::onTextEvent(AtspiEvent* event, void* data) {
    auto* self = static_cast<Worker*>(data);
    self->handleTextEvent(event);
    g_boxed_free(ATSPI_TYPE_EVENT, event);
}

void AtspiClient::Worker::handleTextEvent(AtspiEvent* event) {
    if (!event || !event->source) return;
    for (auto& [id, obs] : observations) {
        if (!sameElement(obs->element.accessible(), event->source)) continue;
        auto text = textAroundCaret(obs->element.accessible());
        if (!text || *text == obs->lastText) continue;
        obs->lastText = *text;
        if (obs->onChange) obs->onChange(*text);
    }
}

// Following focus events finds the focused element without searching large trees.
void AtspiClient::Worker::listenForFocus() {
    focusListener = atspi_event_listener_new(&Worker::onFocusEvent, this, nullptr);
    GError* error = nullptr;
    if (!atspi_event_listener_register(focusListener, "object:state-changed:focused", &error)) {
        g_object_unref(focusListener);
        focusListener = nullptr;
    }
    clearError(&error);
}

bool AtspiClient::Worker::ensureTextListener() {
    if (textListener) return true;
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

bool AtspiClient::Worker::observe(qint64 pid, std::chrono::milliseconds duration, ChangeHandler onChange,
                                  EndHandler onEnd) {
    if (!trusted() || !ensureTextListener()) return false;
    auto [app, window] = resolveTarget(pid);
    if (!app) return false;
    Ref element = focusedElement(app.accessible(), window.accessible());
    if (!element) return false;
    if (roleOf(element.accessible()) == ATSPI_ROLE_PASSWORD_TEXT) return false;
    auto obs = std::make_unique<Observation>();
    obs->id = nextObservationId++;
    obs->lastText = textAroundCaret(element.accessible()).value_or(QString());
    obs->element = std::move(element);
    obs->onChange = std::move(onChange);
    obs->onEnd = std::move(onEnd);
    const int id = obs->id;
    obs->expiry = expiryFor(id, duration);
    observations.emplace(id, std::move(obs));
    observationCount = int(observations.size());
    return true;
}

// A timer on the worker's context that ends observation `id` after `duration` (a day at most).
GSource* AtspiClient::Worker::expiryFor(int id, std::chrono::milliseconds duration) {
    const auto clamped =
        std::clamp<std::chrono::milliseconds>(duration, std::chrono::milliseconds(0), std::chrono::hours(24));
    const auto ms = static_cast<guint>(clamped.count());
    GSource* expiry = g_timeout_source_new(ms);
    struct Expiry {
        Worker* worker;
        int id;
    };
    g_source_set_callback(
        expiry,
        [](gpointer data) -> gboolean {
            auto* e = static_cast<Expiry*>(data);
            e->worker->endObservation(e->id);
            return G_SOURCE_REMOVE;
        },
        new Expiry{this, id}, [](gpointer data) { delete static_cast<Expiry*>(data); });
    g_source_attach(expiry, context);
    return expiry;
}

void AtspiClient::Worker::endObservation(int id) {
    auto it = observations.find(id);
    if (it == observations.end()) return;
    std::unique_ptr<Observation> obs = std::move(it->second);
    observations.erase(it);
    observationCount = int(observations.size());
    if (obs->expiry) {
        g_source_unref(obs->expiry);
        obs->expiry = nullptr;
    }
    if (obs->onEnd) obs->onEnd();
}
