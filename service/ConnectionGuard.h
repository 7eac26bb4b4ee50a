#pragma once

#include "RouteLimits.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class ConnectionGuard;

// How much the service lets one connection send, for how long, and how many may be open.
struct ConnectionLimits {
    int maxConnections = 128;                         // lowered to fit the descriptor limit
    qsizetype maxRequestLine = qsizetype{8} * 1024;   // method, target and version (414 past it)
    qsizetype maxHeaderBlock = qsizetype{16} * 1024;  // request line and every header line (431 past it)
    int maxHeaderFields = 100;
    // A request's headers must all arrive this soon after its first byte (408 after it).
    std::chrono::milliseconds headerDeadline{5000};
    // A body may pause this long between bytes (408 after it).
    std::chrono::milliseconds bodyIdleDeadline{10000};
    // A connection with no request under way and no reply owed is closed after this long.
    std::chrono::milliseconds idleDeadline{15000};
    // After a refusal: how long what the client still sends is read and dropped, so the refusal
    // reaches it before the connection closes.
    std::chrono::milliseconds lingerDeadline{5000};
};

// The service's listening socket, handed to the HTTP server with bind(). The HTTP server reads
// each request whole, with no limit, before any route sees it; this server stands in front of
// that parser on every connection:
// - a connection from a socket another user (or an unknown user) owns is answered 403 and
//   closed before any byte is parsed;
// - each request's request line and headers are read first and checked: their size, the Host
//   (this address and port only), the framing, and the body size the route allows. The parser
//   sees a request only once its headers passed; a body past the cap is refused while it
//   arrives;
// - deadlines for the headers, for a pausing body and for an idle connection, and a cap on open
//   connections (the least recently active idle or unfinished one makes room for a new one);
// - after a WebSocket upgrade the connection is the WebSocket's, and the guard steps aside.
// A refused request is answered with a JSON {"detail"} and the connection closed.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    struct Hooks {
        // Whether an "Authorization" header value names a live session.
        std::function<bool(const QByteArray& authorization)> bearerValid;
        // A refused request: its route from the table, or "unknown route", and the status.
        std::function<void(const QString& route, int status)> logRequest;
        // One line for the service's log.
        std::function<void(const QString& line)> log;
    };

    GuardedTcpServer(std::vector<RouteLimit> routes, ConnectionLimits limits, Hooks hooks, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    // Listens; requests must then name this address and the port listened on as their Host.
    bool listenOn(const QHostAddress& address, quint16 port);

    int openConnections() const { return int(m_connections.size()); }
    int maxConnections() const { return m_maxConnections; }

    // The route a request line names, or nullptr for one the service does not answer.
    const RouteLimit* route(const QByteArray& method, const QString& path) const;
    bool hostAllowed(const QByteArray& host) const;
    const ConnectionLimits& limits() const { return m_limits; }
    const Hooks& hooks() const { return m_hooks; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    friend class ConnectionGuard;

    // Answers `reply` on a connection the HTTP server never sees, and closes it.
    void refuseConnection(qintptr descriptor, const QByteArray& reply);
    bool makeRoom();
    void forget(ConnectionGuard* guard);

    std::vector<RouteLimit> m_routes;
    ConnectionLimits m_limits;
    Hooks m_hooks;
    int m_maxConnections = 0;
    QList<QByteArray> m_allowedHosts;
    std::vector<ConnectionGuard*> m_connections;
    int m_refusing = 0;  // refused connections still being closed
};
