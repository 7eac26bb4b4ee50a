#pragma once

#include "support/TestEnvironment.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>

// Runs a coroutine to its end on the test's event loop and returns its value, rethrowing its
// exception. (QCoro::waitFor never returns when the awaited task throws.)
namespace AwaitTask {

namespace detail {
template <typename T>
struct Slot {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
};

template <typename T>
QCoro::Task<> drive(QCoro::Task<T> task, Slot<T>* slot) {
    try {
        slot->value.emplace(co_await std::move(task));
    } catch (...) {
        slot->error = std::current_exception();
    }
    slot->done = true;
}
}  // namespace detail

template <typename T>
T run(QCoro::Task<T> task, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    detail::Slot<T> slot;
    auto driver = detail::drive(std::move(task), &slot);
    if (!waitUntil([&] { return slot.done; }, timeout)) throw std::runtime_error("task did not finish in time");
    if (slot.error) std::rethrow_exception(slot.error);
    return std::move(*slot.value);
}

}  // namespace AwaitTask
