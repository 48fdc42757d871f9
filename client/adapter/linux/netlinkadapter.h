#pragma once

#include "client/adapter/linkinfo.h"
#include "client/adapter/networkadapter.h"

class QFileSystemWatcher;
class QThread;

namespace torvane::client {

class RtnlWatcher;

// Where a switch puts the DNS servers once the routes are in place: the resolver file, or a
// resolver daemon that keeps them per link.
class DnsTarget {
public:
    virtual ~DnsTarget() = default;
    // Asked before the first change; a refusal changes nothing.
    virtual bool check(SwitchFailure* failure, QString* errorText) = 0;
    // `links` are those that got the new default gateway, in display order.
    virtual bool apply(const QList<LinkInfo>& links, const QStringList& servers,
                       QString* errorText) = 0;
};

// The adapter backend for a Linux system whose network nobody else manages: links, addresses
// and routes through rtnetlink (libnl-route-3), DNS servers through the resolver file. A switch
// runs on a thread of its own, so the window never waits for the kernel or the disk.
class NetlinkAdapter : public NetworkAdapter {
    Q_OBJECT
public:
    explicit NetlinkAdapter(const QString& resolverPath = QStringLiteral("/etc/resolv.conf"),
                            QObject* parent = nullptr);
    ~NetlinkAdapter() override;

    QString backendName() const override { return QStringLiteral("netlink"); }
    NetworkParams inspect() override;
    void startSwitch(const AdapterSettings& settings) override;
    bool switchRunning() const override { return m_worker != nullptr; }

    // The switch itself, on the calling thread (the worker runs this; so does the switching
    // service). The DNS servers go to the resolver file unless another target is given.
    SwitchOutcome switchNow(const AdapterSettings& settings, DnsTarget* dns = nullptr) const;

    QString resolverPath() const { return m_resolverPath; }

    // The adapter the inspection shows (name, address, mask, gateway), read over rtnetlink; on
    // failure only the outcome is set. Backends that read the DNS servers elsewhere share it.
    static void InspectLinks(NetworkParams* params);

    // Always usable on Linux: rtnetlink is part of every kernel the program runs on.
    static bool Probe();

    // Watches addresses, routes and the resolver file, and emits settingsChangedOutside() when
    // they change; off until asked, so a one-shot user (the service) opens no socket for it.
    void watchSystem();

private:
    void onWorkerFinished();

    const QString m_resolverPath;
    RtnlWatcher* m_watcher = nullptr;
    QThread* m_worker = nullptr;
    SwitchOutcome m_result; // written by the worker, read after it finished
};

} // namespace torvane::client
