// The focused field: its role, state, text, caret and selection.
#include "Platform/Atspi/AtspiWorker.h"

#include "Platform/Atspi/AtspiRoles.h"
#include "Platform/Atspi/TextOffsets.h"

#include <algorithm>

namespace {

// The error code reported when the application did not answer in time.
constexpr int kErrorUnresponsive = 2;

// The selection, reported in the toolkit's offsets, as indices into the text read (`window`
// of a text of `count` characters).
void placeSelection(AtspiFieldInfo& field, TextOffsets::Range selected, AtspiTextLimits::Window window, qint64 count,
                    bool isQt) {
    const bool whole = window.start == 0 && window.end == count;
    const TextOffsets::Unit unit = whole ? TextOffsets::unitForReportedCount(field.value, count, isQt)
                                         : (isQt ? TextOffsets::Unit::Utf16 : TextOffsets::Unit::CodePoints);
    const QString& value = field.value;
    field.hasSelectionRange = true;
    field.selectionStart = TextOffsets::toUtf16Index(value, selected.start - window.start, unit);
    field.selectionEnd = TextOffsets::toUtf16Index(value, selected.end - window.start, unit);
    // A caret window only exists for huge texts; there the location counts from its start in
    // the toolkit's own unit, and a selection running past the window adds what was not read.
    const int startCharacters = TextOffsets::codePointsFromUtf16Index(value, field.selectionStart);
    field.selectionLocation = int(window.start) + startCharacters;
    field.selectionLength = TextOffsets::codePointsFromUtf16Index(value, field.selectionEnd) - startCharacters +
                            int(std::max<qint64>(0, selected.end - window.end));
    field.selectedText = value.mid(field.selectionStart, field.selectionEnd - field.selectionStart);
}

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
    result.field.pid = pidOf(app.accessible());
    result.status = describeField(element.accessible(), app.accessible(), result.field);
    noteTimeout(app.accessible());
    return result;
}

// The role, state and text of the focused element; a password field is left unread.
AtspiFocusRead::Status AtspiClient::Worker::describeField(AtspiAccessible* element, AtspiAccessible* app,
                                                          AtspiFieldInfo& field) {
    bool roleOk = false;
    const AtspiRole role = roleOf(element, &roleOk);
    if (roleOk && role == ATSPI_ROLE_PASSWORD_TEXT) return AtspiFocusRead::Status::PasswordField;
    if (roleOk) {
        GError* error = nullptr;
        field.role = takeLabel(atspi_accessible_get_role_name(element, &error));
        clearError(&error);
    }
    field.isTextInputRole = roleOk && AtspiRoles::isTextInput(role);

    AtspiStateSet* states = stateSetOf(element);
    if (states && !atspi_state_set_is_empty(states)) {
        field.isEditable = atspi_state_set_contains(states, ATSPI_STATE_EDITABLE) &&
                           !atspi_state_set_contains(states, ATSPI_STATE_READ_ONLY);
    } else {
        field.isEditable = field.isTextInputRole;
    }
    if (states) g_object_unref(states);

    if (!callTimedOut) readText(element, app, field);
    if (!callTimedOut) field.description = descriptionOf(element);
    return AtspiFocusRead::Status::Ok;
}

void AtspiClient::Worker::readText(AtspiAccessible* element, AtspiAccessible* app, AtspiFieldInfo& field) {
    AtspiText* text = atspi_accessible_get_text_iface(element);
    if (!text) return;
    // A field that stopped answering costs one call timeout, not one per read.
    const int count = characterCount(text);
    const TextOffsets::Range selected = callTimedOut ? TextOffsets::Range{} : readSelection(text);
    const bool isQt = !callTimedOut && toolkitIsQt(app);
    const AtspiTextLimits::Window window = AtspiTextLimits::caretWindow(count, selected.start, selected.end);
    if (count >= 0 && !callTimedOut) field.value = readRange(text, window).value_or(QString());
    g_object_unref(text);
    if (selected.start >= 0) placeSelection(field, selected, window, count, isQt);
}

TextOffsets::Range AtspiClient::Worker::readSelection(AtspiText* text) {
    CallTimer timer(*this);
    GError* error = nullptr;
    int caret = atspi_text_get_caret_offset(text, &error);
    if (error) caret = -1;
    clearError(&error);
    if (callTimedOut) return {};
    const int selections = atspi_text_get_n_selections(text, &error);
    clearError(&error);
    int rangeStart = -1;
    int rangeEnd = -1;
    if (selections > 0 && !callTimedOut) {
        AtspiRange* range = atspi_text_get_selection(text, 0, &error);
        if (!error && range) {
            rangeStart = range->start_offset;
            rangeEnd = range->end_offset;
        }
        clearError(&error);
        g_free(range);
    }
    return TextOffsets::selectedRange(caret, selections, rangeStart, rangeEnd);
}

bool AtspiClient::Worker::toolkitIsQt(AtspiAccessible* app) {
    CallTimer timer(*this);
    GError* error = nullptr;
    const QString toolkit = takeLabel(atspi_accessible_get_toolkit_name(app, &error));
    clearError(&error);
    return toolkit.compare(QLatin1String("Qt"), Qt::CaseInsensitive) == 0;
}
