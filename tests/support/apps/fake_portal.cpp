// A stand-in for the desktop portal (org.freedesktop.portal.Desktop) on the session bus, for the
// tests of the Wayland road: the documented GlobalShortcuts and RemoteDesktop interfaces, with
// their Request objects (a reply naming the request's handle, then its Response signal) and
// Session objects (Close, the Closed signal). Tests script it through
// org.vantrose.FakePortalControl (/control):
//   SetMode(method, mode)  how one method answers from now on:
//       accept             reply, then Response 0 with the documented results (the default)
//       refuse / fail      Response 1 (the user said no) / 2 (ended otherwise)
//       silent             reply, but never a Response
//       noreply            never reply at all
//       error              an error reply
//       garbage-reply      a reply of the wrong type
//       garbage-response   a Response of the wrong signature
//       bad-results        Response 0 with results of the wrong types
//       bind-none          (BindShortcuts) Response 0 binding nothing
//       no-keyboard        (Start) Response 0 granting the pointer only
//   Activate(id) / Deactivate(id)   the shortcut's signal to every shortcuts session
//   SendGarbageSignals()            Activated and Deactivated of the wrong signature
//   CloseSessions()                 Closed on every session, which are then gone
//   Drop() / Take()                 leaves / takes back the portal's name (sessions die with it)
//   Log()                           every portal call so far, with its options
//   SentKeys()                      every key a remote desktop session was sent
// Usage: fake_portal [--without=GlobalShortcuts] [--without=RemoteDesktop]
// Prints "READY" once it owns its names; ends with the process that started it.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QStringList>

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <map>

namespace {

const QString kPortalName = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kControlName = QStringLiteral("org.vantrose.FakePortalControl");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRemoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

struct Shortcut {
    QString id;
    QVariantMap properties;
};

}  // namespace

Q_DECLARE_METATYPE(Shortcut)

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

struct Session {
    QString interface;
    bool started = false;
    uint devices = 0;
};

QString senderElement(const QDBusMessage& message) {
    QString sender = message.service();
    if (sender.startsWith(u':')) sender.remove(0, 1);
    return sender.replace(u'.', u'_');
}

QString describe(const QVariantMap& options) {
    QStringList parts;
    for (auto it = options.cbegin(); it != options.cend(); ++it) {
        if (it.key() == QLatin1String("handle_token") || it.key() == QLatin1String("session_handle_token")) continue;
        parts << it.key() + "=" + it.value().toString();
    }
    return parts.join(u' ');
}

class FakePortal : public QDBusVirtualObject {
public:
    explicit FakePortal(QStringList without) : m_without(std::move(without)) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        m_bus = connection;
        const QString interface = message.interface(), member = message.member();
        if (message.path() == QLatin1String("/control")) return control(message);
        if (interface == kProperties && member == QLatin1String("Get")) return property(message);
        if (interface == kRequest && member == QLatin1String("Close")) return reply(message.createReply());
        if (interface == kSession && member == QLatin1String("Close")) {
            m_log << "Session.Close";
            m_sessions.erase(message.path());
            return reply(message.createReply());
        }
        if ((interface == kShortcuts || interface == kRemoteDesktop) && message.path() == kPath) {
            if (m_without.contains(interface.section(u'.', -1)))
                return reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                      QStringLiteral("No such interface")));
            return portalMethod(message, interface, member);
        }
        return reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                              QStringLiteral("Unknown method ") + member));
    }

