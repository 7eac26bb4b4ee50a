#pragma once

#include "Models/Hotkey.h"
#include "Models/RawValue.h"
#include "Platform/Linux/EvdevKeyReader.h"
#include "Platform/Wayland/PortalGlobalShortcuts.h"

#include <QList>
#include <QString>

#include <QCoro/QCoroTask>

// Where the global hotkey is heard from in a Wayland session, best first.
enum class HotkeySource {
    portal,  // the desktop portal's global shortcuts
    evdev,   // the keyboard devices, read directly
    x11,     // the X11 listener through XWayland: only while an X11 window has the focus
    none,
};

template <>
struct RawValueTable<HotkeySource> {
    static constexpr std::pair<HotkeySource, const char*> cases[] = {
        {HotkeySource::portal, "portal"},
        {HotkeySource::evdev, "evdev"},
        {HotkeySource::x11, "x11"},
        {HotkeySource::none, "none"},
    };
};

// Why a better source was passed over.
enum class HotkeySourceGap {
    noPortal,              // no portal, or one without global shortcuts
    portalRefused,         // the user declined the shortcuts
    portalBroken,          // the portal failed, answered nonsense or nothing
    pushToTalkNotBound,    // the portal bound the shortcuts but not push-to-talk
    keyboardsNotReadable,  // keyboard devices exist but the user may not read them
    noKeyboardDevices,     // no keyboard device at all
    noXDisplay,            // no XWayland display either
};

template <>
struct RawValueTable<HotkeySourceGap> {
    static constexpr std::pair<HotkeySourceGap, const char*> cases[] = {
        {HotkeySourceGap::noPortal, "noPortal"},
        {HotkeySourceGap::portalRefused, "portalRefused"},
        {HotkeySourceGap::portalBroken, "portalBroken"},
        {HotkeySourceGap::pushToTalkNotBound, "pushToTalkNotBound"},
        {HotkeySourceGap::keyboardsNotReadable, "keyboardsNotReadable"},
        {HotkeySourceGap::noKeyboardDevices, "noKeyboardDevices"},
        {HotkeySourceGap::noXDisplay, "noXDisplay"},
    };
};

struct HotkeySourceChoice {
    HotkeySource source = HotkeySource::none;
    QList<HotkeySourceGap> gaps;  // why each better source was passed over, best first
    QString portalProblem;        // the portal client's own words, when it failed

    // Where the hotkey comes from when that is not everywhere, what is missing and how to get it:
    // a short text for the hub, the onboarding and the README. Empty when the hotkey works in
    // every window.
    QString notice() const;
};

// Picks the hotkey source of a Wayland session: the portal's global shortcuts when the desktop
// offers them and binds push-to-talk; else the keyboard devices when one is readable; else the
// X11 listener through XWayland.
namespace HotkeySourceChooser {

struct Session {
    EvdevAvailability evdev;
    bool xDisplay = false;  // an X11 display (XWayland) is reachable
};

// Binds `bindings` through `portal` and decides; a portal that is not chosen is stopped, so its
// shortcuts do not fire beside the source that is. The choice is logged.
QCoro::Task<HotkeySourceChoice> choose(PortalGlobalShortcuts& portal, QList<HotkeyBinding> bindings, Session session);

// The decision once the portal has answered. `pushToTalkBound`: the portal bound the activate
// shortcut, or the bindings have none.
HotkeySourceChoice decide(PortalGlobalShortcuts::State portalState, bool pushToTalkBound, const Session& session);

// What the gap means for the user and how to close it.
QString gapText(HotkeySourceGap gap);

}  // namespace HotkeySourceChooser
