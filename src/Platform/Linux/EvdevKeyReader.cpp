#include "Platform/Linux/EvdevKeyReader.h"

#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/ThreadName.h"
#include "Platform/Linux/EvdevKeyStream.h"
#include "Platform/LogCategories.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <vector>

namespace {

constexpr int kLastKeyboardKey = 247;  // the last evdev key code with an X keycode

bool hasKeyboardKeys(int fd) {
    unsigned long bits[(KEY_MAX + 1) / (8 * sizeof(unsigned long)) + 1] = {};
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof bits), bits) < 0) return false;
    constexpr size_t kPerWord = 8 * sizeof(unsigned long);
    for (int code = 1; code <= kLastKeyboardKey; ++code)
        if (bits[code / kPerWord] & (1UL << (code % kPerWord))) return true;
    return false;
}

std::optional<EvdevKeyStream::KeyBits> keysDown(int fd) {
    unsigned char bits[(KEY_MAX + 1) / 8 + 1] = {};
    if (ioctl(fd, EVIOCGKEY(sizeof bits), bits) < 0) return std::nullopt;
    EvdevKeyStream::KeyBits down;
    for (size_t code = 0; code < down.size(); ++code)
        if (bits[code / 8] & (1u << (code % 8))) down.set(code);
    return down;
}

QString deviceName(int fd, const QString& fallback) {
    char name[256] = {};
    if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) < 0 || name[0] == '\0') return fallback;
    return QString::fromUtf8(name);
}

bool isEventNode(const QString& fileName) { return fileName.startsWith(QLatin1String("event")); }

int openDevice(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace

struct EvdevKeyReader::Impl {
    struct Device {
        int fd = -1;
        QString name;
        QString fileName;  // in the folder; empty for a device handed in
    };

    Handler handler;
    int wakeFd = -1;
    int inotifyFd = -1;
    std::mutex mutex;              // guards `handedIn` and `stopping`
    std::vector<Device> handedIn;  // added by addDevice(), taken by the thread
    bool stopping = false;
    std::map<int, Device> devices;    // by fd; the reader's thread only
    std::map<QString, bool> refused;  // event nodes the user may not open (logged once)

    ~Impl() {
        for (auto& [fd, device] : devices) ::close(fd);
        for (const Device& device : handedIn) ::close(device.fd);
        if (inotifyFd >= 0) ::close(inotifyFd);
        if (wakeFd >= 0) ::close(wakeFd);
    }
};

EvdevKeyReader::EvdevKeyReader(QObject* parent) : EvdevKeyReader(Options{}, parent) {}

EvdevKeyReader::EvdevKeyReader(Options options, QObject* parent) : QObject(parent), m_options(std::move(options)) {
    if (!m_options.isKeyboard) m_options.isKeyboard = hasKeyboardKeys;
}

EvdevKeyReader::~EvdevKeyReader() { stop(); }

QString EvdevKeyReader::lastError() const {
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

EvdevAvailability EvdevKeyReader::probe(const Options& options) {
    EvdevAvailability availability;
    const QDir folder(options.folder);
    availability.folderExists = folder.exists();
    const auto isKeyboard = options.isKeyboard ? options.isKeyboard : hasKeyboardKeys;
    for (const QString& entry : folder.entryList(QDir::System | QDir::Files)) {
        if (!isEventNode(entry)) continue;
        const int fd = openDevice(folder.filePath(entry));
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) ++availability.unreadable;
            continue;
        }
        if (isKeyboard(fd)) ++availability.keyboards;
        ::close(fd);
    }
    return availability;
}

