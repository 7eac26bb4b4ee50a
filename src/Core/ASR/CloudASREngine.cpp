#include "Core/ASR/CloudASREngine.h"

#include "Core/Cloud/AccountAccess.h"
#include "Core/Cloud/NetworkSession.h"
#include "Core/Cloud/WavEncoding.h"
#include "Core/LogCategories.h"
#include "Core/Services/Analytics.h"
#include "Foundation/Clock.h"
#include "Foundation/Logger.h"
#include "Foundation/StringShield.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>

#include <algorithm>
#include <chrono>

namespace {

double nowMs() { return Clock::current().monotonicMs(); }

QString noDecimals(double value) { return QString::number(value, 'f', 0); }

QString stringOr(const QJsonObject& o, const char* key, const QString& fallback) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : fallback;
}

double numberOr0(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isDouble() ? v.toDouble() : 0.0;
}

QString utf8OrEmpty(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    return decoder.hasError() ? QString() : text;
}

ASRError engineGone() {
    return ASRError::transcriptionFailed(QStringLiteral("Cloud recogniser was released during the request"));
}

}  // namespace

CloudASREngine::CloudASREngine(const QString& engineName, const QString& serverURL)
    : CloudASREngine(engineName, serverURL, Services{}) {}

CloudASREngine::CloudASREngine(const QString& engineName, const QString& serverURL, Services services)
    : m_engineName(engineName),
      m_serverURL(serverURL),
      m_services(std::move(services)) {
    if (!m_services.accessToken) m_services.accessToken = [] { return AccountAccess::getAccessToken(); };
    if (!m_services.deviceID) m_services.deviceID = [] { return Analytics::shared().deviceID(); };
}

CloudASREngine::~CloudASREngine() { *m_alive = false; }

QByteArray CloudASREngine::samplesToWAV(const std::vector<float>& samples, int sampleRate) {
    return WavEncoding::wav(samples, sampleRate);
}

QCoro::Task<ASRResult> CloudASREngine::stopStreaming() {
    co_return ASRResult{QString(), 0.0f, QStringLiteral("en"), 0.0, false};
}

