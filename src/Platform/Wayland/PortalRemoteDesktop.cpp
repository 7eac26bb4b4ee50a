#include "Platform/Wayland/PortalRemoteDesktop.h"

#include "Foundation/Logger.h"
#include "Foundation/UserDefaults.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/PortalRequests.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>

#include <QCoro/QCoroSignal>

namespace {

constexpr auto kInterface = "org.freedesktop.portal.RemoteDesktop";
constexpr uint kKeyboard = 1;  // the device type bit
constexpr uint kPersistUntilRevoked = 2;

bool isFailure(PortalRemoteDesktop::State state) {
    using S = PortalRemoteDesktop::State;
    return state != S::idle && state != S::starting && state != S::ready;
}

}  // namespace

PortalRemoteDesktop::PortalRemoteDesktop(UserDefaults& defaults, QObject* parent)
    : QObject(parent),
      m_defaults(defaults),
      m_requests(new PortalRequests(this)),
      m_watcher(new QDBusServiceWatcher(QString::fromLatin1(Portal::service), QDBusConnection::sessionBus(),
                                        QDBusServiceWatcher::WatchForOwnerChange, this)) {
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString&) { onOwnerChanged(oldOwner); });
}

PortalRemoteDesktop::~PortalRemoteDesktop() {
    ++m_generation;
    if (!m_session.isEmpty()) m_requests->closeSession(m_session);
}

QString PortalRemoteDesktop::userMessage() const {
    const QString kept = QStringLiteral(" The text is on the clipboard and in the history: press Ctrl+V to paste it.");
    switch (m_state) {
    case State::idle:
    case State::starting:
    case State::ready: return {};
    case State::missing:
        return QStringLiteral(
                   "This desktop offers no remote desktop portal, so Vantrose cannot type the paste keys "
                   "into Wayland windows.") +
               kept;
    case State::refused:
    case State::noKeyboard:
        return QStringLiteral(
                   "Vantrose was not allowed to control the keyboard, so it could not paste. To let it "
                   "paste for you, allow keyboard control when it asks again.") +
               kept;
    case State::closed:
    case State::portalGone:
        return QStringLiteral("The desktop ended Vantrose's keyboard control, so it could not paste.") + kept;
    case State::failed:
    case State::noAnswer:
    case State::badReply:
        return QStringLiteral("The desktop's remote desktop portal did not work (%1), so Vantrose could not paste.")
                   .arg(m_problem) +
               kept;
    }
    return {};
}

QCoro::Task<PortalRemoteDesktop::State> PortalRemoteDesktop::start() {
    if (m_state == State::ready || m_state == State::starting) {
        // One session at a time: a second caller waits for the first one's answer.
        const QPointer<PortalRemoteDesktop> self(this);
        const auto longest = m_deadlines.reply * 3 + m_deadlines.response * 2 + m_deadlines.consent;
        while (self && m_state == State::starting) co_await qCoro(this, &PortalRemoteDesktop::stateChanged, longest);
        co_return self ? m_state : State::idle;
    }
    const uint64_t generation = ++m_generation;
    endSession(true);
    setState(State::starting);
    co_return co_await establish(generation);
}

void PortalRemoteDesktop::stop() {
    ++m_generation;
    endSession(true);
    m_requests->abortAll();
    setState(State::idle);
}

QCoro::Task<PortalRemoteDesktop::State> PortalRemoteDesktop::establish(uint64_t generation) {
    const QPointer<PortalRemoteDesktop> self(this);
    const PortalRequests::Deadlines quick{m_deadlines.reply, m_deadlines.response};
    const QString interface = QString::fromLatin1(kInterface);
    auto creating = m_requests->createSession(interface, quick);
    const Portal::Reply created = co_await creating;
    if (!self) co_return State::idle;
    if (generation != m_generation) co_return m_state;
    if (created.outcome != Portal::Outcome::success) co_return fail(created, QStringLiteral("CreateSession"));
    m_session = created.session;
    Portal::watchSessionClosed(m_session, this, SLOT(onClosed(QDBusMessage)));

    QVariantMap devices{{QStringLiteral("types"), kKeyboard}, {QStringLiteral("persist_mode"), kPersistUntilRevoked}};
    const QString storedToken = m_defaults.string(QString::fromLatin1(restoreTokenKey));
    if (!storedToken.isEmpty()) devices.insert(QStringLiteral("restore_token"), storedToken);
    const QVariantList sessionArgument{QVariant::fromValue(QDBusObjectPath(m_session))};
    auto selecting = m_requests->request(interface, QStringLiteral("SelectDevices"), sessionArgument, devices, quick);
    const Portal::Reply selected = co_await selecting;
    if (!self) co_return State::idle;
    if (generation != m_generation) co_return m_state;
    if (selected.outcome != Portal::Outcome::success) {
        endSession(true);
        co_return fail(selected, QStringLiteral("SelectDevices"));
    }

    const QVariantList startArguments{QVariant::fromValue(QDBusObjectPath(m_session)), QString()};
    auto starting = m_requests->request(interface, QStringLiteral("Start"), startArguments, {},
                                        {m_deadlines.reply, m_deadlines.consent});
    const Portal::Reply started = co_await starting;
    if (!self) co_return State::idle;
    if (generation != m_generation) co_return m_state;
    // A restore token serves once: whatever happened, the one handed in is spent.
    const QVariant token = started.results.value(QStringLiteral("restore_token"));
    if (started.outcome == Portal::Outcome::success && token.metaType() == QMetaType::fromType<QString>() &&
        !token.toString().isEmpty())
        m_defaults.setValue(QString::fromLatin1(restoreTokenKey), token.toString());
    else if (!storedToken.isEmpty())
        m_defaults.remove(QString::fromLatin1(restoreTokenKey));
    if (started.outcome != Portal::Outcome::success) {
        endSession(true);
        co_return fail(started, QStringLiteral("Start"));
    }
    const QVariant granted = started.results.value(QStringLiteral("devices"));
    if (granted.isValid() && granted.metaType() != QMetaType::fromType<uint>()) {
        endSession(true);
        co_return fail({Portal::Outcome::badReply, {}, QStringLiteral("its response holds no device mask")},
                       QStringLiteral("Start"));
    }
    // A portal that does not say which devices it granted gave what was asked for: the keyboard.
    if (granted.isValid() && !(granted.toUInt() & kKeyboard)) {
        endSession(true);
        setState(State::noKeyboard, QStringLiteral("Start: the keyboard was not granted"));
        co_return m_state;
    }
    setState(State::ready);
    co_return m_state;
}

