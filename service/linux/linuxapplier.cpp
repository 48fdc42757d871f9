#include "service/linux/linuxapplier.h"

#include "service/linux/resolveddns.h"

namespace torvane::service {

LinuxApplier::LinuxApplier(const QDBusConnection& bus, const QString& resolverPath)
    : m_bus(bus), m_netlink(resolverPath) {}

QString LinuxApplier::dnsWay() const {
    return ResolvedDns::Runs(m_bus) ? QStringLiteral("systemd-resolved")
                                    : QStringLiteral("resolver file");
}

AdapterSettings LinuxApplier::current() {
    const client::NetworkParams params = m_netlink.inspect();
    AdapterSettings now;
    now.gateway = params.gateway;
    // With resolved the resolver file names only its stub; the servers are resolved's.
    const QStringList servers =
        ResolvedDns::Runs(m_bus) ? ResolvedDns(m_bus).servers() : params.dnsServers;
    now.primaryDns = servers.value(0);
    now.secondaryDns = servers.value(1);
    return now;
}

SwitchReply LinuxApplier::apply(const AdapterSettings& settings) {
    client::SwitchOutcome outcome;
    if (ResolvedDns::Runs(m_bus)) {
        ResolvedDns resolved(m_bus);
        outcome = m_netlink.switchNow(settings, &resolved);
    } else {
        outcome = m_netlink.switchNow(settings);
    }
    if (outcome.ok)
        return {SwitchFailure::None,
                QStringLiteral("switched %1").arg(outcome.adapters.join(QLatin1Char(' ')))};
    return {outcome.failure, outcome.errorText};
}

} // namespace torvane::service