QCoro::Task<ASRResult> CloudASREngine::transcribe(std::vector<float> samples) {
    const std::shared_ptr<bool> alive = m_alive;

    const double t0 = nowMs();
    const QByteArray audio = samplesToWAV(samples, WavEncoding::kSampleRate).toBase64();
    const double t1 = nowMs();

    QJsonObject body{
        {"audio", QString::fromLatin1(audio)},
        {"pipeline", QJsonArray{"TRANSCRIBE", "FORMAT"}},
        {"language", QJsonArray{"en"}},
    };
    if (m_context) body.insert("context", *m_context);
    const QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);

    const std::optional<QUrl> url = NetworkSession::joinURL(m_serverURL, StringShield::pathTranscribe());
    if (!url) throw ASRError::transcriptionFailed(QStringLiteral("Invalid cloud server URL"));
    NetworkSession& session = m_services.session ? *m_services.session : NetworkSession::shared();
    QNetworkRequest request = session.makeRequest(*url);
    request.setRawHeader(StringShield::hdrContentType().toUtf8(), StringShield::mimeJSON().toUtf8());
    request.setRawHeader(StringShield::hdrDeviceID().toUtf8(), m_services.deviceID().toUtf8());

    // The account's token goes only to the account's own server, whatever server the
    // settings name for transcription.
    if (AccountAccess::mayCarryToken(*url)) {
        const std::optional<QString> token = co_await m_services.accessToken();
        if (!*alive) throw engineGone();
        if (token && !token->isEmpty())
            request.setRawHeader(StringShield::hdrAuth().toUtf8(), (StringShield::hdrBearer() + *token).toUtf8());
    }
    const auto recording = std::chrono::milliseconds(qint64(samples.size()) * 1000 / WavEncoding::kSampleRate);
    const auto allowance =
        std::chrono::milliseconds(static_cast<qint64>(double(recording.count()) * kTimeoutPerAudioSecond));
    request.setTransferTimeout(m_services.requestTimeoutMs + static_cast<int>(allowance.count()));
    const double t2 = nowMs();
    const double t3 = nowMs();

    const HttpResponse response = co_await session.send(
        request, "POST", json, std::chrono::milliseconds(m_services.resourceTimeoutMs) + allowance);
    if (!*alive) throw engineGone();
    const double t4 = nowMs();

    if (!response.received) throw ASRError::engineNotAvailable(response.errorString);
    if (response.status != 200)
        throw ASRError::transcriptionFailed(
            QStringLiteral("Cloud server returned %1: %2").arg(response.status).arg(utf8OrEmpty(response.body)));

    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(response.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        throw ASRError::engineNotAvailable(
            QStringLiteral("Invalid JSON from cloud server: %1").arg(parseError.errorString()));
    if (!doc.isObject()) throw ASRError::transcriptionFailed(QStringLiteral("Invalid JSON response from cloud server"));
    const QJsonObject reply = doc.object();

    const QString status = stringOr(reply, "status", QStringLiteral("ERROR"));
    const QString asrText = stringOr(reply, "asr_text", {});
    const QString llmText = stringOr(reply, "llm_text", {});
    const QString asrProvider = stringOr(reply, "asr_provider", {});
    const QString llmProvider = stringOr(reply, "llm_provider", {});
    const double asrTime = numberOr0(reply, "asr_time");
    const double llmTime = numberOr0(reply, "llm_time");
    const double totalTime = numberOr0(reply, "total_time");
    const QString raceWinner = stringOr(reply, "race_winner", QStringLiteral("n/a"));
    const double t5 = nowMs();

    CloudRequestMetrics metrics;
    metrics.prepareRequestMs = t2 - t1;
    metrics.remoteLatencyMs = t4 - t3;
    metrics.uploadRequestMs = std::max(metrics.remoteLatencyMs - totalTime, 0.0);
    metrics.serverProcessingTimeMs = totalTime;
    metrics.asrTimeMs = asrTime;
    metrics.llmTimeMs = llmTime;
    const QJsonValue components = reply.value("component_times");
    if (components.isObject() && components.toObject().value("commit_ack_ms").isDouble())
        metrics.backendCommitAckTimeMs = components.toObject().value("commit_ack_ms").toDouble();
    // Kept before the status is judged, so a refused request still leaves its timings.
    m_lastRequestMetrics = metrics;

    if (status == QLatin1String("ERROR") || status == QLatin1String("EMPTY"))
        throw ASRError::transcriptionFailed(QStringLiteral("Cloud ASR returned: %1 — %2").arg(status, asrText));

    // "PARTIAL": the server stopped recognising at its deadline; the text covers the start only.
    const bool partial = status == QLatin1String("PARTIAL");
    const bool serverFormatted = !llmText.isEmpty();
    const QString text = serverFormatted ? llmText : asrText;
    const double e2e = t5 - t0;
    // The transcript is concatenated, never passed through arg(): it may contain "%1".
    const QString timings =
        QStringLiteral(" — prepare:%1ms network:%2ms upload:%3ms asr:%4ms llm:%5ms server:%6ms e2e:%7ms")
            .arg(noDecimals(metrics.prepareRequestMs), noDecimals(metrics.remoteLatencyMs),
                 noDecimals(metrics.uploadRequestMs), noDecimals(asrTime), noDecimals(llmTime), noDecimals(totalTime),
                 noDecimals(e2e));
    VLOG_INFO(lcCloudASR) << "\"" << text << "\"" << timings << " provider:" << asrProvider << " format:" << llmProvider
                          << " race:" << raceWinner;
    if (partial) VLOG_WARNING(lcCloudASR) << "The server recognised only the start of the recording";
    co_return ASRResult{
        text, 0.9f, QStringLiteral("en"), e2e, serverFormatted, partial, serverFormatted ? asrText : QString()};
}
