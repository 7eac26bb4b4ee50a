#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

// One worker thread that runs submitted jobs one at a time, in submission order.
// Each file-touching service owns one; the thread carries the queue's label as its name
// (QThread::currentThread()->objectName() inside a job).
class SerialQueue {
public:
    explicit SerialQueue(const QString& label);
    ~SerialQueue();  // finishes every job already submitted, then joins

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> job);
    // Runs the job on the queue and waits for it. Never call from a job of the same queue.
    void sync(const std::function<void()>& job);
    // Waits until every job submitted so far has run.
    void drain();

    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }
    QString label() const { return m_label; }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    // A std::thread rather than a QThread: its join is visible to ThreadSanitizer.
    std::thread m_thread;
};