QCoro::Task<bool> PortalRemoteDesktop::notify(const char* method, int value, bool pressed) {
    if (m_state != State::ready) co_return false;
    const QPointer<PortalRemoteDesktop> self(this);
    const uint64_t generation = m_generation;
    const QVariantList arguments{QVariant::fromValue(QDBusObjectPath(m_session)), QVariantMap(), value,
                                 uint(pressed ? 1 : 0)};
    auto calling =
        m_requests->call(QString::fromLatin1(kInterface), QString::fromLatin1(method), arguments, m_deadlines.reply);
    const Portal::Reply reply = co_await calling;
    if (!self || generation != m_generation) co_return false;
    if (reply.outcome == Portal::Outcome::success) co_return true;
    endSession(true);
    fail(reply, QString::fromLatin1(method));
    co_return false;
}

QCoro::Task<bool> PortalRemoteDesktop::sendKeysym(uint32_t keysym, bool pressed) {
    return notify("NotifyKeyboardKeysym", int(keysym), pressed);
}

QCoro::Task<bool> PortalRemoteDesktop::sendKeycode(int evdevKeycode, bool pressed) {
    return notify("NotifyKeyboardKeycode", evdevKeycode, pressed);
}

QCoro::Task<bool> PortalRemoteDesktop::sendChord(QList<uint32_t> keysyms) {
    const QPointer<PortalRemoteDesktop> self(this);
    QList<uint32_t> pressed;
    bool ok = true;
    for (const uint32_t keysym : keysyms) {
        ok = co_await sendKeysym(keysym, true);
        if (!self) co_return false;
        if (!ok) break;
        pressed.prepend(keysym);
    }
    for (const uint32_t keysym : std::as_const(pressed)) {
        const bool released = co_await sendKeysym(keysym, false);
        if (!self) co_return false;
        ok = ok && released;
    }
    co_return ok;
}

void PortalRemoteDesktop::endSession(bool closeAtPortal) {
    if (m_session.isEmpty()) return;
    Portal::unwatchSessionClosed(m_session, this, SLOT(onClosed(QDBusMessage)));
    if (closeAtPortal) m_requests->closeSession(m_session);
    m_session.clear();
}

PortalRemoteDesktop::State PortalRemoteDesktop::fail(const Portal::Reply& reply, const QString& step) {
    if (const std::optional<State> state = Portal::failureState<State>(reply.outcome))
        setState(*state, step + QStringLiteral(": ") + reply.detail);
    return m_state;
}

void PortalRemoteDesktop::onOwnerChanged(const QString& oldOwner) {
    if (oldOwner.isEmpty() || (m_state != State::ready && m_state != State::starting)) return;
    ++m_generation;
    m_requests->abortAll();
    endSession(false);  // its session went with it
    setState(State::portalGone, QStringLiteral("the portal left the session bus"));
}

void PortalRemoteDesktop::onClosed(const QDBusMessage& message) {
    if (message.path() != m_session) return;
    ++m_generation;
    endSession(false);
    setState(State::closed, QStringLiteral("the desktop closed the remote desktop session"));
}

void PortalRemoteDesktop::setState(State state, const QString& problem) {
    if (state == m_state && problem == m_problem) return;
    m_state = state;
    m_problem = problem;
    if (state == State::ready)
        VLOG_INFO(lcRemoteDesktop) << "Keyboard control through the desktop portal is ready";
    else if (isFailure(state))
        VLOG_WARNING(lcRemoteDesktop) << "Keyboard control through the desktop portal: " << rawValue(state) << " ("
                                      << problem << ")";
    Q_EMIT stateChanged(state);
}
