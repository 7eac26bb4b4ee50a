#include "Foundation/SerialQueue.h"

#include "Foundation/ThreadName.h"

SerialQueue::SerialQueue(const QString& label) : m_label(label) {
    m_thread = std::thread([this] {
        nameCurrentThread(m_label);
        run();
    });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_cv.notify_all();
    }
    m_thread.join();
}

void SerialQueue::async(std::function<void()> job) {
    // The wake-up happens under the lock: once the job has run, its owner may destroy the queue,
    // and this thread must not touch the condition variable after the worker could have taken it.
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(job));
    m_cv.notify_one();
}

void SerialQueue::sync(const std::function<void()>& job) {
    if (isCurrent()) {  // a nested sync would deadlock; run inline instead
        job();
        return;
    }
    // A plain mutex and condition variable rather than a std::promise: ThreadSanitizer does not
    // see libstdc++'s futex wait inside the promise and would report the hand-over as a race.
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    async([&] {
        job();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

void SerialQueue::drain() {
    sync([] {});
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty()) return;  // stopping and nothing left
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
