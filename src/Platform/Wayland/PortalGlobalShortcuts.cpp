#include "Platform/Wayland/PortalGlobalShortcuts.h"

#include "Foundation/Logger.h"
#include "Platform/KeyboardMonitor.h"
#include "Platform/LogCategories.h"
#include "Platform/Wayland/PortalRequests.h"
#include "Platform/Wayland/ShortcutTrigger.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QStringList>

#include <algorithm>

// One element of the shortcut lists the portal takes and gives: an id and its properties (a(sa{sv})).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalShortcut)

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

constexpr auto kInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr auto kShortcutList = "a(sa{sv})";

QString description(HotkeyAction action) {
    switch (action) {
    case HotkeyAction::activate: return QStringLiteral("Dictate while held (push-to-talk)");
    case HotkeyAction::lock: return QStringLiteral("Start or stop hands-free dictation");
    case HotkeyAction::pasteLastTranscript: return QStringLiteral("Paste the last transcript");
    case HotkeyAction::cancel: return QStringLiteral("Cancel the dictation");
    }
    return {};
}

QList<PortalShortcut> shortcutsFor(const QList<HotkeyBinding>& bindings) {
    QList<PortalShortcut> shortcuts;
    for (const HotkeyBinding& binding : bindings) {
        PortalShortcut shortcut{rawValue(binding.action),
                                {{QStringLiteral("description"), description(binding.action)}}};
        if (const std::optional<QString> trigger = ShortcutTrigger::preferredTrigger(binding.hotkey))
            shortcut.properties.insert(QStringLiteral("preferred_trigger"), *trigger);
        shortcuts << shortcut;
    }
    return shortcuts;
}

// The "shortcuts" of BindShortcuts' response; nothing when it is not a shortcut list.
std::optional<QList<PortalShortcut>> shortcutList(const QVariant& value) {
    if (value.metaType() != QMetaType::fromType<QDBusArgument>()) return std::nullopt;
    const QDBusArgument argument = value.value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String(kShortcutList)) return std::nullopt;
    QList<PortalShortcut> shortcuts;
    argument >> shortcuts;
    return shortcuts;
}

bool isFailure(PortalGlobalShortcuts::State state) {
    using S = PortalGlobalShortcuts::State;
    return state != S::idle && state != S::starting && state != S::active;
}

}  // namespace

PortalGlobalShortcuts::PortalGlobalShortcuts(QObject* parent)
    : QObject(parent),
      m_requests(new PortalRequests(this)),
      m_watcher(new QDBusServiceWatcher(QString::fromLatin1(Portal::service), QDBusConnection::sessionBus(),
                                        QDBusServiceWatcher::WatchForOwnerChange, this)) {
    static const bool registered = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    (void)registered;
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                onOwnerChanged(oldOwner, newOwner);
            });
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QString::fromLatin1(Portal::service), path = QString::fromLatin1(Portal::path);
    bus.connect(service, path, QString::fromLatin1(kInterface), QStringLiteral("Activated"), this,
                SLOT(onActivated(QDBusMessage)));
    bus.connect(service, path, QString::fromLatin1(kInterface), QStringLiteral("Deactivated"), this,
                SLOT(onDeactivated(QDBusMessage)));
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    ++m_generation;
    if (!m_session.isEmpty()) m_requests->closeSession(m_session);
}

bool PortalGlobalShortcuts::isBound(HotkeyAction action) const {
    return std::any_of(m_bound.cbegin(), m_bound.cend(),
                       [action](const BoundShortcut& b) { return b.action == action; });
}

QCoro::Task<PortalGlobalShortcuts::State> PortalGlobalShortcuts::start(QList<HotkeyBinding> bindings) {
    const uint64_t generation = ++m_generation;
    m_remakeWhenBack = false;
    endSession(true);
    m_requests->abortAll();
    m_bindings = KeyboardMonitor::effectiveBindings(bindings);
    setState(State::starting);
    return establish(generation);
}

void PortalGlobalShortcuts::stop() {
    ++m_generation;
    m_remakeWhenBack = false;
    endSession(true);
    m_requests->abortAll();
    setState(State::idle);
}

QCoro::Task<PortalGlobalShortcuts::State> PortalGlobalShortcuts::establish(uint64_t generation) {
    const QPointer<PortalGlobalShortcuts> self(this);
    const PortalRequests::Deadlines quick{m_deadlines.reply, m_deadlines.response};
    const QString interface = QString::fromLatin1(kInterface);
    auto creating = m_requests->createSession(interface, quick);
    const Portal::Reply created = co_await creating;
    if (!self) co_return State::idle;
    if (generation != m_generation) co_return m_state;
    if (created.outcome != Portal::Outcome::success) co_return fail(created, QStringLiteral("CreateSession"));
    m_session = created.session;
    Portal::watchSessionClosed(m_session, this, SLOT(onClosed(QDBusMessage)));

    const QList<PortalShortcut> wanted = shortcutsFor(m_bindings);
    const QVariantList arguments{QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(wanted),
                                 QString()};
    auto binding = m_requests->request(interface, QStringLiteral("BindShortcuts"), arguments, {},
                                       {m_deadlines.reply, m_deadlines.consent});
    const Portal::Reply bound = co_await binding;
    if (!self) co_return State::idle;
    if (generation != m_generation) co_return m_state;
    if (bound.outcome != Portal::Outcome::success) {
        endSession(true);
        co_return fail(bound, QStringLiteral("BindShortcuts"));
    }

    // Portals that do not list what they bound are taken at their word: all of it.
    QList<PortalShortcut> granted = wanted;
    if (bound.results.contains(QStringLiteral("shortcuts"))) {
        const std::optional<QList<PortalShortcut>> list =
            shortcutList(bound.results.value(QStringLiteral("shortcuts")));
        if (!list) {
            endSession(true);
            co_return fail({Portal::Outcome::badReply, {}, QStringLiteral("its response holds no shortcut list")},
                           QStringLiteral("BindShortcuts"));
        }
        granted = *list;
    }
    m_bound.clear();
    for (const PortalShortcut& shortcut : std::as_const(granted)) {
        const std::optional<HotkeyAction> action = fromRawValue<HotkeyAction>(shortcut.id);
        const bool asked =
            std::any_of(wanted.cbegin(), wanted.cend(), [&](const PortalShortcut& w) { return w.id == shortcut.id; });
        if (!action || !asked) continue;
        m_bound << BoundShortcut{*action, shortcut.properties.value(QStringLiteral("trigger_description")).toString()};
    }
    m_remakeWhenBack = true;
    setState(State::active);
    co_return m_state;
}

