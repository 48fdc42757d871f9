#include "client/adapter/linux/networkmanageradapter.h"

#include "client/adapter/adapterpolicy.h"
#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/linux/rtnlsession.h"
#include "client/clientlogging.h"
#include "common/ipv4.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QTimer>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace torvane::client {

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kPath = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kManager = QStringLiteral("org.freedesktop.NetworkManager");
const QString kDevice = QStringLiteral("org.freedesktop.NetworkManager.Device");
const QString kDnsManager = QStringLiteral("org.freedesktop.NetworkManager.DnsManager");
const QString kDnsManagerPath = QStringLiteral("/org/freedesktop/NetworkManager/DnsManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

constexpr uint kDeviceActivated = 100;
// NetworkManager answers in well under a millisecond; this only bounds a daemon that hangs.
constexpr int kCallTimeoutMs = 5000;
constexpr int kLookupTimeoutMs = 2000;
// Between two kernel events the DNS list is looked at this often while a switch waits.
constexpr int kPollMs = 5;

void RegisterTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<NmConnectionSettings>();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        return true;
    }();
    Q_UNUSED(registered);
}

QDBusMessage Call(const QString& path, const QString& interface, const QString& method) {
    return QDBusMessage::createMethodCall(kService, path, interface, method);
}

std::optional<QVariant> Property(QDBusConnection& bus, const QString& path,
                                 const QString& interface, const QString& name) {
    QDBusMessage call = Call(path, kProperties, QStringLiteral("Get"));
    call << interface << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, kLookupTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return reply.arguments().first().value<QDBusVariant>().variant();
}

// The link's hardware address as NetworkManager writes it ("0A:1B:..."), empty for links
// without one.
QString HardwareAddress(const QString& link) {
    const QByteArray name = link.toLocal8Bit();
    ifreq request{};
    if (name.size() >= int(sizeof request.ifr_name))
        return {};
    std::memcpy(request.ifr_name, name.constData(), size_t(name.size()));
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    const bool ok = ::ioctl(fd, SIOCGIFHWADDR, &request) == 0;
    ::close(fd);
    if (!ok)
        return {};
    const QByteArray bytes(request.ifr_hwaddr.sa_data, 6);
    if (bytes == QByteArray(6, '\0'))
        return {};
    return QString::fromLatin1(bytes.toHex(':').toUpper());
}

// The device object of a network interface, or an empty text when NetworkManager has none.
// A bus reaches beyond this network namespace (a container, a test's namespace, on a host
// whose NetworkManager has an "eth0" of its own): the device counts only when its hardware
// address is the link's.
QString DeviceOf(QDBusConnection& bus, const QString& link) {
    QDBusMessage call = Call(kPath, kManager, QStringLiteral("GetDeviceByIpIface"));
    call << link;
    const QDBusReply<QDBusObjectPath> reply = bus.call(call, QDBus::Block, kLookupTimeoutMs);
    if (!reply.isValid())
        return {};
    const QString path = reply.value().path();
    const std::optional<QVariant> theirs =
        Property(bus, path, kDevice, QStringLiteral("HwAddress"));
    const QString ours = HardwareAddress(link);
    if (!theirs || theirs->toString().compare(ours, Qt::CaseInsensitive) != 0) {
        qCDebug(lcAdapter).noquote()
            << "NetworkManager's" << link << "is another device (hardware address"
            << (theirs ? theirs->toString() : QStringLiteral("unknown")) << "here" << ours << ")";
        return {};
    }
    return path;
}

bool IsActivated(QDBusConnection& bus, const QString& devicePath) {
    const std::optional<QVariant> state =
        Property(bus, devicePath, kDevice, QStringLiteral("State"));
    return state && state->toUInt() == kDeviceActivated;
}

// The DNS servers NetworkManager hands to the resolver, in its order (by priority, then
// device), each once. nullopt when NetworkManager does not answer.
std::optional<QStringList> DnsServers(QDBusConnection& bus) {
    const std::optional<QVariant> value =
        Property(bus, kDnsManagerPath, kDnsManager, QStringLiteral("Configuration"));
    if (!value)
        return std::nullopt;
    QStringList servers;
    for (const QVariantMap& entry : NmSettings::MapList(*value)) {
        QVariant nameservers = entry.value(QStringLiteral("nameservers"));
        QStringList list;
        if (nameservers.canConvert<QDBusArgument>())
            nameservers.value<QDBusArgument>() >> list;
        else
            list = nameservers.toStringList();
        for (const QString& server : list) {
            quint32 address = 0;
            // IPv6 servers are not this program's business: the labels show IPv4.
            if (Ipv4::Parse(server, &address) && !servers.contains(server))
                servers.append(server);
        }
    }
    return servers;
}

