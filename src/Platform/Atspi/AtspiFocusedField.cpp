// The focused field: its role, state, text, caret and selection.
#include "Platform/Atspi/AtspiWorker.h"

#include "Platform/Atspi/AtspiRoles.h"
#include "Platform/Atspi/TextOffsets.h"

#include <algorithm>

namespace {

// Text larger than this is read as a window around the caret, never whole.
constexpr int kWholeTextLimit = 200000;
constexpr int kCaretWindow = 12000;
// The error code reported when the application did not answer in time.
constexpr int kErrorUnresponsive = 2;

}  // namespace

AtspiFocusRead AtspiClient::Worker::readFocusedField(qint64 pid) {
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
        result.errorCode = callTimedOut ? kErrorUnresponsive : 0;
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
    field.isTextInputRole = roleOk && AtspiRoles::isTextInput(role);

    AtspiStateSet* states = stateSetOf(element.accessible());
    if (states && !atspi_state_set_is_empty(states)) {
        field.isEditable = atspi_state_set_contains(states, ATSPI_STATE_EDITABLE)
            && !atspi_state_set_contains(states, ATSPI_STATE_READ_ONLY);
    } else {
        field.isEditable = roleOk && AtspiRoles::isTextInput(role);
    }
    if (states)
        g_object_unref(states);

    if (!callTimedOut)
        readText(element.accessible(), app.accessible(), field);
    if (!callTimedOut)
        field.description = descriptionOf(element.accessible());
    noteTimeout(app.accessible());
    result.status = AtspiFocusRead::Status::Ok;
    return result;
}

void AtspiClient::Worker::readText(AtspiAccessible* element, AtspiAccessible* app, AtspiFieldInfo& field) {
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