PortalGlobalShortcuts::State PortalGlobalShortcuts::fail(const Portal::Reply& reply, const QString& step) {
    if (const std::optional<State> state = Portal::failureState<State>(reply.outcome))
        setState(*state, step + QStringLiteral(": ") + reply.detail);
    return m_state;
}

void PortalGlobalShortcuts::endSession(bool closeAtPortal) {
    if (!m_session.isEmpty()) {
        Portal::unwatchSessionClosed(m_session, this, SLOT(onClosed(QDBusMessage)));
        if (closeAtPortal) m_requests->closeSession(m_session);
        m_session.clear();
    }
    const bool wasBound = m_state == State::active;
    m_bound.clear();
    if (wasBound) Q_EMIT sessionEnded();
}

void PortalGlobalShortcuts::onOwnerChanged(const QString& oldOwner, const QString& newOwner) {
    if (!oldOwner.isEmpty() && (m_state == State::active || m_state == State::starting)) {
        ++m_generation;
        m_remakeWhenBack = true;  // a session was wanted: make it again when the portal returns
        m_requests->abortAll();
        endSession(false);  // its session went with it
        setState(State::portalGone, QStringLiteral("the portal left the session bus"));
    }
    if (!newOwner.isEmpty() && m_state == State::portalGone && m_remakeWhenBack) {
        VLOG_INFO(lcPortal) << "The portal is back; binding the global shortcuts again";
        const uint64_t generation = ++m_generation;
        setState(State::starting);
        establish(generation);  // runs to its end by itself and reports through the state
    }
}

std::optional<HotkeyAction> PortalGlobalShortcuts::shortcutOf(const QDBusMessage& message, const char* signal) {
    if (message.signature() != QLatin1String("osta{sv}")) {
        logGarbageOnce(QStringLiteral("%1 with the signature \"%2\"").arg(QLatin1String(signal), message.signature()));
        return std::nullopt;
    }
    const QVariantList args = message.arguments();
    if (m_session.isEmpty() || args.at(0).value<QDBusObjectPath>().path() != m_session) return std::nullopt;
    const std::optional<HotkeyAction> action = fromRawValue<HotkeyAction>(args.at(1).toString());
    if (!action) logGarbageOnce(QStringLiteral("%1 for an unknown shortcut").arg(QLatin1String(signal)));
    return action;
}

void PortalGlobalShortcuts::onActivated(const QDBusMessage& message) {
    if (const std::optional<HotkeyAction> action = shortcutOf(message, "Activated")) Q_EMIT activated(*action);
}

void PortalGlobalShortcuts::onDeactivated(const QDBusMessage& message) {
    if (const std::optional<HotkeyAction> action = shortcutOf(message, "Deactivated")) Q_EMIT deactivated(*action);
}

void PortalGlobalShortcuts::onClosed(const QDBusMessage& message) {
    if (message.path() != m_session) return;
    ++m_generation;
    m_remakeWhenBack = false;
    endSession(false);
    setState(State::closed, QStringLiteral("the desktop closed the shortcuts session"));
}

void PortalGlobalShortcuts::setState(State state, const QString& problem) {
    if (state == m_state && problem == m_problem) return;
    m_state = state;
    m_problem = problem;
    if (state == State::active) {
        QStringList bound;
        for (const BoundShortcut& shortcut : std::as_const(m_bound))
            bound << rawValue(shortcut.action) + (shortcut.trigger.isEmpty() ? QString() : "=" + shortcut.trigger);
        VLOG_INFO(lcPortal) << "Global shortcuts bound through the desktop portal: "
                            << (bound.isEmpty() ? QStringLiteral("none") : bound.join(QStringLiteral(", ")));
    } else if (isFailure(state)) {
        VLOG_WARNING(lcPortal) << "Global shortcuts through the desktop portal: " << rawValue(state) << " (" << problem
                               << ")";
    }
    Q_EMIT stateChanged(state);
}

void PortalGlobalShortcuts::logGarbageOnce(const QString& what) {
    if (m_loggedGarbage.contains(what)) return;
    m_loggedGarbage.insert(what);
    VLOG_WARNING(lcPortal) << "Ignoring a malformed signal from the desktop portal: " << what;
}
