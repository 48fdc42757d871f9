#include "tests/support/fakeiphelper.h"

#include "common/ipv4.h"

#include <QUuid>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace torvane::testing {

namespace {

constexpr ULONG kInfinite = 0xffffffff;

quint64 LuidOf(int ifindex) {
    return (quint64(ifindex) << 24) | 6;
}

SOCKADDR_IN Sockaddr(const QString& address) {
    quint32 host = 0;
    Ipv4::Parse(address, &host);
    SOCKADDR_IN sockaddr{};
    sockaddr.sin_family = AF_INET;
    sockaddr.sin_addr.s_addr = qToBigEndian(host);
    return sockaddr;
}

QString Text(const SOCKADDR_IN& sockaddr) {
    return Ipv4::Format(qFromBigEndian<quint32>(sockaddr.sin_addr.s_addr));
}

bool SameRoute(const MIB_IPFORWARD_ROW2& a, const MIB_IPFORWARD_ROW2& b) {
    return a.InterfaceLuid.Value == b.InterfaceLuid.Value &&
           a.DestinationPrefix.PrefixLength == b.DestinationPrefix.PrefixLength &&
           a.NextHop.Ipv4.sin_addr.s_addr == b.NextHop.Ipv4.sin_addr.s_addr;
}

QString Describe(const MIB_IPFORWARD_ROW2& row) {
    return QStringLiteral("route 0.0.0.0/%1 via %2 metric %3 on %4")
        .arg(row.DestinationPrefix.PrefixLength)
        .arg(Text(row.NextHop.Ipv4))
        .arg(row.Metric)
        .arg(row.InterfaceIndex);
}

} // namespace

void FakeIpHelper::addAdapter(int ifindex, const QString& name, const QString& address,
                              int prefix) {
    Adapter adapter;
    adapter.ifindex = ifindex;
    adapter.name = name;
    adapter.description = QStringLiteral("Intel(R) Ethernet Connection");
    adapter.guid = QStringLiteral("{6B29FC40-CA47-1067-B31D-00DD0106%1}")
                       .arg(ifindex, 4, 10, QLatin1Char('0'));
    if (!address.isEmpty())
        adapter.addresses.append({address, prefix});
    adapters.append(adapter);
}

void FakeIpHelper::addDefaultRoute(int ifindex, const QString& gateway, ULONG metric) {
    MIB_IPFORWARD_ROW2 row{};
    row.InterfaceIndex = NET_IFINDEX(ifindex);
    row.InterfaceLuid.Value = LuidOf(ifindex);
    row.DestinationPrefix.Prefix.Ipv4 = Sockaddr(QStringLiteral("0.0.0.0"));
    row.DestinationPrefix.PrefixLength = 0;
    row.NextHop.Ipv4 = Sockaddr(gateway);
    row.Metric = metric;
    m_routes.append(row);
}

QStringList FakeIpHelper::defaultRoutes(int ifindex) const {
    QStringList result;
    for (const MIB_IPFORWARD_ROW2& row : m_routes) {
        if (int(row.InterfaceIndex) == ifindex && row.DestinationPrefix.PrefixLength == 0)
            result.append(QStringLiteral("%1 %2").arg(Text(row.NextHop.Ipv4)).arg(row.Metric));
    }
    result.sort();
    return result;
}

QStringList FakeIpHelper::addresses(int ifindex) const {
    QStringList result;
    for (const Adapter& adapter : adapters) {
        if (adapter.ifindex != ifindex)
            continue;
        for (const auto& [address, prefix] : adapter.addresses)
            result.append(QStringLiteral("%1/%2").arg(address).arg(prefix));
    }
    return result;
}

FakeIpHelper::Adapter* FakeIpHelper::adapter(int ifindex) {
    for (Adapter& adapter : adapters) {
        if (adapter.ifindex == ifindex)
            return &adapter;
    }
    return nullptr;
}

bool FakeIpHelper::fails(const QString& call, DWORD* error) const {
    const auto it = errors.constFind(call);
    if (it == errors.cend())
        return false;
    *error = *it;
    return true;
}

