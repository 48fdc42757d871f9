#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace torvane {

// What a workstation measured of the line it is on: whether the gateway answered and whether a
// name resolved through the line's primary DNS server, with the time the query took. The
// gateway and primary DNS name the line the way the Server's table does; the line name is the
// workstation's own.
struct HealthReport {
    QString line;
    QString gateway;
    QString primaryDns;
    bool gatewayOk = false;
    bool dnsOk = false;
    int dnsMs = 0; // time of the query, or of the wait when it failed

    bool healthy() const { return gatewayOk && dnsOk; }
    bool operator==(const HealthReport&) const = default;
};

// A switch the workstation undid because the new line did not work.
struct RollbackReport {
    QString from;   // name of the line that was tried
    QString to;     // name of the line restored
    QString reason; // one line, in the words the administrator reads
    bool operator==(const RollbackReport&) const = default;
};

// Bodies of the secure channel's health and rollback frames: UTF-8 lines "key=value\n", the keys
// in the order written here, each once. A value is one line without control characters.
//   health:   line, gateway, dns, gateway_ok (0|1), dns_ok (0|1), dns_ms (0..kMaxDnsMs)
//   rollback: from, to, reason
// Decoding returns nullopt for anything else, including a body over its bound.
inline constexpr int kMaxHealthBodyBytes = 512;
inline constexpr int kMaxRollbackBodyBytes = 1024;
inline constexpr int kMaxDnsMs = 60000;

QByteArray EncodeHealthReport(const HealthReport& report);
std::optional<HealthReport> DecodeHealthReport(QByteArrayView body);
QByteArray EncodeRollbackReport(const RollbackReport& report);
std::optional<RollbackReport> DecodeRollbackReport(QByteArrayView body);

} // namespace torvane
