#pragma once

#include "support/LoopbackVendorServer.h"

#include <QJsonObject>
#include <QStringList>

#include <functional>

// A stand-in for a local Ollama server on 127.0.0.1: the generate call ("/api/generate") and
// the model list ("/api/tags"), over the loopback HTTP server. Tests set the models and the
// completion, script failures per route, and read the recorded requests.
class FakeOllamaServer : public QObject {
    Q_OBJECT
public:
    static inline const QString generatePath = QStringLiteral("/api/generate");
    static inline const QString tagsPath = QStringLiteral("/api/tags");

    explicit FakeOllamaServer(QObject* parent = nullptr);

    bool start() { return m_server.start(); }
    void stop() { m_server.stop(); }
    QString baseUrl() const { return m_server.baseUrl(); }

    // Models the list call reports (default: "qwen2.5:1.5b").
    void setModels(const QStringList& names) { m_models = names; }
    // The "response" of the generate call (default: "Formatted by the model.").
    void setCompletion(const QString& completion) { m_completion = completion; }
    // Answers each generate call from its prompt instead (a model that follows its instructions).
    void setCompleter(std::function<QString(const QString& prompt)> completer) { m_completer = std::move(completer); }

    // Failures and delays: see LoopbackVendorServer.
    void scriptNextGenerate(const LoopbackReply& reply) { m_server.scriptNext("POST", generatePath, reply); }
    void scriptAlwaysGenerate(const LoopbackReply& reply) { m_server.scriptAlways("POST", generatePath, reply); }
    void scriptNextTags(const LoopbackReply& reply) { m_server.scriptNext("GET", tagsPath, reply); }
    void scriptAlwaysTags(const LoopbackReply& reply) { m_server.scriptAlways("GET", tagsPath, reply); }

    QList<RecordedRequest> generateRequests() const { return m_server.requests(generatePath); }
    int tagsRequestCount() const { return m_server.requestCount(tagsPath); }

private:
    LoopbackReply handleGenerate(const RecordedRequest& request) const;
    LoopbackReply handleTags(const RecordedRequest& request) const;

    LoopbackVendorServer m_server;
    QStringList m_models{QStringLiteral("qwen2.5:1.5b")};
    QString m_completion = QStringLiteral("Formatted by the model.");
    std::function<QString(const QString&)> m_completer;
};
