#include "client/adapter/linux/linuxadapter.h"

#include "client/adapter/linux/adapterpolicy.h"
#include "client/adapter/linux/ipv4.h"
#include "client/adapter/linux/resolverfile.h"
#include "client/adapter/linux/rtnlsession.h"

#include <QFile>
#include <QSysInfo>
#include <QtDebug>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace torvane::client {

namespace {

bool HasNetAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    return data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective & CAP_TO_MASK(CAP_NET_ADMIN);
}

// Deleting a primary address takes its secondaries with it unless they are promoted; the new
// address is added before the old one goes, so it is a secondary at that moment.
bool EnablePromoteSecondaries(const QString& link, QString* errorText) {
    QFile file(QStringLiteral("/proc/sys/net/ipv4/conf/%1/promote_secondaries").arg(link));
    if (file.open(QIODevice::ReadOnly) && file.readAll().trimmed() == "1")
        return true;
    file.close();
    if (!file.open(QIODevice::WriteOnly) || file.write("1\n") != 2 || !file.flush()) {
        *errorText = QStringLiteral("cannot enable promote_secondaries on %1: %2")
                         .arg(link, file.errorString());
        return false;
    }
    return true;
}

SwitchOutcome Fail(SwitchOutcome outcome, const QString& text) {
    outcome.ok = false;
    outcome.errorText = text;
    qWarning().noquote() << "adapter switch refused or failed:" << text;
    return outcome;
}

} // namespace

LinuxAdapter::LinuxAdapter(const QString& resolverPath) : m_resolverPath(resolverPath) {}

NetworkParams LinuxAdapter::inspect() {
    NetworkParams params;
    const QString hostName = QSysInfo::machineHostName();
    QStringList servers;
    QString errorText;
    const ResolverFile::ReadStatus status = ResolverFile(m_resolverPath).read(&servers, &errorText);
    if (hostName.isEmpty() || status == ResolverFile::ReadStatus::Missing) {
        qWarning().noquote() << "adapter inspection:"
                             << (hostName.isEmpty() ? QStringLiteral("no host name") : errorText);
        params.error = 1;
        return params;
    }
    if (status == ResolverFile::ReadStatus::Failed) {
        qWarning().noquote() << "adapter inspection:" << errorText;
        params.error = 2;
        return params;
    }
    params.hostName = hostName;
    params.dnsServers = servers;

    RtnlSession session;
    QList<LinkInfo> links;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText)) {
        qWarning().noquote() << "adapter inspection:" << errorText;
        params.error = 4;
        return params;
    }
    const QList<LinkInfo> ordered = AdapterPolicy::DisplayOrder(links);
    if (ordered.isEmpty()) {
        params.error = 3;
        return params;
    }
    const LinkInfo& first = ordered.first();
    params.adapterName = first.name;
    params.localIp = Ipv4::Format(first.addresses.first().address);
    params.subnetMask = Ipv4::PrefixToMask(first.addresses.first().prefix);
    if (const DefaultRoute* route = AdapterPolicy::BestDefault(first))
        params.gateway = Ipv4::Format(route->gateway);
    return params;
}

SwitchOutcome LinuxAdapter::switchTo(const AdapterSettings& settings) {
    SwitchOutcome outcome;
    // Everything that can be known beforehand is checked before the first change.
    const QString settingsError = AdapterPolicy::CheckSettings(settings);
    if (!settingsError.isEmpty())
        return Fail(outcome, settingsError);
    if (!HasNetAdmin()) {
        return Fail(outcome, QStringLiteral("need CAP_NET_ADMIN (run as root or grant the "
                                            "capability) to change the network settings"));
    }
    const ResolverFile resolver(m_resolverPath);
    QString errorText;
    if (!resolver.checkWritable(&errorText))
        return Fail(outcome, errorText);

    RtnlSession session;
    QList<LinkInfo> links;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText))
        return Fail(outcome, errorText);
    const AdapterPolicy::SwitchPlan plan = AdapterPolicy::Plan(links, settings);
    if (!plan.errorText.isEmpty())
        return Fail(outcome, plan.errorText);

    if (plan.changeAddress) {
        if (!EnablePromoteSecondaries(plan.addressLink, &errorText))
            return Fail(outcome, errorText);
        outcome.adapters.append(plan.addressLink);
        if (!session.addAddress(plan.addressIfindex, plan.newAddress, &errorText) ||
            !session.deleteOtherAddresses(plan.addressIfindex, plan.newAddress, &errorText))
            return Fail(outcome, plan.addressLink + QStringLiteral(": ") + errorText);
    }
    for (const LinkInfo& link : plan.gatewayLinks) {
        if (!outcome.adapters.contains(link.name))
            outcome.adapters.append(link.name);
        if (!session.addDefaultRoute(link.ifindex, plan.gateway, 1, &errorText) ||
            !session.deleteOtherDefaultRoutes(link.ifindex, plan.gateway, 1, &errorText))
            return Fail(outcome, link.name + QStringLiteral(": ") + errorText);
    }
    if (!resolver.writeNameservers(plan.dnsServers, &errorText))
        return Fail(outcome, errorText);
    outcome.ok = true;
    return outcome;
}

std::unique_ptr<NetworkAdapter> CreatePlatformAdapter() {
    return std::make_unique<LinuxAdapter>();
}

} // namespace torvane::client
