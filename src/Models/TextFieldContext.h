#pragma once

#include <QString>

// The focused text field of the frontmost application, as read through accessibility.
// Offsets are character offsets; the texts are already cut to their limits.
struct TextFieldContext {
    QString value;         // first 4000 characters
    QString beforeText;    // last 2000 characters before the selection
    QString afterText;     // first 2000 characters after the selection
    QString selectedText;  // first 1000 characters
    int selectionLocation = 0;
    int selectionLength = 0;
    bool isEditable = false;
    bool isTextInputRole = false;
    QString role = QStringLiteral("unknown");
    QString elementDescription;

    bool operator==(const TextFieldContext&) const = default;
};
