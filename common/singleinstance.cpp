#include "common/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <unistd.h>

namespace torvane {

namespace {
// The guard is scoped to the settings folder: two users, or two test workstations with their own
// XDG_CONFIG_HOME on one host, each get their own copy.
QString SettingsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString ScopeHash(const QString& name) {
    const QByteArray key = (SettingsFolder() + QLatin1Char('/') + name).toUtf8() + '/' +
                           QByteArray::number(static_cast<qulonglong>(getuid()));
    return QString::fromLatin1(
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& name, QObject* parent)
    : QObject(parent), m_name(name) {}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_server)
        m_server->close();
}

QString SingleInstanceGuard::lockFilePath() const {
    return QDir(SettingsFolder()).filePath(m_name + QStringLiteral(".lock"));
}

QString SingleInstanceGuard::serverName() const {
    // A full path keeps the socket out of abstract namespaces, which network namespaces split.
    return QDir(QDir::tempPath()).filePath(QStringLiteral("torvane-") + ScopeHash(m_name));
}

bool SingleInstanceGuard::tryAcquire() {
    QDir().mkpath(SettingsFolder());
    m_lock = std::make_unique<QLockFile>(lockFilePath());
    m_lock->setStaleLockTime(0); // a lock left by a dead process is stale at once
    if (!m_lock->tryLock(0) && m_lock->error() != QLockFile::LockFailedError) {
        // The settings folder cannot hold the lock (not writable): only another copy's lock may
        // refuse this start, so the lock moves to the temporary folder.
        m_lock =
            std::make_unique<QLockFile>(QDir(QDir::tempPath())
                                            .filePath(QStringLiteral("torvane-") +
                                                      ScopeHash(m_name) + QStringLiteral(".lock")));
        m_lock->setStaleLockTime(0);
        m_lock->tryLock(0);
    }
    if (!m_lock->isLocked() && m_lock->error() == QLockFile::LockFailedError) {
        m_primary = false;
        return false;
    }
    m_primary = true;
    QLocalServer::removeServer(serverName());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            emit secondInstanceStarted();
        }
    });
    m_server->listen(serverName());
    return true;
}

void SingleInstanceGuard::notifyPrimary() {
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (socket.waitForConnected(1000))
        socket.disconnectFromServer();
}

} // namespace torvane