ULONG FakeIpHelper::getAdaptersAddresses(IP_ADAPTER_ADDRESSES* buffer, ULONG* size) {
    DWORD error = NO_ERROR;
    if (!buffer && fails(QStringLiteral("GetAdaptersAddresses size"), &error))
        return error;
    if (adapters.isEmpty())
        return ERROR_NO_DATA;
    const ULONG needed = ULONG(adapters.size() * sizeof(IP_ADAPTER_ADDRESSES));
    if (!buffer || *size < needed) {
        *size = needed;
        return ERROR_BUFFER_OVERFLOW;
    }
    if (fails(QStringLiteral("GetAdaptersAddresses"), &error))
        return error;
    for (int i = 0; i < adapters.size(); ++i) {
        const Adapter& adapter = adapters[i];
        IP_ADAPTER_ADDRESSES& out = buffer[i];
        std::memset(&out, 0, sizeof out);
        out.Length = sizeof out;
        out.IfIndex = IF_INDEX(adapter.ifindex);
        out.Next = i + 1 < adapters.size() ? &buffer[i + 1] : nullptr;
        out.AdapterName = m_narrow.emplace_back(adapter.guid.toStdString()).data();
        out.FriendlyName = m_wide.emplace_back(adapter.name.toStdWString()).data();
        out.Description = m_wide.emplace_back(adapter.description.toStdWString()).data();
        out.IfType = adapter.ifType;
        out.OperStatus = adapter.up ? IfOperStatusUp : IfOperStatusDown;
        out.Ipv4Metric = adapter.interfaceMetric;
        out.Luid.Value = LuidOf(adapter.ifindex);
        IP_ADAPTER_UNICAST_ADDRESS* previous = nullptr;
        for (const auto& [address, prefix] : adapter.addresses) {
            IP_ADAPTER_UNICAST_ADDRESS& unicast = m_unicast.emplace_back();
            std::memset(&unicast, 0, sizeof unicast);
            unicast.Length = sizeof unicast;
            SOCKADDR_IN& sockaddr = m_sockaddrs.emplace_back(Sockaddr(address));
            unicast.Address.lpSockaddr = reinterpret_cast<SOCKADDR*>(&sockaddr);
            unicast.Address.iSockaddrLength = sizeof sockaddr;
            unicast.OnLinkPrefixLength = UINT8(prefix);
            unicast.DadState = IpDadStatePreferred;
            (previous ? previous->Next : out.FirstUnicastAddress) = &unicast;
            previous = &unicast;
        }
    }
    return NO_ERROR;
}

DWORD FakeIpHelper::getNetworkParams(FIXED_INFO* buffer, ULONG* size) {
    DWORD error = NO_ERROR;
    if (!buffer && fails(QStringLiteral("GetNetworkParams size"), &error))
        return error;
    if (!buffer || *size < sizeof(FIXED_INFO)) {
        *size = sizeof(FIXED_INFO);
        return ERROR_BUFFER_OVERFLOW;
    }
    if (fails(QStringLiteral("GetNetworkParams"), &error))
        return error;
    std::memset(buffer, 0, sizeof(FIXED_INFO));
    qstrncpy(buffer->HostName, hostName.toLatin1().constData(), sizeof buffer->HostName);
    IP_ADDR_STRING* entry = &buffer->DnsServerList;
    for (int i = 0; i < dnsServers.size(); ++i) {
        if (i > 0) {
            IP_ADDR_STRING& next = m_dnsEntries.emplace_back();
            std::memset(&next, 0, sizeof next);
            entry->Next = &next;
            entry = &next;
        }
        qstrncpy(entry->IpAddress.String, dnsServers[i].toLatin1().constData(),
                 sizeof entry->IpAddress.String);
    }
    return NO_ERROR;
}

