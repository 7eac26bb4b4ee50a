#include "SpeechService.h"

#include "RouteLimits.h"
#include "ServiceReplies.h"

#include "Core/ASR/ASRError.h"
#include "Core/ASR/PocketSphinxASR.h"
#include "Core/Formatting/FormattingResult.h"
#include "Core/Formatting/OllamaLLMFormatter.h"
#include "Core/Formatting/RuleBasedFormatter.h"
#include "Foundation/Clock.h"
#include "Foundation/MainThread.h"
#include "Foundation/StringShield.h"
#include "Models/AppClassification.h"
#include "Models/Personalization.h"
#include "Models/VantroseSettings.h"

#include <QElapsedTimer>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <QCoro/QCoroFuture>

#include <functional>
#include <optional>
#include <utility>

namespace {

using StatusCode = QHttpServerResponse::StatusCode;
using ServiceReplies::errorReply;

constexpr qsizetype kMaxTextMessage = qsizetype{256} * 1024;            // one WebSocket control message
constexpr qsizetype kMaxTranscribeBody = RouteLimits::kTranscribeBody;  // ten minutes of WAV, as Base64 in JSON
constexpr auto kOllamaRecheck = std::chrono::seconds(30);

QHttpServerResponse jsonReply(const QJsonObject& body, StatusCode status = StatusCode::Ok) {
    return QHttpServerResponse(body, status);
}

using Reply = SpeechService::Reply;

// A reply written when the work is done. The client may hang up first: the server then deletes
// the socket (and the request the responder refers to), so nothing is written after that.
template <typename OnStatus>
auto deferredReply(QHttpServerResponder&& responder, OnStatus onStatus) {
    struct Pending {
        QPointer<QTcpSocket> socket;
        std::optional<QHttpServerResponder> responder;
        bool answered = false;
    };
    auto pending = std::make_shared<Pending>();
    pending->socket = responder.socket();
    pending->responder.emplace(std::move(responder));
    return [pending, onStatus](QHttpServerResponse response) {
        if (pending->answered) return;
        pending->answered = true;
        onStatus(static_cast<int>(response.statusCode()));
        if (pending->socket) response.write(std::move(*pending->responder));
        pending->responder.reset();
    };
}

QString stringAt(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    return v.isString() ? v.toString() : QString();
}

QStringList stringsAt(const QJsonObject& o, const char* key) {
    QStringList out;
    for (const auto& v : o.value(QLatin1String(key)).toArray())
        if (v.isString()) out.append(v.toString());
    return out;
}

// The request's context object as the formatters take it. Both shapes the program sends are
// read: the recognisers' ({"app": {"bundleId"}, "textbox": {...}, "dictionary"}) and the
// formatter's ({"app": {"bundle_id"}, "before_text", ..., "dictionary_context"}).
AppContext appContextOf(const QJsonObject& context) {
    const QJsonObject app = context.value("app").toObject();
    const QJsonObject textbox = context.value("textbox").isObject() ? context.value("textbox").toObject() : context;
    QString bundleId = stringAt(app, "bundleId");
    if (bundleId.isEmpty()) bundleId = stringAt(app, "bundle_id");
    const QString url = stringAt(app, "url");
    return AppContext(stringAt(app, "name"), bundleId, url.isEmpty() ? std::nullopt : std::optional<QString>(url),
                      stringAt(textbox, "before_text"), stringAt(textbox, "after_text"),
                      stringAt(textbox, "selected_text"), true, stringsAt(context, "ocr_context"));
}

VantroseSettings settingsOf(const QJsonObject& context, const QString& style) {
    VantroseSettings settings;
    if (auto parsed = fromRawValue<WritingStyle>(style)) settings.writingStyle = *parsed;
    settings.customWords = stringsAt(context, "dictionary") + stringsAt(context, "dictionary_context");
    return settings;
}

// The per-application instructions of a synced settings copy; an entry that does not decode is
// left out, so one bad entry costs only its own application its style.
QList<AppInstruction> appInstructionsOf(const QJsonValue& synced) {
    QList<AppInstruction> instructions;
    for (const auto& entry : synced.toObject().value("appInstructions").toArray())
        if (auto decoded = AppInstruction::fromJson(entry)) instructions.append(decoded.value());
    return instructions;
}

// 16 kHz mono 16-bit PCM from a WAV file; the reason on failure.
struct DecodedWav {
    std::vector<float> samples;
    QString problem;
    bool tooLong = false;
};

DecodedWav decodeWav(const QByteArray& wav, qint64 maxSamples) {
    DecodedWav out;
    auto u32 = [&wav](qsizetype at) {
        return static_cast<quint32>(static_cast<quint8>(wav[at])) |
               static_cast<quint32>(static_cast<quint8>(wav[at + 1])) << 8 |
               static_cast<quint32>(static_cast<quint8>(wav[at + 2])) << 16 |
               static_cast<quint32>(static_cast<quint8>(wav[at + 3])) << 24;
    };
    auto u16 = [&wav](qsizetype at) {
        return static_cast<quint16>(static_cast<quint8>(wav[at]) | static_cast<quint8>(wav[at + 1]) << 8);
    };
    if (wav.size() < 12 || wav.left(4) != "RIFF" || wav.mid(8, 4) != "WAVE") {
        out.problem = QStringLiteral("audio is not a RIFF/WAVE file");
        return out;
    }
    bool formatOk = false;
    qsizetype at = 12;
    while (at + 8 <= wav.size()) {
        const QByteArray id = wav.mid(at, 4);
        const qsizetype size = u32(at + 4);
        const qsizetype body = at + 8;
        if (id == "fmt ") {
            if (size < 16 || body + 16 > wav.size()) break;
            formatOk = u16(body) == 1 && u16(body + 2) == 1 && u32(body + 4) == 16000 && u16(body + 14) == 16;
            if (!formatOk) {
                out.problem = QStringLiteral("audio must be 16 kHz mono 16-bit PCM");
                return out;
            }
        } else if (id == "data") {
            if (!formatOk) break;
            const qsizetype available = std::min<qsizetype>(size, wav.size() - body) / 2;
            if (available > maxSamples) {
                out.tooLong = true;
                out.problem = QStringLiteral("audio is longer than ten minutes");
                return out;
            }
            out.samples.resize(static_cast<size_t>(available));
            for (qsizetype i = 0; i < available; ++i)
                out.samples[static_cast<size_t>(i)] = static_cast<qint16>(u16(body + 2 * i)) / 32768.0f;
            return out;
        }
        if (size < 0 || size > wav.size()) break;
        at = body + size + (size & 1);
    }
    out.problem = QStringLiteral("audio is not a 16 kHz mono 16-bit PCM WAV file");
    return out;
}

Clock::TimePoint now() { return Clock::current().monotonicNow(); }
double msSince(Clock::TimePoint start) { return Clock::current().millisecondsSince(start); }

// What a streaming result and a transcription reply both say about the recognised and the
// formatted text.
QJsonObject recognitionFields(const QString& asrText, double asrMs, const FormattingResult& formatted) {
    return QJsonObject{{"asr_text", asrText},
                       {"llm_text", formatted.text},
                       {"asr_provider", "pocketsphinx"},
                       {"llm_provider", formatted.formatterName},
                       {"asr_time", asrMs},
                       {"llm_time", formatted.latencyMs}};
}

}  // namespace

