#pragma once

#include <QString>

namespace torvane::client {

// What the last adapter inspection found (empty at start).
struct AdapterSnapshot {
    QString hostName;
    QString primaryDns;
    QString secondaryDns;
    QString localIp;
    QString subnetMask;
    QString gateway;
    // An inspection has read the adapter itself (address, mask, gateway) at least once; until
    // then its labels keep their captions.
    bool adapterRead = false;
};

// Local IP, mask, gateway, primary and secondary DNS to apply on the next switch.
struct SelectedLine {
    QString localIp;
    QString subnetMask;
    QString gateway;
    QString primaryDns;
    QString secondaryDns;

    bool operator==(const SelectedLine&) const = default;
};

} // namespace torvane::client
