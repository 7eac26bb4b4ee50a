#include "Core/Cloud/NetworkSession.h"

#include "Core/LogCategories.h"
#include "Core/Services/Analytics.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/StringShield.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <QCoro/QCoroNetworkReply>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace {

std::atomic<int> g_requestsInFlight{0};

// The replies in flight whose requests carry the account's token.
std::mutex g_accountRepliesLock;
std::vector<QPointer<QNetworkReply>> g_accountReplies;

struct AccountRequest {
    explicit AccountRequest(QNetworkReply* reply) : reply(reply) {
        std::lock_guard lock(g_accountRepliesLock);
        g_accountReplies.emplace_back(reply);
    }
    ~AccountRequest() {
        std::lock_guard lock(g_accountRepliesLock);
        std::erase_if(g_accountReplies, [this](const QPointer<QNetworkReply>& r) { return r.isNull() || r == reply; });
    }
    AccountRequest(const AccountRequest&) = delete;
    AccountRequest& operator=(const AccountRequest&) = delete;
    QNetworkReply* reply;
};

struct InFlight {
    InFlight() { g_requestsInFlight.fetch_add(1); }
    ~InFlight() { g_requestsInFlight.fetch_sub(1); }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
};

struct DeleteLater {
    void operator()(QObject* o) const {
        if (o) o->deleteLater();
    }
};

// Process-wide objects live on the main thread even when first asked for elsewhere.
template <typename T>
T* adoptOnMainThread(T* object) {
    if (auto* app = QCoreApplication::instance(); app && object->thread() != app->thread())
        object->moveToThread(app->thread());
    return object;
}

}  // namespace

NetworkSession& NetworkSession::shared() {
    // Created once and kept for the process (it is never torn down while requests may run).
    static NetworkSession* instance = adoptOnMainThread(new NetworkSession(Analytics::shared().deviceID()));
    return *instance;
}

NetworkSession::NetworkSession(const QString& deviceID, QObject* parent)
    : QObject(parent),
      m_session(new QNetworkAccessManager(this)),
      m_deviceID(deviceID.toUtf8()) {
    // Qt fails at once when offline rather than waiting for connectivity, and keeps at most six
    // connections per host; the cookie attributes are set per request in makeRequest().
    m_session->setTransferTimeout(kRequestTimeoutMs);
}

NetworkSession::~NetworkSession() = default;

QNetworkRequest NetworkSession::makeRequest(const QUrl& url) const {
    QNetworkRequest request(url);
    request.setRawHeader(StringShield::hdrConnection().toUtf8(), StringShield::valKeepAlive().toUtf8());
    request.setRawHeader(StringShield::hdrDeviceID().toUtf8(), m_deviceID);
    request.setTransferTimeout(kRequestTimeoutMs);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    return request;
}

QCoro::Task<HttpResponse> NetworkSession::send(QNetworkRequest request, QByteArray verb, QByteArray body) {
    return perform(m_session, request, std::move(verb), std::move(body), kResourceTimeoutMs);
}

QCoro::Task<HttpResponse> NetworkSession::send(QNetworkRequest request, QByteArray verb, QByteArray body,
                                               std::chrono::milliseconds resourceTimeout) {
    return perform(m_session, request, std::move(verb), std::move(body), static_cast<int>(resourceTimeout.count()));
}

std::optional<QUrl> NetworkSession::joinURL(const QString& base, const QString& path) {
    const QUrl url(base + path, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || (scheme != "http" && scheme != "https"))
        return std::nullopt;
    return url;
}

QNetworkAccessManager* NetworkSession::platformSession() {
    static QPointer<QNetworkAccessManager> manager;
    if (!manager) {
        manager = new QNetworkAccessManager(QCoreApplication::instance());
    }
    return manager;
}

