#include "Platform/Wayland/PortalRequests.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <QCoro/QCoroDBus>
#include <QCoro/QCoroSignal>

#include <algorithm>
#include <atomic>

void PortalResponseWaiter::abort() {
    if (response || aborted) return;
    aborted = true;
    Q_EMIT finished();
}

void PortalResponseWaiter::onResponse(const QDBusMessage& message) {
    if (response || aborted) return;
    response = message;
    Q_EMIT finished();
}

namespace {

const char* responseSlot() { return SLOT(onResponse(QDBusMessage)); }

// The waiter resumes its request from inside its own signal, so the request must not delete it there.
struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

// The caller's unique bus name as the portal puts it into handles: ":1.42" becomes "1_42".
QString senderElement() {
    QString name = QDBusConnection::sessionBus().baseService();
    if (name.startsWith(u':')) name.remove(0, 1);
    return name.replace(u'.', u'_');
}

bool listen(const QString& handle, PortalResponseWaiter* waiter) {
    return QDBusConnection::sessionBus().connect(QString::fromLatin1(Portal::service), handle,
                                                 QString::fromLatin1(Portal::requestInterface),
                                                 QStringLiteral("Response"), waiter, responseSlot());
}

void stopListening(const QString& handle, PortalResponseWaiter* waiter) {
    QDBusConnection::sessionBus().disconnect(QString::fromLatin1(Portal::service), handle,
                                             QString::fromLatin1(Portal::requestInterface), QStringLiteral("Response"),
                                             waiter, responseSlot());
}

QString describeError(const QDBusMessage& error) {
    return error.errorName() + QStringLiteral(": ") + error.errorMessage();
}

Portal::Reply replyOfResponse(const QDBusMessage& response, const QString& method) {
    if (response.signature() != QLatin1String("ua{sv}"))
        return {Portal::Outcome::badReply,
                {},
                QStringLiteral("the response to %1 has the signature \"%2\" instead of \"ua{sv}\"")
                    .arg(method, response.signature())};
    const QVariantList args = response.arguments();
    const uint code = args.at(0).toUInt();
    switch (code) {
    case 0: return {Portal::Outcome::success, qdbus_cast<QVariantMap>(args.at(1)), {}};
    case 1: return {Portal::Outcome::refused, {}, QStringLiteral("the user declined %1").arg(method)};
    case 2: return {Portal::Outcome::failed, {}, QStringLiteral("the portal ended %1").arg(method)};
    default:
        return {
            Portal::Outcome::badReply, {}, QStringLiteral("the response to %1 has the code %2").arg(method).arg(code)};
    }
}

}  // namespace

namespace Portal {

std::optional<QString> objectPath(const QVariant& value) {
    QString text;
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        text = value.value<QDBusObjectPath>().path();
    else if (value.metaType() == QMetaType::fromType<QString>())
        text = value.toString();
    else
        return std::nullopt;
    static const QRegularExpression valid(QStringLiteral("^(/[A-Za-z0-9_]+)+$"));
    if (!valid.match(text).hasMatch()) return std::nullopt;
    return text;
}

Outcome outcomeOfError(const QDBusMessage& error) {
    switch (QDBusError(error).type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::UnknownMethod:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownObject:
    case QDBusError::Disconnected: return Outcome::missing;
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut: return Outcome::noAnswer;
    default: break;
    }
    // The portal's own word for a permission the user withheld.
    if (error.errorName() == QLatin1String("org.freedesktop.portal.Error.NotAllowed")) return Outcome::refused;
    return Outcome::failed;
}

}  // namespace Portal

PortalRequests::PortalRequests(QObject* parent) : QObject(parent) {}

PortalRequests::~PortalRequests() { abortAll(); }

QString PortalRequests::newToken(const char* kind) {
    static std::atomic<quint64> counter{0};
    return QStringLiteral("vantrose_%1_%2_%3")
        .arg(QLatin1String(kind))
        .arg(++counter)
        .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
}

QString PortalRequests::handlePath(const char* kind, const QString& token) {
    return QStringLiteral("%1/%2/%3/%4").arg(QLatin1String(Portal::path), QLatin1String(kind), senderElement(), token);
}

void PortalRequests::abortAll() {
    const auto waiters = m_waiters;
    m_waiters.clear();
    for (const QPointer<PortalResponseWaiter>& waiter : waiters)
        if (waiter) waiter->abort();
}

QCoro::Task<Portal::Reply> PortalRequests::createSession(QString interface, Deadlines deadlines) {
    const QVariantMap options{{QStringLiteral("session_handle_token"), newToken("session")}};
    auto creating = request(std::move(interface), QStringLiteral("CreateSession"), {}, options, deadlines);
    Portal::Reply created = co_await creating;
    if (created.outcome != Portal::Outcome::success) co_return created;
    const std::optional<QString> session = Portal::objectPath(created.results.value(QStringLiteral("session_handle")));
    if (!session)
        co_return Portal::Reply{Portal::Outcome::badReply, {}, QStringLiteral("its response names no session")};
    created.session = *session;
    co_return created;
}

