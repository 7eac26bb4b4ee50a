#include "Platform/MainThreadPoster.h"

void MainThreadPoster::post(std::function<void()> job) {
    bool schedule = false;
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
        schedule = !m_scheduled;
        m_scheduled = true;
    }
    // Only the poster's own slot travels through Qt's queue.
    if (schedule) QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
}

void MainThreadPoster::discardPending() {
    std::lock_guard lock(m_mutex);
    m_jobs.clear();
}

void MainThreadPoster::drain() {
    std::deque<std::function<void()>> jobs;
    {
        std::lock_guard lock(m_mutex);
        jobs.swap(m_jobs);
        m_scheduled = false;
    }
    for (auto& job : jobs) job();
}
