#pragma once

#include <QByteArray>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QUrl>

#include <QCoro/QCoroTask>

#include <atomic>
#include <chrono>
#include <optional>

class QNetworkAccessManager;

// What came back from one HTTP exchange.
struct HttpResponse {
    bool received = false;  // an HTTP response arrived (any status)
    int status = 0;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;  // when nothing was received
    QString errorString;
    bool isSuccess() const { return received && status >= 200 && status < 300; }
};

// The process-wide HTTP session for requests to the vendor's cloud server: fixed time-outs, no
// cookies, and two default headers (keep-alive and the device identifier). It is warmed up at
// pipeline set-up so the first dictation finds a connection open, and pings the health endpoint.
// Lives on the main thread; its coroutines run there.
class NetworkSession : public QObject {
    Q_OBJECT
public:
    static constexpr auto kRequestTimeout = std::chrono::seconds(15);   // without any traffic
    static constexpr auto kResourceTimeout = std::chrono::seconds(30);  // whole request
    // The largest reply body taken from any server; a larger one is dropped unread and the
    // exchange fails, so a misbehaving peer cannot fill the memory.
    static constexpr qint64 kMaxReplyBytes = qint64{8} * 1024 * 1024;

    static NetworkSession& shared();
    // `deviceID` goes out as a default header on every request.
    explicit NetworkSession(const QString& deviceID, QObject* parent = nullptr);
    ~NetworkSession() override;

    QNetworkAccessManager* session() const { return m_session; }
    // A request to `url` carrying the session's default headers and time-out.
    QNetworkRequest makeRequest(const QUrl& url) const;
    // Sends `request` (normally from makeRequest) on the session, bounded by the resource time-out.
    QCoro::Task<HttpResponse> send(QNetworkRequest request, QByteArray verb, QByteArray body = {});
    // The same with a time-out of its own for the whole request (a long upload, a long answer).
    QCoro::Task<HttpResponse> send(QNetworkRequest request, QByteArray verb, QByteArray body,
                                   std::chrono::milliseconds resourceTimeout);

    QString serverURL() const { return m_serverURL; }
    bool isWarmed() const { return m_isWarmed.load(); }

    // Opens a connection to `serverURL` in the background; the outcome is only logged.
    void warmup(const QString& serverURL);
    // Round trip of one health request in milliseconds, or nothing.
    QCoro::Task<std::optional<double>> ping(QString serverURL);

    // ---- shared helpers for every client of the vendor's server ----

    // base + path by plain concatenation, when that is an absolute http(s) URL with a host.
    static std::optional<QUrl> joinURL(const QString& base, const QString& path);
    // The plain session (no default headers) for the account, analytics and settings requests.
    // Main thread only.
    static QNetworkAccessManager* platformSession();
    // Sends on `manager` and waits for the whole reply; a positive `totalTimeout` bounds it.
    static QCoro::Task<HttpResponse> perform(QNetworkAccessManager* manager, QNetworkRequest request, QByteArray verb,
                                             QByteArray body, std::chrono::milliseconds totalTimeout = {});
    // A time-out as the transfer time-outs of Qt 6.4's requests and managers take it.
    static int transferTimeout(std::chrono::milliseconds timeout) { return static_cast<int>(timeout.count()); }
    // Requests sent through perform() (or send()) that have not finished yet, across the process.
    // Lets shut-down and tests wait until nothing is left in flight.
    static int requestsInFlight();
    // Stops every request in flight that carries a bearer token: at sign-out nothing may go on
    // speaking for the account. Each ends as cancelled. Answers how many were stopped.
    static int abortAccountRequests();

private:
    QCoro::Task<void> runWarmup(QUrl url, QString serverURL);

    QNetworkAccessManager* m_session = nullptr;
    QByteArray m_deviceID;
    QString m_serverURL;
    std::atomic<bool> m_isWarmed{false};
};
