#pragma once

#include "EnginePool.h"
#include "Foundation/Clock.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QHttpServer;
class QHttpServerResponse;
class QWebSocket;
struct FormattingResult;

// Returns the account id for an "Authorization" header value, or nothing when the bearer is
// missing, malformed, forged, expired or revoked.
using BearerCheck = std::function<std::optional<QString>(const QByteArray& authorization)>;

struct SpeechServiceOptions {
    QString modelDir;    // the on-device recogniser's model
    QString ollamaBase;  // empty: formatting by the rules only
    QString ollamaModel = QStringLiteral("llama3.2:3b");
    int maxEngines = 8;                      // recognisers in use at once (each holds a decoder)
    int maxIdleEngines = 1;                  // kept between dictations
    qint64 maxAudioSamples = 16000LL * 600;  // ten minutes at 16 kHz
    // A socket that sends no audio this long is closed.
    std::chrono::milliseconds streamIdleTimeout = std::chrono::minutes(2);
    // A recogniser unused this long lets its decoder go; the next dictation loads it again.
    std::chrono::milliseconds releaseDecoderAfter = std::chrono::seconds(30);
    // Route and status of each request; never its content.
    std::function<void(const QString& route, int status)> logRequest;
    // The settings copy an account synced (null when none), for the voice style it chose for
    // each application. None: formatting without them.
    std::function<QJsonValue(const QString& account)> accountSettings;
};

// The speech side of the service: batch transcription, streaming transcription over a
// WebSocket, and formatting, all on the program's own recogniser and formatters.
class SpeechService : public QObject {
    Q_OBJECT
public:
    // Answers a request once (later calls do nothing); each route's handler gets one.
    using Reply = std::function<void(QHttpServerResponse)>;

    SpeechService(BearerCheck check, SpeechServiceOptions options, QObject* parent = nullptr);
    ~SpeechService() override;

    // Adds the transcription and formatting routes.
    void registerRoutes(QHttpServer& server);
    // Takes a socket the server accepted; checks its path and bearer itself.
    void acceptWebSocket(std::unique_ptr<QWebSocket> socket);
    // The formatter providers block the health reply carries: name -> up.
    QJsonObject healthProviders() const;

    int openStreams() const { return m_openStreams; }
    int enginesInUse() const { return m_engines.inUse(); }
    const EnginePool& engines() const { return m_engines; }

    // The service's formatting of a recognised text with a request's context object, in the
    // voice style `account` chose for the context's application.
    QCoro::Task<FormattingResult> formatText(QString text, QJsonObject context, QString style, QString account);

private:
    class StreamSession;
    friend class StreamSession;

    // The routes' handlers: the bearer and the JSON body are checked before they run.
    void transcribe(const QJsonObject& body, const QString& account, Reply finish);
    void format(const QJsonObject& body, const QString& account, Reply finish);
    // Their work once the request is accepted; each answers when it is done.
    QCoro::Task<void> recogniseAndReply(EngineLease lease, std::vector<float> samples, QJsonObject context,
                                        bool wantsFormat, QString account, Reply finish);
    QCoro::Task<void> formatAndReply(QJsonObject body, QString account, Reply finish);

    void refreshOllamaAvailability();

    BearerCheck m_check;
    SpeechServiceOptions m_options;
    EnginePool m_engines;
    int m_openStreams = 0;
    // Open sessions by id: the recogniser's worker reaches a session only through this, on the
    // service's thread, so a partial that arrives after its session closed finds nothing.
    QHash<quint64, StreamSession*> m_sessions;
    quint64 m_nextSessionId = 1;
    bool m_ollamaUp = false;
    std::optional<Clock::TimePoint> m_ollamaCheckedAt;  // none: never asked
};
