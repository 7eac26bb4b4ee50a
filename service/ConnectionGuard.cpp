#include "ConnectionGuard.h"

#include "PeerCredentials.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string_view>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 kDrainBuffer = qint64{64} * 1024;  // read and dropped at a time after a refusal
constexpr int kMaxRefusing = 32;                    // refused connections being closed at once
constexpr int kDescriptorReserve = 64;              // database, models, log, listening socket
constexpr qint64 kChunkLineMax = 256;               // a chunk-size line with its extensions
constexpr qint64 kChunkFramingAllowance = 16384;    // chunk framing past twice the body cap
constexpr std::chrono::milliseconds kAcceptRetry{250};

const QString kUnknownRoute = QStringLiteral("unknown route");

const QByteArray kForbidden =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 50\r\n"
    "Connection: close\r\n\r\nThis service serves only the user who started it.\n";

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 421: return "Misdirected Request";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Error";
    }
}

// The reply to a refused request, in the service's error form, on a connection that then closes.
QByteArray refusal(int status, const QString& detail) {
    const QByteArray body = QJsonDocument(QJsonObject{{"detail", detail}}).toJson(QJsonDocument::Compact);
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

// Sends `reply`, then ends the sending side and drops unread whatever the peer still sends until
// it closes or `deadline` passes: closing a socket with data still arriving sends a reset, which
// can reach the peer before the reply.
void closeAfterReply(QTcpSocket* socket, const QByteArray& reply, std::chrono::milliseconds deadline) {
    if (socket->isTransactionStarted()) socket->commitTransaction();
    QObject::disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    socket->setReadBufferSize(kDrainBuffer);
    const auto drop = [socket] { socket->skip(socket->bytesAvailable()); };
    QObject::connect(socket, &QIODevice::readyRead, socket, drop);
    drop();
    const auto endSending = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState)
            ::shutdown(int(socket->socketDescriptor()), SHUT_WR);
    };
    QObject::connect(socket, &QIODevice::bytesWritten, socket, endSending);
    if (!reply.isEmpty()) socket->write(reply);
    endSending();
    QTimer::singleShot(deadline, socket, [socket] { socket->abort(); });
}

bool isBlank(char c) { return c == '\r' || c == '\n' || c == ' ' || c == '\t' || c == '\v'; }

bool isHex(const QByteArray& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

// A header name as the HTTP parser accepts it (RFC 9110 token); one it does not makes it drop
// every header of the request, which would leave the guard and the parser disagreeing.
bool isToken(const QByteArray& text) {
    static constexpr std::string_view other = "!#$%&'*+-.^_`|~";
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || other.find(c) != std::string_view::npos;
    });
}

bool isDigits(const QByteArray& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "METHOD SP target SP HTTP/1.x" with single spaces; the path the server routes by.
bool parseRequestLine(QByteArray line, QByteArray* method, QByteArray* target, QString* path) {
    if (line.endsWith('\r')) line.chop(1);
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || parts[0].isEmpty() || !parts[1].startsWith('/')) return false;
    if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0") return false;
    *method = parts[0];
    *target = parts[1];
    *path = QUrl::fromEncoded(parts[1]).path();
    return true;
}

// Counts the complete replies in what the service writes to a connection, so the guard knows
// when a request has its answer (a reply may come long after its request, from a worker).
class ReplyCounter {
public:
    // The number of final replies (not 1xx but 101) that end in `data`.
    int feed(const char* data, qint64 size) {
        int finished = 0;
        qint64 at = 0;
        while (at < size) {
            if (m_bodyLeft > 0) {
                const qint64 n = std::min(size - at, m_bodyLeft);
                at += n;
                m_bodyLeft -= n;
                if (m_bodyLeft == 0) finish(&finished);
                continue;
            }
            const char c = data[at++];
            if (c != '\n') {
                if (m_line.size() < 1024) m_line.append(c);
                continue;
            }
            if (m_line.endsWith('\r')) m_line.chop(1);
            if (m_status < 0) {
                m_status = m_line.mid(9, 3).toInt();
                m_length = 0;
            } else if (m_line.isEmpty()) {
                const bool final = m_status >= 200 || m_status == 101;
                if (final && m_length > 0)
                    m_bodyLeft = m_length;
                else if (final)
                    finish(&finished);
                if (m_bodyLeft == 0) m_status = -1;
            } else if (m_line.toLower().startsWith("content-length:")) {
                m_length = m_line.mid(15).trimmed().toLongLong();
            }
            m_line.clear();
        }
        return finished;
    }

