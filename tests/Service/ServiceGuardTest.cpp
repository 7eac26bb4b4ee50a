// The local service's defences at the connection level: who may connect, which Host, how much a
// request may send and for how long, and what reaches the log. Raw sockets show what the
// program's own clients never send.
#include "PeerCredentials.h"
#include "RouteLimits.h"
#include "ServiceLog.h"
#include "VantroseService.h"

#include "Foundation/Config.h"
#include "Foundation/StringShield.h"
#include "support/ConsentBrowser.h"
#include "support/TestEnvironment.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;

struct Reply {
    int status = 0;
    QByteArray head;
    QByteArray body;
    QString detail() const { return QJsonDocument::fromJson(body).object().value("detail").toString(); }
};

// The whole replies in what a connection received (each carries its Content-Length).
QList<Reply> parseReplies(const QByteArray& bytes) {
    QList<Reply> out;
    qsizetype at = 0;
    for (;;) {
        const qsizetype end = bytes.indexOf("\r\n\r\n", at);
        if (end < 0) break;
        Reply reply;
        reply.head = bytes.mid(at, end - at);
        reply.status = reply.head.mid(9, 3).toInt();
        qsizetype length = 0;
        for (const QByteArray& line : reply.head.split('\n'))
            if (line.toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
        if (bytes.size() < end + 4 + length) break;
        reply.body = bytes.mid(end + 4, length);
        out << reply;
        at = end + 4 + length;
    }
    return out;
}

// A client that sends exactly the bytes it is given.
class RawClient {
public:
    explicit RawClient(quint16 port) { m_socket.connectToHost(QHostAddress(QHostAddress::LocalHost), port); }
    bool connected() {
        return waitUntil([this] { return m_socket.state() == QAbstractSocket::ConnectedState; });
    }
    // Sent once connected when the connection is still being made.
    void send(const QByteArray& bytes) {
        m_socket.write(bytes);
        if (m_socket.state() == QAbstractSocket::ConnectedState) m_socket.flush();
    }
    QList<Reply> replies(int count, std::chrono::milliseconds timeout = 5s) {
        waitUntil(
            [&] {
                pump();
                return parseReplies(m_received).size() >= count;
            },
            timeout);
        return parseReplies(m_received);
    }
    std::optional<Reply> reply(std::chrono::milliseconds timeout = 5s) {
        const QList<Reply> all = replies(1, timeout);
        return all.isEmpty() ? std::nullopt : std::optional<Reply>(all.first());
    }
    // Whether the service closed the connection.
    bool closed(std::chrono::milliseconds timeout = 5s) {
        return waitUntil(
            [this] {
                pump();
                return m_socket.state() == QAbstractSocket::UnconnectedState;
            },
            timeout);
    }
    qint64 bytesToWrite() const { return m_socket.bytesToWrite(); }
    // Connected, or turned away: no longer waiting for the service to accept.
    bool settled() const {
        return m_socket.state() != QAbstractSocket::HostLookupState &&
               m_socket.state() != QAbstractSocket::ConnectingState;
    }

private:
    void pump() { m_received += m_socket.readAll(); }

    QTcpSocket m_socket;
    QByteArray m_received;
};

class ServiceGuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dataDir.isValid());
        ServiceOptions options;
        options.dataDir = dataDir.path();
        options.port = 0;
        options.clientId = Config::googleClientID();
        options.urlScheme = Config::urlScheme();
        options.login = QStringLiteral("ada");
        options.connections = limits;
        options.log = [this](const QString& line) { logLines << line; };
        service = std::make_unique<VantroseService>(options);
        ASSERT_NE(service->listen(), 0);
    }

    QString base() const { return service->baseUrl(); }
    QByteArray host() const { return "127.0.0.1:" + QByteArray::number(service->port()); }

    // A request's line and headers, with this service's Host unless `headers` names one.
    QByteArray head(const QByteArray& method, const QByteArray& target, const QByteArray& headers = {}) const {
        QByteArray out = method + ' ' + target + " HTTP/1.1\r\n";
        if (!headers.toLower().contains("host:")) out += "Host: " + host() + "\r\n";
        return out + headers + "\r\n";
    }

    // The consent page's address for a sign-in with `verifier`.
    QUrl consentPage(const QString& verifier) const {
        QUrlQuery query;
        query.addQueryItem("client_id", Config::googleClientID());
        query.addQueryItem("redirect_uri", base() + StringShield::pathAuthCallback());
        query.addQueryItem("response_type", "code");
        query.addQueryItem("code_challenge_method", "S256");
        query.addQueryItem(
            "code_challenge",
            QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                    .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)));
        QUrl page(base() + RouteLimits::authorizePath());
        page.setQuery(query);
        return page;
    }

    // An access token for the local account, the way a browser and the program get one.
    QString signIn() {
        const QString verifier = QString(48, QLatin1Char('v'));
        QString error;
        const QUrl callback = acceptConsent(consentPage(verifier), &error);
        EXPECT_TRUE(callback.isValid()) << error.toStdString();
        const HttpResult tokens =
            httpRequest("POST", QUrl(base() + StringShield::pathAuthToken()),
                        QJsonDocument(QJsonObject{{"code", QUrlQuery(callback).queryItemValue("code")},
                                                  {"code_verifier", verifier}})
                            .toJson());
        return tokens.json().value("tokens").toObject().value("access_token").toString();
    }

    ConnectionLimits limits;
    QTemporaryDir dataDir;
    std::unique_ptr<VantroseService> service;
    QStringList logLines;
};