bool HasDefaultVia(const LinkInfo& link, quint32 gateway) {
    for (const DefaultRoute& route : link.defaultRoutes) {
        if (route.hasGateway && route.gateway == gateway)
            return true;
    }
    return false;
}

bool HasAddress(const LinkInfo& link, const QString& localIp, int prefix) {
    quint32 address = 0;
    Ipv4::Parse(localIp, &address);
    for (const Ipv4Address& a : link.addresses) {
        if (a.address == address && a.prefix == prefix)
            return true;
    }
    return false;
}

} // namespace

NetworkManagerAdapter::NetworkManagerAdapter(QDBusConnection bus, QObject* parent)
    : NetworkAdapter(parent), m_bus(std::move(bus)) {
    RegisterTypes();
    m_poll = new QTimer(this);
    m_poll->setInterval(kPollMs);
    connect(m_poll, &QTimer::timeout, this, &NetworkManagerAdapter::checkInForce);
    m_deadline = new QTimer(this);
    m_deadline->setSingleShot(true);
    m_deadline->setInterval(kInForceTimeoutMs);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        QStringList links;
        for (const Target& target : m_job->targets)
            links.append(target.link);
        fail(SwitchFailure::RouteRefused,
             QStringLiteral("NetworkManager took the line for %1 but it was not in force after "
                            "%2 ms: %3")
                 .arg(links.join(QStringLiteral(", ")))
                 .arg(kInForceTimeoutMs)
                 .arg(m_job->missing));
    });
    openKernelEvents();
    // Any device: a reconnect of the one switched puts the line back, the others may change
    // what the window shows.
    m_bus.connect(kService, QString(), kDevice, QStringLiteral("StateChanged"), this,
                  SLOT(onDeviceStateChanged(QDBusMessage)));
    m_bus.connect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(onPropertiesChanged(QDBusMessage)));
}

NetworkManagerAdapter::~NetworkManagerAdapter() {
    if (m_kernelSocket >= 0)
        ::close(m_kernelSocket);
}

bool NetworkManagerAdapter::Probe() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface() ||
        !bus.interface()->isServiceRegistered(kService).value())
        return false;
    NetworkParams params;
    NetlinkAdapter::InspectLinks(&params);
    if (params.outcome != InspectionOutcome::Ok)
        return false;
    const QString device = DeviceOf(bus, params.adapterName);
    const bool managed = !device.isEmpty() && IsActivated(bus, device);
    qCDebug(lcAdapter) << "NetworkManager runs;" << params.adapterName
                       << (managed ? "is" : "is not") << "activated by it";
    return managed;
}

NetworkParams NetworkManagerAdapter::inspect() {
    NetworkParams params;
    const QString hostName = QSysInfo::machineHostName();
    if (hostName.isEmpty()) {
        qCWarning(lcAdapter) << "adapter inspection: no host name";
        params.outcome = InspectionOutcome::NetworkParamsUnavailable;
        return params;
    }
    const std::optional<QStringList> servers = DnsServers(m_bus);
    if (!servers) {
        qCWarning(lcAdapter) << "adapter inspection: NetworkManager did not tell its DNS servers";
        params.outcome = InspectionOutcome::NetworkParamsFailed;
        return params;
    }
    params.hostName = hostName;
    params.dnsServers = *servers;
    NetlinkAdapter::InspectLinks(&params);
    return params;
}

void NetworkManagerAdapter::startSwitch(const AdapterSettings& settings) {
    if (m_job && m_job->internal) {
        // Putting the line back after a reconnect takes milliseconds: the user's switch follows.
        m_queued = settings;
        return;
    }
    const auto refuse = [this](SwitchFailure failure, const QString& text) {
        qCWarning(lcSwitch).noquote() << "adapter switch refused:" << text;
        m_job = Job{};
        QTimer::singleShot(0, this, [this, failure, text] {
            SwitchOutcome outcome;
            outcome.failure = failure;
            outcome.errorText = text;
            finish(outcome);
        });
    };
    if (m_job) {
        // The caller waits for the end of a switch; a second one is refused, never overlapped.
        refuseBusySwitch();
        return;
    }

    Job job;
    job.clock.start();
    SwitchFailure failure = SwitchFailure::None;
    const QString settingsError = CheckAdapterSettings(settings, &failure);
    if (!settingsError.isEmpty())
        return refuse(failure, settingsError);
    RtnlSession session;
    QList<LinkInfo> links;
    QString errorText;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText))
        return refuse(SwitchFailure::Other, errorText);
    const AdapterPolicy::SwitchPlan plan = AdapterPolicy::Plan(links, settings);
    if (!plan.errorText.isEmpty())
        return refuse(plan.failure, plan.errorText);

    // Every adapter the line goes on must be NetworkManager's, or nothing is changed.
    const NmLine line = NmSettings::LineFor(settings);
    for (const LinkInfo& link : plan.gatewayLinks) {
        Target target{link.name, link.ifindex, DeviceOf(m_bus, link.name), line};
        if (target.devicePath.isEmpty() || !IsActivated(m_bus, target.devicePath))
            return refuse(
                SwitchFailure::Other,
                QStringLiteral("%1 is not connected through NetworkManager").arg(link.name));
        if (!plan.changeAddress || link.ifindex != plan.addressIfindex)
            target.line.localIp.clear();
        job.targets.append(target);
    }
    startJob(std::move(job));
}

