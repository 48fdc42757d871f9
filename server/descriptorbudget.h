#pragma once

#include "server/hubsocket.h"

#include <QLoggingCategory>
#include <QString>
#include <QtGlobal>

#include <functional>

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
    // log and newcomers name the hub in its log lines ("new connections to the secure port").
    BudgetedAcceptor(int reserve, const QLoggingCategory& (*log)(), const char* newcomers);

    // Takes up to `count` newcomers waiting on `listener` and hands each one kept to `admit`,
    // which returns false to end the batch (e.g. when it closed the listener). Returns true when
    // not even the spare helped: the caller stops watching the listener for a while.
    bool acceptBatch(hubsocket::Descriptor listener, int count,
                     const std::function<bool(hubsocket::Descriptor, QString)>& admit);
    qint64 turnedAwayCount() const { return m_turnedAway; } // closed at once: no descriptors

private:
    bool turnAwayWithSpare(hubsocket::Descriptor listener);
    void noteTurnedAway(); // counted, and logged once per stretch of turning away

    int m_reserve;
    const QLoggingCategory& (*m_log)();
    const char* m_newcomers;
    SpareDescriptor m_spare;
    qint64 m_turnedAway = 0;
    bool m_turningAway = false;
};

} // namespace torvane::server