// ---------------------------------------------------------------- who may connect

// A local account made for one test and removed after it.
class SecondUser {
public:
    SecondUser() : m_name(QStringLiteral("vtguard%1").arg(::getpid() % 100000)) {
        QProcess add;
        add.start("useradd", {"-M", "-r", "-s", "/bin/bash", m_name});
        if (!add.waitForFinished(30000) || add.exitStatus() != QProcess::NormalExit || add.exitCode() != 0)
            m_problem = QString::fromLocal8Bit(add.readAllStandardError()).trimmed() + add.errorString();
    }
    ~SecondUser() {
        if (m_problem.isEmpty()) QProcess::execute("userdel", {m_name});
    }
    SecondUser(const SecondUser&) = delete;
    SecondUser& operator=(const SecondUser&) = delete;

    bool created() const { return m_problem.isEmpty(); }
    QString problem() const { return m_problem; }
    const QString& name() const { return m_name; }

private:
    QString m_name;
    QString m_problem;
};

// curl's whole reply (status line, headers, body) to one request, as `user` (empty: this
// process's own user). The event loop keeps running meanwhile: the service is in this process.
QByteArray curl(const QString& user, const QStringList& arguments) {
    QProcess process;
    QStringList command{"-s", "-i", "--max-time", "3"};
    command << arguments;
    if (user.isEmpty()) {
        process.start("curl", command);
    } else {
        process.start("runuser", QStringList{"-u", user, "--", "curl"} + command);
    }
    waitUntil([&] { return process.state() == QProcess::NotRunning; }, 20s);
    return process.readAllStandardOutput();
}

int statusOf(const QByteArray& reply) { return reply.left(reply.indexOf('\n')).mid(9, 3).toInt(); }

