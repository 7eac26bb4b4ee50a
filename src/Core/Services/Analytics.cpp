#include "Core/Services/Analytics.h"

#include "Core/Cloud/AccountAccess.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/LogCategories.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/MainThread.h"
#include "Foundation/StringShield.h"
#include "Foundation/UserDefaults.h"
#include "Models/JsonCoding.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <cmath>

namespace {

const QString kDeviceIDKey = QStringLiteral("vantrose_device_id");
const QString kServerURLKey = QStringLiteral("vantrose_cloud_server_url");

QString appVersion() {
    QString fromApp = QCoreApplication::applicationVersion();
    if (!fromApp.isEmpty()) return fromApp;
#ifdef VANTROSE_VERSION
    return QStringLiteral(VANTROSE_VERSION);
#else
    return QStringLiteral("unknown");
#endif
}

QString buildNumber() {
#ifdef VANTROSE_BUILD_NUMBER
    return QStringLiteral(VANTROSE_BUILD_NUMBER);
#else
    return QStringLiteral("unknown");
#endif
}

}  // namespace

Analytics& Analytics::shared() {
    static Analytics* instance = [] {
        auto* a = new Analytics;
        if (auto* app = QCoreApplication::instance(); app && a->thread() != app->thread())
            a->moveToThread(app->thread());
        return a;
    }();
    return *instance;
}

Analytics::Analytics(QObject* parent) : QObject(parent) {
    auto& defaults = UserDefaults::shared();
    m_deviceID = defaults.string(kDeviceIDKey);
    if (m_deviceID.isEmpty()) {
        m_deviceID = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        defaults.setValue(kDeviceIDKey, m_deviceID);
    }
    m_serverURL = defaults.contains(kServerURLKey) ? defaults.string(kServerURLKey) : StringShield::apiBase();
    VLOG_INFO(lcAnalytics) << "device_id=" << m_deviceID;
    startFlushTimer();
}

Analytics::~Analytics() = default;

void Analytics::startFlushTimer() {
    // Made on the main thread's loop, so a client made before the loop runs, or on another
    // thread (it lives on the main one), still gets its timer.
    runOnMain(this, [this] {
        m_flushTimer = new QTimer(this);
        m_flushTimer->setInterval(kFlushInterval);
        connect(m_flushTimer, &QTimer::timeout, this, &Analytics::flush);
        m_flushTimer->start();
    });
}

void Analytics::track(const QString& event, const QVariantMap& properties) {
    QJsonObject json;
    for (auto it = properties.begin(); it != properties.end(); ++it) {
        auto converted = JsonCoding::fromVariant(it.value(), JsonCoding::VariantRule::strict);
        if (!converted) {
            VLOG_WARNING(lcAnalytics)
                << QStringLiteral("dropped event %1 — property %2 is not a JSON value").arg(event, it.key());
            return;
        }
        json.insert(it.key(), *converted);
    }
    AnalyticsEvent e{event, m_deviceID, Clock::current().now().toUTC().toString(Qt::ISODate), json};
    bool flushNow = false;
    {
        std::lock_guard lock(m_lock);
        m_queue.append(std::move(e));
        enforceCapLocked();
        flushNow = m_queue.size() >= kFlushThreshold;
    }
    if (flushNow) flush();
}

void Analytics::enforceCapLocked() {
    const qsizetype excess = m_queue.size() - kMaxQueuedEvents;
    if (excess <= 0) return;
    m_queue.remove(0, excess);
    VLOG_WARNING(lcAnalytics) << QStringLiteral("queue full — dropped %1 oldest events").arg(excess);
}

void Analytics::trackDictationCompleted(const QString& app, const QString& bundleID, double duration, int wordCount,
                                        const QString& asrTier, const QString& formatter, double asrMs, double formatMs,
                                        double insertMs, double totalMs) {
    track("dictation_completed", QVariantMap{{"app_name", app},
                                             {"bundle_id", bundleID},
                                             {"duration_s", duration},
                                             {"word_count", wordCount},
                                             {"asr_tier", asrTier},
                                             {"formatter", formatter},
                                             {"asr_ms", asrMs},
                                             {"format_ms", formatMs},
                                             {"insert_ms", insertMs},
                                             {"total_ms", totalMs}});
}

