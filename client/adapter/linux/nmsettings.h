#pragma once

#include "common/switchrequest.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

namespace torvane::client {

// A connection's settings as NetworkManager sends them: setting name -> key -> value.
using NmConnectionSettings = QMap<QString, QVariantMap>;

// What a line puts on one NetworkManager device.
struct NmLine {
    QString gateway;
    QStringList dnsServers; // primary first
    QString localIp;        // empty: the device keeps its address
    int prefix = 0;         // of localIp
};

namespace NmSettings {

// The line for a switch: settings that CheckAdapterSettings() accepted.
NmLine LineFor(const AdapterSettings& settings);

// A list of dictionaries (address-data, route-data) as a plain list, whether it came off the
// bus still marshalled or was built here.
QList<QVariantMap> MapList(const QVariant& value);

// The connection's "ipv4" setting edited to carry the line. The deprecated "addresses", "dns"
// and "routes" keys go, since NetworkManager prefers them over the new ones when both are
// there. A manual profile gets the gateway; a DHCP profile keeps its leased address and gets a
// default route entry instead (its own gateway and DNS are ignored), since it rejects a
// gateway; a line with a local IP makes the profile manual with that one address.
QVariantMap EditIpv4(const QVariantMap& ipv4, const NmLine& line);

// True when the applied ipv4 setting already carries the line (after a reconnect it holds the
// profile again, and the line is put back).
bool CarriesLine(const QVariantMap& ipv4, const NmLine& line);

// What to do about an error NetworkManager answered with.
struct NmError {
    SwitchFailure failure = SwitchFailure::Other;
    QString text;
    bool retry = false; // the connection changed meanwhile: read it again and retry once
};

NmError ClassifyError(const QString& errorName, const QString& message, const QString& step);

} // namespace NmSettings

} // namespace torvane::client
