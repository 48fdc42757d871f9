#pragma once

#include "common/switchrequest.h"

#include <QObject>
#include <QString>
#include <QStringList>

namespace torvane::client {

// How far an inspection got. The numbers are those of the messages "程序错误N…" the user sees.
enum class InspectionOutcome {
    Ok = 0,
    NetworkParamsUnavailable = 1, // host name or resolver file not available
    NetworkParamsFailed = 2,      // the resolver file could not be read
    NoAdapter = 3,                // no adapter with an IPv4 address to show
    AdapterListFailed = 4,        // the adapter list could not be read
};

// The number shown to the user for an outcome (0 for Ok).
int ErrorNumber(InspectionOutcome outcome);

// What one inspection found. After NoAdapter or AdapterListFailed the host name and the DNS
// servers are still filled; after the first two failures nothing is.
struct NetworkParams {
    InspectionOutcome outcome = InspectionOutcome::Ok;
    QString hostName;
    QStringList dnsServers; // resolver order
    QString adapterName;    // the adapter shown (first by the adapter-order policy)
    QString localIp;        // first IPv4 address of that adapter
    QString subnetMask;     // dotted-quad mask of that address
    QString gateway;        // its default gateway ("" if none)
};

struct SwitchOutcome {
    bool ok = false;      // every touched adapter accepted every step
    QString errorText;    // readable reason when !ok (e.g. "need CAP_NET_ADMIN ...")
    QStringList adapters; // adapters that were changed
    SwitchFailure failure = SwitchFailure::Other; // why, when !ok
};

// Reads and changes the workstation's network settings. One backend per way the machine's
// network is managed (netlink and the resolver file, a desktop daemon, the Windows API), chosen
// at run time by the factory, plus a fake for tests.
//
// A switch is asynchronous: startSwitch() returns at once and switchFinished() follows, always
// on the thread of this object and never from inside startSwitch(). A backend may do the work on
// a thread of its own or wait on another process; the caller's event loop keeps running. Only one
// switch runs at a time: the caller waits for switchFinished() before it starts the next.
class NetworkAdapter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~NetworkAdapter() override = default;

    // Name of the backend, for the log ("netlink", "fake", ...).
    virtual QString backendName() const = 0;
    // Reads the current settings; quick enough for the caller's thread.
    virtual NetworkParams inspect() = 0;
    virtual void startSwitch(const AdapterSettings& settings) = 0;
    virtual bool switchRunning() const = 0;

protected:
    // A switch started while another runs is refused, never overlapped; like every outcome the
    // refusal is told later, not from inside startSwitch().
    void refuseBusySwitch() {
        QMetaObject::invokeMethod(
            this,
            [this] {
                SwitchOutcome busy;
                busy.failure = SwitchFailure::Busy;
                busy.errorText = QStringLiteral("another switch is still running");
                emit switchFinished(busy);
            },
            Qt::QueuedConnection);
    }

signals:
    void switchFinished(const torvane::client::SwitchOutcome& outcome);
    // The adapter's address, gateway or DNS changed, by this backend or behind its back (a DHCP
    // renewal, the user, another tool). Backends that can watch the system emit it, as often as
    // they like: the caller re-inspects and compares.
    void settingsChangedOutside();
};

} // namespace torvane::client