void Analytics::trackAppLaunched() {
    QVariantMap properties{
        {"app_version", appVersion()}, {"build_number", buildNumber()}, {"os_version", QSysInfo::prettyProductName()}};
    runOnMain(this, [this, properties] { (void)trackLaunchWhenVersionKnown(properties); });
}

QCoro::Task<void> Analytics::trackLaunchWhenVersionKnown(QVariantMap properties) {
    QPointer<Analytics> self(this);
    const QString version = co_await fetchAPIVersion();
    if (!self) co_return;
    properties.insert("api_version", version);
    track("app_launched", properties);
}

QCoro::Task<QString> Analytics::fetchAPIVersion() {
    const auto url = NetworkSession::joinURL(m_serverURL, StringShield::pathHealth());
    if (!url) co_return QStringLiteral("unreachable");
    QNetworkRequest request(*url);
    request.setTransferTimeout(60'000);
    const HttpResponse response =
        co_await NetworkSession::perform(NetworkSession::platformSession(), request, "GET", {});
    if (!response.received) co_return QStringLiteral("unreachable");
    if (response.status != 200) co_return QStringLiteral("unknown");
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(response.body, &error);
    if (error.error != QJsonParseError::NoError) co_return QStringLiteral("unreachable");
    const QJsonValue version = doc.object().value("version");
    co_return version.isString() ? version.toString() : QStringLiteral("unknown");
}

void Analytics::flush() {
    QList<AnalyticsEvent> taken;
    {
        std::lock_guard lock(m_lock);
        if (m_queue.isEmpty()) return;
        taken.swap(m_queue);
    }
    m_uploadsInFlight.fetch_add(1);
    if (QThread::currentThread() == thread()) {
        startUpload(std::move(taken));
    } else {
        runOnMain(this, [this, taken = std::move(taken)]() mutable { startUpload(std::move(taken)); });
    }
}

void Analytics::startUpload(QList<AnalyticsEvent> events) { (void)sendBatch(std::move(events)); }

QCoro::Task<void> Analytics::sendBatch(QList<AnalyticsEvent> events) {
    QPointer<Analytics> self(this);
    const auto count = static_cast<int>(events.size());
    bool accepted = false;
    if (const auto url = NetworkSession::joinURL(m_serverURL, StringShield::pathEvents())) {
        QJsonArray array;
        for (const AnalyticsEvent& e : events) {
            QJsonObject o{{"event", e.event}, {"device_id", e.deviceID}, {"timestamp", e.timestamp}};
            if (!e.properties.isEmpty()) o.insert("properties", e.properties);
            array.append(o);
        }
        const QByteArray body = QJsonDocument(QJsonObject{{"events", array}}).toJson(QJsonDocument::Compact);

        QNetworkRequest request(*url);
        request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
        request.setRawHeader(StringShield::hdrDeviceID().toUtf8(), m_deviceID.toUtf8());
        request.setTransferTimeout(NetworkSession::transferTimeout(kUploadTimeout));
        const std::optional<QString> token = co_await AccountAccess::getAccessToken();
        if (!self) co_return;
        if (token && AccountAccess::mayCarryToken(*url))
            request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());
        const HttpResponse response =
            co_await NetworkSession::perform(NetworkSession::platformSession(), request, "POST", body, kUploadTimeout);
        if (!self) co_return;
        accepted = response.isSuccess();
    }

    if (accepted) {
        VLOG_INFO(lcAnalytics) << QStringLiteral("flushed %1 events").arg(count);
    } else {
        // The batch goes back ahead of what was queued meanwhile, for the next flush.
        std::lock_guard lock(m_lock);
        events.append(m_queue);
        m_queue.swap(events);
        enforceCapLocked();
    }
    m_uploadsInFlight.fetch_sub(1);
    Q_EMIT uploadFinished(accepted, count);
}

bool Analytics::flushForQuit(std::chrono::milliseconds limit) {
    flush();
    if (m_uploadsInFlight.load() == 0) return true;
    QEventLoop loop;
    QTimer::singleShot(limit, &loop, &QEventLoop::quit);
    connect(this, &Analytics::uploadFinished, &loop, [this, &loop] {
        if (m_uploadsInFlight.load() == 0) loop.quit();
    });
    loop.exec();
    return m_uploadsInFlight.load() == 0;
}

QList<AnalyticsEvent> Analytics::queuedEvents() const {
    std::lock_guard lock(m_lock);
    return m_queue;
}
