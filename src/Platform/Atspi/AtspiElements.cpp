// Reads of one element's properties and text, each under the call timer.
#include "Platform/Atspi/AtspiWorker.h"

QString takeLabel(gchar* text) {
    QString result = AtspiTextLimits::boundedUtf8(text, AtspiTextLimits::kLabel);
    g_free(text);
    return result;
}

AtspiStateSet* AtspiClient::Worker::stateSetOf(AtspiAccessible* element) {
    CallTimer timer(*this);
    return atspi_accessible_get_state_set(element);
}

bool AtspiClient::Worker::hasState(AtspiAccessible* element, AtspiStateType state) {
    AtspiStateSet* set = stateSetOf(element);
    if (!set) return false;
    const bool result = atspi_state_set_contains(set, state);
    g_object_unref(set);
    return result;
}

qint64 AtspiClient::Worker::pidOf(AtspiAccessible* element) {
    GError* error = nullptr;
    const guint pid = atspi_accessible_get_process_id(element, &error);
    const bool failed = error != nullptr;
    clearError(&error);
    return failed ? 0 : qint64(pid);
}

Ref AtspiClient::Worker::childAt(AtspiAccessible* parent, int index) {
    CallTimer timer(*this);
    GError* error = nullptr;
    Ref child(atspi_accessible_get_child_at_index(parent, index, &error));
    clearError(&error);
    return child;
}

int AtspiClient::Worker::childCount(AtspiAccessible* element) {
    CallTimer timer(*this);
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(element, &error);
    const bool failed = error != nullptr;
    clearError(&error);
    return failed ? -1 : count;
}

AtspiRole AtspiClient::Worker::roleOf(AtspiAccessible* element, bool* ok) {
    CallTimer timer(*this);
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(element, &error);
    if (ok) *ok = error == nullptr;
    clearError(&error);
    return role;
}

// One string property of an element, read under the call timer.
QString AtspiClient::Worker::timedStringOf(AtspiAccessible* element, gchar* (*get)(AtspiAccessible*, GError**)) {
    CallTimer timer(*this);
    GError* error = nullptr;
    QString text = takeLabel(get(element, &error));
    clearError(&error);
    return text;
}

std::optional<QString> AtspiClient::Worker::textOf(AtspiAccessible* element, int maxCharacters) {
    AtspiText* text = atspi_accessible_get_text_iface(element);
    if (!text) return std::nullopt;
    const int count = characterCount(text);
    std::optional<QString> result;
    if (count >= 0 && count <= maxCharacters && !callTimedOut) result = readRange(text, {0, count});
    g_object_unref(text);
    return result;
}

std::optional<QString> AtspiClient::Worker::textAroundCaret(AtspiAccessible* element) {
    AtspiText* text = atspi_accessible_get_text_iface(element);
    if (!text) return std::nullopt;
    const int count = characterCount(text);
    std::optional<QString> result;
    if (count >= 0 && !callTimedOut) {
        int caret = 0;
        if (count > AtspiTextLimits::kWholeText) {
            CallTimer timer(*this);
            GError* error = nullptr;
            caret = atspi_text_get_caret_offset(text, &error);
            clearError(&error);
        }
        if (!callTimedOut) result = readRange(text, AtspiTextLimits::caretWindow(count, caret, caret));
    }
    g_object_unref(text);
    return result;
}

int AtspiClient::Worker::characterCount(AtspiText* text) {
    CallTimer timer(*this);
    GError* error = nullptr;
    const int count = atspi_text_get_character_count(text, &error);
    const bool failed = error != nullptr;
    clearError(&error);
    return failed ? -1 : count;
}

std::optional<QString> AtspiClient::Worker::readRange(AtspiText* text, AtspiTextLimits::Window window) {
    if (window.length() <= 0) return QString();
    CallTimer timer(*this);
    GError* error = nullptr;
    gchar* raw = atspi_text_get_text(text, int(window.start), int(window.end), &error);
    std::optional<QString> result;
    if (!error) result = AtspiTextLimits::boundedUtf8(raw, window.length());
    g_free(raw);
    clearError(&error);
    return result;
}
