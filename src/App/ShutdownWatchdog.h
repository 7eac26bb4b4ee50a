#pragma once

#include <atomic>
#include <chrono>

// Bounds the shut-down. Once armed (by a termination signal, from inside the signal handler,
// or by the loss of the display), the process has `limit` to end by itself; past that the
// watchdog ends its child processes and the process. A hung worker, a blocking call into a
// dead bus or a static destructor that waits for a thread can then never keep the program
// alive after logout. One instance per process.
class ShutdownWatchdog {
public:
    explicit ShutdownWatchdog(std::chrono::milliseconds limit);
    // Leaves the thread running: the watchdog must outlive main()'s return and the exit handlers.
    ~ShutdownWatchdog() = default;
    ShutdownWatchdog(const ShutdownWatchdog&) = delete;
    ShutdownWatchdog& operator=(const ShutdownWatchdog&) = delete;

    bool isStarted() const { return s_fd >= 0; }

    // Async-signal-safe and thread-safe; later calls change nothing.
    static void arm();
    // The status to end with when the deadline passes; 1 unless set. Once the orderly shut-down
    // has run, only destructors are left, and the program's own status stands.
    static void setExitStatus(int status) { s_status.store(status); }

private:
    static inline int s_fd = -1;  // write end of the arming pipe
    static inline std::atomic<int> s_status{1};
};
