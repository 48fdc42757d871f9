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

// Names the backend to use whatever the probes say (tests, diagnostics).
inline constexpr char kForceBackendVariable[] = "TORVANE_ADAPTER_BACKEND";

// The index of the backend to use: the one named `forced` when that is not empty (its probe is
// not asked), else the first whose probe says yes; -1 when none fits or `forced` names none.
qsizetype ChooseAdapterBackend(const QList<AdapterBackend>& backends, const QString& forced);

// The backend chosen as above, `forced` coming from the environment; without one an adapter that
// reports every inspection as failed and refuses every switch, so the program still starts and says
// why.
std::unique_ptr<NetworkAdapter> CreateNetworkAdapter(const QList<AdapterBackend>& backends);
std::unique_ptr<NetworkAdapter> CreateNetworkAdapter();

} // namespace torvane::client
