#pragma once

#include <QString>
#include <QStringList>
#include <memory>

namespace torvane::client {

// What one inspection found. error: 0 none; 1/2 = the network parameters (host name, DNS list)
// could not be read (1: resolver file / host name unavailable, 2: reading failed); 3 = no
// adapter with IPv4 to show; 4 = reading the adapter list failed. On error 3/4 the host name and
// DNS fields are still filled.
struct NetworkParams {
    int error = 0;
    QString hostName;
    QStringList dnsServers; // resolver order
    QString adapterName;    // the adapter shown (first by the adapter-order policy)
    QString localIp;        // first IPv4 address of that adapter
    QString subnetMask;     // dotted-quad mask of that address
    QString gateway;        // its default gateway ("" if none)
};

// What a switch applies; empty localIp = keep address and mask.
struct AdapterSettings {
    QString localIp, subnetMask, gateway, primaryDns, secondaryDns;
};

struct SwitchOutcome {
    bool ok = false;      // every touched adapter accepted every step
    QString errorText;    // readable reason when !ok (e.g. "need CAP_NET_ADMIN ...")
    QStringList adapters; // adapters that were changed
};

// Reads and changes the workstation's network settings; one implementation per OS, plus a fake
// for widget tests.
class NetworkAdapter {
public:
    virtual ~NetworkAdapter() = default;
    virtual NetworkParams inspect() = 0;
    virtual SwitchOutcome switchTo(const AdapterSettings& settings) = 0;
};

// The implementation of this OS.
std::unique_ptr<NetworkAdapter> CreatePlatformAdapter();

} // namespace torvane::client
