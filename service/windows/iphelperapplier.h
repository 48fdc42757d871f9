#pragma once

#include "client/adapter/windows/adapterinventory.h"
#include "client/adapter/windows/iphelperapi.h"
#include "service/core/switchservicecore.h"

namespace torvane::service {

// Applies a switch to Windows through the IP Helper, with the adapter-order policy every
// platform shares (which adapter gets the address, which get the gateway):
// - address and mask: the new address is added to the first adapter, then its other IPv4
//   addresses go (a DHCP adapter stays DHCP and keeps renewing its lease);
// - default gateway, on every adapter whose subnet holds it: a route 0.0.0.0/0 with metric 1 is
//   added, then the adapter's other default routes are deleted, so a failed add leaves the old
//   gateway in place (a row with the new gateway but another metric goes first: the system keys
//   routes by adapter, prefix and next hop, not by metric);
// - DNS servers, on the same adapters: SetInterfaceDnsSettings where the system has it, else the
//   adapter's NameServer registry value and a flush of the resolver cache.
// The first refusal ends the switch; access denied is reported as such, whatever step it hit.
class IpHelperApplier : public SwitchApplier {
public:
    explicit IpHelperApplier(client::IpHelperApi api);

    AdapterSettings current() override;
    SwitchReply apply(const AdapterSettings& settings) override;

private:
    SwitchReply changeAddress(const client::WindowsLink& link, const client::Ipv4Address& address);
    SwitchReply setDefaultRoute(const client::WindowsLink& link, quint32 gateway);
    SwitchReply setDnsServers(const client::WindowsLink& link, const QStringList& servers);

    const client::IpHelperApi m_api;
};

} // namespace torvane::service
