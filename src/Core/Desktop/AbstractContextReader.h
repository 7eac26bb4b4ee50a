#pragma once

#include "Models/TextFieldContext.h"

#include <QString>
#include <QStringList>

#include <QCoro/QCoroTask>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

// Reads other applications through the accessibility bus. Every read goes to the frontmost
// application at the time of the call and answers nothing without accessibility access.
// Reads run off the main thread; their tasks resume on the main thread.
class AbstractContextReader {
public:
    virtual ~AbstractContextReader() = default;

    // The focused text field; absent when it cannot be read. Password fields are never read.
    virtual QCoro::Task<std::optional<TextFieldContext>> readFocusedTextField() = 0;
    // Up to 200 distinct words around the cursor of a field read before.
    virtual QStringList parseContextWords(const TextFieldContext& field) const = 0;
    // Up to 500 distinct words of the focused window that look like names or identifiers.
    virtual QCoro::Task<QStringList> readActiveWindowText() = 0;
    // For `duration`, calls `onChange` on the main thread with the whole text of the focused
    // element of `pid` each time it changes. Nothing is reported when the element cannot be
    // watched.
    virtual void observeTextChanges(std::int32_t pid, std::chrono::milliseconds duration,
                                    std::function<void(const QString&)> onChange) = 0;
};