TEST_F(ServiceGuardTest, AnotherLocalUserGetsNothingAndTheOwnerIsStillServed) {
    if (::geteuid() != 0) GTEST_SKIP() << "creating a second local user needs root";
    for (const char* tool : {"useradd", "userdel", "runuser", "curl"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed";
    const SecondUser other;
    if (!other.created()) GTEST_SKIP() << "cannot create a second local user: " << other.problem().toStdString();

    const QString token = signIn();
    ASSERT_FALSE(token.isEmpty());
    const QByteArray authorization = "Authorization: Bearer " + token.toLatin1();
    ASSERT_EQ(httpRequest("PUT", QUrl(base() + "/settings"), R"({"settings":{"writingStyle":"formal"}})",
                          {{"Authorization", "Bearer " + token.toLatin1()}})
                  .status,
              200);
    QUrl ws(base() + StringShield::pathWSTranscribe());
    struct Case {
        const char* name;
        QStringList arguments;
    };
    const Case cases[] = {
        {"health", {base() + StringShield::pathHealth()}},
        {"consent page", {consentPage(QString(48, 'v')).toString(QUrl::FullyEncoded)}},
        {"settings read with the owner's token", {"-H", authorization, base() + "/settings"}},
        {"settings write with the owner's token",
         {"-X", "PUT", "-H", authorization, "-H", "Content-Type: application/json", "--data",
          R"({"settings":{"writingStyle":"casual"}})", base() + "/settings"}},
        {"code exchange",
         {"-H", "Content-Type: application/json", "--data", R"({"code":"x","code_verifier":"y"})",
          base() + StringShield::pathAuthToken()}},
        {"streaming WebSocket",
         {"-H", authorization, "-H", "Connection: Upgrade", "-H", "Upgrade: websocket", "-H",
          "Sec-WebSocket-Version: 13", "-H", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==", ws.toString()}},
    };
    for (const Case& c : cases) {
        const QByteArray theirs = curl(other.name(), c.arguments);
        EXPECT_EQ(statusOf(theirs), 403) << c.name << ": " << theirs.left(300).toStdString();
        EXPECT_FALSE(theirs.contains("nonce")) << c.name;
        EXPECT_FALSE(theirs.contains("formal")) << c.name;
    }
    // The refused write changed nothing; each refusal is one line, without the request.
    const auto style = [&] {
        return httpRequest("GET", QUrl(base() + "/settings"), {}, {{"Authorization", "Bearer " + token.toLatin1()}})
            .json()
            .value("settings")
            .toObject()
            .value("writingStyle");
    };
    EXPECT_EQ(style(), "formal");
    EXPECT_EQ(logLines.filter("refused a connection from another user").size(), qsizetype(std::size(cases)))
        << logLines.join('\n').toStdString();
    EXPECT_TRUE(logLines.filter("casual").isEmpty());

    // The same requests from the owner, with the same client, are answered.
    for (const Case& c : cases) {
        const int ours = statusOf(curl({}, c.arguments));
        EXPECT_NE(ours, 403) << c.name;
        EXPECT_NE(ours, 0) << c.name;
    }
    EXPECT_EQ(style(), "casual");
}

TEST(PeerCredentialsTest, TheKernelNamesTheOwnerOfALoopbackPeerWhileItIsOpen) {
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    ASSERT_TRUE(waitUntil([&] { return listener.hasPendingConnections(); }));
    std::unique_ptr<QTcpSocket> accepted(listener.nextPendingConnection());
    const int fd = int(accepted->socketDescriptor());

    using Lookup = std::optional<uid_t> (*)(int);
    const std::pair<const char*, Lookup> lookups[] = {{"netlink", &PeerCredentials::tcpPeerOwnerByNetlink},
                                                      {"/proc/net/tcp", &PeerCredentials::tcpPeerOwnerByProcTable},
                                                      {"either", &PeerCredentials::tcpPeerOwner}};
    for (const auto& [name, lookup] : lookups) EXPECT_EQ(lookup(fd), std::optional<uid_t>(::geteuid())) << name;

    // Once the peer has let go of its socket, nobody owns it any more.
    client.abort();
    ASSERT_TRUE(waitUntil(
        [&] { return !PeerCredentials::tcpPeerOwnerByNetlink(fd) && !PeerCredentials::tcpPeerOwnerByProcTable(fd); }));
}

// ---------------------------------------------------------------- which Host

TEST_F(ServiceGuardTest, OnlyItsOwnAddressAndPortAreAnsweredForAsHost) {
    const QByteArray port = QByteArray::number(service->port());
    const QByteArray page = consentPage(QString(48, 'v')).toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
    const QByteArray upgrade =
        "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const QByteArray events = StringShield::pathEvents().toLatin1();
    struct Case {
        const char* name;
        QByteArray request;
        int status;
    };
    const Case cases[] = {
        {"own address", head("GET", page), 200},
        {"own name, any case", head("GET", "/health", "Host: LocalHost:" + port + "\r\n"), 200},
        {"rebound name: consent page", head("GET", page, "Host: attacker.example:" + port + "\r\n"), 421},
        {"rebound name: events",
         head("POST", events, "Host: attacker.example:" + port + "\r\nX-Device-ID: d\r\nContent-Length: 2\r\n") + "{}",
         421},
        {"rebound name: WebSocket",
         head("GET", StringShield::pathWSTranscribe().toLatin1(), "Host: attacker.example:" + port + "\r\n" + upgrade),
         421},
        {"another port", head("GET", "/health", "Host: 127.0.0.1:" + QByteArray::number(service->port() + 1) + "\r\n"),
         421},
        {"no port", head("GET", "/health", "Host: 127.0.0.1\r\n"), 421},
        {"no Host", "GET /health HTTP/1.0\r\n\r\n", 400},
        {"two Hosts", head("GET", "/health", "Host: " + host() + "\r\nHost: attacker.example\r\n"), 400},
    };
    for (const Case& c : cases) {
        RawClient client(service->port());
        ASSERT_TRUE(client.connected()) << c.name;
        client.send(c.request);
        const std::optional<Reply> reply = client.reply();
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->status, c.status) << c.name << ": " << reply->body.toStdString();
        if (c.status != 200) {
            EXPECT_FALSE(reply->body.contains("nonce")) << c.name;
            EXPECT_TRUE(client.closed()) << c.name;
        }
    }
    EXPECT_EQ(service->store().eventCount(), 0);
}

// ---------------------------------------------------------------- how much

TEST_F(ServiceGuardTest, OversizeRequestsAreRefusedBeforeTheirBodyIsRead) {
    const QByteArray bearer = "Authorization: Bearer " + signIn().toLatin1() + "\r\n";
    const QByteArray transcribe = StringShield::pathTranscribe().toLatin1();
    const QByteArray length = "Content-Length: ";
    struct Case {
        const char* name;
        QByteArray request;  // line and headers only: the body is never sent
        int status;
        QString detail;
    };
    const Case cases[] = {
        {"a recording past ten minutes",
         head("POST", transcribe, bearer + length + QByteArray::number(RouteLimits::kTranscribeBody + 1) + "\r\n"), 413,
         "audio is longer than ten minutes"},
        {"a recording without a bearer", head("POST", transcribe, length + "1000\r\n"), 401, "Not authenticated"},
        {"an analytics batch past its cap",
         head("POST", StringShield::pathEvents().toLatin1(),
              "X-Device-ID: d\r\n" + length + QByteArray::number(RouteLimits::kJsonBody + 1) + "\r\n"),
         413, "request body too large"},
        {"a consent form past its cap",
         head("POST", RouteLimits::authorizePath().toLatin1(),
              length + QByteArray::number(RouteLimits::kConsentForm + 1) + "\r\n"),
         413, "request body too large"},
        {"a body on GET /health", head("GET", "/health", length + "10\r\n"), 413, "request body too large"},
        {"a body on an unknown route", head("POST", "/nowhere", length + "10\r\n"), 413, "request body too large"},
        {"a Content-Length past any number",
         head("POST", "/auth/refresh", length + "99999999999999999999\r\n"),
         400,
         {}},
        {"a header name the HTTP parser drops every header for",
         head("GET", StringShield::pathWSTranscribe().toLatin1(),
              "Connection: Upgrade\r\nUpgrade: websocket\r\nSec)WebSocket-Version: 13\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
         400, "malformed request header"},
        {"Content-Length and chunked together",
         head("POST", "/auth/refresh", length + "10\r\nTransfer-Encoding: chunked\r\n"),
         400,
         {}},
        {"a header block past its cap", head("GET", "/health", "X-Filler: " + QByteArray(20 * 1024, 'a') + "\r\n"), 431,
         "request headers too large"},
        {"a request line past its cap", head("GET", "/health?" + QByteArray(9 * 1024, 'a')), 414,
         "request line too long"},
    };
    for (const Case& c : cases) {
        RawClient client(service->port());
        ASSERT_TRUE(client.connected()) << c.name;
        client.send(c.request);
        const std::optional<Reply> reply = client.reply();
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->status, c.status) << c.name << ": " << reply->body.toStdString();
        if (!c.detail.isEmpty()) {
            EXPECT_EQ(reply->detail(), c.detail) << c.name;
        }
        EXPECT_TRUE(client.closed()) << c.name;
    }

    // Headers that never end and a chunked body that never ends are both cut off at their cap.
    const auto endless = [&](const QByteArray& start, const QByteArray& piece, int expected) {
        RawClient client(service->port());
        ASSERT_TRUE(client.connected());
        client.send(start);
        qint64 sent = start.size();
        std::optional<Reply> reply;
        while (!reply && sent < 64 * 1024 * 1024) {
            client.send(piece);
            sent += piece.size();
            waitUntil([&] { return client.bytesToWrite() < 1024 * 1024; });
            reply = client.reply(1ms);
        }
        ASSERT_TRUE(reply) << start.toStdString();
        EXPECT_EQ(reply->status, expected) << start.toStdString();
        EXPECT_TRUE(client.closed());
    };
    endless("GET /health HTTP/1.1\r\nHost: " + host() + "\r\nX-Filler: ", QByteArray(64 * 1024, 'a'), 431);
    QByteArray chunk = QByteArray::number(64 * 1024, 16) + "\r\n" + QByteArray(64 * 1024, '{') + "\r\n";
    endless(head("POST", StringShield::pathEvents().toLatin1(), "X-Device-ID: d\r\nTransfer-Encoding: chunked\r\n"),
            chunk, 413);

    // A ten-minute recording still goes in whole: the route itself reads it (and finds no audio).
    const QByteArray recording =
        R"({"audio":")" + QByteArray(RouteLimits::kTranscribeBody - 1024 * 1024, '*') + R"("})";
    const HttpResult whole = httpRequest("POST", QUrl(base() + StringShield::pathTranscribe()), recording,
                                         {{"Authorization", bearer.mid(15).trimmed()}});
    EXPECT_EQ(whole.status, 422) << whole.body.toStdString();
    EXPECT_EQ(whole.json().value("detail"), "audio is not Base64");

    // Requests within their caps, chunked or pipelined on one connection, are answered in turn.
    RawClient client(service->port());
    ASSERT_TRUE(client.connected());
    client.send(head("GET", "/health") + head("POST", "/auth/refresh", "Transfer-Encoding: chunked\r\n") +
                "5\r\n{\"a\":\r\n2;x=y\r\n1}\r\n0\r\n\r\n" + head("GET", "/health"));
    const QList<Reply> replies = client.replies(3);
    ASSERT_EQ(replies.size(), 3);
    EXPECT_EQ(replies[0].status, 200);
    EXPECT_EQ(replies[1].status, 400);  // the route's own answer: no refresh token in {"a":1}
    EXPECT_EQ(replies[1].detail(), "refresh_token is required");
    EXPECT_EQ(replies[2].status, 200);
}

// ---------------------------------------------------------------- for how long

class SlowClientTest : public ServiceGuardTest {
protected:
    SlowClientTest() {
        limits.headerDeadline = 300ms;
        limits.bodyIdleDeadline = 300ms;
        limits.idleDeadline = 300ms;
    }
};

TEST_F(SlowClientTest, ConnectionsThatStallAreClosed) {
    struct Case {
        const char* name;
        QByteArray sent;
        int status;  // 0: closed without a reply
    };
    const Case cases[] = {
        {"headers that stop half-way", "GET /health HTTP/1.1\r\nHost: " + host() + "\r\n", 408},
        {"a body that stops half-way",
         head("POST", StringShield::pathEvents().toLatin1(), "X-Device-ID: d\r\nContent-Length: 100\r\n") + "{\"ev",
         408},
        {"nothing at all", {}, 0},
        {"nothing more after a reply", head("GET", "/health"), 200},
    };
    for (const Case& c : cases) {
        RawClient client(service->port());
        ASSERT_TRUE(client.connected()) << c.name;
        client.send(c.sent);
        EXPECT_TRUE(client.closed(3s)) << c.name;
        const QList<Reply> replies = client.replies(0, 0ms);
        if (c.status == 0) {
            EXPECT_TRUE(replies.isEmpty()) << c.name;
        } else {
            ASSERT_EQ(replies.size(), 1) << c.name;
            EXPECT_EQ(replies[0].status, c.status) << c.name;
        }
    }
    EXPECT_TRUE(waitUntil([&] { return service->connections()->openConnections() == 0; }));
}

// Connections from another process, each holding half a request, open until the crowd is
// destroyed. The child makes only plain system calls (it is forked from a threaded process).
class SlowCrowd {
public:
    SlowCrowd(quint16 port, int count, const QByteArray& halfRequest) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int ready[2];
        int hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0) return;
        m_child = ::fork();
        if (m_child == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
            const timeval patience{0, 200000};  // a connection the service never takes is left behind
            for (int i = 0; i < count; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
                if (fd < 0) break;
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0)
                    (void)!::write(fd, halfRequest.constData(), size_t(halfRequest.size()));
            }
            char done = 'r';
            (void)!::write(ready[1], &done, 1);
            (void)!::read(hold[0], &done, 1);  // until the parent lets go
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        m_ready = ready[0];
        m_hold = hold[1];
    }
    ~SlowCrowd() {
        if (m_hold >= 0) ::close(m_hold);
        if (m_ready >= 0) ::close(m_ready);
        if (m_child > 0) ::waitpid(m_child, nullptr, 0);
    }
    SlowCrowd(const SlowCrowd&) = delete;
    SlowCrowd& operator=(const SlowCrowd&) = delete;

    // Whether every connection was tried; the service keeps running meanwhile.
    bool arrived(std::chrono::milliseconds timeout) const {
        return waitUntil(
            [this] {
                pollfd ready{m_ready, POLLIN, 0};
                return ::poll(&ready, 1, 0) == 1;
            },
            timeout);
    }

private:
    pid_t m_child = -1;
    int m_ready = -1;
    int m_hold = -1;
};

// Hundreds of half-sent requests while descriptors run short, as they would near the usual
// limit of 1,024: the service keeps answering.
class CrowdedServiceTest : public ServiceGuardTest {
protected:
    CrowdedServiceTest() {
        limits.maxConnections = 32;
        limits.headerDeadline = 60s;  // the crowd would otherwise leave by itself
        limits.idleDeadline = 60s;
    }
    void SetUp() override {
        ServiceGuardTest::SetUp();
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        const auto open = rlim_t(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System).size());
        rlimit lowered = saved;
        lowered.rlim_cur = std::min(saved.rlim_cur, open + 100);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    void TearDown() override { ::setrlimit(RLIMIT_NOFILE, &saved); }

    rlimit saved{};
};

TEST_F(CrowdedServiceTest, HealthAnswersWhileHundredsOfRequestsHangHalfSent) {
    const SlowCrowd crowd(service->port(), 300, "GET /health HTTP/1.1\r\nHost: " + host() + "\r\nX-Half: ");
    ASSERT_TRUE(crowd.arrived(60s));
    for (int round = 0; round < 3; ++round) {
        const HttpResult health = httpRequest("GET", QUrl(base() + StringShield::pathHealth()));
        EXPECT_EQ(health.status, 200) << round;
    }
    EXPECT_LE(service->connections()->openConnections(), 32);
}

// ---------------------------------------------------------------- what is logged

TEST_F(ServiceGuardTest, TheLogNamesOnlyKnownRoutes) {
    const QByteArray forged = "/x%0D%0Avantrose-service:%20/settings%20200%1B[2J";
    const QByteArray requests[] = {
        head("GET", forged),
        head("GET", "/\x1b[31mred"),
        head("GET", "/" + QByteArray(7 * 1024, 'p')),
        head("GET", "/" + QByteArray(64 * 1024, 'p')),
        head("GET", forged,
             "Connection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Version: 13\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"),
    };
    for (const QByteArray& request : requests) {
        RawClient client(service->port());
        ASSERT_TRUE(client.connected());
        client.send(request);
        const std::optional<Reply> reply = client.reply();
        ASSERT_TRUE(reply);
        EXPECT_GE(reply->status, 400);
    }
    ASSERT_EQ(logLines.size(), qsizetype(std::size(requests))) << logLines.join('\n').toStdString();
    static const QRegularExpression shape(R"(^vantrose-service: unknown route \d{3}$)");
    for (const QString& line : logLines) EXPECT_TRUE(shape.match(line).hasMatch()) << line.toStdString();
}

TEST(ServiceLogTest, StaysUnderItsCapWithOneOlderFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("service.log");
    {
        QFile existing(path);  // made by the start script with the usual mode
        ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
        existing.write("started\n");
    }
    ASSERT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    constexpr qint64 cap = 1000;
    ServiceLog log;
    ASSERT_TRUE(log.open(path, cap, false));
    for (int i = 0; i < 500; ++i) log.write(QStringLiteral("vantrose-service: /health 200 #%1").arg(i));

    const QString older = path + ".1";
    ASSERT_TRUE(QFile::exists(older));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
    for (const QString& file : {path, older}) {
        EXPECT_LE(QFileInfo(file).size(), cap + 64) << file.toStdString();
        EXPECT_EQ(QFileInfo(file).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther),
                  QFile::Permissions())
            << file.toStdString();
    }
    QFile current(path);
    ASSERT_TRUE(current.open(QIODevice::ReadOnly));
    EXPECT_TRUE(current.readAll().endsWith("#499\n"));
}

