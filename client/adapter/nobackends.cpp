#include "client/adapter/adapterfactory.h"

namespace torvane::client {

// A system without a backend of its own yet: the factory falls back to the stand-in that says so.
QList<AdapterBackend> PlatformAdapterBackends() {
    return {};
}

} // namespace torvane::client