// ---------------------------------------------------------------- streaming session

// One WebSocket connection: one recogniser, fed while the audio arrives; a commit finishes the
// utterance and sends its result at once.
class SpeechService::StreamSession : public QObject {
public:
    StreamSession(SpeechService* service, std::unique_ptr<QWebSocket> socket, EngineLease lease, QString account)
        : QObject(service),
          m_service(service),
          m_socket(socket.release()),
          m_lease(std::make_shared<EngineLease>(std::move(lease))),
          m_account(std::move(account)),
          m_id(service->m_nextSessionId++) {
        m_service->m_sessions.insert(m_id, this);
        m_socket->setParent(this);
        m_socket->setMaxAllowedIncomingMessageSize(kMaxTextMessage * 4);
        ++m_service->m_openStreams;
        // Only audio keeps a stream open: a client that only pings holds a recogniser nobody else
        // can have. "Going away" tells the program to connect afresh at its next dictation.
        m_idle.setSingleShot(true);
        m_idle.setInterval(service->m_options.streamIdleTimeout);
        connect(&m_idle, &QTimer::timeout, this,
                [this] { m_socket->close(QWebSocketProtocol::CloseCodeGoingAway, "idle"); });
        m_idle.start();
        connect(m_socket, &QWebSocket::textMessageReceived, this, &StreamSession::onText);
        connect(m_socket, &QWebSocket::binaryMessageReceived, this, &StreamSession::onBinary);
        connect(m_socket, &QWebSocket::disconnected, this, &StreamSession::onClosed);
    }