    int lastStatus() const { return m_lastStatus; }

private:
    void finish(int* finished) {
        ++*finished;
        m_lastStatus = m_status;
        m_status = -1;
    }

    QByteArray m_line;
    int m_status = -1;
    int m_lastStatus = 0;
    qint64 m_length = 0;
    qint64 m_bodyLeft = 0;
};

// A connection's socket; its guard sees what the service writes.
class GuardedSocket : public QTcpSocket {
public:
    using QTcpSocket::QTcpSocket;
    QPointer<ConnectionGuard> guard;

protected:
    qint64 writeData(const char* data, qint64 size) override;
};

}  // namespace

// One connection's guard: it reads each request's line and headers before the HTTP server's
// parser does, follows the body's framing, and keeps the deadlines. Its socket owns it.
class ConnectionGuard : public QObject {
public:
    // From `upgrading` on, the guard reads nothing more of the connection.
    enum class Phase { idle, head, body, chunked, upgrading, upgraded, closing };

    ConnectionGuard(GuardedTcpServer* server, GuardedSocket* socket)
        : QObject(socket),
          m_server(server),
          m_socket(socket),
          m_lastActivity(Clock::now()) {
        socket->guard = this;
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &ConnectionGuard::timedOut);
        // Connected before the HTTP server takes the socket, so this runs before its parser.
        connect(socket, &QIODevice::readyRead, this, &ConnectionGuard::beforeParser);
        connect(socket, &QAbstractSocket::disconnected, this, [this] {
            m_timer.stop();
            detach();
        });
        applyReadLimit();
        m_timer.start(limits().idleDeadline);
    }
    ~ConnectionGuard() override { detach(); }
    ConnectionGuard(const ConnectionGuard&) = delete;
    ConnectionGuard& operator=(const ConnectionGuard&) = delete;

    // Runs after the HTTP server's parser on each arrival, once the server took the socket.
    void followParser() { connect(m_socket, &QIODevice::readyRead, this, &ConnectionGuard::afterParser); }

    // The server is going away: nothing to tell it any more.
    void detach() {
        if (m_server) m_server->forget(this);
        m_server = nullptr;
    }

    // Lower goes first when room is needed; nothing when the connection must stay (a reply is
    // owed, or it is a WebSocket).
    std::optional<int> evictionRank() const {
        switch (m_phase) {
        case Phase::closing: return 0;
        case Phase::idle: return repliesOwed() ? std::nullopt : std::optional<int>(1);
        case Phase::head:
        case Phase::body:
        case Phase::chunked: return 2;
        case Phase::upgrading:
        case Phase::upgraded: return std::nullopt;
        }
        return std::nullopt;
    }
    Clock::time_point lastActivity() const { return m_lastActivity; }

    void evict() {
        detach();
        m_timer.stop();
        m_socket->abort();
    }

    void outgoing(const char* data, qint64 size) {
        if (m_phase == Phase::upgraded || m_phase == Phase::closing) return;
        const int finished = m_replies.feed(data, size);
        if (finished == 0) return;
        m_repliesDone += finished;
        if (m_phase == Phase::upgrading) {
            if (m_replies.lastStatus() == 101) {
                m_phase = Phase::upgraded;  // the WebSocket's from here on
                m_timer.stop();
                detach();
            } else {
                m_timer.start(std::chrono::milliseconds(0));  // not upgraded after all: the reply, then close
            }
            return;
        }
        if (m_phase == Phase::idle && !repliesOwed()) m_timer.start(limits().idleDeadline);
    }

