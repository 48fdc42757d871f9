#pragma once

#include "service/core/switchservicecore.h"
#include "service/linux/polkitauthority.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QTimer>

namespace torvane::service {

inline constexpr char kBusName[] = "org.torvane.Switch1";
inline constexpr char kObjectPath[] = "/org/torvane/Switch1";

// The switching service's one method on the system bus, `Switch(ay request) -> ay reply`. It
// learns who calls from the bus (uid, pid, unique name), lets root through and asks polkit
// about everybody else, then hands the request to the core, which checks, applies and logs.
// A malformed request is refused before polkit is bothered, and so is everything while too
// many calls already wait for polkit (a flood costs polkit nothing more).
class SwitchBusService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.torvane.Switch1")
public:
    SwitchBusService(SwitchServiceCore& core, SwitchServiceCore::LogSink log,
                     const QDBusConnection& bus, QObject* parent = nullptr);

    static constexpr int kMaxWaitingForPolkit = 16;

    // Registers the object and takes the bus name; false with the reason when either fails.
    bool publish(QString* errorText);

    // After this long without a call and with nothing waiting, gives the name up and emits
    // idle(): the bus starts the service again on the next call. 0: never.
    void exitWhenIdle(int idleMs);

signals:
    void idle();

public slots:
    Q_SCRIPTABLE QByteArray Switch(const QByteArray& request);

private:
    SwitchServiceCore& m_core;
    SwitchServiceCore::LogSink m_log;
    QDBusConnection m_bus;
    int m_waitingForPolkit = 0;
    QTimer* m_idleTimer = nullptr;
    PolkitAuthority m_polkit;
};

} // namespace torvane::service
