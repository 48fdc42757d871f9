#pragma once

#include "client/adapter/networkadapter.h"

class QThread;

namespace torvane::client {

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

    // The switch itself, on the calling thread (the worker runs this; so can a command-line tool).
    SwitchOutcome switchNow(const AdapterSettings& settings) const;

    QString resolverPath() const { return m_resolverPath; }

    // The adapter the inspection shows (name, address, mask, gateway), read over rtnetlink; on
    // failure only the outcome is set. Backends that read the DNS servers elsewhere share it.
    static void InspectLinks(NetworkParams* params);

    // Always usable on Linux: rtnetlink is part of every kernel the program runs on.
    static bool Probe();

private:
    void onWorkerFinished();

    const QString m_resolverPath;
    QThread* m_worker = nullptr;
    SwitchOutcome m_result; // written by the worker, read after it finished
};

} // namespace torvane::client
