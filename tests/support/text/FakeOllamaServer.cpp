#include "support/text/FakeOllamaServer.h"

#include <QJsonArray>

FakeOllamaServer::FakeOllamaServer(QObject* parent) : QObject(parent) {
    m_server.route("POST", generatePath, [this](const RecordedRequest& r) { return handleGenerate(r); });
    m_server.route("GET", tagsPath, [this](const RecordedRequest& r) { return handleTags(r); });
}

LoopbackReply FakeOllamaServer::handleGenerate(const RecordedRequest& request) const {
    const QJsonObject body = request.json();
    if (!body.value("model").isString() || !body.value("prompt").isString())
        return LoopbackReply::json(QJsonObject{{"error", "model and prompt are required"}}, 400);
    const QString model = body.value("model").toString();
    bool known = false;
    for (const QString& name : m_models) known = known || name == model || name.startsWith(model + QLatin1Char(':'));
    if (!known)
        return LoopbackReply::json(QJsonObject{{"error", QStringLiteral("model '%1' not found").arg(model)}}, 404);
    const QString completion = m_completer ? m_completer(body.value("prompt").toString()) : m_completion;
    return LoopbackReply::json(QJsonObject{
        {"model", model}, {"created_at", "2026-01-01T00:00:00Z"}, {"response", completion}, {"done", true}});
}

LoopbackReply FakeOllamaServer::handleTags(const RecordedRequest&) const {
    QJsonArray models;
    for (const QString& name : m_models)
        models.append(QJsonObject{{"name", name}, {"model", name}, {"size", 986061892}});
    return LoopbackReply::json(QJsonObject{{"models", models}});
}
