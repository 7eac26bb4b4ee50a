#pragma once

#include "Core/Input/KeySourceEvent.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

// What the keyboard devices of this machine offer the user who runs the program.
struct EvdevAvailability {
    bool folderExists = false;
    int keyboards = 0;   // keyboards the user may read
    int unreadable = 0;  // event devices the user may not open (not in the `input` group)
};

struct EvdevKeyReaderOptions {
    QString folder = QStringLiteral("/dev/input");
    // Whether the opened device is a keyboard; by default, whether it has keys of a keyboard's
    // range (EVIOCGBIT).
    std::function<bool(int fd)> isKeyboard;
};

// Listen-only keys straight from the keyboard devices (/dev/input/event*), for sessions where the
// display server tells a program nothing of other programs' keys. Follows every keyboard the user
// may read as devices come and go (inotify; a device whose permissions change is tried again) and
// reports their keys together, on a thread of its own, as the X11 listener does. Never grabs a
// device: every key still reaches the focused program.
class EvdevKeyReader : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const KeySourceEvent&)>;

    using Options = EvdevKeyReaderOptions;

    explicit EvdevKeyReader(QObject* parent = nullptr);
    explicit EvdevKeyReader(Options options, QObject* parent = nullptr);
    ~EvdevKeyReader() override;  // stops

    // Starts the reader's thread on every keyboard in the folder now and later; `handler` runs on
    // that thread. False when the folder cannot be watched (the reason is in lastError()).
    bool start(Handler handler);
    // Ends and joins the thread; harmless when not running.
    void stop();
    QString lastError() const;

    // Reads one more device from `fd`, which the reader takes over: any descriptor that yields
    // struct input_event records (tests use a pipe). Only while running.
    bool addDevice(int fd, const QString& name);

    // Keyboards followed now; any thread.
    int keyboardCount() const { return m_keyboards.load(); }

    // What the folder's devices offer, without following them (opens each once).
    static EvdevAvailability probe(const Options& options = {});

Q_SIGNALS:
    // The number of keyboards followed changed; on the main thread.
    void keyboardsChanged(int count);

private:
    struct Impl;
    void run();

    Options m_options;
    std::unique_ptr<Impl> m_impl;
    std::thread m_thread;
    std::atomic<int> m_keyboards{0};
    mutable std::mutex m_errorMutex;
    QString m_error;
};