void NetworkManagerAdapter::startJob(Job job) {
    m_job = std::move(job);
    if (!m_job->clock.isValid())
        m_job->clock.start();
    qCInfo(lcSwitch).noquote() << "NetworkManager: putting gateway"
                               << m_job->targets.first().line.gateway << "and DNS"
                               << m_job->targets.first().line.dnsServers.join(QLatin1Char(' '))
                               << "on" << m_job->targets.size() << "device(s)"
                               << (m_job->internal ? "again after a reconnect" : "");
    requestApplied();
}

void NetworkManagerAdapter::requestApplied() {
    const Target& target = m_job->targets.at(m_job->next);
    QDBusMessage call = Call(target.devicePath, kDevice, QStringLiteral("GetAppliedConnection"));
    call << uint(0);
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &NetworkManagerAdapter::onApplied);
}

void NetworkManagerAdapter::onApplied(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    if (!m_job)
        return;
    const QDBusPendingReply<NmConnectionSettings, quint64> reply = *call;
    const Target& target = m_job->targets.at(m_job->next);
    if (reply.isError()) {
        const NmSettings::NmError error =
            NmSettings::ClassifyError(reply.error().name(), reply.error().message(),
                                      QStringLiteral("reading the connection of ") + target.link);
        return fail(error.failure, error.text);
    }
    NmConnectionSettings settings = reply.argumentAt<0>();
    const quint64 versionId = reply.argumentAt<1>();
    const QVariantMap ipv4 = settings.value(QStringLiteral("ipv4"));
    if (m_job->internal && NmSettings::CarriesLine(ipv4, target.line)) {
        // Nothing to put back on this one.
        if (++m_job->next < m_job->targets.size())
            return requestApplied();
        m_job->waiting = true;
        return checkInForce();
    }
    settings[QStringLiteral("ipv4")] = NmSettings::EditIpv4(ipv4, target.line);
    QDBusMessage reapply = Call(target.devicePath, kDevice, QStringLiteral("Reapply"));
    reapply << QVariant::fromValue(settings) << QVariant::fromValue(versionId)
            << QVariant::fromValue(uint(0));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(reapply, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, &NetworkManagerAdapter::onReapplied);
}

void NetworkManagerAdapter::onReapplied(QDBusPendingCallWatcher* call) {
    call->deleteLater();
    if (!m_job)
        return;
    const QDBusPendingReply<> reply = *call;
    const Target& target = m_job->targets.at(m_job->next);
    if (reply.isError()) {
        const NmSettings::NmError error =
            NmSettings::ClassifyError(reply.error().name(), reply.error().message(),
                                      QStringLiteral("the new settings of ") + target.link);
        if (error.retry && !m_job->retried) {
            qCInfo(lcSwitch).noquote() << error.text << "- reading it again";
            m_job->retried = true;
            return requestApplied();
        }
        return fail(error.failure, error.text);
    }
    if (++m_job->next < m_job->targets.size())
        return requestApplied();
    m_job->reappliedMs = m_job->clock.elapsed();
    m_job->waiting = true;
    m_deadline->start();
    m_poll->start();
    checkInForce();
}

