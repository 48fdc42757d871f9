#include "client/adapter/adapterfactory.h"
#include "client/adapter/windows/iphelperadapter.h"

namespace torvane::client {

// Backends of a Windows system: the IP Helper reads, the switching service changes.
QList<AdapterBackend> PlatformAdapterBackends() {
    return {
        AdapterBackend{QStringLiteral("iphelper"), &IpHelperAdapter::Probe,
                       [] { return std::make_unique<IpHelperAdapter>(); }},
    };
}

} // namespace torvane::client
