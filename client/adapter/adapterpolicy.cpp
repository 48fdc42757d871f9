#include "client/adapter/adapterpolicy.h"

#include "common/ipv4.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace torvane::client {

namespace AdapterPolicy {

namespace {

// Names that virtual links get from the usual tools, for links whose kind is not reported.
const char* const kVirtualPrefixes[] = {"veth",    "br-", "docker",    "virbr",   "vnet", "tun",
                                        "tap",     "wg",  "lxc",       "lxd",     "cni",  "vmnet",
                                        "vboxnet", "zt",  "tailscale", "flannel", "cali", "dummy"};

quint64 BestMetric(const LinkInfo& link) {
    quint64 best = std::numeric_limits<quint64>::max();
    for (const DefaultRoute& route : link.defaultRoutes)
        best = std::min<quint64>(best, route.metric);
    return best;
}

bool HoldsOnLink(const QList<Ipv4Address>& addresses, quint32 gateway) {
    for (const Ipv4Address& a : addresses) {
        if (a.prefix < 32 && Ipv4::InSubnet(gateway, a.address, a.prefix))
            return true;
    }
    return false;
}

} // namespace

bool IsCandidate(const LinkInfo& link) {
    return link.up && !link.loopback && !link.addresses.isEmpty();
}

bool IsVirtual(const LinkInfo& link) {
    if (!link.kind.isEmpty() || !link.hasDevice)
        return true;
    for (const char* prefix : kVirtualPrefixes) {
        if (link.name.startsWith(QLatin1String(prefix)))
            return true;
    }
    return false;
}

int Tier(const LinkInfo& link) {
    if (!IsVirtual(link))
        return 0;
    // A veth that is not named like a host-side end is a container's or namespace's own uplink.
    if (link.kind == QLatin1String("veth") && !link.name.startsWith(QLatin1String("veth")))
        return 1;
    return 2;
}

QList<LinkInfo> DisplayOrder(const QList<LinkInfo>& links) {
    QList<LinkInfo> result;
    for (const LinkInfo& link : links) {
        if (IsCandidate(link))
            result.append(link);
    }
    std::stable_sort(result.begin(), result.end(), [](const LinkInfo& a, const LinkInfo& b) {
        const quint64 ma = BestMetric(a), mb = BestMetric(b);
        if (ma != mb)
            return ma < mb;
        const int ta = Tier(a), tb = Tier(b);
        if (ta != tb)
            return ta < tb;
        return a.ifindex < b.ifindex;
    });
    return result;
}

const DefaultRoute* BestDefault(const LinkInfo& link) {
    const DefaultRoute* best = nullptr;
    for (const DefaultRoute& route : link.defaultRoutes) {
        if (route.hasGateway && (!best || route.metric < best->metric))
            best = &route;
    }
    return best;
}

SwitchPlan Plan(const QList<LinkInfo>& links, const AdapterSettings& settings) {
    SwitchPlan plan;
    plan.errorText = CheckAdapterSettings(settings, &plan.failure);
    if (!plan.errorText.isEmpty())
        return plan;
    Ipv4::Parse(settings.gateway.trimmed(), &plan.gateway);
    plan.dnsServers.append(settings.primaryDns.trimmed());
    if (!settings.secondaryDns.trimmed().isEmpty())
        plan.dnsServers.append(settings.secondaryDns.trimmed());

    const QList<LinkInfo> ordered = DisplayOrder(links);
    if (ordered.isEmpty()) {
        plan.failure = SwitchFailure::NoAdapter;
        plan.errorText = QStringLiteral("no active network adapter with an IPv4 address");
        return plan;
    }
    const QString localIp = settings.localIp.trimmed();
    if (!localIp.isEmpty()) {
        plan.changeAddress = true;
        plan.addressIfindex = ordered.first().ifindex;
        plan.addressLink = ordered.first().name;
        Ipv4::Parse(localIp, &plan.newAddress.address);
        plan.newAddress.prefix = Ipv4::MaskToPrefix(settings.subnetMask.trimmed());
    }
    // The host's own addresses as they will be: every link's, the changed one's new address.
    const auto addressesAfter = [&plan](const LinkInfo& link) {
        const bool target = plan.changeAddress && link.ifindex == plan.addressIfindex;
        return target ? QList<Ipv4Address>{plan.newAddress} : link.addresses;
    };
    for (const LinkInfo& link : links) {
        for (const Ipv4Address& a : addressesAfter(link)) {
            if (a.address == plan.gateway) {
                plan.failure = SwitchFailure::GatewayIsOwnAddress;
                plan.errorText = QStringLiteral("the gateway %1 is an address of this host (%2)")
                                     .arg(Ipv4::Format(plan.gateway), link.name);
                return plan;
            }
        }
    }
    QStringList examined;
    for (const LinkInfo& link : ordered) {
        const QList<Ipv4Address> after = addressesAfter(link);
        for (const Ipv4Address& a : after) {
            if (Ipv4::IsNetworkOrBroadcast(plan.gateway, a.address, a.prefix)) {
                plan.failure = SwitchFailure::GatewayNetworkOrBroadcast;
                plan.errorText =
                    QStringLiteral("the gateway %1 is the network or broadcast address of the "
                                   "subnet %2/%3 of %4")
                        .arg(Ipv4::Format(plan.gateway),
                             Ipv4::Format(a.address & Ipv4::PrefixToBits(a.prefix)))
                        .arg(a.prefix)
                        .arg(link.name);
                plan.gatewayLinks.clear();
                return plan;
            }
        }
        if (HoldsOnLink(after, plan.gateway))
            plan.gatewayLinks.append(link);
        examined.append(link.name);
    }
    if (plan.gatewayLinks.isEmpty()) {
        plan.failure = SwitchFailure::GatewayOnNoAdapter;
        plan.errorText = QStringLiteral("the gateway %1 is not on the subnet of any active "
                                        "adapter (%2)")
                             .arg(Ipv4::Format(plan.gateway), examined.join(QStringLiteral(", ")));
    }
    return plan;
}

} // namespace AdapterPolicy

} // namespace torvane::client
