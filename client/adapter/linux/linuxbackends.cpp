#include "client/adapter/adapterfactory.h"
#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/linux/networkmanageradapter.h"
#include "client/adapter/linux/serviceadapter.h"

namespace torvane::client {

// Backends of a Linux system, most specific first: a desktop daemon that manages the adapter,
// then the switching service (the Client holds no right; the service asks polkit), then netlink
// directly, which switches only for a Client that holds CAP_NET_ADMIN itself (root).
QList<AdapterBackend> PlatformAdapterBackends() {
    return {
        AdapterBackend{QStringLiteral("networkmanager"), &NetworkManagerAdapter::Probe,
                       [] { return std::make_unique<NetworkManagerAdapter>(); }},
        AdapterBackend{QStringLiteral("service"), &ServiceAdapter::Probe,
                       [] {
                           auto adapter = std::make_unique<ServiceAdapter>();
                           adapter->watchSystem();
                           return adapter;
                       }},
        AdapterBackend{QStringLiteral("netlink"), &NetlinkAdapter::Probe,
                       [] {
                           auto adapter = std::make_unique<NetlinkAdapter>();
                           adapter->watchSystem();
                           return adapter;
                       }},
    };
}

} // namespace torvane::client