private:
    enum class Chunk { size, data, dataEnd, lastEnd };

    const ConnectionLimits& limits() const { return m_limits; }
    bool repliesOwed() const { return m_requestsDone > m_repliesDone; }
    qsizetype bodyCap() const { return m_route ? m_route->maxBody : 0; }

    void beforeParser() {
        if (m_phase >= Phase::upgrading || !m_socket->isOpen()) return;
        // Whatever the parser left unread last time was seen then; only what follows is new.
        const qint64 available = m_socket->bytesAvailable();
        if (available <= m_seenUnread) return;
        const QByteArray unread = m_socket->peek(available);
        m_lastActivity = Clock::now();
        inspect(unread.constData() + m_seenUnread, unread.size() - m_seenUnread);
        m_seenUnread = unread.size();
    }

    void afterParser() {
        if (m_phase >= Phase::upgrading || !m_socket->isOpen()) return;
        m_seenUnread = m_socket->bytesAvailable();
        applyReadLimit();
    }

    // The socket holds the request under way (the parser keeps what it read of it until the
    // request is whole) and whatever follows it: no more than the request may still bring,
    // and room for the next request's headers.
    void applyReadLimit() {
        const qint64 next = limits().maxHeaderBlock + 1;
        qint64 held = m_blank + next;
        if (m_phase == Phase::body) held = m_blank + m_requestBytes + m_bodyLeft + next;
        if (m_phase == Phase::chunked) held = m_blank + m_requestBytes + chunkAllowance() - m_framed + next;
        m_socket->setReadBufferSize(held);
    }

    qint64 chunkAllowance() const { return 2 * qint64(bodyCap()) + kChunkFramingAllowance; }

    void inspect(const char* data, qint64 size) {
        qint64 at = 0;
        while (at < size) {
            switch (m_phase) {
            case Phase::upgrading:
            case Phase::upgraded:
            case Phase::closing: return;
            case Phase::idle:
                if (isBlank(data[at])) {
                    // Blank lines before a request are skipped by the parser, and kept with it.
                    ++at;
                    if (++m_blank > limits().maxHeaderBlock) {
                        refuse(400, QStringLiteral("malformed request"));
                        return;
                    }
                    continue;
                }
                m_phase = Phase::head;
                m_timer.start(limits().headerDeadline);
                break;
            case Phase::head: at += readHead(data + at, size - at); break;
            case Phase::body: {
                const qint64 n = std::min(size - at, m_bodyLeft);
                at += n;
                m_bodyLeft -= n;
                m_requestBytes += n;
                if (m_bodyLeft == 0)
                    finishRequest();
                else
                    m_timer.start(limits().bodyIdleDeadline);
                break;
            }
            case Phase::chunked: at += readChunked(data + at, size - at); break;
            }
        }
    }

    qint64 readHead(const char* data, qint64 size) {
        const auto* lineEnd = static_cast<const char*>(std::memchr(data, '\n', size_t(size)));
        const qint64 take = lineEnd ? lineEnd - data + 1 : size;
        m_head.append(data, take);
        m_requestBytes += take;
        if (m_requestLineSize < 0) {
            if (lineEnd) {
                m_requestLineSize = m_head.size();
                QByteArray method, target;
                QString path;
                if (parseRequestLine(m_head.left(m_requestLineSize - 1), &method, &target, &path)) {
                    const RouteLimit* route = m_server ? m_server->route(method, path) : nullptr;
                    m_routeName = route ? route->path : kUnknownRoute;
                }
            }
            if ((lineEnd ? m_requestLineSize - 1 : m_head.size()) > limits().maxRequestLine) {
                refuse(414, QStringLiteral("request line too long"));
                return take;
            }
        }
        if (m_head.size() > limits().maxHeaderBlock) {
            refuse(431, QStringLiteral("request headers too large"));
            return take;
        }
        // The headers end with an empty line (CRLF or a bare LF, as the parser allows).
        if (lineEnd && m_head.size() > m_requestLineSize && (m_head.endsWith("\n\n") || m_head.endsWith("\n\r\n")))
            decide();
        return take;
    }

    // The request's line and headers are whole: answer it here, or let the parser have it.
    void decide() {
        QByteArray method, target;
        QString path;
        if (!parseRequestLine(m_head.left(m_requestLineSize - 1), &method, &target, &path))
            return refuse(400, QStringLiteral("malformed request line"));
        m_route = m_server ? m_server->route(method, path) : nullptr;
        m_routeName = m_route ? m_route->path : kUnknownRoute;

        struct Field {
            int count = 0;
            QByteArray value;
        };
        Field host, contentLength, transferEncoding, connection, upgrade, authorization;
        const QList<QByteArray> lines = m_head.mid(m_requestLineSize).split('\n');
        // The last two are the empty line that ended the headers and what follows its LF.
        const qsizetype fields = lines.size() - 2;
        if (fields > limits().maxHeaderFields) return refuse(431, QStringLiteral("too many request headers"));
        for (qsizetype i = 0; i < fields; ++i) {
            QByteArray line = lines[i];
            if (line.endsWith('\r')) line.chop(1);
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0 || !isToken(line.left(colon)) || line.contains('\r') || line.contains('\0'))
                return refuse(400, QStringLiteral("malformed request header"));
            const QByteArray name = line.left(colon).toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            Field* field = name == "host"                ? &host
                           : name == "content-length"    ? &contentLength
                           : name == "transfer-encoding" ? &transferEncoding
                           : name == "connection"        ? &connection
                           : name == "upgrade"           ? &upgrade
                           : name == "authorization"     ? &authorization
                                                         : nullptr;
            if (!field) continue;
            ++field->count;
            field->value = value;
        }
        if (host.count != 1) return refuse(400, QStringLiteral("one Host header is required"));
        if (!m_server || !m_server->hostAllowed(host.value))
            return refuse(421, QStringLiteral("this service answers only for its own address"));
        if (contentLength.count > 1 || transferEncoding.count > 1 || connection.count > 1 || upgrade.count > 1)
            return refuse(400, QStringLiteral("repeated request header"));
        if (contentLength.count && transferEncoding.count)
            return refuse(400, QStringLiteral("both Content-Length and Transfer-Encoding"));
        const bool chunked = transferEncoding.count > 0;
        if (chunked && transferEncoding.value.compare("chunked", Qt::CaseInsensitive) != 0)
            return refuse(400, QStringLiteral("unsupported transfer coding"));
        if (contentLength.count &&
            (contentLength.value.isEmpty() || contentLength.value.size() > 18 || !isDigits(contentLength.value)))
            return refuse(400, QStringLiteral("malformed Content-Length"));
        const qint64 length = contentLength.count ? contentLength.value.toLongLong() : 0;
        const bool hasBody = chunked || length > 0;

        // The parser hands a request that asks for an upgrade to the WebSocket side.
        const bool upgradeAsked = connection.value.toLower().contains("upgrade");
        if (upgradeAsked || upgrade.count) {
            const bool webSocket = upgrade.value.compare("websocket", Qt::CaseInsensitive) == 0;
            if (!m_route || !m_route->webSocket)
                return webSocket ? refuse(404, QStringLiteral("Not Found"))
                                 : refuse(400, QStringLiteral("unsupported upgrade"));
            if (!webSocket || !upgradeAsked || hasBody)
                return refuse(400, QStringLiteral("malformed WebSocket upgrade"));
            return stepAside();
        }
        if (hasBody && m_route && m_route->bearerFirst && m_server && m_server->hooks().bearerValid &&
            !m_server->hooks().bearerValid(authorization.value))
            return refuse(401, QStringLiteral("Not authenticated"));
        if (length > bodyCap())
            return refuse(413, m_route ? m_route->tooLargeDetail : QStringLiteral("request body too large"));

        if (chunked) {
            m_phase = Phase::chunked;
            m_chunk = Chunk::size;
            m_timer.start(limits().bodyIdleDeadline);
        } else if (length > 0) {
            m_phase = Phase::body;
            m_bodyLeft = length;
            m_timer.start(limits().bodyIdleDeadline);
        } else {
            finishRequest();
        }
    }

    qint64 readChunked(const char* data, qint64 size) {
        qint64 at = 0;
        while (at < size && m_phase == Phase::chunked) {
            if (m_chunk == Chunk::data) {
                const qint64 n = std::min(size - at, m_chunkLeft);
                at += n;
                m_chunkLeft -= n;
                m_framed += n;
                if (m_chunkLeft == 0) {
                    m_chunk = Chunk::dataEnd;
                    m_crlf = 0;
                }
                continue;
            }
            const char c = data[at++];
            ++m_framed;
            if (m_chunk == Chunk::size) {
                if (c != '\n') {
                    if (m_chunkLine.size() >= kChunkLineMax) return at + refuseChunked();
                    m_chunkLine.append(c);
                    continue;
                }
                if (!m_chunkLine.endsWith('\r')) return at + refuseChunked();
                m_chunkLine.chop(1);
                const qsizetype semicolon = m_chunkLine.indexOf(';');
                const QByteArray digits = (semicolon < 0 ? m_chunkLine : m_chunkLine.left(semicolon)).trimmed();
                m_chunkLine.clear();
                if (digits.isEmpty() || digits.size() > 15 || !isHex(digits)) return at + refuseChunked();
                const qint64 chunkSize = digits.toLongLong(nullptr, 16);
                if (m_decoded + chunkSize > bodyCap()) {
                    refuse(413, m_route ? m_route->tooLargeDetail : QStringLiteral("request body too large"));
                    return at;
                }
                m_decoded += chunkSize;
                m_chunkLeft = chunkSize;
                m_chunk = chunkSize == 0 ? Chunk::lastEnd : Chunk::data;
                m_crlf = 0;
                continue;
            }
            // The CRLF after a chunk's data, or after the last (empty) chunk: no trailers.
            if (c != (m_crlf == 0 ? '\r' : '\n')) return at + refuseChunked();
            if (++m_crlf < 2) continue;
            if (m_chunk == Chunk::lastEnd) {
                m_requestBytes += at;
                finishRequest();
                return at;
            }
            m_chunk = Chunk::size;
        }
        m_requestBytes += at;
        if (m_phase != Phase::chunked) return at;
        if (m_framed > chunkAllowance()) {
            refuse(413, m_route ? m_route->tooLargeDetail : QStringLiteral("request body too large"));
            return at;
        }
        m_timer.start(limits().bodyIdleDeadline);
        return at;
    }

    qint64 refuseChunked() {
        refuse(400, QStringLiteral("malformed chunked body"));
        return 0;
    }

    void finishRequest() {
        ++m_requestsDone;
        m_phase = Phase::idle;
        m_head.clear();
        m_requestLineSize = -1;
        m_route = nullptr;
        m_routeName = kUnknownRoute;
        m_requestBytes = 0;
        m_blank = 0;
        m_bodyLeft = 0;
        m_decoded = 0;
        m_framed = 0;
        m_chunkLine.clear();
        if (repliesOwed())
            m_timer.stop();
        else
            m_timer.start(limits().idleDeadline);
    }

    // A WebSocket upgrade: once the handshake is answered with 101, the connection is the
    // WebSocket's, whose own limits apply (frames may be larger than any request). Any other
    // answer, or none in time, closes it.
    void stepAside() {
        m_phase = Phase::upgrading;
        m_timer.start(limits().headerDeadline);
        m_head.clear();
        m_socket->setReadBufferSize(0);
    }

    void refuse(int status, const QString& detail) {
        if (m_phase == Phase::closing) return;
        m_phase = Phase::closing;
        if (m_server && m_server->hooks().logRequest) m_server->hooks().logRequest(m_routeName, status);
        closeAfterReply(m_socket, refusal(status, detail), limits().lingerDeadline);
        m_timer.stop();
    }

    void timedOut() {
        switch (m_phase) {
        case Phase::idle:
            if (m_socket->bytesToWrite() > 0)
                m_socket->abort();
            else
                m_socket->disconnectFromHost();
            break;
        case Phase::head: refuse(408, QStringLiteral("the request headers did not arrive in time")); break;
        case Phase::body:
        case Phase::chunked: refuse(408, QStringLiteral("the request body stopped arriving")); break;
        case Phase::upgrading: m_socket->disconnectFromHost(); break;
        case Phase::upgraded:
        case Phase::closing: break;
        }
    }

    QPointer<GuardedTcpServer> m_server;
    GuardedSocket* m_socket;
    const ConnectionLimits m_limits = m_server ? m_server->limits() : ConnectionLimits{};
    QTimer m_timer;
    Clock::time_point m_lastActivity;
    Phase m_phase = Phase::idle;
    qint64 m_seenUnread = 0;  // bytes the parser left unread, already inspected

    // The request under way.
    QByteArray m_head;
    qsizetype m_requestLineSize = -1;  // with its LF, once it ended
    const RouteLimit* m_route = nullptr;
    QString m_routeName = kUnknownRoute;
    qint64 m_blank = 0;
    qint64 m_requestBytes = 0;  // of its line, headers and body so far
    qint64 m_bodyLeft = 0;
    Chunk m_chunk = Chunk::size;
    QByteArray m_chunkLine;
    qint64 m_chunkLeft = 0;
    qint64 m_decoded = 0;  // body bytes without the chunk framing
    qint64 m_framed = 0;   // body bytes with it
    int m_crlf = 0;

    int m_requestsDone = 0;
    int m_repliesDone = 0;
    ReplyCounter m_replies;
};

