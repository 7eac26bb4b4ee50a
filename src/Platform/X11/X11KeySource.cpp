#include "Platform/X11/X11KeySource.h"

#include "Foundation/ThreadName.h"
#include "Platform/X11/X11ConnectionGuard.h"

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/record.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

struct X11KeySource::Impl {
    Display* display = nullptr;     // XInput2 events; RECORD control connection
    Display* recordData = nullptr;  // RECORD data connection
    XRecordContext recordContext = 0;
    int xiOpcode = -1;
    int xkbEventBase = -1;
    int wakeFd = -1;
    Handler handler;
    std::function<void()> onConnectionLost;
    KeyTransitionTranslator translator;

    xkb_context* xkbContext = nullptr;
    xkb_keymap* keymap = nullptr;
    xkb_state* state = nullptr;
    int32_t keyboardDevice = -1;

    ~Impl() {
        if (state) xkb_state_unref(state);
        if (keymap) xkb_keymap_unref(keymap);
        if (xkbContext) xkb_context_unref(xkbContext);
        if (recordData) XCloseDisplay(recordData);
        if (display) XCloseDisplay(display);
        if (wakeFd >= 0) close(wakeFd);
    }

    // Keymap for the characters a key produces; refreshed when the layout changes.
    void loadKeymap() {
        xcb_connection_t* conn = XGetXCBConnection(display);
        if (!xkbContext) xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (!xkbContext) return;
        if (keyboardDevice < 0) {
            if (!xkb_x11_setup_xkb_extension(conn, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                             XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr))
                return;
            keyboardDevice = xkb_x11_get_core_keyboard_device_id(conn);
            if (keyboardDevice < 0) return;
        }
        xkb_keymap* newMap =
            xkb_x11_keymap_new_from_device(xkbContext, conn, keyboardDevice, XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!newMap) return;
        xkb_state* newState = xkb_x11_state_new_from_device(newMap, conn, keyboardDevice);
        if (!newState) {
            xkb_keymap_unref(newMap);
            return;
        }
        if (state) xkb_state_unref(state);
        if (keymap) xkb_keymap_unref(keymap);
        keymap = newMap;
        state = newState;
    }

