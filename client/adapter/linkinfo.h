#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

namespace torvane::client {

// One IPv4 address of a link (host order).
struct Ipv4Address {
    quint32 address = 0;
    int prefix = 0;
};

// One IPv4 default route of the main table whose next hops all leave through one link.
struct DefaultRoute {
    quint32 gateway = 0;
    bool hasGateway = false;
    quint32 metric = 0;
};

// What the adapter layer knows of one network link.
struct LinkInfo {
    int ifindex = 0;
    QString name;
    QString kind; // rtnetlink link kind ("veth", "bridge", "tun", ...), empty for hardware
    bool up = false;
    bool loopback = false;
    bool hasDevice = true;             // /sys/class/net/NAME/device exists (unknown: true)
    QList<Ipv4Address> addresses;      // kernel order: primary addresses first
    QList<DefaultRoute> defaultRoutes; // main table, dump order
};

} // namespace torvane::client
