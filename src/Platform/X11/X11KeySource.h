#pragma once

#include "Core/Input/KeyTransitionTranslator.h"

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Listen-only, system-wide key source. It opens its own X connection and reads XInput2 raw key
// events of the root window on a thread of its own; when XInput2 is missing it records core key
// events through the RECORD extension instead. Nothing is grabbed: every key still reaches the
// focused application.
class X11KeySource {
public:
    enum class Backend { Off, XInput2, Record };
    enum class Preference { Auto, XInput2Only, RecordOnly };
    // Called on the source's thread for every key event, in order.
    using Handler = std::function<void(const KeySourceEvent&)>;

    X11KeySource();
    ~X11KeySource();  // stops and joins
    X11KeySource(const X11KeySource&) = delete;
    X11KeySource& operator=(const X11KeySource&) = delete;

    // Opens the connection and starts the thread. False when there is no X display or neither
    // extension can be used; the reason is in lastError(). When the connection breaks later (the
    // server went away), the thread ends and `onConnectionLost` runs on it.
    bool start(Handler handler, Preference preference = Preference::Auto, std::function<void()> onConnectionLost = {});
    // Ends the thread and closes the connection; harmless when not running.
    void stop();

    bool isRunning() const { return m_running.load(); }
    Backend backend() const { return m_backend.load(); }
    const char* lastError() const { return m_error; }

private:
    struct Impl;
    void run();
    static bool connectionBroken(void* display);

    std::unique_ptr<Impl> m_impl;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<Backend> m_backend{Backend::Off};
    const char* m_error = "";
};