namespace {

qint64 GuardedSocket::writeData(const char* data, qint64 size) {
    if (guard) guard->outgoing(data, size);
    return QTcpSocket::writeData(data, size);
}

// Descriptors this process may still open.
int descriptorsLeft() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT_MAX;
    const auto open =
        qsizetype(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System).size());
    return int(std::min<rlim_t>(limit.rlim_cur, INT_MAX)) - int(open);
}

}  // namespace

GuardedTcpServer::GuardedTcpServer(std::vector<RouteLimit> routes, ConnectionLimits limits, Hooks hooks,
                                   QObject* parent)
    : QTcpServer(parent),
      m_routes(std::move(routes)),
      m_limits(limits),
      m_hooks(std::move(hooks)),
      m_maxConnections(std::max(1, std::min(limits.maxConnections, descriptorsLeft() - kDescriptorReserve))) {
    // Out of descriptors, the server stops accepting for good; make room and try again.
    connect(this, &QTcpServer::acceptError, this, [this] {
        makeRoom();
        QTimer::singleShot(kAcceptRetry, this, [this] { resumeAccepting(); });
    });
}

GuardedTcpServer::~GuardedTcpServer() {
    const std::vector<ConnectionGuard*> guards = m_connections;
    for (ConnectionGuard* guard : guards) guard->detach();
}