private:
    bool reply(const QDBusMessage& message) {
        m_bus.send(message);
        return true;
    }

    QString mode(const QString& member) const { return m_modes.value(member, QStringLiteral("accept")); }

    bool property(const QDBusMessage& message) {
        const QString name = message.arguments().value(1).toString();
        QVariant value = uint(2);
        if (name == QLatin1String("AvailableDeviceTypes")) value = uint(7);
        return reply(message.createReply(QVariant::fromValue(QDBusVariant(value))));
    }

    bool portalMethod(const QDBusMessage& message, const QString& interface, const QString& member) {
        const QVariantList args = message.arguments();
        if (member.startsWith(QLatin1String("Notify"))) return notify(message, member);
        const bool isRequest = member == QLatin1String("CreateSession") || member == QLatin1String("BindShortcuts") ||
                               member == QLatin1String("SelectDevices") || member == QLatin1String("Start");
        if (!isRequest || args.isEmpty())
            return reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                                  QStringLiteral("Unknown method ") + member));
        const QVariantMap options = qdbus_cast<QVariantMap>(args.last());
        const QString handle =
            kPath + "/request/" + senderElement(message) + "/" +
            options.value(QStringLiteral("handle_token"), QStringLiteral("t%1").arg(++m_counter)).toString();
        QString entry = member;
        if (member == QLatin1String("BindShortcuts")) entry += " " + describeShortcuts(args.value(1));
        const QString described = describe(options);
        if (!described.isEmpty()) entry += " " + described;
        m_log << entry;

        const QString how = mode(member);
        if (how == QLatin1String("noreply")) {
            message.setDelayedReply(true);
            m_unanswered << message;  // kept, never answered
            return true;
        }
        if (how == QLatin1String("error"))
            return reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.Failed"),
                                                  QStringLiteral("scripted failure")));
        if (how == QLatin1String("garbage-reply")) return reply(message.createReply(QStringLiteral("nonsense")));
        reply(message.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
        if (how == QLatin1String("silent")) return true;

        QDBusMessage response = QDBusMessage::createSignal(handle, kRequest, QStringLiteral("Response"));
        if (how == QLatin1String("garbage-response")) {
            response << QStringLiteral("nonsense");
        } else if (how == QLatin1String("refuse")) {
            response << uint(1) << QVariantMap();
        } else if (how == QLatin1String("fail")) {
            response << uint(2) << QVariantMap();
        } else {
            response << uint(0) << QVariant::fromValue(results(message, interface, member, how));
        }
        return reply(response);
    }

    QString describeShortcuts(const QVariant& value) const {
        QStringList parts;
        for (const Shortcut& s : qdbus_cast<QList<Shortcut>>(value))
            parts << s.id + "=" +
                         s.properties.value(QStringLiteral("preferred_trigger"), QStringLiteral("-")).toString();
        return parts.join(u' ');
    }

    QVariantMap results(const QDBusMessage& message, const QString& interface, const QString& member,
                        const QString& how) {
        const QVariantList args = message.arguments();
        const QVariantMap options = qdbus_cast<QVariantMap>(args.last());
        const bool bad = how == QLatin1String("bad-results");
        if (member == QLatin1String("CreateSession")) {
            const QString session = kPath + "/session/" + senderElement(message) + "/" +
                                    options.value(QStringLiteral("session_handle_token")).toString();
            m_sessions[session] = Session{interface};
            if (bad) return {{QStringLiteral("session_handle"), 7}};
            // GlobalShortcuts sends the handle as a string, as its documentation says it always has.
            if (interface == kShortcuts) return {{QStringLiteral("session_handle"), session}};
            return {{QStringLiteral("session_handle"), QVariant::fromValue(QDBusObjectPath(session))}};
        }
        const QString session = args.value(0).value<QDBusObjectPath>().path();
        if (member == QLatin1String("BindShortcuts")) {
            if (bad) return {{QStringLiteral("shortcuts"), QStringLiteral("nonsense")}};
            QList<Shortcut> bound;
            if (how != QLatin1String("bind-none")) {
                for (Shortcut s : qdbus_cast<QList<Shortcut>>(args.value(1))) {
                    const QString trigger =
                        s.properties.value(QStringLiteral("preferred_trigger"), QStringLiteral("unassigned"))
                            .toString();
                    s.properties = {{QStringLiteral("description"), s.properties.value(QStringLiteral("description"))},
                                    {QStringLiteral("trigger_description"), trigger}};
                    bound << s;
                }
            }
            return {{QStringLiteral("shortcuts"), QVariant::fromValue(bound)}};
        }
        if (member == QLatin1String("SelectDevices")) {
            if (m_sessions.count(session))
                m_sessions[session].devices = options.value(QStringLiteral("types"), 7u).toUInt();
            m_persist = options.value(QStringLiteral("persist_mode"), 0u).toUInt();
            return {};
        }
        // Start
        if (bad) return {{QStringLiteral("devices"), QStringLiteral("keyboard")}};
        const uint devices = how == QLatin1String("no-keyboard") ? 2u : m_sessions[session].devices;
        m_sessions[session].devices = devices;
        m_sessions[session].started = true;
        QVariantMap out{{QStringLiteral("devices"), devices}};
        if (m_persist > 0) out.insert(QStringLiteral("restore_token"), QStringLiteral("token-%1").arg(++m_counter));
        return out;
    }

    bool notify(const QDBusMessage& message, const QString& member) {
        const QVariantList args = message.arguments();
        const QString how = mode(member);
        if (how == QLatin1String("noreply")) {
            message.setDelayedReply(true);
            m_unanswered << message;
            return true;
        }
        const auto session = m_sessions.find(args.value(0).value<QDBusObjectPath>().path());
        const bool allowed = session != m_sessions.end() && session->second.started && (session->second.devices & 1u);
        if (how == QLatin1String("error") || !allowed || args.size() != 4)
            return reply(message.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.Failed"),
                                                  QStringLiteral("Session is not allowed to send keys")));
        const QString kind = member == QLatin1String("NotifyKeyboardKeysym") ? "keysym" : "keycode";
        m_sentKeys << QStringLiteral("%1 %2 %3").arg(kind).arg(args.at(2).toInt()).arg(args.at(3).toUInt());
        return reply(message.createReply());
    }

    void emitShortcut(const QString& signal, const QString& id) {
        for (const auto& [path, session] : m_sessions) {
            if (session.interface != kShortcuts) continue;
            QDBusMessage message = QDBusMessage::createSignal(kPath, kShortcuts, signal);
            message << QVariant::fromValue(QDBusObjectPath(path)) << id << quint64(++m_counter) << QVariantMap();
            m_bus.send(message);
        }
    }

    bool control(const QDBusMessage& message) {
        const QString member = message.member();
        const QVariantList args = message.arguments();
        if (member == QLatin1String("SetMode")) {
            m_modes[args.value(0).toString()] = args.value(1).toString();
        } else if (member == QLatin1String("Activate") || member == QLatin1String("Deactivate")) {
            emitShortcut(member + "d", args.value(0).toString());
        } else if (member == QLatin1String("SendGarbageSignals")) {
            for (const char* name : {"Activated", "Deactivated"}) {
                QDBusMessage garbage = QDBusMessage::createSignal(kPath, kShortcuts, QLatin1String(name));
                garbage << QStringLiteral("activate");
                m_bus.send(garbage);
            }
        } else if (member == QLatin1String("CloseSessions")) {
            for (const auto& [path, session] : m_sessions) {
                QDBusMessage closed = QDBusMessage::createSignal(path, kSession, QStringLiteral("Closed"));
                closed << QVariantMap();
                m_bus.send(closed);
            }
            m_sessions.clear();
        } else if (member == QLatin1String("Drop")) {
            m_sessions.clear();
            m_bus.interface()->unregisterService(kPortalName);
        } else if (member == QLatin1String("Take")) {
            takeName(m_bus);
        } else if (member == QLatin1String("Log")) {
            return reply(message.createReply(m_log));
        } else if (member == QLatin1String("SentKeys")) {
            return reply(message.createReply(m_sentKeys));
        } else {
            return reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
        }
        return reply(message.createReply());
    }