    bool capsLocked() const {
        return state && xkb_state_mod_name_is_active(state, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
    }

    void transition(uint8_t keycode, bool pressed) {
        QString characters;
        const bool repeat = pressed && translator.isDown(keycode);
        if (state && pressed) {
            char buf[64];
            const int n = xkb_state_key_get_utf8(state, keycode, buf, sizeof buf);
            if (n > 0 && n < int(sizeof buf)) characters = QString::fromUtf8(buf, n).left(16);
        }
        if (state && !repeat) xkb_state_update_key(state, keycode, pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
        auto ev = translator.translate(keycode, pressed, capsLocked());
        if (!ev) return;
        if (ev->type == KeySourceEvent::Type::KeyDown) ev->characters = characters;
        if (handler) handler(*ev);
    }

    static void recordCallback(XPointer closure, XRecordInterceptData* data) {
        auto* self = reinterpret_cast<Impl*>(closure);
        if (data->category == XRecordFromServer && data->data_len >= 1) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(data->data);
            const int type = bytes[0] & 0x7f;
            if (type == KeyPress || type == KeyRelease) self->transition(bytes[1], type == KeyPress);
        }
        XRecordFreeData(data);
    }
};

X11KeySource::X11KeySource() = default;

X11KeySource::~X11KeySource() { stop(); }

bool X11KeySource::start(Handler handler, Preference preference, std::function<void()> onConnectionLost) {
    if (m_running.load()) return true;
    stop();  // a listener whose connection broke has ended; collect it
    auto impl = std::make_unique<Impl>();
    impl->handler = std::move(handler);
    impl->onConnectionLost = std::move(onConnectionLost);
    X11ConnectionGuard::installHandlers();
    impl->display = XOpenDisplay(nullptr);
    if (!impl->display) {
        m_error = "no X11 display";
        return false;
    }
    X11ConnectionGuard::keepProcessOnIOError(impl->display);
    Display* d = impl->display;

    bool haveXI2 = false;
    int event = 0, error = 0;
    if (preference != Preference::RecordOnly &&
        XQueryExtension(d, "XInputExtension", &impl->xiOpcode, &event, &error)) {
        // 2.2: raw events keep coming while another client grabs the keyboard (an open menu,
        // a screenshot tool, a VM); under 2.0 the release of a held push-to-talk key would be lost.
        int major = 2, minor = 2;
        haveXI2 = XIQueryVersion(d, &major, &minor) == Success && major >= 2;
    }
    if (haveXI2) {
        unsigned char mask[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(mask, XI_RawKeyPress);
        XISetMask(mask, XI_RawKeyRelease);
        XIEventMask em{XIAllMasterDevices, int(sizeof mask), mask};
        XISelectEvents(d, DefaultRootWindow(d), &em, 1);
        int opcode = 0, xkbError = 0, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
        if (XkbQueryExtension(d, &opcode, &impl->xkbEventBase, &xkbError, &xkbMajor, &xkbMinor))
            XkbSelectEvents(d, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                            XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
        else
            impl->xkbEventBase = -1;
        XSync(d, False);
        m_backend = Backend::XInput2;
    } else if (preference == Preference::XInput2Only) {
        m_error = "XInput2 is not available";
        return false;
    } else {
        int major = 0, minor = 0;
        if (!XRecordQueryVersion(d, &major, &minor)) {
            m_error = "neither XInput2 nor RECORD is available";
            return false;
        }
        impl->recordData = XOpenDisplay(nullptr);
        X11ConnectionGuard::keepProcessOnIOError(impl->recordData);
        XRecordRange* range = XRecordAllocRange();
        if (!impl->recordData || !range) {
            if (range) XFree(range);
            m_error = "cannot open the RECORD connection";
            return false;
        }
        range->device_events.first = KeyPress;
        range->device_events.last = KeyRelease;
        XRecordClientSpec clients = XRecordAllClients;
        impl->recordContext = XRecordCreateContext(d, 0, &clients, 1, &range, 1);
        XFree(range);
        XSync(d, False);
        if (!impl->recordContext ||
            !XRecordEnableContextAsync(impl->recordData, impl->recordContext, &Impl::recordCallback,
                                       reinterpret_cast<XPointer>(impl.get()))) {
            m_error = "cannot enable the RECORD context";
            return false;
        }
        m_backend = Backend::Record;
    }
    impl->loadKeymap();

    impl->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl->wakeFd < 0) {
        m_error = "cannot create the wake-up descriptor";
        m_backend = Backend::Off;
        return false;
    }
    m_impl = std::move(impl);
    m_running = true;
    m_thread = std::thread([this] {
        nameCurrentThread(QStringLiteral("com.vantrose.keyboard-monitor"));
        run();
    });
    return true;
}

void X11KeySource::stop() {
    if (!m_thread.joinable()) return;
    const uint64_t one = 1;
    (void)!write(m_impl->wakeFd, &one, sizeof one);
    m_thread.join();
    if (m_impl->recordContext) {
        XRecordDisableContext(m_impl->display, m_impl->recordContext);
        XSync(m_impl->display, False);
        XRecordFreeContext(m_impl->display, m_impl->recordContext);
        m_impl->recordContext = 0;
    }
    m_impl.reset();
    m_running = false;
    m_backend = Backend::Off;
}

void X11KeySource::run() {
    Impl& s = *m_impl;
    Display* source = s.recordData ? s.recordData : s.display;
    pollfd fds[2] = {{ConnectionNumber(source), POLLIN, 0}, {s.wakeFd, POLLIN, 0}};
    bool lost = false;
    for (;;) {
        if (s.recordData) {
            XRecordProcessReplies(s.recordData);
        } else {
            while (!connectionBroken(s.display) && XPending(s.display)) {
                XEvent ev;
                XNextEvent(s.display, &ev);
                if (ev.xcookie.type == GenericEvent && ev.xcookie.extension == s.xiOpcode &&
                    XGetEventData(s.display, &ev.xcookie)) {
                    const int type = ev.xcookie.evtype;
                    if (type == XI_RawKeyPress || type == XI_RawKeyRelease) {
                        const auto* raw = static_cast<XIRawEvent*>(ev.xcookie.data);
                        if (raw->detail > 0 && raw->detail < 256)
                            s.transition(uint8_t(raw->detail), type == XI_RawKeyPress);
                    }
                    XFreeEventData(s.display, &ev.xcookie);
                } else if (s.xkbEventBase >= 0 && ev.type == s.xkbEventBase) {
                    s.loadKeymap();
                }
            }
        }
        if (connectionBroken(source)) {
            lost = true;
            break;
        }
        if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) break;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            lost = true;
            break;
        }
    }
    m_running = false;
    // The server is gone: this thread ends here rather than polling a dead socket.
    if (lost) {
        X11ConnectionGuard::reportConnectionLost("key source");
        if (m_impl->onConnectionLost) m_impl->onConnectionLost();
    }
}

bool X11KeySource::connectionBroken(void* display) {
    return xcb_connection_has_error(XGetXCBConnection(static_cast<Display*>(display))) != 0;
}