client::IpHelperApi FakeIpHelper::api() {
    client::IpHelperApi api;
    api.getAdaptersAddresses = [this](ULONG family, ULONG, IP_ADAPTER_ADDRESSES* buffer,
                                      ULONG* size) {
        return family == AF_INET ? getAdaptersAddresses(buffer, size) : ULONG(ERROR_NOT_SUPPORTED);
    };
    api.getNetworkParams = [this](FIXED_INFO* buffer, ULONG* size) {
        return getNetworkParams(buffer, size);
    };
    api.getIpv4ForwardTable = [this](QList<MIB_IPFORWARD_ROW2>* rows) {
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("GetIpForwardTable2"), &error))
            return error;
        *rows = m_routes;
        return DWORD(NO_ERROR);
    };
    api.initializeIpForwardEntry = [](MIB_IPFORWARD_ROW2* row) {
        std::memset(row, 0, sizeof *row);
        row->ValidLifetime = kInfinite;
        row->PreferredLifetime = kInfinite;
        row->Metric = kInfinite;
    };
    api.createIpForwardEntry2 = [this](const MIB_IPFORWARD_ROW2& row) {
        calls.append(QStringLiteral("create ") + Describe(row));
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("CreateIpForwardEntry2"), &error))
            return error;
        if (row.ValidLifetime != kInfinite || row.InterfaceLuid.Value != LuidOf(row.InterfaceIndex))
            return DWORD(ERROR_INVALID_PARAMETER);
        if (std::any_of(m_routes.cbegin(), m_routes.cend(),
                        [&row](const MIB_IPFORWARD_ROW2& r) { return SameRoute(r, row); }))
            return DWORD(ERROR_OBJECT_ALREADY_EXISTS);
        m_routes.append(row);
        return DWORD(NO_ERROR);
    };
    api.deleteIpForwardEntry2 = [this](const MIB_IPFORWARD_ROW2& row) {
        calls.append(QStringLiteral("delete ") + Describe(row));
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("DeleteIpForwardEntry2"), &error))
            return error;
        const qsizetype removed =
            m_routes.removeIf([&row](const MIB_IPFORWARD_ROW2& r) { return SameRoute(r, row); });
        return removed ? DWORD(NO_ERROR) : DWORD(ERROR_NOT_FOUND);
    };
    api.initializeUnicastIpAddressEntry = [](MIB_UNICASTIPADDRESS_ROW* row) {
        std::memset(row, 0, sizeof *row);
        row->ValidLifetime = kInfinite;
        row->PreferredLifetime = kInfinite;
        row->PrefixOrigin = IpPrefixOriginManual;
        row->SuffixOrigin = IpSuffixOriginManual;
    };
    const auto unicastText = [](const MIB_UNICASTIPADDRESS_ROW& row) {
        return QStringLiteral("address %1/%2 on %3")
            .arg(Text(row.Address.Ipv4))
            .arg(row.OnLinkPrefixLength)
            .arg(row.InterfaceIndex);
    };
    api.createUnicastIpAddressEntry = [this, unicastText](const MIB_UNICASTIPADDRESS_ROW& row) {
        calls.append(QStringLiteral("create ") + unicastText(row));
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("CreateUnicastIpAddressEntry"), &error))
            return error;
        Adapter* target = adapter(int(row.InterfaceIndex));
        if (row.ValidLifetime != kInfinite || !target || row.Address.si_family != AF_INET)
            return DWORD(ERROR_INVALID_PARAMETER);
        const QString address = Text(row.Address.Ipv4);
        for (const auto& existing : target->addresses) {
            if (existing.first == address)
                return DWORD(ERROR_OBJECT_ALREADY_EXISTS);
        }
        target->addresses.append({address, row.OnLinkPrefixLength});
        return DWORD(NO_ERROR);
    };
    api.deleteUnicastIpAddressEntry = [this, unicastText](const MIB_UNICASTIPADDRESS_ROW& row) {
        calls.append(QStringLiteral("delete ") + unicastText(row));
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("DeleteUnicastIpAddressEntry"), &error))
            return error;
        Adapter* target = adapter(int(row.InterfaceIndex));
        const QString address = Text(row.Address.Ipv4);
        if (!target ||
            !target->addresses.removeIf([&address](const auto& a) { return a.first == address; }))
            return DWORD(ERROR_NOT_FOUND);
        return DWORD(NO_ERROR);
    };
    if (hasSetInterfaceDnsSettings) {
        api.setInterfaceDnsSettings = [this](const GUID& guid,
                                             const client::DnsInterfaceSettings& settings) {
            const QString id = QUuid(guid).toString(QUuid::WithBraces).toUpper();
            calls.append(QStringLiteral("set DNS %1 on %2")
                             .arg(QString::fromWCharArray(settings.NameServer), id));
            DWORD error = NO_ERROR;
            if (fails(QStringLiteral("SetInterfaceDnsSettings"), &error))
                return error;
            if (settings.Version != client::kDnsInterfaceSettingsVersion1 ||
                !(settings.Flags & client::kDnsSettingNameServer))
                return DWORD(ERROR_INVALID_PARAMETER);
            for (Adapter& adapter : adapters) {
                if (adapter.guid.toUpper() == id) {
                    adapter.nameServers = QString::fromWCharArray(settings.NameServer);
                    return DWORD(NO_ERROR);
                }
            }
            return DWORD(ERROR_NOT_FOUND);
        };
    }
    api.writeNameServerValue = [this](const QString& guid, const QString& servers) {
        calls.append(QStringLiteral("write NameServer %1 under %2").arg(servers, guid));
        DWORD error = NO_ERROR;
        if (fails(QStringLiteral("NameServer"), &error))
            return error;
        registryNameServer.insert(guid, servers);
        return DWORD(NO_ERROR);
    };
    api.flushResolverCache = [this] {
        ++flushes;
        return true;
    };
    return api;
}

} // namespace torvane::testing