QCoro::Task<HttpResponse> NetworkSession::perform(QNetworkAccessManager* manager, QNetworkRequest request,
                                                  QByteArray verb, QByteArray body, int totalTimeoutMs) {
    const InFlight inFlight;
    HttpResponse out;
    QNetworkReply* raw = nullptr;
    if (verb == "GET")
        raw = manager->get(request);
    else if (verb == "POST")
        raw = manager->post(request, body);
    else if (verb == "PUT")
        raw = manager->put(request, body);
    else
        raw = manager->sendCustomRequest(request, verb, body);
    std::unique_ptr<QNetworkReply, DeleteLater> owner(raw);
    QPointer<QNetworkReply> reply(raw);  // the manager deletes its replies when it goes first
    std::optional<AccountRequest> forAccount;
    if (request.hasRawHeader(StringShield::hdrAuth().toUtf8())) forAccount.emplace(raw);

    bool timedOut = false;
    QTimer deadline;
    if (totalTimeoutMs > 0) {
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, raw, [&timedOut, raw] {
            timedOut = true;
            raw->abort();
        });
        deadline.start(totalTimeoutMs);
    }
    bool tooLarge = false;
    auto enforceCap = [&tooLarge, raw](qint64 size) {
        if (size <= kMaxReplyBytes || tooLarge) return;
        tooLarge = true;
        raw->abort();
    };
    QObject::connect(raw, &QNetworkReply::metaDataChanged, raw, [raw, enforceCap] {
        const QVariant length = raw->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid()) enforceCap(length.toLongLong());
    });
    QObject::connect(raw, &QNetworkReply::downloadProgress, raw,
                     [enforceCap](qint64 received, qint64) { enforceCap(received); });
    if (!reply->isFinished()) co_await qCoro(raw).waitForFinished();
    deadline.stop();
    if (!reply) {
        static_cast<void>(owner.release());  // the reply is gone already
        out.error = QNetworkReply::OperationCanceledError;
        out.errorString = QStringLiteral("The request was cancelled.");
        co_return out;
    }

    if (tooLarge) {
        out.error = QNetworkReply::UnknownContentError;
        out.errorString = QStringLiteral("The reply is larger than %1 bytes.").arg(kMaxReplyBytes);
        VLOG_WARNING(lcNetworkSession) << QStringLiteral("Dropped a reply larger than %1 bytes").arg(kMaxReplyBytes);
        co_return out;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !timedOut) {
        out.received = true;
        out.status = status.toInt();
        out.body = reply->readAll();
    } else {
        out.error = timedOut ? QNetworkReply::TimeoutError : reply->error();
        out.errorString = timedOut ? QStringLiteral("The request timed out.") : reply->errorString();
    }
    co_return out;
}

int NetworkSession::requestsInFlight() { return g_requestsInFlight.load(); }

int NetworkSession::abortAccountRequests() {
    std::vector<QPointer<QNetworkReply>> replies;
    {
        std::lock_guard lock(g_accountRepliesLock);
        replies = g_accountReplies;
    }
    int stopped = 0;
    for (const QPointer<QNetworkReply>& reply : replies) {
        if (!reply || reply->isFinished()) continue;
        reply->abort();
        ++stopped;
    }
    if (stopped > 0)
        VLOG_INFO(lcNetworkSession) << QStringLiteral("Stopped %1 request(s) of the signed-out account").arg(stopped);
    return stopped;
}

void NetworkSession::warmup(const QString& serverURL) {
    m_serverURL = serverURL;
    const auto url = joinURL(serverURL, StringShield::pathHealth());
    if (!url) return;
    (void)runWarmup(*url, serverURL);
}

QCoro::Task<void> NetworkSession::runWarmup(QUrl url, QString serverURL) {
    QPointer<NetworkSession> self(this);
    const double start = Clock::current().monotonicSeconds();
    const HttpResponse response = co_await send(makeRequest(url), "GET");
    if (!self) co_return;
    const double elapsedMs = (Clock::current().monotonicSeconds() - start) * 1000.0;
    if (response.received && response.status == 200) {
        m_isWarmed.store(true);
        VLOG_INFO(lcNetworkSession) << QStringLiteral("Connection pre-warmed to %1 [%2ms]")
                                           .arg(serverURL, QString::asprintf("%.0f", elapsedMs));
    } else {
        VLOG_WARNING(lcNetworkSession) << QStringLiteral("Warmup failed — %1")
                                              .arg(response.received ? QStringLiteral("unknown")
                                                                     : response.errorString);
    }
}

QCoro::Task<std::optional<double>> NetworkSession::ping(QString serverURL) {
    const auto url = joinURL(serverURL, StringShield::pathHealth());
    if (!url) co_return std::nullopt;
    const double start = Clock::current().monotonicSeconds();
    const HttpResponse response = co_await send(makeRequest(*url), "GET");
    if (response.received) {
        if (response.status != 200) co_return std::nullopt;
        co_return (Clock::current().monotonicSeconds() - start) * 1000.0;
    }
    VLOG_WARNING(lcNetworkSession) << QStringLiteral("Ping failed — %1").arg(response.errorString);
    co_return std::nullopt;
}