public:
    // A fake left behind by another test gives its names up to this one.
    static bool takeName(QDBusConnection bus, const QString& name = kPortalName) {
        const auto taken = bus.interface()->registerService(name, QDBusConnectionInterface::ReplaceExistingService,
                                                            QDBusConnectionInterface::AllowReplacement);
        return taken.isValid() && taken.value() == QDBusConnectionInterface::ServiceRegistered;
    }

private:
    QStringList m_without;
    QDBusConnection m_bus = QDBusConnection::sessionBus();
    QHash<QString, QString> m_modes;
    std::map<QString, Session> m_sessions;
    QStringList m_log;
    QStringList m_sentKeys;
    QList<QDBusMessage> m_unanswered;
    uint m_persist = 0;
    int m_counter = 0;
};

}  // namespace

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test that started it
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    QStringList without;
    for (const QString& arg : app.arguments().mid(1))
        if (arg.startsWith(QLatin1String("--without="))) without << arg.section(u'=', 1);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "fake_portal: no session bus\n");
        return 1;
    }
    FakePortal portal(without);
    if (!bus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath) ||
        !bus.registerVirtualObject(QStringLiteral("/control"), &portal)) {
        std::fprintf(stderr, "fake_portal: cannot register its objects\n");
        return 1;
    }
    if (!FakePortal::takeName(bus, kControlName) || !FakePortal::takeName(bus)) {
        std::fprintf(stderr, "fake_portal: cannot own its names\n");
        return 1;
    }
    std::printf("READY\n");
    std::fflush(stdout);
    return app.exec();
}
