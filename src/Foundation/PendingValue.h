#pragma once

#include <QCoro/QCoroTask>

#include <coroutine>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

// Coroutines parked until someone wakes them. Each waiter is resumed exactly once, at once,
// by the wake-up that follows its wait; a wake-up with nobody waiting is not remembered.
// Main thread only.
class WakeList {
public:
    struct Awaiter {
        WakeList& list;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle) { list.m_waiting.push_back(handle); }
        void await_resume() const noexcept {}
    };
    Awaiter wait() { return Awaiter{*this}; }
    void wakeAll() {
        std::vector<std::coroutine_handle<>> waiting;
        waiting.swap(m_waiting);
        for (std::coroutine_handle<> handle : waiting) handle.resume();
    }
    std::size_t waiting() const { return m_waiting.size(); }

private:
    std::vector<std::coroutine_handle<>> m_waiting;
};

// The value a background task of one dictation will produce, awaited later by whichever road
// ends the dictation. Dropping every reference releases it without stopping the producer;
// cancel() settles it at once with a default value. Main thread only.
template <typename T>
class PendingValue {
public:
    // Settles with `value` unless already settled (a cancelled value stays cancelled).
    void resolve(T value) {
        if (m_settled) return;
        m_value = std::move(value);
        m_settled = true;
        m_waiters.wakeAll();
    }
    void cancel() {
        if (m_settled) return;
        m_cancelled = true;
        m_settled = true;
        m_waiters.wakeAll();
    }
    bool isSettled() const { return m_settled; }
    bool isCancelled() const { return m_cancelled; }

    // The value, or T() when cancelled. Keep a shared_ptr to this object across the await.
    QCoro::Task<T> value() {
        if (!m_settled) co_await m_waiters.wait();
        co_return T(m_value ? *m_value : T());
    }

private:
    WakeList m_waiters;
    std::optional<T> m_value;
    bool m_settled = false;
    bool m_cancelled = false;
};
