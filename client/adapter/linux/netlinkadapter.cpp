#include "client/adapter/linux/netlinkadapter.h"

#include "client/adapter/adapterpolicy.h"
#include "client/adapter/linux/resolverfile.h"
#include "client/adapter/linux/rtnlsession.h"
#include "client/adapter/linux/rtnlwatcher.h"
#include "client/clientlogging.h"
#include "common/ipv4.h"

#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>

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

// The resolver file: refused when it is a link another service keeps, or not writable here.
class ResolverFileTarget : public DnsTarget {
public:
    explicit ResolverFileTarget(const QString& path) : m_file(path) {}

    bool check(SwitchFailure* failure, QString* errorText) override {
        if (m_file.checkWritable(errorText))
            return true;
        // A link that stays is one another service keeps up to date (checkWritable() lets
        // through only links this context may write in place).
        *failure = QFileInfo(m_file.path()).isSymLink() ? SwitchFailure::ResolverManaged
                                                        : SwitchFailure::ResolverNotWritable;
        return false;
    }

    bool apply(const QList<LinkInfo>&, const QStringList& servers, QString* errorText) override {
        return m_file.writeNameservers(servers, errorText);
    }

private:
    ResolverFile m_file;
};

SwitchOutcome Fail(SwitchOutcome outcome, SwitchFailure failure, const QString& text) {
    outcome.ok = false;
    outcome.failure = failure;
    outcome.errorText = text;
    qCWarning(lcSwitch).noquote() << "adapter switch refused or failed:" << text;
    return outcome;
}

} // namespace

NetlinkAdapter::NetlinkAdapter(const QString& resolverPath, QObject* parent)
    : NetworkAdapter(parent), m_resolverPath(resolverPath) {}

NetlinkAdapter::~NetlinkAdapter() {
    // A switch under way finishes first: it holds no lock and takes milliseconds.
    if (m_worker) {
        m_worker->disconnect(this);
        m_worker->wait();
        delete m_worker;
    }
}

bool NetlinkAdapter::Probe() {
    return true;
}

void NetlinkAdapter::watchSystem() {
    if (m_watcher)
        return;
    m_watcher = new RtnlWatcher(this);
    m_watcher->watchFile(m_resolverPath);
    connect(m_watcher, &RtnlWatcher::changed, this, &NetworkAdapter::settingsChangedOutside);
    QString errorText;
    if (!m_watcher->start(&errorText))
        qCWarning(lcAdapter).noquote() << "adapter changes are not watched:" << errorText;
}

void NetlinkAdapter::startSwitch(const AdapterSettings& settings) {
    if (m_worker) {
        // The caller waits for the end of a switch; a second one is refused, never overlapped.
        refuseBusySwitch();
        return;
    }
    m_result = SwitchOutcome{};
    m_worker = QThread::create([this, settings] { m_result = switchNow(settings); });
    m_worker->setObjectName(QStringLiteral("adapter switch"));
    connect(m_worker, &QThread::finished, this, &NetlinkAdapter::onWorkerFinished);
    m_worker->start();
}

void NetlinkAdapter::onWorkerFinished() {
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    emit switchFinished(m_result);
}

NetworkParams NetlinkAdapter::inspect() {
    NetworkParams params;
    const QString hostName = QSysInfo::machineHostName();
    QStringList servers;
    QString errorText;
    const ResolverFile::ReadStatus status = ResolverFile(m_resolverPath).read(&servers, &errorText);
    if (hostName.isEmpty() || status == ResolverFile::ReadStatus::Missing) {
        qCWarning(lcAdapter).noquote()
            << "adapter inspection:"
            << (hostName.isEmpty() ? QStringLiteral("no host name") : errorText);
        params.outcome = InspectionOutcome::NetworkParamsUnavailable;
        return params;
    }
    if (status == ResolverFile::ReadStatus::Failed) {
        qCWarning(lcAdapter).noquote() << "adapter inspection:" << errorText;
        params.outcome = InspectionOutcome::NetworkParamsFailed;
        return params;
    }
    params.hostName = hostName;
    params.dnsServers = servers;

    InspectLinks(&params);
    return params;
}

void NetlinkAdapter::InspectLinks(NetworkParams* params) {
    RtnlSession session;
    QList<LinkInfo> links;
    QString errorText;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText)) {
        qCWarning(lcAdapter).noquote() << "adapter inspection:" << errorText;
        params->outcome = InspectionOutcome::AdapterListFailed;
        return;
    }
    const QList<LinkInfo> ordered = AdapterPolicy::DisplayOrder(links);
    if (ordered.isEmpty()) {
        params->outcome = InspectionOutcome::NoAdapter;
        return;
    }
    const LinkInfo& first = ordered.first();
    params->adapterName = first.name;
    params->localIp = Ipv4::Format(first.addresses.first().address);
    params->subnetMask = Ipv4::PrefixToMask(first.addresses.first().prefix);
    if (const DefaultRoute* route = AdapterPolicy::BestDefault(first))
        params->gateway = Ipv4::Format(route->gateway);
}

SwitchOutcome NetlinkAdapter::switchNow(const AdapterSettings& settings, DnsTarget* dns) const {
    SwitchOutcome outcome;
    // Everything that can be known beforehand is checked before the first change.
    SwitchFailure failure = SwitchFailure::None;
    const QString settingsError = CheckAdapterSettings(settings, &failure);
    if (!settingsError.isEmpty())
        return Fail(outcome, failure, settingsError);
    if (!HasNetAdmin()) {
        return Fail(outcome, SwitchFailure::NoPermission,
                    QStringLiteral("need CAP_NET_ADMIN to change the network settings "
                                   "directly (root only; others switch through the "
                                   "switching service)"));
    }
    ResolverFileTarget resolver(m_resolverPath);
    if (!dns)
        dns = &resolver;
    QString errorText;
    if (!dns->check(&failure, &errorText))
        return Fail(outcome, failure, errorText);

    RtnlSession session;
    QList<LinkInfo> links;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText))
        return Fail(outcome, SwitchFailure::Other, errorText);
    const AdapterPolicy::SwitchPlan plan = AdapterPolicy::Plan(links, settings);
    if (!plan.errorText.isEmpty())
        return Fail(outcome, plan.failure, plan.errorText);

    if (plan.changeAddress) {
        if (!EnablePromoteSecondaries(plan.addressLink, &errorText))
            return Fail(outcome, SwitchFailure::AddressRefused, errorText);
        outcome.adapters.append(plan.addressLink);
        if (!session.addAddress(plan.addressIfindex, plan.newAddress, &errorText) ||
            !session.deleteOtherAddresses(plan.addressIfindex, plan.newAddress, &errorText))
            return Fail(outcome, SwitchFailure::AddressRefused,
                        plan.addressLink + QStringLiteral(": ") + errorText);
    }
    for (const LinkInfo& link : plan.gatewayLinks) {
        if (!outcome.adapters.contains(link.name))
            outcome.adapters.append(link.name);
        if (!session.addDefaultRoute(link.ifindex, plan.gateway, 1, &errorText) ||
            !session.deleteOtherDefaultRoutes(link.ifindex, plan.gateway, 1, &errorText))
            return Fail(outcome, SwitchFailure::RouteRefused,
                        link.name + QStringLiteral(": ") + errorText);
    }
    if (!dns->apply(plan.gatewayLinks, plan.dnsServers, &errorText))
        return Fail(outcome, SwitchFailure::ResolverWriteFailed, errorText);
    outcome.ok = true;
    outcome.failure = SwitchFailure::None;
    return outcome;
}

} // namespace torvane::client
