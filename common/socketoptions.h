#pragma once

#include <QtGlobal>

namespace torvane {

// How long a silent peer may stay before its connection is given up: an idle time, then
// `probeCount` keepalive probes `probeIntervalS` apart; with `userTimeoutMs` (0: none) unacked
// data also ends the connection after that long. Each OS sets what it supports.
struct KeepAlivePolicy {
    int idleS = 30;
    int probeIntervalS = 10;
    int probeCount = 3;
    unsigned int userTimeoutMs = 0;
};

// Turns keepalive on for a connected or listening TCP socket. Failures are ignored: without
// probes a dead peer is only noticed later, which is no reason to drop a working connection.
void ApplyKeepAlive(qintptr socket, const KeepAlivePolicy& policy);

// Disables Nagle's delay: every message of ours is one small write that should leave at once.
void DisableNagle(qintptr socket);

} // namespace torvane