void PortalRequests::closeSession(const QString& session) {
    send(session, QString::fromLatin1(Portal::sessionInterface), QStringLiteral("Close"));
}

void Portal::watchSessionClosed(const QString& session, QObject* receiver, const char* slot) {
    QDBusConnection::sessionBus().connect(QString::fromLatin1(Portal::service), session,
                                          QString::fromLatin1(Portal::sessionInterface), QStringLiteral("Closed"),
                                          receiver, slot);
}

void Portal::unwatchSessionClosed(const QString& session, QObject* receiver, const char* slot) {
    QDBusConnection::sessionBus().disconnect(QString::fromLatin1(Portal::service), session,
                                             QString::fromLatin1(Portal::sessionInterface), QStringLiteral("Closed"),
                                             receiver, slot);
}

void PortalRequests::send(const QString& path, const QString& interface, const QString& method,
                          const QVariantList& arguments) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QString::fromLatin1(Portal::service), path, interface, method);
    message.setArguments(arguments);
    QDBusConnection::sessionBus().send(message);
}

QCoro::Task<Portal::Reply> PortalRequests::request(QString interface, QString method, QVariantList arguments,
                                                   QVariantMap options, Deadlines deadlines) {
    if (!QDBusConnection::sessionBus().isConnected())
        co_return Portal::Reply{Portal::Outcome::missing, {}, QStringLiteral("no session bus")};
    const QString token = newToken("request");
    options.insert(QStringLiteral("handle_token"), token);
    QString handle = handlePath("request", token);
    const std::unique_ptr<PortalResponseWaiter, DeleteLater> waiter(new PortalResponseWaiter);
    listen(handle, waiter.get());
    m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), nullptr), m_waiters.end());
    m_waiters.emplace_back(waiter.get());

    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(Portal::service),
                                                          QString::fromLatin1(Portal::path), interface, method);
    arguments.append(options);
    message.setArguments(arguments);
    const QPointer<PortalRequests> self(this);
    const QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, int(deadlines.reply.count()));
    const QDBusMessage reply = co_await pending;

    Portal::Reply result;
    if (waiter->aborted || !self) {
        result = {Portal::Outcome::aborted, {}, QStringLiteral("%1 was abandoned").arg(method)};
    } else if (reply.type() == QDBusMessage::ErrorMessage) {
        result = {Portal::outcomeOfError(reply), {}, describeError(reply)};
    } else if (reply.signature() != QLatin1String("o")) {
        result = {
            Portal::Outcome::badReply,
            {},
            QStringLiteral("the reply to %1 has the signature \"%2\" instead of \"o\"").arg(method, reply.signature())};
    } else {
        const QString returned = reply.arguments().at(0).value<QDBusObjectPath>().path();
        if (returned != handle) {
            // Older portals choose the handle themselves; listen where they say.
            stopListening(handle, waiter.get());
            handle = returned;
            listen(handle, waiter.get());
        }
        if (!waiter->response && !waiter->aborted)
            co_await qCoro(waiter.get(), &PortalResponseWaiter::finished, deadlines.response);
        if (waiter->aborted || !self) {
            result = {Portal::Outcome::aborted, {}, QStringLiteral("%1 was abandoned").arg(method)};
        } else if (!waiter->response) {
            result = {Portal::Outcome::noAnswer, {}, QStringLiteral("no response to %1").arg(method)};
            send(handle, QString::fromLatin1(Portal::requestInterface), QStringLiteral("Close"));
        } else {
            result = replyOfResponse(*waiter->response, method);
        }
    }
    stopListening(handle, waiter.get());
    co_return result;
}

QCoro::Task<Portal::Reply> PortalRequests::call(QString interface, QString method, QVariantList arguments,
                                                std::chrono::milliseconds deadline) {
    if (!QDBusConnection::sessionBus().isConnected())
        co_return Portal::Reply{Portal::Outcome::missing, {}, QStringLiteral("no session bus")};
    QDBusMessage message = QDBusMessage::createMethodCall(QString::fromLatin1(Portal::service),
                                                          QString::fromLatin1(Portal::path), interface, method);
    message.setArguments(arguments);
    const QPointer<PortalRequests> self(this);
    const QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(message, int(deadline.count()));
    const QDBusMessage reply = co_await pending;
    if (!self) co_return Portal::Reply{Portal::Outcome::aborted, {}, QStringLiteral("%1 was abandoned").arg(method)};
    if (reply.type() == QDBusMessage::ErrorMessage)
        co_return Portal::Reply{Portal::outcomeOfError(reply), {}, describeError(reply)};
    co_return Portal::Reply{Portal::Outcome::success, {}, {}};
}
