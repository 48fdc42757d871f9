#pragma once

#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/networkadapter.h"

#include <QByteArray>
#include <QDBusConnection>

class QDBusPendingCallWatcher;

namespace torvane::client {

// The switching service on the system bus: the one privileged program that changes routes and
// DNS for unprivileged Clients, after asking polkit about the caller.
inline constexpr char kSwitchServiceName[] = "org.torvane.Switch1";
inline constexpr char kSwitchServicePath[] = "/org/torvane/Switch1";
inline constexpr char kSwitchServiceInterface[] = "org.torvane.Switch1";

// The adapter backend for a Linux desktop whose Client holds no right of its own: it reads the
// adapter as the netlink backend does (reading needs no right) and asks the switching service
// to switch, without waiting for its answer on the window's thread.
class ServiceAdapter : public NetworkAdapter {
    Q_OBJECT
public:
    // An empty resolverPath: InspectionResolverPath().
    explicit ServiceAdapter(const QDBusConnection& bus = QDBusConnection::systemBus(),
                            const QString& resolverPath = {}, QObject* parent = nullptr);
    ~ServiceAdapter() override;

    QString backendName() const override { return QStringLiteral("service"); }
    NetworkParams inspect() override { return m_reader->inspect(); }
    void startSwitch(const AdapterSettings& settings) override;
    bool switchRunning() const override { return m_call != nullptr; }

    void watchSystem();

    // Whether the service runs or can be started on the system bus.
    static bool Probe();

    // The outcome of a call: a D-Bus error (empty name for none) or the service's reply bytes.
    static SwitchOutcome OutcomeOfCall(const QString& errorName, const QString& errorMessage,
                                       const QByteArray& reply);

    // The resolver file that lists the servers in use: where systemd-resolved's stub is the
    // system's resolver file (it names only 127.0.0.53), resolved's list of its upstream servers.
    static QString
    InspectionResolverPath(const QString& systemFile = QStringLiteral("/etc/resolv.conf"),
                           const QString& resolvedFolder = QStringLiteral("/run/systemd/resolve"));

private:
    void onCallFinished(QDBusPendingCallWatcher* call);

    QDBusConnection m_bus;
    NetlinkAdapter* m_reader;
    QDBusPendingCallWatcher* m_call = nullptr;
};

} // namespace torvane::client