void NetworkManagerAdapter::checkInForce() {
    if (!m_job || !m_job->waiting)
        return;
    RtnlSession session;
    QList<LinkInfo> links;
    QString errorText;
    if (!session.open(&errorText) || !session.readLinks(&links, &errorText)) {
        m_job->missing = errorText;
        return; // the next event or tick looks again
    }
    for (const Target& target : m_job->targets) {
        quint32 gateway = 0;
        Ipv4::Parse(target.line.gateway, &gateway);
        const auto link = std::find_if(links.cbegin(), links.cend(), [&](const LinkInfo& l) {
            return l.ifindex == target.ifindex;
        });
        if (link == links.cend() || !HasDefaultVia(*link, gateway)) {
            m_job->missing = QStringLiteral("no default route via %1 on %2 (ifindex %3)")
                                 .arg(target.line.gateway, target.link)
                                 .arg(target.ifindex);
            return;
        }
        if (!target.line.localIp.isEmpty() &&
            !HasAddress(*link, target.line.localIp, target.line.prefix)) {
            m_job->missing = QStringLiteral("no address %1/%2 on %3")
                                 .arg(target.line.localIp)
                                 .arg(target.line.prefix)
                                 .arg(target.link);
            return;
        }
    }
    const std::optional<QStringList> servers = DnsServers(m_bus);
    for (const QString& server : m_job->targets.first().line.dnsServers) {
        if (!servers || !servers->contains(server)) {
            m_job->missing =
                QStringLiteral("NetworkManager's DNS servers (%1) lack %2")
                    .arg(servers ? servers->join(QLatin1Char(' ')) : QStringLiteral("none"),
                         server);
            return;
        }
    }
    SwitchOutcome outcome;
    outcome.ok = true;
    outcome.failure = SwitchFailure::None;
    for (const Target& target : m_job->targets) {
        outcome.adapters.append(target.link);
        m_linesInForce.insert(target.devicePath, target.line);
    }
    qCInfo(lcSwitch).noquote() << QStringLiteral("NetworkManager took the line after %1 ms; in "
                                                 "force after %2 ms")
                                      .arg(m_job->reappliedMs)
                                      .arg(m_job->clock.elapsed());
    finish(outcome);
}

void NetworkManagerAdapter::fail(SwitchFailure failure, const QString& text) {
    qCWarning(lcSwitch).noquote() << "adapter switch through NetworkManager failed:" << text;
    SwitchOutcome outcome;
    outcome.failure = failure;
    outcome.errorText = text;
    for (int i = 0; m_job && i < m_job->next && i < m_job->targets.size(); ++i)
        outcome.adapters.append(m_job->targets.at(i).link);
    finish(outcome);
}

void NetworkManagerAdapter::finish(SwitchOutcome outcome) {
    m_poll->stop();
    m_deadline->stop();
    const bool internal = m_job && m_job->internal;
    m_job.reset();
    if (internal) {
        // The window learns of the line put back as of any change behind its back.
        emit settingsChangedOutside();
        if (m_queued) {
            const AdapterSettings settings = *m_queued;
            m_queued.reset();
            startSwitch(settings);
        }
        return;
    }
    emit switchFinished(outcome);
}

void NetworkManagerAdapter::openKernelEvents() {
    m_kernelSocket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_kernelSocket < 0) {
        qCWarning(lcAdapter) << "no rtnetlink events:" << qt_error_string(errno);
        return;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_IFADDR;
    if (::bind(m_kernelSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        qCWarning(lcAdapter) << "no rtnetlink events:" << qt_error_string(errno);
        ::close(m_kernelSocket);
        m_kernelSocket = -1;
        return;
    }
    m_kernelEvents = new QSocketNotifier(m_kernelSocket, QSocketNotifier::Read, this);
    connect(m_kernelEvents, &QSocketNotifier::activated, this,
            &NetworkManagerAdapter::onKernelEvent);
}

void NetworkManagerAdapter::onKernelEvent() {
    // The events only say "look again"; their content is read from the next dump.
    char buffer[8192];
    ssize_t got = 0;
    do {
        got = ::recv(m_kernelSocket, buffer, sizeof buffer, 0);
    } while (got > 0 || (got < 0 && errno == EINTR));
    if (m_job && m_job->waiting)
        checkInForce();
    else if (!m_job)
        emit settingsChangedOutside();
}

void NetworkManagerAdapter::onDeviceStateChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.isEmpty())
        return;
    const uint state = args.first().toUInt();
    emit settingsChangedOutside();
    const auto line = m_linesInForce.constFind(message.path());
    if (state != kDeviceActivated || line == m_linesInForce.cend())
        return;
    if (m_job) {
        // A switch under way puts its own line on the device.
        return;
    }
    Job job;
    job.internal = true;
    Target target;
    target.devicePath = message.path();
    target.line = *line;
    const std::optional<QVariant> name =
        Property(m_bus, target.devicePath, kDevice, QStringLiteral("IpInterface"));
    if (!name || DeviceOf(m_bus, name->toString()) != target.devicePath)
        return;
    target.link = name->toString();
    target.ifindex = int(::if_nametoindex(target.link.toLocal8Bit().constData()));
    job.targets.append(target);
    qCInfo(lcSwitch).noquote() << target.link << "connected again: putting the line back";
    startJob(std::move(job));
}

void NetworkManagerAdapter::onPropertiesChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.isEmpty())
        return;
    const QString interface = args.first().toString();
    if (interface == kDevice || interface == kDnsManager ||
        interface == QLatin1String("org.freedesktop.NetworkManager.IP4Config")) {
        if (m_job && m_job->waiting)
            checkInForce();
        else if (!m_job)
            emit settingsChangedOutside();
    }
}

} // namespace torvane::client
