#pragma once

#include "Models/RawValue.h"

#include <QList>
#include <QObject>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <cstdint>

class PortalRequests;
class QDBusMessage;
class QDBusServiceWatcher;
namespace Portal {
struct Reply;
}
class UserDefaults;

// The desktop portal's remote desktop (org.freedesktop.portal.RemoteDesktop), keyboard only: sends
// the paste chord into native Wayland windows. The user is asked once: the session persists until
// revoked and its restore token is kept in the user defaults, handed back at the next start. A
// missing portal, a refusal, a broken or silent portal each end in a state with a message for the
// user (logged once), never a hang. Main thread only.
class PortalRemoteDesktop : public QObject {
    Q_OBJECT
public:
    enum class State {
        idle,        // not started, or stopped
        starting,    // making the session and asking for the keyboard
        ready,       // keys can be sent
        missing,     // no portal, or a portal without remote desktop
        refused,     // the user declined
        noKeyboard,  // the session was started without the keyboard
        failed,      // the portal ended a request, answered with an error, or refused a key
        noAnswer,    // a call got no reply or no response in time
        badReply,    // a reply or response of the wrong shape
        closed,      // the desktop closed the session
        portalGone,  // the portal left the bus with the session
    };

    struct Deadlines {
        std::chrono::milliseconds reply = std::chrono::seconds(5);
        std::chrono::milliseconds response = std::chrono::seconds(10);
        // Starting may show the user a dialog: the answer takes as long as the user does.
        std::chrono::milliseconds consent = std::chrono::minutes(2);
    };

    // The user-defaults key of the restore token.
    static constexpr auto restoreTokenKey = "wayland_remote_desktop_restore_token";

    explicit PortalRemoteDesktop(UserDefaults& defaults, QObject* parent = nullptr);
    ~PortalRemoteDesktop() override;  // closes the session

    void setDeadlines(const Deadlines& deadlines) { m_deadlines = deadlines; }

    // Makes and starts the session, unless one is ready. Ends with the state reached.
    QCoro::Task<State> start();
    void stop();

    // One key by keysym (layout-independent) or by evdev key code; false when no session is ready
    // or the portal would not take it.
    QCoro::Task<bool> sendKeysym(uint32_t keysym, bool pressed);
    QCoro::Task<bool> sendKeycode(int evdevKeycode, bool pressed);
    // Presses the keysyms in order and releases them in reverse (Control_L then v: Ctrl+V). What
    // was pressed is released even when a later press fails.
    QCoro::Task<bool> sendChord(QList<uint32_t> keysyms);

    State state() const { return m_state; }
    // What went wrong, in a few words for the log; empty when nothing did.
    QString problem() const { return m_problem; }
    // What the user is told when the paste keys cannot be sent: why, and what to do. Empty while
    // keys can be sent (or nothing was tried).
    QString userMessage() const;

Q_SIGNALS:
    void stateChanged(PortalRemoteDesktop::State state);

private Q_SLOTS:
    void onClosed(const QDBusMessage& message);

private:
    QCoro::Task<State> establish(uint64_t generation);
    QCoro::Task<bool> notify(const char* method, int value, bool pressed);
    void onOwnerChanged(const QString& oldOwner);
    void endSession(bool closeAtPortal);
    State fail(const Portal::Reply& reply, const QString& step);
    void setState(State state, const QString& problem = {});

    UserDefaults& m_defaults;
    PortalRequests* m_requests;
    QDBusServiceWatcher* m_watcher;
    Deadlines m_deadlines;
    QString m_session;
    uint64_t m_generation = 0;
    State m_state = State::idle;
    QString m_problem;
};

template <>
struct RawValueTable<PortalRemoteDesktop::State> {
    using S = PortalRemoteDesktop::State;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::idle, "idle"},       {S::starting, "starting"},     {S::ready, "ready"},
        {S::missing, "missing"}, {S::refused, "refused"},       {S::noKeyboard, "noKeyboard"},
        {S::failed, "failed"},   {S::noAnswer, "noAnswer"},     {S::badReply, "badReply"},
        {S::closed, "closed"},   {S::portalGone, "portalGone"},
    };
};
