#include "service/linux/polkitauthority.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

namespace torvane::service {

namespace {

// A password typed into an agent takes a while; the caller's own call waits a little longer.
constexpr int kPolkitTimeoutMs = 110'000;
constexpr uint kAllowUserInteraction = 1;

struct PolkitSubject {
    QString kind;
    QVariantMap details;
};

struct PolkitResult {
    bool authorized = false;
    bool challenge = false;
    QMap<QString, QString> details;
};

QDBusArgument& operator<<(QDBusArgument& argument, const PolkitSubject& subject) {
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PolkitSubject& subject) {
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const PolkitResult& result) {
    argument.beginStructure();
    argument << result.authorized << result.challenge << result.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PolkitResult& result) {
    argument.beginStructure();
    argument >> result.authorized >> result.challenge >> result.details;
    argument.endStructure();
    return argument;
}

} // namespace

} // namespace torvane::service

Q_DECLARE_METATYPE(torvane::service::PolkitSubject)
Q_DECLARE_METATYPE(torvane::service::PolkitResult)

namespace torvane::service {

PolkitAuthority::PolkitAuthority(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus) {
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<PolkitResult>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
}

void PolkitAuthority::check(const QString& busName, const QString& action, bool interactive,
                            Answer answer) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.PolicyKit1"),
                                       QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                       QStringLiteral("org.freedesktop.PolicyKit1.Authority"),
                                       QStringLiteral("CheckAuthorization"));
    const PolkitSubject subject{QStringLiteral("system-bus-name"),
                                {{QStringLiteral("name"), busName}}};
    call << QVariant::fromValue(subject) << action << QVariant::fromValue(QMap<QString, QString>{})
         << uint(interactive ? kAllowUserInteraction : 0) << QString();
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kPolkitTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [answer = std::move(answer)](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                const QDBusPendingReply<PolkitResult> reply = *call;
                if (reply.isError()) {
                    answer(false, QStringLiteral("polkit: %1").arg(reply.error().message()));
                    return;
                }
                const PolkitResult result = reply.value();
                answer(result.authorized,
                       result.authorized ? QString()
                       : result.challenge
                           ? QStringLiteral("polkit wants an administrator's password")
                           : QStringLiteral("polkit does not allow it"));
            });
}

} // namespace torvane::service
