#include "service/linux/switchbusservice.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <pwd.h>
#include <sys/types.h>

namespace torvane::service {

namespace {

QString AccountName(qint64 uid) {
    if (uid < 0)
        return {};
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return QString::fromLocal8Bit(found->pw_name);
    return {};
}

} // namespace

SwitchBusService::SwitchBusService(SwitchServiceCore& core, SwitchServiceCore::LogSink log,
                                   const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_core(core), m_log(std::move(log)), m_bus(bus), m_polkit(bus) {}

bool SwitchBusService::publish(QString* errorText) {
    if (!m_bus.isConnected()) {
        *errorText = QStringLiteral("no system bus: %1").arg(m_bus.lastError().message());
        return false;
    }
    if (!m_bus.registerObject(QString::fromLatin1(kObjectPath), this,
                              QDBusConnection::ExportScriptableSlots)) {
        *errorText = QStringLiteral("cannot register %1").arg(QString::fromLatin1(kObjectPath));
        return false;
    }
    if (!m_bus.registerService(QString::fromLatin1(kBusName))) {
        *errorText = QStringLiteral("cannot own %1: %2")
                         .arg(QString::fromLatin1(kBusName), m_bus.lastError().message());
        return false;
    }
    return true;
}

void SwitchBusService::exitWhenIdle(int idleMs) {
    if (idleMs <= 0)
        return;
    m_idleTimer = new QTimer(this);
    m_idleTimer->setSingleShot(true);
    m_idleTimer->setInterval(idleMs);
    connect(m_idleTimer, &QTimer::timeout, this, [this] {
        if (m_waitingForPolkit > 0) {
            m_idleTimer->start();
            return;
        }
        m_bus.unregisterService(QString::fromLatin1(kBusName));
        emit idle();
    });
    m_idleTimer->start();
}

QByteArray SwitchBusService::Switch(const QByteArray& request) {
    if (m_idleTimer)
        m_idleTimer->start();
    const QDBusMessage call = message();
    SwitchCaller caller;
    caller.via = call.service();
    // The bus daemon knows the sender's credentials; nothing the caller says is taken for them.
    QDBusConnectionInterface* daemon = m_bus.interface();
    if (const QDBusReply<uint> uid = daemon->serviceUid(caller.via); uid.isValid())
        caller.uid = uid.value();
    if (const QDBusReply<uint> pid = daemon->servicePid(caller.via); pid.isValid())
        caller.pid = pid.value();
    caller.account = AccountName(caller.uid);

    // Root may change the network anyway; a request that is not one is refused at once.
    if (caller.uid == 0 || !DecodeSwitchRequest(request))
        return m_core.handle(request, caller, caller.uid == 0);

    if (m_waitingForPolkit >= kMaxWaitingForPolkit) {
        const SwitchReply busy{SwitchFailure::RateLimited,
                               QStringLiteral("too many requests waiting for polkit")};
        m_log(QStringLiteral("refused a request from %1: %2")
                  .arg(SwitchServiceCore::Describe(caller), busy.text));
        return EncodeSwitchReply(busy);
    }
    ++m_waitingForPolkit;
    setDelayedReply(true);
    m_polkit.check(caller.via, QString::fromLatin1(kSwitchAction),
                   call.isInteractiveAuthorizationAllowed(),
                   [this, call, request, caller](bool authorized, const QString& reason) {
                       --m_waitingForPolkit;
                       SwitchCaller known = caller;
                       if (!authorized && !reason.isEmpty())
                           known.via += QStringLiteral(" (%1)").arg(reason);
                       const QByteArray reply = m_core.handle(request, known, authorized);
                       m_bus.send(call.createReply(QVariant::fromValue(reply)));
                   });
    return {};
}

} // namespace torvane::service
