// Reads of one element's properties and text, each under the call timer.
#include "Platform/Atspi/AtspiWorker.h"

QString takeString(gchar* text) {
    if (!text)
        return {};
    QString result = QString::fromUtf8(text);
    g_free(text);
    return result;
}

AtspiStateSet* AtspiClient::Worker::stateSetOf(AtspiAccessible* element) {
    CallTimer timer(*this);
    return atspi_accessible_get_state_set(element);
}

bool AtspiClient::Worker::hasState(AtspiAccessible* element, AtspiStateType state) {
    AtspiStateSet* set = stateSetOf(element);
    if (!set)
        return false;
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
    if (ok)
        *ok = error == nullptr;
    clearError(&error);
    return role;
}

// One string property of an element, read under the call timer.
QString AtspiClient::Worker::timedStringOf(AtspiAccessible* element, gchar* (*get)(AtspiAccessible*, GError**)) {
    CallTimer timer(*this);
    GError* error = nullptr;
    QString text = takeString(get(element, &error));
    clearError(&error);
    return text;
}

// The text of an element through its Text interface; nullopt when it has none or it is
// longer than `maxCharacters` (negative: no limit).
std::optional<QString> AtspiClient::Worker::textOf(AtspiAccessible* element, int maxCharacters) {
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
