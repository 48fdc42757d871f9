#include "client/adapter/adapterfactory.h"
#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/linux/networkmanageradapter.h"

namespace torvane::client {

// Backends of a Linux system, most specific first. A desktop daemon (NetworkManager,
// systemd-resolved) gets its entry above netlink with a probe that asks whether it runs here.
QList<AdapterBackend> PlatformAdapterBackends() {
    return {
        AdapterBackend{QStringLiteral("networkmanager"), &NetworkManagerAdapter::Probe,
                       [] { return std::make_unique<NetworkManagerAdapter>(); }},
        AdapterBackend{QStringLiteral("netlink"), &NetlinkAdapter::Probe,
                       [] { return std::make_unique<NetlinkAdapter>(); }},
    };
}

} // namespace torvane::client
