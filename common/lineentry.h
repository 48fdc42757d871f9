#pragma once

#include <QString>

namespace torvane {

// One uplink: the field order is also the field order of a MainConfig.dat record.
struct LineEntry {
    QString name;
    QString localIp;
    QString subnetMask;
    QString gateway;
    QString primaryDns;
    QString secondaryDns;

    bool operator==(const LineEntry&) const = default;
};

} // namespace torvane
