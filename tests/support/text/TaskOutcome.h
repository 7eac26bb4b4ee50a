#pragma once

#include <QCoro/QCoroTask>

#include <exception>
#include <optional>
#include <utility>

// QCoro::waitFor never returns when the awaited task throws (QCoro 0.8), so tests that expect
// an error run the task through this wrapper, which catches inside a coroutine of its own.
template <typename T>
struct TaskOutcome {
    std::optional<T> value;
    std::exception_ptr error;

    // A copy of the thrown error as E; nothing when none was thrown or it is another type.
    template <typename E>
    std::optional<E> errorAs() const {
        if (!error) return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            return e;
        } catch (...) {
            return std::nullopt;
        }
    }
};

template <typename T>
QCoro::Task<TaskOutcome<T>> catchingTask(QCoro::Task<T> task) {
    TaskOutcome<T> outcome;
    try {
        outcome.value = co_await std::move(task);
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

// Runs the task to its end in a nested event loop, returning its value or what it threw.
template <typename T>
TaskOutcome<T> waitForOutcome(QCoro::Task<T> task) {
    return QCoro::waitFor(catchingTask(std::move(task)));
}
