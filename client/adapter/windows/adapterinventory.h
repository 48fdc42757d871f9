#pragma once

#include "client/adapter/linkinfo.h"
#include "client/adapter/networkadapter.h"
#include "client/adapter/windows/iphelperapi.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace torvane::client {

// One IPv4 adapter as Windows tells it, with what the switch needs to address it again.
struct WindowsLink {
    LinkInfo info;   // name = the adapter's friendly name; default routes with their full metric
    NET_LUID luid{}; // what the IP Helper's row functions take
    QString guid;    // "{…}", the adapter's key under Tcpip\Parameters\Interfaces
    QString description;
};

// What the system's network parameters hold: the host name and the resolver's DNS servers.
struct HostParams {
    QString hostName;
    QStringList dnsServers;
};

// Reading the adapters through the table. The outcomes are those the user sees as "程序错误N":
// the size query of the network parameters failing (1) or their reading (2); the size query of
// the adapter list failing, e.g. on a machine without an IPv4 adapter (3), or its reading (4).
namespace AdapterInventory {

InspectionOutcome ReadHostParams(const IpHelperApi& api, HostParams* params,
                                 QString* why = nullptr);
// Every IPv4 adapter, loopback included (the policy leaves it out), in the system's order, with
// its default routes from the forward table (route metric plus the interface's metric, which is
// what Windows compares).
InspectionOutcome ReadLinks(const IpHelperApi& api, QList<WindowsLink>* links,
                            QString* why = nullptr);
QList<LinkInfo> Infos(const QList<WindowsLink>& links);

// The whole inspection: host parameters, then the adapter shown by the adapter-order policy. A
// failure is logged unless quiet (the watch compares every few seconds and must not repeat it).
NetworkParams Inspect(const IpHelperApi& api, bool quiet = false);

} // namespace AdapterInventory

} // namespace torvane::client
