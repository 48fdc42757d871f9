#include "client/adapter/linux/serviceadapter.h"

#include "client/clientlogging.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>

namespace torvane::client {

namespace {

// Long enough for a password the user types into the desktop's polkit agent.
constexpr int kCallTimeoutMs = 120'000;

} // namespace

ServiceAdapter::ServiceAdapter(const QDBusConnection& bus, const QString& resolverPath,
                               QObject* parent)
    : NetworkAdapter(parent), m_bus(bus),
      m_reader(new NetlinkAdapter(resolverPath.isEmpty() ? InspectionResolverPath() : resolverPath,
                                  this)) {}

ServiceAdapter::~ServiceAdapter() {
    // A call under way is forgotten; the service finishes it on its own.
    delete m_call;
}

QString ServiceAdapter::InspectionResolverPath(const QString& systemFile,
                                               const QString& resolvedFolder) {
    const QFileInfo info(systemFile);
    const QString folder = QFileInfo(resolvedFolder).canonicalFilePath() + QLatin1Char('/');
    const QString target = info.isSymLink() ? info.canonicalFilePath() : QString();
    const QString upstream = folder + QStringLiteral("resolv.conf");
    if (folder.size() > 1 && target.startsWith(folder) && target != upstream &&
        QFileInfo::exists(upstream))
        return upstream;
    return systemFile;
}

bool ServiceAdapter::Probe() {
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return false;
    QDBusConnectionInterface* daemon = bus.interface();
    if (daemon->isServiceRegistered(QString::fromLatin1(kSwitchServiceName)))
        return true;
    const QDBusReply<QStringList> activatable = daemon->activatableServiceNames();
    return activatable.isValid() &&
           activatable.value().contains(QString::fromLatin1(kSwitchServiceName));
}

void ServiceAdapter::watchSystem() {
    m_reader->watchSystem();
    connect(m_reader, &NetworkAdapter::settingsChangedOutside, this,
            &NetworkAdapter::settingsChangedOutside, Qt::UniqueConnection);
}

void ServiceAdapter::startSwitch(const AdapterSettings& settings) {
    if (m_call) {
        refuseBusySwitch();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kSwitchServiceName), QString::fromLatin1(kSwitchServicePath),
        QString::fromLatin1(kSwitchServiceInterface), QStringLiteral("Switch"));
    call << EncodeSwitchRequest(settings);
    // A password asked by polkit is the service's business; the bus must let it wait.
    call.setInteractiveAuthorizationAllowed(true);
    const QDBusPendingCall pending = m_bus.asyncCall(call, kCallTimeoutMs);
    m_call = new QDBusPendingCallWatcher(pending, this);
    connect(m_call, &QDBusPendingCallWatcher::finished, this, &ServiceAdapter::onCallFinished);
    // A call that failed at once (no bus at all) never signals: end it on the next pass.
    if (pending.isFinished()) {
        QMetaObject::invokeMethod(
            this, [this, watcher = m_call] { onCallFinished(watcher); }, Qt::QueuedConnection);
    }
}

void ServiceAdapter::onCallFinished(QDBusPendingCallWatcher* call) {
    if (call != m_call)
        return; // already handled
    m_call = nullptr;
    call->deleteLater();
    const QDBusPendingReply<QByteArray> reply = *call;
    const SwitchOutcome outcome =
        reply.isError() ? OutcomeOfCall(reply.error().name(), reply.error().message(), {})
                        : OutcomeOfCall({}, {}, reply.value());
    if (!outcome.ok)
        qCWarning(lcSwitch).noquote()
            << "the switching service did not switch:" << outcome.errorText;
    emit switchFinished(outcome);
}

SwitchOutcome ServiceAdapter::OutcomeOfCall(const QString& errorName, const QString& errorMessage,
                                            const QByteArray& reply) {
    SwitchOutcome outcome;
    if (!errorName.isEmpty()) {
        // The bus itself refusing the call is a refusal like the service's own; anything else
        // (no such service, no answer, the service gone mid-call) means it cannot be used.
        outcome.failure = errorName == QLatin1String("org.freedesktop.DBus.Error.AccessDenied")
                              ? SwitchFailure::NoPermission
                              : SwitchFailure::ServiceUnavailable;
        outcome.errorText =
            QStringLiteral("switching service: %1: %2").arg(errorName, errorMessage);
        return outcome;
    }
    const std::optional<SwitchReply> decoded = DecodeSwitchReply(reply);
    if (!decoded) {
        outcome.failure = SwitchFailure::ServiceUnavailable;
        outcome.errorText = QStringLiteral("switching service: a reply of an unknown shape");
        return outcome;
    }
    outcome.ok = decoded->failure == SwitchFailure::None;
    outcome.failure = decoded->failure;
    if (!outcome.ok)
        outcome.errorText = QStringLiteral("switching service: ") + decoded->text;
    return outcome;
}

} // namespace torvane::client
