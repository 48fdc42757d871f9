#include "common/singleinstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace torvane {

namespace {
// The guard is scoped to the settings folder: two users, or two test workstations with their own
// XDG_CONFIG_HOME on one host, each get their own copy.
QString SettingsFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QByteArray UserTag() {
#ifdef Q_OS_WIN
    // Pipe names are machine-wide on Windows: the user's name keeps two sessions apart.
    return qEnvironmentVariable("USERDOMAIN").toUtf8() + '\\' +
           qEnvironmentVariable("USERNAME").toUtf8();
#else
    return QByteArray::number(static_cast<qulonglong>(getuid()));
#endif
}

QString ScopeHash(const QString& name) {
    const QByteArray key = (SettingsFolder() + QLatin1Char('/') + name).toUtf8() + '/' + UserTag();
    return QString::fromLatin1(
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
}
} // namespace

SingleInstanceGuard::SingleInstanceGuard(const QString& name, QObject* parent)
    : QObject(parent), m_name(name) {}

SingleInstanceGuard::~SingleInstanceGuard() {
    if (m_server)
        m_server->close();
#ifdef Q_OS_WIN
    if (m_mutex)
        CloseHandle(m_mutex);
#endif
}

QString SingleInstanceGuard::lockFilePath() const {
    return QDir(SettingsFolder()).filePath(m_name + QStringLiteral(".lock"));
}

QString SingleInstanceGuard::serverName() const {
    // A full path keeps the socket out of abstract namespaces, which network namespaces split.
    return QDir(QDir::tempPath()).filePath(QStringLiteral("torvane-") + ScopeHash(m_name));
}

bool SingleInstanceGuard::tryAcquire() {
#ifdef Q_OS_WIN
    // Windows: the named mutex of the program's title decides, in the session's namespace; it is
    // held until the process ends. The local server below only carries the second copy's news.
    if (!m_mutex) {
        HANDLE mutex = CreateMutexW(nullptr, TRUE, reinterpret_cast<LPCWSTR>(m_name.utf16()));
        const DWORD error = GetLastError();
        if (mutex && error == ERROR_ALREADY_EXISTS) {
            CloseHandle(mutex);
            mutex = nullptr;
        }
        // A mutex that cannot be made at all (no rights to the name) is no running copy.
        if (!mutex && error == ERROR_ALREADY_EXISTS) {
            m_primary = false;
            return false;
        }
        m_mutex = mutex;
    }
#else
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
#endif
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
