#include "client/adapter/windows/adapterinventory.h"

#include "client/adapter/adapterpolicy.h"
#include "client/clientlogging.h"
#include "common/ipv4.h"

#include <QHash>
#include <QtEndian>

#include <vector>

namespace torvane::client {

namespace AdapterInventory {

namespace {

// Words in an adapter's description or name that mark a virtual one (hypervisors' switches, VPN
// taps, the system's own pseudo adapters); the policy shows a physical adapter before them.
const char* const kVirtualMarks[] = {"virtual",    "hyper-v", "vethernet", "vmware",
                                     "virtualbox", "tap-",    "tun",       "wan miniport",
                                     "loopback",   "npcap",   "wireguard", "vpn"};

quint32 HostOrder(const SOCKADDR_IN& address) {
    return qFromBigEndian<quint32>(address.sin_addr.s_addr);
}

bool LooksVirtual(const QString& description, const QString& name) {
    const QString text = (description + QLatin1Char(' ') + name).toLower();
    for (const char* mark : kVirtualMarks) {
        if (text.contains(QLatin1String(mark)))
            return true;
    }
    return false;
}

QString GuidText(const char* adapterName) {
    // The adapter name of GetAdaptersAddresses is the interface's GUID in registry form.
    return adapterName ? QString::fromLatin1(adapterName) : QString();
}

} // namespace

InspectionOutcome ReadHostParams(const IpHelperApi& api, HostParams* params, QString* why) {
    ULONG size = 0;
    DWORD result = api.getNetworkParams(nullptr, &size);
    if (result != NO_ERROR && result != ERROR_BUFFER_OVERFLOW) {
        if (why)
            *why = QStringLiteral("GetNetworkParams size: ") + WindowsErrorText(result);
        return InspectionOutcome::NetworkParamsUnavailable;
    }
    std::vector<quint64> buffer(size / sizeof(quint64) + 1);
    size = ULONG(buffer.size() * sizeof(quint64));
    const auto info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    result = api.getNetworkParams(info, &size);
    if (result != NO_ERROR) {
        if (why)
            *why = QStringLiteral("GetNetworkParams: ") + WindowsErrorText(result);
        return InspectionOutcome::NetworkParamsFailed;
    }
    params->hostName = QString::fromLocal8Bit(info->HostName).trimmed();
    params->dnsServers.clear();
    for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry; entry = entry->Next) {
        const QString address = QString::fromLatin1(entry->IpAddress.String).trimmed();
        if (!address.isEmpty())
            params->dnsServers.append(address);
    }
    return InspectionOutcome::Ok;
}

InspectionOutcome ReadLinks(const IpHelperApi& api, QList<WindowsLink>* links, QString* why) {
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_INCLUDE_GATEWAYS;
    ULONG size = 0;
    ULONG result = api.getAdaptersAddresses(AF_INET, flags, nullptr, &size);
    if (result != NO_ERROR && result != ERROR_BUFFER_OVERFLOW) {
        // ERROR_NO_DATA: no adapter carries IPv4 at all.
        if (why)
            *why = QStringLiteral("GetAdaptersAddresses size: ") + WindowsErrorText(result);
        return InspectionOutcome::NoAdapter;
    }
    std::vector<quint64> buffer;
    // An adapter that appears between the two calls makes the list longer: ask again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        buffer.assign(size / sizeof(quint64) + 1, 0);
        size = ULONG(buffer.size() * sizeof(quint64));
        result = api.getAdaptersAddresses(
            AF_INET, flags, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
        if (result != ERROR_BUFFER_OVERFLOW)
            break;
    }
    if (result != NO_ERROR) {
        if (why)
            *why = QStringLiteral("GetAdaptersAddresses: ") + WindowsErrorText(result);
        return InspectionOutcome::AdapterListFailed;
    }

    links->clear();
    QHash<quint32, int> byIndex;
    QHash<quint32, quint32> interfaceMetric;
    for (auto adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next) {
        WindowsLink link;
        link.info.ifindex = int(adapter->IfIndex);
        link.info.name = adapter->FriendlyName ? QString::fromWCharArray(adapter->FriendlyName)
                                               : QString::number(adapter->IfIndex);
        link.description =
            adapter->Description ? QString::fromWCharArray(adapter->Description) : QString();
        link.info.up = adapter->OperStatus == IfOperStatusUp;
        link.info.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        const bool physicalType =
            adapter->IfType == IF_TYPE_ETHERNET_CSMACD || adapter->IfType == IF_TYPE_IEEE80211;
        if (!physicalType && !link.info.loopback)
            link.info.kind = QStringLiteral("iftype%1").arg(adapter->IfType);
        link.info.hasDevice = physicalType && !LooksVirtual(link.description, link.info.name);
        link.luid = adapter->Luid;
        link.guid = GuidText(adapter->AdapterName);
        for (auto unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const SOCKADDR* address = unicast->Address.lpSockaddr;
            if (!address || address->sa_family != AF_INET)
                continue;
            if (unicast->DadState == IpDadStateInvalid || unicast->DadState == IpDadStateDuplicate)
                continue;
            Ipv4Address entry;
            entry.address = HostOrder(*reinterpret_cast<const SOCKADDR_IN*>(address));
            entry.prefix = qMin<int>(unicast->OnLinkPrefixLength, 32);
            link.info.addresses.append(entry);
        }
        interfaceMetric.insert(adapter->IfIndex, adapter->Ipv4Metric);
        byIndex.insert(adapter->IfIndex, int(links->size()));
        links->append(link);
    }

    // The default routes with their metrics; without the table no gateway is known.
    QList<MIB_IPFORWARD_ROW2> rows;
    if (api.getIpv4ForwardTable && api.getIpv4ForwardTable(&rows) == NO_ERROR) {
        for (const MIB_IPFORWARD_ROW2& row : rows) {
            if (row.DestinationPrefix.PrefixLength != 0 ||
                row.DestinationPrefix.Prefix.si_family != AF_INET)
                continue;
            const auto it = byIndex.constFind(row.InterfaceIndex);
            if (it == byIndex.cend())
                continue;
            DefaultRoute route;
            route.gateway = HostOrder(row.NextHop.Ipv4);
            route.hasGateway = route.gateway != 0;
            route.metric = row.Metric + interfaceMetric.value(row.InterfaceIndex);
            (*links)[*it].info.defaultRoutes.append(route);
        }
    }
    return InspectionOutcome::Ok;
}

QList<LinkInfo> Infos(const QList<WindowsLink>& links) {
    QList<LinkInfo> infos;
    infos.reserve(links.size());
    for (const WindowsLink& link : links)
        infos.append(link.info);
    return infos;
}

NetworkParams Inspect(const IpHelperApi& api, bool quiet) {
    NetworkParams params;
    HostParams host;
    QString why;
    const auto failed = [&params, &why, quiet] {
        if (!quiet)
            qCWarning(lcAdapter).noquote() << "adapter inspection:" << why;
        return params;
    };
    params.outcome = ReadHostParams(api, &host, &why);
    if (params.outcome != InspectionOutcome::Ok)
        return failed();
    params.hostName = host.hostName;
    params.dnsServers = host.dnsServers;

    QList<WindowsLink> links;
    params.outcome = ReadLinks(api, &links, &why);
    if (params.outcome != InspectionOutcome::Ok)
        return failed();
    const QList<LinkInfo> ordered = AdapterPolicy::DisplayOrder(Infos(links));
    if (ordered.isEmpty()) {
        params.outcome = InspectionOutcome::NoAdapter;
        return params;
    }
    const LinkInfo& first = ordered.first();
    params.adapterName = first.name;
    params.localIp = Ipv4::Format(first.addresses.first().address);
    params.subnetMask = Ipv4::PrefixToMask(first.addresses.first().prefix);
    if (const DefaultRoute* route = AdapterPolicy::BestDefault(first))
        params.gateway = Ipv4::Format(route->gateway);
    return params;
}

} // namespace AdapterInventory

} // namespace torvane::client
