#pragma once

#include "Models/Hotkey.h"

#include <QList>
#include <QObject>
#include <QSet>
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

// The desktop portal's global shortcuts (org.freedesktop.portal.GlobalShortcuts): one session for
// the program's life with one shortcut per hotkey action ("activate", "lock",
// "paste_last_transcript", "cancel"), the user's binding proposed as each one's trigger. The
// desktop reports a shortcut going active and inactive, which is press and release. A portal that
// is missing, refuses, answers nonsense or nothing at all ends in a state that says so (logged
// once), never in a hang; when the portal restarts, the session is made again. Main thread only.
class PortalGlobalShortcuts : public QObject {
    Q_OBJECT
public:
    enum class State {
        idle,        // not started, or stopped
        starting,    // making the session and binding the shortcuts
        active,      // the shortcuts are bound; Activated and Deactivated arrive
        missing,     // no portal, or a portal without global shortcuts
        refused,     // the user declined
        failed,      // the portal ended a request or answered with an error
        noAnswer,    // a call got no reply or no response in time
        badReply,    // a reply or response of the wrong shape
        closed,      // the desktop closed the session
        portalGone,  // the portal left the bus; the session is made again when it returns
    };

    struct Deadlines {
        std::chrono::milliseconds reply = std::chrono::seconds(5);
        std::chrono::milliseconds response = std::chrono::seconds(10);
        // Binding may show the user a dialog: the answer takes as long as the user does.
        std::chrono::milliseconds consent = std::chrono::minutes(2);
    };

    struct BoundShortcut {
        HotkeyAction action = HotkeyAction::activate;
        QString trigger;  // how the desktop says it is triggered; empty when it did not say
    };

    explicit PortalGlobalShortcuts(QObject* parent = nullptr);
    ~PortalGlobalShortcuts() override;  // closes the session

    void setDeadlines(const Deadlines& deadlines) { m_deadlines = deadlines; }

    // Makes the session and binds a shortcut for each action that has a binding (the first
    // binding of an action counts). Ends with the state reached: active or why not. Starting
    // again replaces the session (the desktop binds a session's shortcuts once only).
    QCoro::Task<State> start(QList<HotkeyBinding> bindings);
    // Closes the session.
    void stop();

    State state() const { return m_state; }
    // What went wrong, in a few words for the log and the user; empty when nothing did.
    QString problem() const { return m_problem; }
    // The shortcuts the desktop bound; a subset of those asked for.
    QList<BoundShortcut> boundShortcuts() const { return m_bound; }
    bool isBound(HotkeyAction action) const;

Q_SIGNALS:
    void stateChanged(PortalGlobalShortcuts::State state);
    void activated(HotkeyAction action);
    void deactivated(HotkeyAction action);
    // A session whose shortcuts were bound ended (stopped, closed by the desktop, the portal
    // left): a shortcut active then gets no Deactivated.
    void sessionEnded();

private Q_SLOTS:
    void onActivated(const QDBusMessage& message);
    void onDeactivated(const QDBusMessage& message);
    void onClosed(const QDBusMessage& message);

private:
    QCoro::Task<State> establish(uint64_t generation);
    void onOwnerChanged(const QString& oldOwner, const QString& newOwner);
    std::optional<HotkeyAction> shortcutOf(const QDBusMessage& message, const char* signal);
    // Forgets the session; closes it at the portal when `closeAtPortal`. Reports the end of a bound one.
    void endSession(bool closeAtPortal);
    State fail(const Portal::Reply& reply, const QString& step);
    void setState(State state, const QString& problem = {});
    void logGarbageOnce(const QString& what);

    PortalRequests* m_requests;
    QDBusServiceWatcher* m_watcher;
    Deadlines m_deadlines;
    QList<HotkeyBinding> m_bindings;
    QString m_session;
    uint64_t m_generation = 0;
    bool m_remakeWhenBack = false;
    State m_state = State::idle;
    QString m_problem;
    QList<BoundShortcut> m_bound;
    QSet<QString> m_loggedGarbage;
};

template <>
struct RawValueTable<PortalGlobalShortcuts::State> {
    using S = PortalGlobalShortcuts::State;
    static constexpr std::pair<S, const char*> cases[] = {
        {S::idle, "idle"},       {S::starting, "starting"},     {S::active, "active"},     {S::missing, "missing"},
        {S::refused, "refused"}, {S::failed, "failed"},         {S::noAnswer, "noAnswer"}, {S::badReply, "badReply"},
        {S::closed, "closed"},   {S::portalGone, "portalGone"},
    };
};
