#include "client/adapter/linux/nmsettings.h"

#include "common/ipv4.h"

#include <QDBusArgument>
#include <QDBusMetaType>

namespace torvane::client::NmSettings {

namespace {

const QString kDefaultDest = QStringLiteral("0.0.0.0");

bool IsDefaultRoute(const QVariantMap& route) {
    return route.value(QStringLiteral("dest")).toString() == kDefaultDest &&
           route.value(QStringLiteral("prefix")).toUInt() == 0;
}

bool IsDhcp(const QVariantMap& ipv4) {
    return ipv4.value(QStringLiteral("method")).toString() == QLatin1String("auto");
}

QStringList StringList(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) {
        QStringList list;
        value.value<QDBusArgument>() >> list;
        return list;
    }
    return value.toStringList();
}

} // namespace

NmLine LineFor(const AdapterSettings& settings) {
    NmLine line;
    line.gateway = settings.gateway.trimmed();
    line.dnsServers.append(settings.primaryDns.trimmed());
    if (!settings.secondaryDns.trimmed().isEmpty())
        line.dnsServers.append(settings.secondaryDns.trimmed());
    line.localIp = settings.localIp.trimmed();
    if (!line.localIp.isEmpty())
        line.prefix = Ipv4::MaskToPrefix(settings.subnetMask.trimmed());
    return line;
}

QList<QVariantMap> MapList(const QVariant& value) {
    if (value.canConvert<QDBusArgument>()) {
        QList<QVariantMap> list;
        value.value<QDBusArgument>() >> list;
        return list;
    }
    return value.value<QList<QVariantMap>>();
}

QVariantMap EditIpv4(const QVariantMap& original, const NmLine& line) {
    QVariantMap ipv4 = original;
    for (const char* deprecated : {"addresses", "dns", "routes"})
        ipv4.remove(QLatin1String(deprecated));

    const bool changeAddress = !line.localIp.isEmpty();
    if (changeAddress) {
        ipv4[QStringLiteral("method")] = QStringLiteral("manual");
        const QVariantMap address{{QStringLiteral("address"), line.localIp},
                                  {QStringLiteral("prefix"), uint(line.prefix)}};
        ipv4[QStringLiteral("address-data")] = QVariant::fromValue(QList<QVariantMap>{address});
    }
    // The route entry of an earlier switch (or a default route of the profile) gives way.
    QList<QVariantMap> routes;
    for (const QVariantMap& route : MapList(ipv4.value(QStringLiteral("route-data")))) {
        if (!IsDefaultRoute(route))
            routes.append(route);
    }
    if (IsDhcp(ipv4)) {
        ipv4.remove(QStringLiteral("gateway"));
        ipv4[QStringLiteral("never-default")] = true;
        ipv4[QStringLiteral("ignore-auto-dns")] = true;
        routes.append(QVariantMap{{QStringLiteral("dest"), kDefaultDest},
                                  {QStringLiteral("prefix"), uint(0)},
                                  {QStringLiteral("next-hop"), line.gateway}});
    } else {
        ipv4[QStringLiteral("gateway")] = line.gateway;
        ipv4[QStringLiteral("never-default")] = false;
    }
    ipv4[QStringLiteral("route-data")] = QVariant::fromValue(routes);
    ipv4[QStringLiteral("dns-data")] = line.dnsServers;
    return ipv4;
}

bool CarriesLine(const QVariantMap& ipv4, const NmLine& line) {
    if (StringList(ipv4.value(QStringLiteral("dns-data"))) != line.dnsServers)
        return false;
    if (!line.localIp.isEmpty()) {
        const QList<QVariantMap> addresses = MapList(ipv4.value(QStringLiteral("address-data")));
        if (addresses.size() != 1 ||
            addresses.first().value(QStringLiteral("address")).toString() != line.localIp ||
            int(addresses.first().value(QStringLiteral("prefix")).toUInt()) != line.prefix)
            return false;
    }
    if (!IsDhcp(ipv4))
        return ipv4.value(QStringLiteral("gateway")).toString() == line.gateway &&
               !ipv4.value(QStringLiteral("never-default")).toBool();
    if (!ipv4.value(QStringLiteral("never-default")).toBool() ||
        !ipv4.value(QStringLiteral("ignore-auto-dns")).toBool())
        return false;
    int defaults = 0;
    bool viaLine = false;
    for (const QVariantMap& route : MapList(ipv4.value(QStringLiteral("route-data")))) {
        if (IsDefaultRoute(route)) {
            ++defaults;
            viaLine = route.value(QStringLiteral("next-hop")).toString() == line.gateway;
        }
    }
    return defaults == 1 && viaLine;
}

NmError ClassifyError(const QString& errorName, const QString& message, const QString& step) {
    NmError error;
    const QString detail = message.isEmpty() ? errorName : message;
    if (errorName.endsWith(QLatin1String(".VersionIdMismatch"))) {
        error.retry = true;
        error.text = QStringLiteral("the connection changed while it was edited (%1)").arg(step);
        return error;
    }
    // NetworkManager answers a polkit refusal with PermissionDenied; the bus itself answers
    // AccessDenied when its policy keeps the caller away.
    if (errorName.endsWith(QLatin1String(".PermissionDenied")) ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired")) {
        error.failure = SwitchFailure::NoPermission;
        // Its message names the polkit action the user lacks.
        error.text =
            QStringLiteral("NetworkManager refused %1, no right to control the network: %2")
                .arg(step, detail);
        return error;
    }
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        error.failure = SwitchFailure::ServiceUnavailable;
        error.text = QStringLiteral("NetworkManager did not answer %1: %2").arg(step, detail);
        return error;
    }
    if (errorName.endsWith(QLatin1String(".NotActive"))) {
        error.failure = SwitchFailure::NoAdapter;
        error.text =
            QStringLiteral("the adapter is no longer connected (%1): %2").arg(step, detail);
        return error;
    }
    if (errorName.endsWith(QLatin1String(".InvalidConnection")) ||
        errorName.endsWith(QLatin1String(".InvalidArgument")) ||
        errorName.endsWith(QLatin1String(".IncompatibleConnection"))) {
        error.failure = SwitchFailure::InvalidSettings;
        error.text = QStringLiteral("NetworkManager rejected the line's settings (%1): %2")
                         .arg(step, detail);
        return error;
    }
    error.text = QStringLiteral("NetworkManager failed %1: %2 (%3)").arg(step, detail, errorName);
    return error;
}

} // namespace torvane::client::NmSettings
