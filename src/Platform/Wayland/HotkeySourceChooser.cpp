#include "Platform/Wayland/HotkeySourceChooser.h"

#include "Foundation/Logger.h"
#include "Platform/LogCategories.h"

#include <QStringList>

#include <algorithm>

namespace {

std::optional<HotkeySourceGap> portalGap(PortalGlobalShortcuts::State state, bool pushToTalkBound) {
    using S = PortalGlobalShortcuts::State;
    switch (state) {
    case S::active: return pushToTalkBound ? std::nullopt : std::optional(HotkeySourceGap::pushToTalkNotBound);
    case S::missing: return HotkeySourceGap::noPortal;
    case S::refused: return HotkeySourceGap::portalRefused;
    case S::idle:
    case S::starting:
    case S::failed:
    case S::noAnswer:
    case S::badReply:
    case S::closed:
    case S::portalGone: return HotkeySourceGap::portalBroken;
    }
    return HotkeySourceGap::portalBroken;
}

QString gapsText(const QList<HotkeySourceGap>& gaps, HotkeySourceGap skipped) {
    QStringList texts;
    for (HotkeySourceGap gap : gaps)
        if (gap != skipped) texts << HotkeySourceChooser::gapText(gap);
    return texts.join(u' ');
}

}  // namespace

QString HotkeySourceChoice::notice() const {
    switch (source) {
    case HotkeySource::portal:
    case HotkeySource::evdev: return {};
    case HotkeySource::x11:
        return QStringLiteral(
                   "The hotkey works only while an X11 (XWayland) window has the focus. To use it in "
                   "every window: ") +
               gapsText(gaps, HotkeySourceGap::noXDisplay);
    case HotkeySource::none:
        return QStringLiteral("Vantrose cannot hear the hotkey in this session. To hear it: ") +
               gapsText(gaps, HotkeySourceGap::noXDisplay);
    }
    return {};
}

namespace HotkeySourceChooser {

QString gapText(HotkeySourceGap gap) {
    switch (gap) {
    case HotkeySourceGap::noPortal:
        return QStringLiteral(
            "use a desktop whose portal offers global shortcuts (KDE Plasma 5.27 or later, "
            "GNOME 48 or later, Hyprland), or");
    case HotkeySourceGap::portalRefused:
        return QStringLiteral(
            "allow Vantrose's shortcuts in the desktop's shortcut settings (they were declined), "
            "or");
    case HotkeySourceGap::portalBroken:
        return QStringLiteral(
            "the desktop's global shortcuts portal did not work (see the log); restart Vantrose "
            "to try it again, or");
    case HotkeySourceGap::pushToTalkNotBound:
        return QStringLiteral("assign the push-to-talk shortcut in the desktop's shortcut settings, or");
    case HotkeySourceGap::keyboardsNotReadable:
        return QStringLiteral(
            "let your account read the keyboard devices: add it to the input group "
            "(sudo usermod -aG input $USER), then log out and in again.");
    case HotkeySourceGap::noKeyboardDevices:
        return QStringLiteral("connect a keyboard Vantrose can read (/dev/input has none).");
    case HotkeySourceGap::noXDisplay: return QStringLiteral("No X11 display (XWayland) is running either.");
    }
    return {};
}

HotkeySourceChoice decide(PortalGlobalShortcuts::State portalState, bool pushToTalkBound, const Session& session) {
    HotkeySourceChoice choice;
    const std::optional<HotkeySourceGap> portal = portalGap(portalState, pushToTalkBound);
    if (!portal) {
        choice.source = HotkeySource::portal;
        return choice;
    }
    choice.gaps << *portal;
    if (session.evdev.keyboards > 0) {
        choice.source = HotkeySource::evdev;
        return choice;
    }
    choice.gaps << (session.evdev.unreadable > 0 ? HotkeySourceGap::keyboardsNotReadable
                                                 : HotkeySourceGap::noKeyboardDevices);
    if (session.xDisplay) {
        choice.source = HotkeySource::x11;
        return choice;
    }
    choice.gaps << HotkeySourceGap::noXDisplay;
    return choice;
}

QCoro::Task<HotkeySourceChoice> choose(PortalGlobalShortcuts& portal, QList<HotkeyBinding> bindings, Session session) {
    const bool wantsPushToTalk = std::any_of(bindings.cbegin(), bindings.cend(),
                                             [](const HotkeyBinding& b) { return b.action == HotkeyAction::activate; });
    const QPointer<PortalGlobalShortcuts> guard(&portal);
    const PortalGlobalShortcuts::State state = co_await portal.start(bindings);
    const bool bound = guard && (!wantsPushToTalk || portal.isBound(HotkeyAction::activate));
    HotkeySourceChoice choice = decide(guard ? state : PortalGlobalShortcuts::State::idle, bound, session);
    if (guard && choice.source != HotkeySource::portal) {
        choice.portalProblem = portal.problem();
        portal.stop();
    }
    QStringList gaps;
    for (HotkeySourceGap gap : std::as_const(choice.gaps)) gaps << rawValue(gap);
    VLOG_INFO(lcHotkeySource) << "Global hotkey from: " << rawValue(choice.source)
                              << (gaps.isEmpty() ? QString()
                                                 : " (passed over: " + gaps.join(QStringLiteral(", ")) + ")");
    co_return choice;
}

}  // namespace HotkeySourceChooser
