#include "service/linux/resolveddns.h"

#include "common/ipv4.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>

namespace torvane::service {

namespace {

constexpr int kAfInet = 2;

struct LinkServer {
    int family = kAfInet;
    QByteArray address; // network order
};

struct LinkDomain {
    QString domain;
    bool routeOnly = false;
};

QDBusArgument& operator<<(QDBusArgument& argument, const LinkServer& server) {
    argument.beginStructure();
    argument << server.family << server.address;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, LinkServer& server) {
    argument.beginStructure();
    argument >> server.family >> server.address;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const LinkDomain& domain) {
    argument.beginStructure();
    argument << domain.domain << domain.routeOnly;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, LinkDomain& domain) {
    argument.beginStructure();
    argument >> domain.domain >> domain.routeOnly;
    argument.endStructure();
    return argument;
}

QDBusMessage ManagerCall(const QString& method) {
    return QDBusMessage::createMethodCall(
        QString::fromLatin1(kResolvedName), QStringLiteral("/org/freedesktop/resolve1"),
        QStringLiteral("org.freedesktop.resolve1.Manager"), method);
}

} // namespace

} // namespace torvane::service

Q_DECLARE_METATYPE(torvane::service::LinkServer)
Q_DECLARE_METATYPE(torvane::service::LinkDomain)

namespace torvane::service {

ResolvedDns::ResolvedDns(const QDBusConnection& bus) : m_bus(bus) {
    qDBusRegisterMetaType<LinkServer>();
    qDBusRegisterMetaType<QList<LinkServer>>();
    qDBusRegisterMetaType<LinkDomain>();
    qDBusRegisterMetaType<QList<LinkDomain>>();
}

bool ResolvedDns::Runs(const QDBusConnection& bus) {
    return bus.isConnected() &&
           bus.interface()->isServiceRegistered(QString::fromLatin1(kResolvedName));
}

bool ResolvedDns::check(SwitchFailure* failure, QString* errorText) {
    if (Runs(m_bus))
        return true;
    *failure = SwitchFailure::ResolverWriteFailed;
    *errorText = QStringLiteral("systemd-resolved is not running");
    return false;
}

bool ResolvedDns::apply(const QList<client::LinkInfo>& links, const QStringList& servers,
                        QString* errorText) {
    QList<LinkServer> addresses;
    for (const QString& server : servers) {
        quint32 value = 0;
        if (!Ipv4::Parse(server, &value))
            continue;
        LinkServer entry;
        entry.address.resize(4);
        for (int i = 0; i < 4; ++i)
            entry.address[i] = char((value >> (24 - 8 * i)) & 0xff);
        addresses.append(entry);
    }
    const QList<LinkDomain> everyDomain{{QStringLiteral("."), true}};
    for (const client::LinkInfo& link : links) {
        QDBusMessage setDns = ManagerCall(QStringLiteral("SetLinkDNS"));
        setDns << link.ifindex << QVariant::fromValue(addresses);
        QDBusMessage answer = m_bus.call(setDns);
        if (answer.type() == QDBusMessage::ReplyMessage) {
            QDBusMessage setDomains = ManagerCall(QStringLiteral("SetLinkDomains"));
            setDomains << link.ifindex << QVariant::fromValue(everyDomain);
            answer = m_bus.call(setDomains);
        }
        if (answer.type() != QDBusMessage::ReplyMessage) {
            *errorText = QStringLiteral("systemd-resolved refused the DNS servers of %1: %2")
                             .arg(link.name, answer.errorMessage());
            return false;
        }
    }
    return true;
}

QStringList ResolvedDns::servers() const {
    QDBusMessage get = QDBusMessage::createMethodCall(
        QString::fromLatin1(kResolvedName), QStringLiteral("/org/freedesktop/resolve1"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.freedesktop.resolve1.Manager") << QStringLiteral("DNS");
    const QDBusMessage answer = m_bus.call(get);
    QStringList found, global;
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return found;
    // a(iiay): link (0 for global), family, address; the links' own servers come first.
    const QDBusArgument list =
        answer.arguments().first().value<QDBusVariant>().variant().value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        int ifindex = 0, family = 0;
        QByteArray address;
        list.beginStructure();
        list >> ifindex >> family >> address;
        list.endStructure();
        if (family != kAfInet || address.size() != 4)
            continue;
        const quint32 value = quint32(quint8(address[0])) << 24 |
                              quint32(quint8(address[1])) << 16 | quint32(quint8(address[2])) << 8 |
                              quint32(quint8(address[3]));
        (ifindex == 0 ? global : found).append(Ipv4::Format(value));
    }
    list.endArray();
    found += global;
    found.removeDuplicates();
    return found;
}

} // namespace torvane::service