bool EvdevKeyReader::start(Handler handler) {
    if (m_thread.joinable()) return true;
    auto impl = std::make_unique<Impl>();
    impl->handler = std::move(handler);
    impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    impl->inotifyFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const QByteArray folder = QFile::encodeName(m_options.folder);
    if (impl->wakeFd < 0 || impl->inotifyFd < 0 ||
        inotify_add_watch(impl->inotifyFd, folder.constData(), IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_TO) < 0) {
        std::lock_guard lock(m_errorMutex);
        m_error = QStringLiteral("cannot watch %1 (%2)").arg(m_options.folder, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_impl = std::move(impl);
    m_thread = std::thread([this] {
        nameCurrentThread(QStringLiteral("com.vantrose.evdev"));
        run();
    });
    return true;
}

void EvdevKeyReader::stop() {
    if (!m_thread.joinable()) return;
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    const uint64_t one = 1;
    (void)!::write(m_impl->wakeFd, &one, sizeof one);
    m_thread.join();
    m_impl.reset();
    m_keyboards = 0;
}

bool EvdevKeyReader::addDevice(int fd, const QString& name) {
    if (!m_thread.joinable()) {
        ::close(fd);
        return false;
    }
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->handedIn.push_back({fd, name, {}});
    }
    const uint64_t one = 1;
    (void)!::write(m_impl->wakeFd, &one, sizeof one);
    return true;
}

void EvdevKeyReader::run() {
    Impl& s = *m_impl;
    EvdevKeyStream stream(s.handler);
    const QDir folder(m_options.folder);

    auto published = [this, &s] {
        const int count = int(s.devices.size());
        if (m_keyboards.exchange(count) == count) return;
        runOnMain(this, [this, count] { Q_EMIT keyboardsChanged(count); });
    };
    auto follow = [&](int fd, const QString& fallbackName, const QString& fileName) {
        const QString name = deviceName(fd, fallbackName);
        s.devices[fd] = Impl::Device{fd, name, fileName};
        VLOG_INFO(lcEvdev) << "Following the keyboard \"" << name << "\"";
    };
    auto tryNode = [&](const QString& fileName) {
        if (!isEventNode(fileName)) return;
        for (const auto& [fd, device] : s.devices)
            if (device.fileName == fileName) return;  // already followed
        const int fd = openDevice(folder.filePath(fileName));
        if (fd < 0) {
            // udev sets the permissions just after the node appears: the change brings it back here.
            if ((errno == EACCES || errno == EPERM) && !s.refused[fileName]) {
                s.refused[fileName] = true;
                VLOG_INFO(lcEvdev) << "May not read " << folder.filePath(fileName);
            }
            return;
        }
        if (!m_options.isKeyboard(fd)) {
            ::close(fd);
            return;
        }
        s.refused.erase(fileName);
        follow(fd, fileName, fileName);
    };
    auto drop = [&](int fd, const char* why) {
        const auto it = s.devices.find(fd);
        if (it == s.devices.end()) return;
        const size_t partial = stream.removeDevice(fd);
        VLOG_INFO(lcEvdev) << "The keyboard \"" << it->second.name << "\" " << why
                           << (partial ? QStringLiteral(" (a partial record of %1 bytes dropped)").arg(partial)
                                       : QString());
        ::close(fd);
        s.devices.erase(it);
    };

    auto forget = [&](const QString& fileName) {
        s.refused.erase(fileName);
        for (const auto& [fd, device] : s.devices) {
            if (device.fileName != fileName) continue;
            drop(fd, "was removed");
            return;
        }
    };
    // Reads what the device has; false when it is gone (end of file, ENODEV, an error).
    auto readDevice = [&](const pollfd& polled) {
        if (polled.revents & (POLLERR | POLLNVAL)) return false;
        char buffer[64 * sizeof(input_event)];
        for (;;) {
            const ssize_t n = ::read(polled.fd, buffer, sizeof buffer);
            if (n > 0) {
                if (stream.feed(polled.fd, buffer, size_t(n))) stream.resync(polled.fd, keysDown(polled.fd));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return n < 0 && errno == EAGAIN;
            }
        }
    };

    for (const QString& entry : folder.entryList(QDir::System | QDir::Files)) tryNode(entry);
    published();

    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard lock(s.mutex);
            if (s.stopping) break;
            for (const Impl::Device& device : s.handedIn) follow(device.fd, device.name, {});
            s.handedIn.clear();
        }
        published();
        fds.assign({{s.wakeFd, POLLIN, 0}, {s.inotifyFd, POLLIN, 0}});
        for (const auto& [fd, device] : s.devices) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            VLOG_WARNING(lcEvdev) << "Reading the keyboards failed: " << strerror(errno);
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            (void)!::read(s.wakeFd, &count, sizeof count);
        }
        // The devices first: a node removed below may free a descriptor that a new node then reuses.
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents && !readDevice(fds[i])) drop(fds[i].fd, "went away");
        }
        if (fds[1].revents & POLLIN) {
            alignas(inotify_event) char buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(s.inotifyFd, buffer, sizeof buffer)) > 0) {
                for (ssize_t at = 0; at < n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    const QString fileName = event->len ? QFile::decodeName(event->name) : QString();
                    at += ssize_t(sizeof(inotify_event) + event->len);
                    if (event->mask & IN_Q_OVERFLOW) {
                        // Events were lost: look at every node again.
                        for (const QString& entry : folder.entryList(QDir::System | QDir::Files)) tryNode(entry);
                    } else if (fileName.isEmpty()) {
                        continue;
                    } else if (event->mask & IN_DELETE) {
                        forget(fileName);
                    } else {
                        tryNode(fileName);
                    }
                }
            }
        }
    }
    for (const auto& [fd, device] : s.devices) ::close(fd);
    s.devices.clear();
}
