#include "service/core/switchservicecore.h"

#include <QElapsedTimer>

namespace torvane::service {

namespace {

void DropOlderThan(QList<qint64>& times, qint64 limit) {
    while (!times.isEmpty() && times.first() <= limit)
        times.removeFirst();
}

} // namespace

SwitchServiceCore::SwitchServiceCore(SwitchApplier& applier, LogSink log, Limits limits,
                                     Clock clock)
    : m_applier(applier), m_log(std::move(log)), m_limits(limits), m_clock(std::move(clock)) {
    if (!m_clock) {
        m_clock = [timer = std::make_shared<QElapsedTimer>()] {
            if (!timer->isValid())
                timer->start();
            return timer->elapsed();
        };
    }
    if (!m_log)
        m_log = [](const QString&) {};
}

QString SwitchServiceCore::Describe(const SwitchCaller& caller) {
    QStringList parts;
    parts << (caller.account.isEmpty() ? QStringLiteral("?") : caller.account);
    if (caller.uid >= 0)
        parts << QStringLiteral("uid %1").arg(caller.uid);
    if (caller.pid >= 0)
        parts << QStringLiteral("pid %1").arg(caller.pid);
    if (!caller.via.isEmpty())
        parts << caller.via;
    return parts.join(QStringLiteral(", "));
}

QString SwitchServiceCore::Describe(const AdapterSettings& settings) {
    QString text =
        QStringLiteral("gateway %1, DNS %2")
            .arg(settings.gateway.isEmpty() ? QStringLiteral("-") : settings.gateway,
                 settings.primaryDns.isEmpty() ? QStringLiteral("-") : settings.primaryDns);
    if (!settings.secondaryDns.isEmpty())
        text += QLatin1Char(' ') + settings.secondaryDns;
    if (!settings.localIp.isEmpty())
        text += QStringLiteral(", address %1/%2").arg(settings.localIp, settings.subnetMask);
    return text;
}

bool SwitchServiceCore::takeRateSlot(const SwitchCaller& caller) {
    const qint64 now = m_clock();
    const qint64 limit = now - m_limits.windowMs;
    const QString key = caller.uid >= 0 ? QString::number(caller.uid) : caller.account;
    QList<qint64>& mine = m_recentByCaller[key];
    DropOlderThan(mine, limit);
    DropOlderThan(m_recentMachineWide, limit);
    if (mine.size() >= m_limits.switchesPerWindow ||
        m_recentMachineWide.size() >= m_limits.machineWidePerWindow)
        return false;
    mine.append(now);
    m_recentMachineWide.append(now);
    // Keep the table small when many callers come and go.
    if (m_recentByCaller.size() > 256) {
        for (auto it = m_recentByCaller.begin(); it != m_recentByCaller.end();) {
            DropOlderThan(it.value(), limit);
            it = it.value().isEmpty() ? m_recentByCaller.erase(it) : std::next(it);
        }
    }
    return true;
}

SwitchReply SwitchServiceCore::refuse(const SwitchCaller& caller, const QString& what,
                                      SwitchReply reply) {
    m_log(QStringLiteral("refused %1 from %2: %3").arg(what, Describe(caller), reply.text));
    return reply;
}

QByteArray SwitchServiceCore::handle(QByteArrayView request, const SwitchCaller& caller,
                                     bool authorized) {
    const auto settings = DecodeSwitchRequest(request);
    if (!settings) {
        return EncodeSwitchReply(
            refuse(caller, QStringLiteral("a malformed request"),
                   {SwitchFailure::InvalidSettings, QStringLiteral("malformed request")}));
    }
    return EncodeSwitchReply(handleSettings(*settings, caller, authorized));
}

SwitchReply SwitchServiceCore::handleSettings(const AdapterSettings& settings,
                                              const SwitchCaller& caller, bool authorized) {
    const QString what = QStringLiteral("a switch to %1").arg(Describe(settings));
    if (!authorized) {
        return refuse(caller, what,
                      {SwitchFailure::NoPermission,
                       QStringLiteral("not authorized to change the network settings")});
    }
    if (!takeRateSlot(caller)) {
        return refuse(caller, what,
                      {SwitchFailure::RateLimited, QStringLiteral("too many switches")});
    }
    SwitchFailure failure = SwitchFailure::None;
    const QString problem = CheckAdapterSettings(settings, &failure);
    if (!problem.isEmpty())
        return refuse(caller, what, {failure, problem});

    const AdapterSettings before = m_applier.current();
    SwitchReply reply = m_applier.apply(settings);
    m_log(QStringLiteral("%1 switch by %2 from %3 to %4%5")
              .arg(reply.failure == SwitchFailure::None ? QStringLiteral("applied")
                                                        : QStringLiteral("failed"),
                   Describe(caller), Describe(before), Describe(settings),
                   reply.failure == SwitchFailure::None ? QString()
                                                        : QStringLiteral(": ") + reply.text));
    return reply;
}

} // namespace torvane::service
