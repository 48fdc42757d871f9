#pragma once

#include "client/adapter/linkinfo.h"
#include "client/adapter/networkadapter.h"

#include <QStringList>

namespace torvane::client {

// Which adapter the inspection shows and which adapters a switch touches. Pure functions of the
// link inventory, so the policy is tested without privileges.
//
// Candidates: links that are up, not loopback, and carry an IPv4 address.
// Display order: lowest default-route metric first (links without one last), then by tier
// (0 physical; 1 a veth not named veth*, i.e. the uplink of a container or namespace; 2 other
// virtual links: bridges, tun/tap, host-side veths, docker/virbr/...), then ifindex.
// A switch with a local IP puts that address (and only it) on the first candidate; the gateway
// must lie in the new subnet. The default gateway goes on every candidate whose subnet (after
// the address change) holds the gateway; when there is none the switch is refused. DNS servers
// are system-wide and written once. A gateway that is one of the host's own addresses, or the
// network or broadcast address of a subnet it would be reached through, is refused; so are a
// gateway and DNS servers written with leading zeros.
namespace AdapterPolicy {

bool IsCandidate(const LinkInfo& link);
bool IsVirtual(const LinkInfo& link);
int Tier(const LinkInfo& link);
QList<LinkInfo> DisplayOrder(const QList<LinkInfo>& links);
// The lowest-metric default route with a gateway, or nullptr.
const DefaultRoute* BestDefault(const LinkInfo& link);

struct SwitchPlan {
    QString errorText; // not empty: refuse and change nothing
    SwitchFailure failure = SwitchFailure::None;
    bool changeAddress = false;
    int addressIfindex = 0;
    QString addressLink;
    Ipv4Address newAddress;
    quint32 gateway = 0;
    QList<LinkInfo> gatewayLinks; // display order
    QStringList dnsServers;       // primary, then secondary when given
};

SwitchPlan Plan(const QList<LinkInfo>& links, const AdapterSettings& settings);

} // namespace AdapterPolicy

} // namespace torvane::client
