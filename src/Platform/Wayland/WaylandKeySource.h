#pragma once

#include "Platform/DesktopBackend.h"
#include "Platform/Linux/EvdevKeyReader.h"
#include "Platform/Wayland/HotkeySourceChooser.h"
#include "Platform/Wayland/PortalGlobalShortcuts.h"
#include "Platform/Wayland/PortalShortcutKeys.h"

#include <QObject>
#include <QPointer>

#include <QCoro/QCoroTask>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// The key source of a Wayland session. Starting it answers at once and chooses in the background
// (the portal may ask the user first): the desktop portal's global shortcuts, else the keyboard
// devices, else the X11 listener through XWayland. Whichever it is, the events reach the handler
// as the X11 listener's would, so the hotkey matching above is the same for every source. A
// portal that restarts gets its session made again; a shortcut held when the session ends is
// let go. Start, stop and the bindings come from the main thread.
class WaylandKeySource final : public QObject, public AbstractKeySource {
public:
    struct Options {
        EvdevKeyReaderOptions evdev;
        PortalGlobalShortcuts::Deadlines portalDeadlines;
        // Whether an X11 display (XWayland) can be used; by default, whether DISPLAY connects.
        std::function<bool()> xDisplayAvailable;
        // Makes the XWayland fallback; by default the X11 back-end's key source.
        std::function<std::unique_ptr<AbstractKeySource>()> makeX11Source;
    };

    explicit WaylandKeySource(Options options);
    WaylandKeySource();
    ~WaylandKeySource() override;

    bool start(Handler handler, Method method, std::function<void()> onConnectionLost) override;
    void stop() override;
    QString lastError() const override;
    void setBindings(const QList<HotkeyBinding>& bindings) override;
    QString methodName(Method method) const override;

    // The source chosen, once the choice is made.
    std::optional<HotkeySourceChoice> choice() const;
    // The latest choice of any Wayland key source in this process (the hub's notice reads it).
    static std::optional<HotkeySourceChoice> latestChoice();

private:
    QCoro::Task<> choose(uint64_t generation);
    void useChoice(const HotkeySourceChoice& choice);
    void stopSources();

    Options m_options;
    Handler m_handler;
    std::function<void()> m_onConnectionLost;
    QList<HotkeyBinding> m_bindings;
    bool m_running = false;
    uint64_t m_generation = 0;
    PortalGlobalShortcuts* m_portal = nullptr;  // a child
    PortalShortcutKeys m_portalKeys;
    std::unique_ptr<EvdevKeyReader> m_evdev;
    std::unique_ptr<AbstractKeySource> m_x11;

    mutable std::mutex m_mutex;  // the choice and the error, read from any thread
    std::optional<HotkeySourceChoice> m_choice;
    QString m_error;
};
