#pragma once

#include "common/switchrequest.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>

namespace torvane::service {

// Who asked, as the platform's transport tells it (D-Bus peer credentials, the pipe client's
// token); only for the log and the rate limit, never for trust: the platform's authority check
// has already decided, and passes its answer in.
struct SwitchCaller {
    QString account; // user name when known
    qint64 uid = -1; // Unix uid, or -1
    qint64 pid = -1; // process id, or -1
    QString via;     // transport detail: bus name, pipe, ...
};

// Applies a request that passed every check to this machine, and tells what is in force now.
// One per platform (netlink + resolver file, systemd-resolved, IP Helper), plus fakes in tests.
class SwitchApplier {
public:
    virtual ~SwitchApplier() = default;
    // Gateway and DNS in force now, for the log's "from".
    virtual AdapterSettings current() = 0;
    virtual SwitchReply apply(const AdapterSettings& settings) = 0;
};

// How often a caller may switch; what is over the limit is refused, not queued.
struct SwitchRateLimits {
    int switchesPerWindow = 20; // per caller uid (or account), accepted or not
    qint64 windowMs = 10'000;   // sliding window
    int machineWidePerWindow = 40;
};

// The OS-neutral heart of the privileged switching service: it takes the raw request of an
// unprivileged caller, refuses anything but the one request shape, refuses callers the platform
// did not authorize and callers that switch too often, checks the values again, applies them and
// logs every decision (who, from what, to what, outcome). The transport (D-Bus, a named pipe)
// calls handle() once per message and sends the bytes it returns.
class SwitchServiceCore {
public:
    using Limits = SwitchRateLimits;
    using LogSink = std::function<void(const QString& line)>;
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    SwitchServiceCore(SwitchApplier& applier, LogSink log, Limits limits = {}, Clock clock = {});

    QByteArray handle(QByteArrayView request, const SwitchCaller& caller, bool authorized);
    // The same with the message already decoded (for transports that use typed arguments).
    SwitchReply handleSettings(const AdapterSettings& settings, const SwitchCaller& caller,
                               bool authorized);

    static QString Describe(const SwitchCaller& caller);
    static QString Describe(const AdapterSettings& settings);

private:
    bool takeRateSlot(const SwitchCaller& caller);
    SwitchReply refuse(const SwitchCaller& caller, const QString& what, SwitchReply reply);

    SwitchApplier& m_applier;
    LogSink m_log;
    Limits m_limits;
    Clock m_clock;
    QHash<QString, QList<qint64>> m_recentByCaller;
    QList<qint64> m_recentMachineWide;
};

} // namespace torvane::service