// ---------------------------------------------------------------- consent pages, data folder

TEST_F(ServiceGuardTest, ABurstOfConsentPagesPushesOutOnlyTheOldest) {
    const auto nonceOf = [](const QByteArray& page) {
        return QRegularExpression(R"re(name="nonce" value="([^"]+)")re").match(QString::fromUtf8(page)).captured(1);
    };
    QStringList nonces;
    for (int i = 0; i < 65; ++i) {
        const HttpResult page = httpRequest("GET", consentPage(QString(48, 'v')));
        ASSERT_EQ(page.status, 200);
        nonces << nonceOf(page.body);
    }
    const auto consent = [&](const QString& nonce) {
        return httpRequest("POST", QUrl(base() + RouteLimits::authorizePath()), "nonce=" + nonce.toLatin1(),
                           {{"Content-Type", "application/x-www-form-urlencoded"}})
            .status;
    };
    EXPECT_EQ(consent(nonces[1]), 302);  // loaded before the last 63 and still pending
    EXPECT_EQ(consent(nonces[64]), 302);
    EXPECT_EQ(consent(nonces[0]), 400);  // the oldest made room
}

TEST(ServiceDataFolderTest, OnlyAFolderTheServiceCreatesIsMadePrivate) {
    QTemporaryDir root;
    struct Case {
        const char* name;
        QString path;
        std::optional<mode_t> existingMode;
        mode_t expected;
    };
    const Case cases[] = {
        {"a shared folder", root.filePath("shared"), S_IRWXU | S_IRWXG | S_IRWXO | S_ISVTX,
         S_IRWXU | S_IRWXG | S_IRWXO | S_ISVTX},
        {"the user's own folder", root.filePath("own"), S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH,
         S_IRWXU | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH},
        {"a new folder", root.filePath("new/service"), std::nullopt, S_IRWXU},
    };
    for (const Case& c : cases) {
        if (c.existingMode) {
            ASSERT_TRUE(QDir().mkpath(c.path));
            ASSERT_EQ(::chmod(QFile::encodeName(c.path).constData(), *c.existingMode), 0);
        }
        ServiceOptions options;
        options.dataDir = c.path;
        options.clientId = Config::googleClientID();
        VantroseService service(options);
        struct stat info {};
        ASSERT_EQ(::stat(QFile::encodeName(c.path).constData(), &info), 0) << c.name;
        EXPECT_EQ(info.st_mode & 07777, c.expected) << c.name;
    }
}

}  // namespace
