#pragma once

#include "client/adapter/linux/nmsettings.h"
#include "client/adapter/networkadapter.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QHash>

#include <optional>

class QDBusMessage;
class QDBusPendingCallWatcher;
class QSocketNotifier;
class QTimer;

namespace torvane::client {

// The adapter backend for a machine whose adapter NetworkManager manages. A switch edits the
// connection NetworkManager applied to the device and hands it back (Reapply), which needs only
// polkit's network-control right that local sessions hold: the Client itself needs no
// privilege. The switch is done when the new default route is in the kernel and NetworkManager
// lists the line's DNS servers, not when NetworkManager accepts the call.
//
// Reapply changes the running connection only. When the device connects again it comes back
// with its stored profile, so the line in force is put back then; a DHCP renewal keeps the
// applied connection and needs nothing.
class NetworkManagerAdapter : public NetworkAdapter {
    Q_OBJECT
public:
    explicit NetworkManagerAdapter(QDBusConnection bus = QDBusConnection::systemBus(),
                                   QObject* parent = nullptr);
    ~NetworkManagerAdapter() override;

    QString backendName() const override { return QStringLiteral("networkmanager"); }
    NetworkParams inspect() override;
    void startSwitch(const AdapterSettings& settings) override;
    bool switchRunning() const override { return m_job.has_value() && !m_job->internal; }

    // NetworkManager runs on the system bus and has activated the adapter the Client shows.
    static bool Probe();

    // How long a switch waits for the new default route once NetworkManager accepted it.
    static constexpr int kInForceTimeoutMs = 5000;

private:
    struct Target {
        QString link;
        int ifindex = 0;
        QString devicePath;
        NmLine line;
    };
    struct Job {
        QList<Target> targets;
        int next = 0;
        bool retried = false;
        bool internal = false; // putting the line back after a reconnect: no switchFinished
        bool waiting = false;  // every device took the line; waiting for it to be in force
        QString missing;       // what was not yet in force at the last look
        QElapsedTimer clock;   // from the start, for the log
        qint64 reappliedMs = -1;
    };

    void startJob(Job job);
    void requestApplied();
    void onApplied(QDBusPendingCallWatcher* call);
    void onReapplied(QDBusPendingCallWatcher* call);
    void checkInForce();
    void fail(SwitchFailure failure, const QString& text);
    void finish(SwitchOutcome outcome);
    void openKernelEvents();
    void onKernelEvent();
    Q_SLOT void onDeviceStateChanged(const QDBusMessage& message);
    Q_SLOT void onPropertiesChanged(const QDBusMessage& message);

    QDBusConnection m_bus;
    std::optional<Job> m_job;
    std::optional<AdapterSettings> m_queued; // asked for while a line was being put back
    QHash<QString, NmLine> m_linesInForce;   // device path -> line this Client put on it
    int m_kernelSocket = -1;
    QSocketNotifier* m_kernelEvents = nullptr;
    QTimer* m_poll = nullptr;
    QTimer* m_deadline = nullptr;
};

} // namespace torvane::client