    ~StreamSession() override { m_service->m_sessions.remove(m_id); }

    void onPartial(int generation, const QString& partial) {
        if (m_generation != generation || !m_streaming || m_committing) return;
        if (partial.isEmpty() || partial == m_lastPartial) return;
        m_lastPartial = partial;
        send(QJsonObject{{"type", "partial"}, {"text", partial}});
    }

private:
    void send(const QJsonObject& message) {
        if (m_socket->state() == QAbstractSocket::ConnectedState)
            m_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    }
    void sendError(const QString& message, bool fatal) {
        send(QJsonObject{{"type", "error"}, {"message", message}, {"is_fatal", fatal}});
    }

    void onText(const QString& text) {
        if (text.size() > kMaxTextMessage) {
            sendError(QStringLiteral("message too large"), true);
            m_socket->close(QWebSocketProtocol::CloseCodeTooMuchData);
            return;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
        const QString type = doc.object().value("type").toString();
        if (!doc.isObject() || type.isEmpty()) {
            sendError(QStringLiteral("message is not a JSON object with a type"), false);
        } else if (type == QLatin1String("ping")) {
            send(QJsonObject{{"type", "pong"}});
        } else if (type == QLatin1String("new_session")) {
            answerAbandonedCommit();
            discardUtterance();
        } else if (type == QLatin1String("commit")) {
            answerAbandonedCommit();
            m_commitUnanswered = true;
            (void)commit(doc.object().value("context").toObject(), ++m_generation);
        } else {
            sendError(QStringLiteral("unknown message type"), false);
        }
    }

    void onBinary(const QByteArray& pcm) {
        if (m_committing) return;  // the utterance is closed; the next one begins with new_session
        if (pcm.size() % 2 != 0) {
            sendError(QStringLiteral("audio chunks must be 16-bit PCM"), false);
            return;
        }
        if (pcm.isEmpty()) return;
        m_idle.start();
        const qsizetype count = pcm.size() / 2;
        if (m_samples + count > m_service->m_options.maxAudioSamples) {
            sendError(QStringLiteral("audio is longer than ten minutes"), true);
            m_socket->close(QWebSocketProtocol::CloseCodeTooMuchData);
            return;
        }
        if (!m_streaming) startUtterance();
        std::vector<float> chunk(static_cast<size_t>(count));
        const auto* bytes = reinterpret_cast<const uchar*>(pcm.constData());
        for (qsizetype i = 0; i < count; ++i)
            chunk[static_cast<size_t>(i)] = static_cast<qint16>(bytes[2 * i] | bytes[2 * i + 1] << 8) / 32768.0f;
        m_samples += count;
        engine().feedAudioChunk(chunk);
    }

    void startUtterance() {
        m_streaming = true;
        m_samples = 0;
        m_lastPartial.clear();
        const int generation = m_generation;
        SpeechService* service = m_service;
        const quint64 id = m_id;
        // Reported from the recogniser's worker; brought back to the service's thread, and dropped
        // once the session or the utterance it belongs to is over.
        engine().startStreaming([service, id, generation](const QString& partial) {
            runOnMain(service, [service, id, generation, partial] {
                if (StreamSession* session = service->m_sessions.value(id)) session->onPartial(generation, partial);
            });
        });
    }

    // Every commit gets one answer, in the order the commits came: the client counts the commits
    // it gave up on and takes one answer for each. A commit still being worked on when the next
    // session (or commit) begins is answered here, at once, ahead of anything of the next one;
    // its own work then ends without a word.
    void answerAbandonedCommit() {
        if (!m_commitUnanswered) return;
        m_commitUnanswered = false;
        sendError(QStringLiteral("commit abandoned before its result"), false);
    }

    void discardUtterance() {
        ++m_generation;
        m_committing = false;
        if (!m_streaming) return;
        m_streaming = false;
        (void)stopEngine();
    }

    // Ends the recogniser's stream; what it heard is dropped.
    QCoro::Task<void> stopEngine() { co_await stopStreaming(); }

    // Stops the recogniser's stream. The stop holds the lease too: a session that closes
    // meanwhile leaves the recogniser out of the pool until every stop on it has run.
    QCoro::Task<ASRResult> stopStreaming() {
        QPointer<StreamSession> self(this);
        const std::shared_ptr<EngineLease> lease = m_lease;
        const ASRResult result = co_await lease->engine()->stopStreaming();
        if (!self || self->m_closed) co_return ASRResult{};
        co_return result;
    }

    QCoro::Task<void> commit(QJsonObject context, int generation) {
        QPointer<StreamSession> self(this);
        const Clock::TimePoint t0 = now();
        m_committing = true;
        QString asrText;
        double asrMs = 0;
        if (m_streaming) {
            m_streaming = false;
            const ASRResult result = co_await stopStreaming();
            if (!self || self->m_closed || self->m_generation != generation) co_return;
            asrText = result.text.trimmed();
            asrMs = msSince(t0);
        }
        FormattingResult formatted{QString(), 0, QStringLiteral("none")};
        if (!asrText.isEmpty()) {
            QPointer<SpeechService> service(m_service);
            formatted = co_await m_service->formatText(asrText, context, QString(), m_account);
            if (!self || !service || self->m_generation != generation) co_return;
        }
        m_committing = false;
        m_commitUnanswered = false;
        QJsonObject result = recognitionFields(asrText, asrMs, formatted);
        result.insert("type", "result");
        result.insert("commit_to_response_ms", msSince(t0));
        send(result);
    }

    void onClosed() {
        if (m_closed) return;
        m_closed = true;
        ++m_generation;
        m_idle.stop();
        --m_service->m_openStreams;
        // The recogniser goes back to the pool with the last holder of the lease: this session,
        // a stop still in flight, or the stop of a stream left open.
        if (std::exchange(m_streaming, false)) (void)closeStream(m_lease);
        deleteLater();
    }

    static QCoro::Task<void> closeStream(std::shared_ptr<EngineLease> lease) {
        co_await lease->engine()->stopStreaming();
    }

    PocketSphinxASR& engine() const { return *m_lease->engine(); }

    SpeechService* m_service;
    QWebSocket* m_socket;
    // Shared only with this session's own stops in flight; never with another session.
    std::shared_ptr<EngineLease> m_lease;
    const QString m_account;  // whose voice styles shape the results
    QTimer m_idle;
    bool m_streaming = false;
    bool m_committing = false;
    bool m_commitUnanswered = false;  // a commit's answer is still owed to the client
    bool m_closed = false;
    const quint64 m_id;
    qint64 m_samples = 0;
    int m_generation = 0;
    QString m_lastPartial;
};

// ---------------------------------------------------------------- service

namespace {

SpeechServiceOptions withDefaults(SpeechServiceOptions options) {
    if (options.modelDir.isEmpty()) options.modelDir = QStringLiteral(POCKETSPHINX_MODEL_DIR);
    if (!options.logRequest) options.logRequest = [](const QString&, int) {};
    return options;
}

EnginePool::Options poolOptions(const SpeechServiceOptions& options) {
    return EnginePool::Options{options.modelDir, options.maxEngines, options.maxIdleEngines,
                               options.releaseDecoderAfter};
}

}  // namespace

SpeechService::SpeechService(BearerCheck check, SpeechServiceOptions options, QObject* parent)
    : QObject(parent),
      m_check(std::move(check)),
      m_options(withDefaults(std::move(options))),
      m_engines(poolOptions(m_options)) {
    refreshOllamaAvailability();
}

SpeechService::~SpeechService() {
    // The sessions go first: each takes itself out of the registry this destructor is about to drop.
    const QList<StreamSession*> sessions = m_sessions.values();
    qDeleteAll(sessions);
}

QJsonObject SpeechService::healthProviders() const {
    QJsonObject providers{{"rules", true}};
    if (!m_options.ollamaBase.isEmpty()) providers.insert("ollama", m_ollamaUp);
    return providers;
}

void SpeechService::refreshOllamaAvailability() {
    if (m_options.ollamaBase.isEmpty()) return;
    const Clock::TimePoint checkedAt = now();
    if (m_ollamaCheckedAt && checkedAt - *m_ollamaCheckedAt < kOllamaRecheck) return;
    m_ollamaCheckedAt = checkedAt;
    QPointer<SpeechService> self(this);
    [](QPointer<SpeechService> self, QString base, QString model) -> QCoro::Task<void> {
        OllamaLLMFormatter probe(base, model);
        const bool up = co_await probe.isAvailable();
        if (self) self->m_ollamaUp = up;
    }(self, m_options.ollamaBase, m_options.ollamaModel);
}

QCoro::Task<FormattingResult> SpeechService::formatText(QString text, QJsonObject context, QString style,
                                                        QString account) {
    QPointer<SpeechService> self(this);
    const AppContext app = appContextOf(context);
    VantroseSettings settings = settingsOf(context, style);
    if (!account.isEmpty() && m_options.accountSettings)
        settings.appInstructions = appInstructionsOf(m_options.accountSettings(account));
    refreshOllamaAvailability();
    if (m_ollamaUp) {
        try {
            OllamaLLMFormatter llm(m_options.ollamaBase, m_options.ollamaModel);
            FormattingResult result = co_await llm.format(text, app, settings);
            if (!result.text.trimmed().isEmpty()) co_return result;
        } catch (const std::exception&) {
            // The model failed this once; the rules still give the user a text.
            if (self) self->m_ollamaUp = false;
        }
    }
    co_return RuleBasedFormatter().formatNow(text, app, settings);
}

void SpeechService::registerRoutes(QHttpServer& server) {
    // Both routes answer when their work is done, and each reply logs its route and status. The
    // bearer and the JSON body are checked before a route's own handler sees the body.
    using Handler = void (SpeechService::*)(const QJsonObject& body, const QString& account, Reply finish);
    const auto postJson = [this, &server](const QString& path, qsizetype maxBody, const QString& tooLargeDetail,
                                          Handler handler) {
        server.route(path, QHttpServerRequest::Method::Post,
                     [this, path, maxBody, tooLargeDetail, handler](const QHttpServerRequest& request,
                                                                    QHttpServerResponder&& responder) {
                         Reply finish = deferredReply(std::move(responder),
                                                      [this, path](int status) { m_options.logRequest(path, status); });
                         const std::optional<QString> account = m_check(request.value("Authorization"));
                         if (!account) {
                             finish(errorReply(StatusCode::Unauthorized, QStringLiteral("Not authenticated")));
                             return;
                         }
                         QHttpServerResponse error(StatusCode::BadRequest);
                         const std::optional<QJsonObject> parsed =
                             ServiceReplies::jsonObjectBody(request, &error, maxBody, tooLargeDetail);
                         if (!parsed) {
                             finish(std::move(error));
                             return;
                         }
                         (this->*handler)(*parsed, *account, std::move(finish));
                     });
    };
    postJson(StringShield::pathTranscribe(), kMaxTranscribeBody, QStringLiteral("audio is longer than ten minutes"),
             &SpeechService::transcribe);
    postJson(StringShield::pathFormat(), ServiceReplies::kMaxJsonBody, QStringLiteral("request body too large"),
             &SpeechService::format);
}

// ---------------------------------------------------------------- batch transcription

void SpeechService::transcribe(const QJsonObject& body, const QString& account, Reply finish) {
    if (!body.value("audio").isString()) {
        finish(errorReply(StatusCode::UnprocessableEntity, QStringLiteral("audio must be a Base64 string")));
        return;
    }
    const auto wav = QByteArray::fromBase64Encoding(body.value("audio").toString().toLatin1(),
                                                    QByteArray::AbortOnBase64DecodingErrors);
    if (!wav) {
        finish(errorReply(StatusCode::UnprocessableEntity, QStringLiteral("audio is not Base64")));
        return;
    }
    DecodedWav audio = decodeWav(*wav, m_options.maxAudioSamples);
    if (!audio.problem.isEmpty()) {
        finish(
            errorReply(audio.tooLong ? StatusCode::PayloadTooLarge : StatusCode::UnprocessableEntity, audio.problem));
        return;
    }
    bool wantsFormat = true;
    if (body.value("pipeline").isArray()) {
        const QJsonArray stages = body.value("pipeline").toArray();
        wantsFormat = stages.contains(QJsonValue(QStringLiteral("FORMAT")));
    }
    EngineLease lease = m_engines.acquire();
    if (!lease) {
        finish(errorReply(StatusCode::ServiceUnavailable, QStringLiteral("every recogniser is busy")));
        return;
    }
    (void)recogniseAndReply(std::move(lease), std::move(audio.samples), body.value("context").toObject(), wantsFormat,
                            account, std::move(finish));
}

QCoro::Task<void> SpeechService::recogniseAndReply(EngineLease lease, std::vector<float> samples, QJsonObject context,
                                                   bool wantsFormat, QString account, Reply finish) {
    QPointer<SpeechService> self(this);
    const Clock::TimePoint t0 = now();
    ASRResult recognised;
    try {
        recognised = co_await lease->transcribe(std::move(samples));
    } catch (const ASRError& error) {
        // Audio without words (silence, a tone, noise) is an empty result, not a failure.
        if (!error.isNoSpeechDetected()) {
            finish(jsonReply(QJsonObject{{"status", "ERROR"}, {"asr_text", "recogniser failed"}}));
            co_return;
        }
    } catch (const std::exception&) {
        finish(jsonReply(QJsonObject{{"status", "ERROR"}, {"asr_text", "recogniser failed"}}));
        co_return;
    }
    lease.reset();
    if (!self) co_return;
    const double asrMs = msSince(t0);
    const QString asrText = recognised.text.trimmed();
    if (asrText.isEmpty()) {
        finish(jsonReply(QJsonObject{{"status", "EMPTY"},
                                     {"asr_text", ""},
                                     {"asr_provider", "pocketsphinx"},
                                     {"asr_time", asrMs},
                                     {"total_time", msSince(t0)}}));
        co_return;
    }
    FormattingResult formatted;
    if (wantsFormat) {
        formatted = co_await self->formatText(asrText, context, QString(), account);
        if (!self) co_return;
    }
    QJsonObject reply = recognitionFields(asrText, asrMs, formatted);
    // A recording the recogniser could not finish in time is said to be partial, never passed
    // off as the whole.
    reply.insert("status", recognised.partial ? "PARTIAL" : "OK");
    reply.insert("total_time", msSince(t0));
    finish(jsonReply(reply));
}

// ---------------------------------------------------------------- formatting

void SpeechService::format(const QJsonObject& body, const QString& account, Reply finish) {
    if (!body.value("text").isString()) {
        finish(errorReply(StatusCode::UnprocessableEntity, QStringLiteral("text is required")));
        return;
    }
    (void)formatAndReply(body, account, std::move(finish));
}

QCoro::Task<void> SpeechService::formatAndReply(QJsonObject body, QString account, Reply finish) {
    QPointer<SpeechService> self(this);
    const FormattingResult formatted = co_await formatText(
        body.value("text").toString(), body.value("context").toObject(), body.value("style").toString(), account);
    if (!self) co_return;
    finish(jsonReply(QJsonObject{{"text", formatted.text},
                                 {"race_winner", formatted.formatterName},
                                 {"provider", formatted.formatterName},
                                 {"time_ms", formatted.latencyMs}}));
}

void SpeechService::acceptWebSocket(std::unique_ptr<QWebSocket> socket) {
    const QString route = socket->requestUrl().path();
    if (route != StringShield::pathWSTranscribe()) {
        m_options.logRequest(route, 404);
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("unknown route"));
        socket.release()->deleteLater();
        return;
    }
    const QByteArray authorization = socket->request().rawHeader("Authorization");
    const std::optional<QString> account = m_check(authorization);
    if (!account) {
        m_options.logRequest(route, 401);
        // 4001: the client treats an application close as fatal and falls back to the batch road.
        socket->close(static_cast<QWebSocketProtocol::CloseCode>(4001), QStringLiteral("Not authenticated"));
        socket.release()->deleteLater();
        return;
    }
    EngineLease lease = m_engines.acquire();
    if (!lease) {
        m_options.logRequest(route, 503);
        socket->close(static_cast<QWebSocketProtocol::CloseCode>(1013), QStringLiteral("every recogniser is busy"));
        socket.release()->deleteLater();
        return;
    }
    m_options.logRequest(route, 101);
    new StreamSession(this, std::move(socket), std::move(lease), *account);
}