bool GuardedTcpServer::listenOn(const QHostAddress& address, quint16 port) {
    if (!listen(address, port)) return false;
    const QByteArray suffix = ':' + QByteArray::number(serverPort());
    m_allowedHosts = {"127.0.0.1" + suffix, "localhost" + suffix};
    if (address.protocol() == QAbstractSocket::IPv6Protocol && !address.isNull())
        m_allowedHosts << '[' + address.toString().toLatin1() + ']' + suffix;
    else if (address != QHostAddress(QHostAddress::LocalHost) && address != QHostAddress(QHostAddress::AnyIPv4))
        m_allowedHosts << address.toString().toLatin1() + suffix;
    return true;
}

const RouteLimit* GuardedTcpServer::route(const QByteArray& method, const QString& path) const {
    const auto it = std::find_if(m_routes.begin(), m_routes.end(),
                                 [&](const RouteLimit& r) { return r.method == method && r.path == path; });
    return it == m_routes.end() ? nullptr : &*it;
}

bool GuardedTcpServer::hostAllowed(const QByteArray& host) const {
    return std::any_of(m_allowedHosts.begin(), m_allowedHosts.end(),
                       [&](const QByteArray& allowed) { return allowed.compare(host, Qt::CaseInsensitive) == 0; });
}

void GuardedTcpServer::incomingConnection(qintptr descriptor) {
    const std::optional<uid_t> owner = PeerCredentials::tcpPeerOwner(int(descriptor));
    if (!owner || *owner != ::geteuid()) {
        if (m_hooks.log)
            m_hooks.log(owner ? QStringLiteral("refused a connection from another user (uid %1)").arg(*owner)
                              : QStringLiteral("refused a connection from a socket whose owner is unknown"));
        refuseConnection(descriptor, kForbidden);
        return;
    }
    if (openConnections() >= m_maxConnections && !makeRoom()) {
        // Every connection is owed a reply or is a stream: this one has to come back later.
        if (m_hooks.logRequest) m_hooks.logRequest(kUnknownRoute, 503);
        refuseConnection(descriptor, refusal(503, QStringLiteral("too many open connections")));
        return;
    }
    auto* socket = new GuardedSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    auto* guard = new ConnectionGuard(this, socket);
    m_connections.push_back(guard);
    addPendingConnection(socket);  // the HTTP server connects its parser here
    guard->followParser();
}

void GuardedTcpServer::refuseConnection(qintptr descriptor, const QByteArray& reply) {
    if (m_refusing >= kMaxRefusing) {
        ::close(int(descriptor));
        return;
    }
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        ::close(int(descriptor));
        delete socket;
        return;
    }
    ++m_refusing;
    connect(socket, &QObject::destroyed, [server = QPointer<GuardedTcpServer>(this)] {
        if (server) --server->m_refusing;
    });
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    closeAfterReply(socket, reply, m_limits.lingerDeadline);
}

bool GuardedTcpServer::makeRoom() {
    ConnectionGuard* victim = nullptr;
    int victimRank = 0;
    for (ConnectionGuard* guard : m_connections) {
        const std::optional<int> rank = guard->evictionRank();
        if (!rank) continue;
        if (!victim || *rank < victimRank || (*rank == victimRank && guard->lastActivity() < victim->lastActivity())) {
            victim = guard;
            victimRank = *rank;
        }
    }
    if (!victim) return false;
    victim->evict();
    return true;
}

void GuardedTcpServer::forget(ConnectionGuard* guard) {
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), guard), m_connections.end());
}
