#pragma once

#include "client/adapter/networkadapter.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace torvane::client {

// One way of managing the network that a backend serves. The factory asks each probe in turn
// whether the machine runs it; the first that says yes creates the adapter. A new backend is one
// class and one entry in its platform's list.
struct AdapterBackend {
    QString name;
    std::function<bool()> probe;
    std::function<std::unique_ptr<NetworkAdapter>()> create;
};

// The backends of this OS in the order they are tried: the most specific first, the one that
// always works last.
QList<AdapterBackend> PlatformAdapterBackends();

// The first backend whose probe says yes; without one an adapter that reports every inspection
// as failed and refuses every switch, so the program still starts and says why.
std::unique_ptr<NetworkAdapter> CreateNetworkAdapter(const QList<AdapterBackend>& backends);
std::unique_ptr<NetworkAdapter> CreateNetworkAdapter();

} // namespace torvane::client
