#pragma once

#include "client/adapter/windows/iphelperapi.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <deque>
#include <string>

namespace torvane::testing {

// A machine's IPv4 adapters, routes and DNS settings behind the IP Helper's function table. The
// functions that change something change this state, so a test checks the machine afterwards,
// and log each call in a readable line ("create route 0.0.0.0/0 via 10.0.0.1 metric 1 on 12").
class FakeIpHelper {
public:
    struct Adapter {
        int ifindex = 0;
        QString name;
        QString description;
        QString guid; // "{…}"
        ULONG ifType = IF_TYPE_ETHERNET_CSMACD;
        bool up = true;
        ULONG interfaceMetric = 25;
        QList<QPair<QString, int>> addresses; // dotted quad, prefix
        QString nameServers;                  // what the adapter's DNS setting holds
    };

    QString hostName = QStringLiteral("WS-07");
    QStringList dnsServers; // GetNetworkParams' list
    QList<Adapter> adapters;
    bool hasSetInterfaceDnsSettings = true;

    // An error for the next calls of one function: "GetNetworkParams size", "GetNetworkParams",
    // "GetAdaptersAddresses size", "GetAdaptersAddresses", "GetIpForwardTable2",
    // "CreateIpForwardEntry2", "DeleteIpForwardEntry2", "CreateUnicastIpAddressEntry",
    // "DeleteUnicastIpAddressEntry", "SetInterfaceDnsSettings", "NameServer".
    QHash<QString, DWORD> errors;

    QStringList calls;                         // the changing calls, in order
    int flushes = 0;                           // resolver cache flushes
    QMap<QString, QString> registryNameServer; // guid → value written

    void addAdapter(int ifindex, const QString& name, const QString& address, int prefix);
    // A default route of the adapter with this ifindex (metric without the interface's).
    void addDefaultRoute(int ifindex, const QString& gateway, ULONG metric);
    // "via metric" of the adapter's default routes, sorted, e.g. {"10.0.0.1 1"}.
    QStringList defaultRoutes(int ifindex) const;
    QStringList addresses(int ifindex) const;
    Adapter* adapter(int ifindex);

    client::IpHelperApi api();

private:
    ULONG getAdaptersAddresses(IP_ADAPTER_ADDRESSES* buffer, ULONG* size);
    DWORD getNetworkParams(FIXED_INFO* buffer, ULONG* size);
    bool fails(const QString& call, DWORD* error) const;

    QList<MIB_IPFORWARD_ROW2> m_routes;
    // Storage the returned structures point into; deques keep addresses stable.
    std::deque<IP_ADAPTER_UNICAST_ADDRESS> m_unicast;
    std::deque<SOCKADDR_IN> m_sockaddrs;
    std::deque<std::wstring> m_wide;
    std::deque<std::string> m_narrow;
    std::deque<IP_ADDR_STRING> m_dnsEntries;
};

} // namespace torvane::testing
