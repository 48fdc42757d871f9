#pragma once

#include "server/hubsocket.h"

#include <QString>
#include <QtGlobal>

namespace torvane::server {

// Every Client is one open descriptor, and so is every pipe, timer source and file the program
// itself needs. These keep the two apart.

// Raises the soft limit on open descriptors to the hard limit (the Server does so at start).
// Returns the soft limit in force afterwards; -1 when there is none.
qint64 RaiseDescriptorLimit();
// The soft limit now; -1 when there is none (or the OS has no such limit).
qint64 SoftDescriptorLimit();

// One descriptor held in reserve so that the hub can still accept a connection (and close it at
// once) when the table is full, instead of leaving it in the backlog and spinning on a listener
// that stays ready.
class SpareDescriptor {
public:
    SpareDescriptor() = default;
    ~SpareDescriptor();
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    bool take(); // true when held afterwards
    void release();
    bool isHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// A listener's newcomers under the rules both hubs keep. Client sockets never take the top
// `reserve` descriptors below the soft limit: the event loop's wakeup pipes, timers, threads and
// the line file being sent need them at any time, and a program that cannot make a pipe dies.
// Descriptors are handed out lowest first, so a newcomer that lands up there means the rest are
// taken; it is closed at once. When the table is full the spare lets one newcomer in to be closed,
// so the listener does not stay ready with nobody able to take its connections.
class BudgetedAcceptor {
public:
    enum class Step {
        Accepted,   // fd and peer are the new connection's
        TurnedAway, // a newcomer was closed for want of descriptors
        Retry,      // a signal or a peer that gave up: take the next one
        Pause,      // not even the spare helped: stop watching the listener for a while
        Drained,    // nothing more waits
    };
    struct Result {
        Step step = Step::Drained;
        hubsocket::Descriptor fd = hubsocket::kInvalid;
        QString peer;
    };

    explicit BudgetedAcceptor(int reserve);
    // Before each batch of accepts: the limit in force now, and the spare taken back.
    void beginBatch();
    Result next(hubsocket::Descriptor listener);

private:
    bool turnAwayWithSpare(hubsocket::Descriptor listener);

    int m_reserve;
    qint64 m_highestForClients = -1;
    SpareDescriptor m_spare;
};

} // namespace torvane::server
