#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

#include <QCoro/QCoroTask>

#include <chrono>
#include <optional>
#include <vector>

#include <QDBusMessage>

// Receives the Response of one request (any signature: a wrong one is reported, not dropped) or
// the word that the request will not get one. Internal to PortalRequests.
class PortalResponseWaiter : public QObject {
    Q_OBJECT
public:
    std::optional<QDBusMessage> response;
    bool aborted = false;
    void abort();

public Q_SLOTS:
    void onResponse(const QDBusMessage& message);

Q_SIGNALS:
    void finished();
};

// The desktop portal's service, object and the interfaces shared by its portals.
namespace Portal {
inline constexpr auto service = "org.freedesktop.portal.Desktop";
inline constexpr auto path = "/org/freedesktop/portal/desktop";
inline constexpr auto requestInterface = "org.freedesktop.portal.Request";
inline constexpr auto sessionInterface = "org.freedesktop.portal.Session";

// How a portal call ended, as the callers report it.
enum class Outcome {
    success,
    refused,   // the user said no (response 1)
    failed,    // the portal ended the request another way (response 2) or answered with an error
    missing,   // nothing owns the portal's name, or it does not offer the interface
    noAnswer,  // no reply or no response before the deadline
    badReply,  // a reply or response of the wrong shape
    aborted,   // the portal went away, or the caller gave up, while the call was under way
};

struct Reply {
    Outcome outcome = Outcome::aborted;
    QVariantMap results;  // the response's results (requests) on success
    QString detail;       // for the log: what went wrong, in a few words
    QString session;      // CreateSession's session object, on success
};

// The state a portal client names for a failed call's outcome (the clients' State enums share
// these names); nothing for an aborted call, whose abandoner has set the state already.
template <typename State>
std::optional<State> failureState(Outcome outcome) {
    switch (outcome) {
    case Outcome::missing: return State::missing;
    case Outcome::refused: return State::refused;
    case Outcome::noAnswer: return State::noAnswer;
    case Outcome::badReply: return State::badReply;
    case Outcome::aborted: return std::nullopt;
    case Outcome::failed:
    case Outcome::success: break;
    }
    return State::failed;
}

// Follows the desktop closing `session` (its Closed signal reaches `slot` of `receiver`), or stops.
void watchSessionClosed(const QString& session, QObject* receiver, const char* slot);
void unwatchSessionClosed(const QString& session, QObject* receiver, const char* slot);

// A path that names a portal object (a request or a session), as the portals write it: an
// object path, sent as "o" by most portals and as "s" by GlobalShortcuts' CreateSession.
std::optional<QString> objectPath(const QVariant& value);

}  // namespace Portal

// Makes portal calls on the session bus, each with a deadline. A request (a method answered by a
// Request object's Response signal) listens on the handle it expects before it calls, so a quick
// response is never missed. Main thread only.
class PortalRequests : public QObject {
    Q_OBJECT
public:
    struct Deadlines {
        std::chrono::milliseconds reply;     // the method's own reply
        std::chrono::milliseconds response;  // the Response signal after the reply
    };

    explicit PortalRequests(QObject* parent = nullptr);
    ~PortalRequests() override;

    // Calls `method` of `interface` on the portal with `arguments` followed by `options`, into which
    // a fresh "handle_token" is put, and waits for its Response.
    QCoro::Task<Portal::Reply> request(QString interface, QString method, QVariantList arguments, QVariantMap options,
                                       Deadlines deadlines);
    // Makes a session of `interface` (CreateSession); on success the reply names it. A response
    // that names no session is a bad reply.
    QCoro::Task<Portal::Reply> createSession(QString interface, Deadlines deadlines);
    // Asks the portal to close `session`, without waiting.
    void closeSession(const QString& session);
    // A plain method call; success when the portal replied without an error.
    QCoro::Task<Portal::Reply> call(QString interface, QString method, QVariantList arguments,
                                    std::chrono::milliseconds deadline);
    // Sends a call without waiting for its reply (closing a session or a request).
    void send(const QString& path, const QString& interface, const QString& method, const QVariantList& arguments = {});

    // A token for "handle_token" or "session_handle_token", unique in this process.
    static QString newToken(const char* kind);
    // The object path the portal gives a request or session made with `token`.
    static QString handlePath(const char* kind, const QString& token);

    // Ends every request under way with Portal::Outcome::aborted (the portal went away).
    void abortAll();

private:
    std::vector<QPointer<PortalResponseWaiter>> m_waiters;
};

namespace Portal {
// The error reply's outcome: missing, noAnswer or failed.
Outcome outcomeOfError(const QDBusMessage& error);
}  // namespace Portal
