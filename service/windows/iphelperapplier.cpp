#include "service/windows/iphelperapplier.h"

#include "client/adapter/adapterpolicy.h"
#include "common/ipv4.h"

#include <QUuid>
#include <QtEndian>

#include <string>

namespace torvane::service {

using client::IpHelperApi;
using client::Ipv4Address;
using client::WindowsErrorText;
using client::WindowsLink;

namespace {

SwitchReply Done() {
    return {SwitchFailure::None, {}};
}

SwitchReply Refused(DWORD error, SwitchFailure otherwise, const QString& what) {
    return {error == ERROR_ACCESS_DENIED ? SwitchFailure::NoPermission : otherwise,
            what + QStringLiteral(": ") + WindowsErrorText(error)};
}

// A call the system lacks fails like one it refuses.
template <typename Function, typename... Args>
DWORD Call(const Function& function, Args&&... args) {
    if (!function)
        return ERROR_PROC_NOT_FOUND;
    return function(std::forward<Args>(args)...);
}

SOCKADDR_IN Ipv4Sockaddr(quint32 address) {
    SOCKADDR_IN sockaddr{};
    sockaddr.sin_family = AF_INET;
    sockaddr.sin_addr.s_addr = qToBigEndian(address);
    return sockaddr;
}

bool IsDefaultRouteOf(const MIB_IPFORWARD_ROW2& row, const WindowsLink& link) {
    return row.DestinationPrefix.PrefixLength == 0 &&
           row.DestinationPrefix.Prefix.si_family == AF_INET &&
           (row.InterfaceLuid.Value == link.luid.Value ||
            int(row.InterfaceIndex) == link.info.ifindex);
}

quint32 NextHop(const MIB_IPFORWARD_ROW2& row) {
    return qFromBigEndian<quint32>(row.NextHop.Ipv4.sin_addr.s_addr);
}

} // namespace

IpHelperApplier::IpHelperApplier(IpHelperApi api) : m_api(std::move(api)) {}

AdapterSettings IpHelperApplier::current() {
    const client::NetworkParams params = client::AdapterInventory::Inspect(m_api, true);
    AdapterSettings settings;
    settings.gateway = params.gateway;
    settings.primaryDns = params.dnsServers.value(0);
    settings.secondaryDns =
        params.dnsServers.size() >= 2 ? params.dnsServers.constLast() : QString();
    return settings;
}

SwitchReply IpHelperApplier::apply(const AdapterSettings& settings) {
    QList<WindowsLink> links;
    QString why;
    const client::InspectionOutcome read = client::AdapterInventory::ReadLinks(m_api, &links, &why);
    if (read == client::InspectionOutcome::NoAdapter)
        return {SwitchFailure::NoAdapter, QStringLiteral("no adapter carries IPv4 (%1)").arg(why)};
    if (read != client::InspectionOutcome::Ok)
        return {SwitchFailure::Other, QStringLiteral("the adapter list could not be read: ") + why};
    const client::AdapterPolicy::SwitchPlan plan =
        client::AdapterPolicy::Plan(client::AdapterInventory::Infos(links), settings);
    if (!plan.errorText.isEmpty())
        return {plan.failure, plan.errorText};

    const auto linkOf = [&links](int ifindex) -> const WindowsLink& {
        for (const WindowsLink& link : links) {
            if (link.info.ifindex == ifindex)
                return link;
        }
        Q_UNREACHABLE(); // the plan names only adapters of this list
    };
    if (plan.changeAddress) {
        const SwitchReply reply = changeAddress(linkOf(plan.addressIfindex), plan.newAddress);
        if (reply.failure != SwitchFailure::None)
            return reply;
    }
    for (const client::LinkInfo& info : plan.gatewayLinks) {
        const SwitchReply reply = setDefaultRoute(linkOf(info.ifindex), plan.gateway);
        if (reply.failure != SwitchFailure::None)
            return reply;
    }
    for (const client::LinkInfo& info : plan.gatewayLinks) {
        const SwitchReply reply = setDnsServers(linkOf(info.ifindex), plan.dnsServers);
        if (reply.failure != SwitchFailure::None)
            return reply;
    }
    return Done();
}

SwitchReply IpHelperApplier::changeAddress(const WindowsLink& link, const Ipv4Address& address) {
    const auto row = [this, &link](const Ipv4Address& entry) {
        MIB_UNICASTIPADDRESS_ROW result{};
        if (m_api.initializeUnicastIpAddressEntry)
            m_api.initializeUnicastIpAddressEntry(&result);
        result.InterfaceLuid = link.luid;
        result.InterfaceIndex = NET_IFINDEX(link.info.ifindex);
        result.Address.Ipv4 = Ipv4Sockaddr(entry.address);
        result.OnLinkPrefixLength = UINT8(entry.prefix);
        result.DadState = IpDadStatePreferred;
        return result;
    };
    const QString where = QStringLiteral("address %1/%2 on %3")
                              .arg(Ipv4::Format(address.address))
                              .arg(address.prefix)
                              .arg(link.info.name);
    QList<Ipv4Address> others;
    for (const Ipv4Address& old : link.info.addresses) {
        if (old.address == address.address && old.prefix == address.prefix)
            continue;
        // The same address with another mask is in the way of the new one: it goes first.
        if (old.address == address.address) {
            const DWORD error = Call(m_api.deleteUnicastIpAddressEntry, row(old));
            if (error != NO_ERROR && error != ERROR_NOT_FOUND)
                return Refused(error, SwitchFailure::AddressRefused, where);
            continue;
        }
        others.append(old);
    }
    DWORD error = Call(m_api.createUnicastIpAddressEntry, row(address));
    if (error != NO_ERROR && error != ERROR_OBJECT_ALREADY_EXISTS)
        return Refused(error, SwitchFailure::AddressRefused, where);
    for (const Ipv4Address& old : others) {
        error = Call(m_api.deleteUnicastIpAddressEntry, row(old));
        if (error != NO_ERROR && error != ERROR_NOT_FOUND) {
            return Refused(error, SwitchFailure::AddressRefused,
                           QStringLiteral("removing %1 from %2")
                               .arg(Ipv4::Format(old.address), link.info.name));
        }
    }
    return Done();
}

SwitchReply IpHelperApplier::setDefaultRoute(const WindowsLink& link, quint32 gateway) {
    const QString where =
        QStringLiteral("default route via %1 on %2").arg(Ipv4::Format(gateway), link.info.name);
    QList<MIB_IPFORWARD_ROW2> rows;
    DWORD error = Call(m_api.getIpv4ForwardTable, &rows);
    if (error != NO_ERROR)
        return Refused(error, SwitchFailure::RouteRefused, QStringLiteral("reading the routes"));

    QList<MIB_IPFORWARD_ROW2> others;
    for (const MIB_IPFORWARD_ROW2& row : rows) {
        if (!IsDefaultRouteOf(row, link))
            continue;
        if (NextHop(row) != gateway) {
            others.append(row);
        } else if (row.Metric != 1) {
            error = Call(m_api.deleteIpForwardEntry2, row);
            if (error != NO_ERROR && error != ERROR_NOT_FOUND)
                return Refused(error, SwitchFailure::RouteRefused, where);
        }
    }

    MIB_IPFORWARD_ROW2 route{};
    if (m_api.initializeIpForwardEntry)
        m_api.initializeIpForwardEntry(&route);
    route.InterfaceLuid = link.luid;
    route.InterfaceIndex = NET_IFINDEX(link.info.ifindex);
    route.DestinationPrefix.Prefix.Ipv4 = Ipv4Sockaddr(0);
    route.DestinationPrefix.PrefixLength = 0;
    route.NextHop.Ipv4 = Ipv4Sockaddr(gateway);
    route.Metric = 1;
    route.Protocol = RouteProtocolNetMgmt; // a static route, as the route tool makes it
    error = Call(m_api.createIpForwardEntry2, route);
    if (error != NO_ERROR && error != ERROR_OBJECT_ALREADY_EXISTS)
        return Refused(error, SwitchFailure::RouteRefused, where);

    for (const MIB_IPFORWARD_ROW2& row : others) {
        error = Call(m_api.deleteIpForwardEntry2, row);
        if (error != NO_ERROR && error != ERROR_NOT_FOUND) {
            return Refused(error, SwitchFailure::RouteRefused,
                           QStringLiteral("removing the default route via %1 on %2")
                               .arg(Ipv4::Format(NextHop(row)), link.info.name));
        }
    }
    return Done();
}

SwitchReply IpHelperApplier::setDnsServers(const WindowsLink& link, const QStringList& servers) {
    const QString list = servers.join(QLatin1Char(','));
    const QString where = QStringLiteral("DNS servers %1 on %2").arg(list, link.info.name);
    if (m_api.setInterfaceDnsSettings) {
        const QUuid guid(link.guid);
        if (guid.isNull())
            return {SwitchFailure::ResolverWriteFailed, where + QStringLiteral(": no adapter id")};
        std::wstring nameServer = list.toStdWString();
        client::DnsInterfaceSettings dns{};
        dns.Version = client::kDnsInterfaceSettingsVersion1;
        dns.Flags = client::kDnsSettingNameServer;
        dns.NameServer = nameServer.data();
        const DWORD error = m_api.setInterfaceDnsSettings(GUID(guid), dns);
        if (error != NO_ERROR)
            return Refused(error, SwitchFailure::ResolverWriteFailed, where);
        return Done();
    }
    // Systems before Windows 10 2004: the value the resolver reads, and its cache emptied so
    // that names are asked of the new servers at once.
    if (link.guid.isEmpty())
        return {SwitchFailure::ResolverWriteFailed, where + QStringLiteral(": no adapter id")};
    const DWORD error = Call(m_api.writeNameServerValue, link.guid, list);
    if (error != NO_ERROR)
        return Refused(error, SwitchFailure::ResolverWriteFailed, where);
    if (m_api.flushResolverCache)
        m_api.flushResolverCache();
    return Done();
}

} // namespace torvane::service
