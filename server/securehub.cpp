#include "server/securehub.h"

#include "common/protocol.h"
#include "common/securesession.h"
#include "server/serverlogging.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace torvane::server {

using SecureFrame::Type;

struct SecurePeer {
    SecurePeer(QTcpSocket* s, const QByteArray& key)
        : socket(s), session(SecureSession::Role::Server, key) {}
    QTcpSocket* socket;
    SecureSession session;
    QTimer* deadline = nullptr; // the handshake, then the first report
    SecureHub::ClientId id = 0;
    QString address;
    bool announced = false; // a row exists: the handshake finished
    bool ending = false;
};

SecureHub::SecureHub(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    connect(m_server, &QTcpServer::newConnection, this, &SecureHub::acceptPending);
}

SecureHub::~SecureHub() {
    for (SecurePeer* peer : std::as_const(m_peers)) {
        peer->socket->disconnect(this);
        delete peer;
    }
}

bool SecureHub::listen(quint16 port, QString* errorText) {
    m_server->close();
    if (m_siteKey.isEmpty())
        return false;
    if (!m_server->listen(QHostAddress::Any, port)) {
        if (errorText)
            *errorText = m_server->errorString();
        return false;
    }
    qCInfo(lcSecure) << "secure channel listening on port" << m_server->serverPort();
    return true;
}

bool SecureHub::isListening() const {
    return m_server->isListening();
}

quint16 SecureHub::listeningPort() const {
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void SecureHub::closeAllConnections() {
    m_server->close();
    const QList<SecurePeer*> peers = m_peers.values();
    for (SecurePeer* peer : peers)
        end(peer, false);
}

int SecureHub::connectionCount() const {
    return int(m_peers.size());
}

bool SecureHub::isConnected(ClientId id) const {
    const SecurePeer* peer = m_peers.value(id);
    return peer && peer->announced && !peer->ending;
}

QString SecureHub::addressOf(ClientId id) const {
    return isConnected(id) ? m_peers.value(id)->address : QString();
}

void SecureHub::acceptPending() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* peer = new SecurePeer(socket, m_siteKey);
        peer->id = ++m_lastId;
        peer->address = socket->peerAddress().toString();
        if (peer->address.startsWith(QStringLiteral("::ffff:")))
            peer->address = peer->address.mid(7);
        socket->setParent(this);
        m_peers.insert(peer->id, peer);
        peer->deadline = new QTimer(socket);
        peer->deadline->setSingleShot(true);
        connect(peer->deadline, &QTimer::timeout, this, [this, peer] {
            refuse(peer, peer->announced ? QStringLiteral("no report in time")
                                         : QStringLiteral("no handshake in time"));
        });
        peer->deadline->start(kHandshakeMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, peer] { readFrom(peer); });
        connect(socket, &QTcpSocket::disconnected, this, [this, peer] { end(peer, true); });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this, peer](QAbstractSocket::SocketError error) {
                    end(peer, error == QAbstractSocket::RemoteHostClosedError);
                });
        if (socket->bytesAvailable() > 0)
            readFrom(peer);
    }
}

void SecureHub::readFrom(SecurePeer* peer) {
    // Receivers of the signals below may end this peer (or all): after each, look it up again
    // by its id, which is never reused.
    const ClientId id = peer->id;
    const SecureSession::Result result = peer->session.receive(peer->socket->readAll());
    if (!result.toSend.isEmpty())
        peer->socket->write(result.toSend);
    if (result.opened) {
        peer->announced = true;
        peer->deadline->start(kReportDeadlineMs);
        emit clientConnected(id, peer->address);
    }
    for (const SecureSession::Message& message : result.messages) {
        if (m_peers.value(id) != peer)
            return;
        switch (message.type) {
        case Type::Report:
            handleReport(peer, message.body);
            break;
        case Type::HealthReport:
            handleHealth(peer, message.body);
            break;
        case Type::RollbackReport:
            handleRollback(peer, message.body);
            break;
        default:
            break; // the session lets through only what a Client may send
        }
    }
    if (m_peers.value(id) == peer && !result.error.isEmpty())
        refuse(peer, result.error);
}

void SecureHub::handleReport(SecurePeer* peer, const QByteArray& body) {
    const std::optional<Protocol::Report> report = Protocol::SplitReport(body);
    // Sealed by a holder of the key, yet not a report: a broken or hostile Client.
    if (!report || !Protocol::IsCompleteReport(*report) || report->pieceCount != 4) {
        refuse(peer, QStringLiteral("a report frame that holds no single report"));
        return;
    }
    peer->deadline->stop();
    const ClientId id = peer->id;
    emit clientReported(id, report->gateway, report->primaryDns, report->lineName);
    // The receiver may have closed everything meanwhile.
    if (m_peers.value(id) != peer)
        return;
    if (m_updateEnabled && Protocol::ReportAsksForUpdate(*report)) {
        const LineFileRead file = m_lineFile.read();
        if (!file.refused())
            write(peer, peer->session.seal(Type::LineListUpdate,
                                           Protocol::ComposeLineListUpdate(file.bytes)));
    }
}

void SecureHub::handleHealth(SecurePeer* peer, const QByteArray& body) {
    const std::optional<HealthReport> health = DecodeHealthReport(body);
    if (!health) {
        refuse(peer, QStringLiteral("a health frame that holds no health report"));
        return;
    }
    emit healthReported(peer->id, *health);
}

void SecureHub::handleRollback(SecurePeer* peer, const QByteArray& body) {
    const std::optional<RollbackReport> rollback = DecodeRollbackReport(body);
    if (!rollback) {
        refuse(peer, QStringLiteral("a rollback frame that holds no rollback report"));
        return;
    }
    emit rollbackReported(peer->id, *rollback);
}

bool SecureHub::sendSwitch(ClientId id, const QString& gateway, const QString& primaryDns,
                           const QString& secondaryDns) {
    SecurePeer* peer = m_peers.value(id);
    if (!peer || !peer->announced || peer->ending)
        return false;
    const QByteArray frame = peer->session.seal(
        Type::SwitchCommand, Protocol::ComposeSwitchCommand(gateway, primaryDns, secondaryDns));
    return !frame.isEmpty() && write(peer, frame);
}

bool SecureHub::write(SecurePeer* peer, const QByteArray& bytes) {
    // A Client that stopped reading is ended, as on the legacy port, rather than buffered for.
    if (peer->socket->bytesToWrite() + bytes.size() > ConnectionHub::kOutQueueLimit) {
        refuse(peer, QStringLiteral("stopped reading"));
        return false;
    }
    return peer->socket->write(bytes) == bytes.size();
}

void SecureHub::refuse(SecurePeer* peer, const QString& reason) {
    ++m_refused;
    qCWarning(lcSecure) << "dropped" << peer->address << "on the secure port -" << reason;
    end(peer, false);
}

void SecureHub::end(SecurePeer* peer, bool closedByPeer) {
    if (peer->ending)
        return;
    peer->ending = true;
    peer->deadline->stop();
    peer->socket->disconnect(this);
    peer->socket->abort();
    peer->socket->deleteLater();
    m_peers.remove(peer->id);
    const ClientId id = peer->id;
    const QString address = peer->address;
    const bool announced = peer->announced;
    delete peer;
    if (!announced)
        return; // never a row
    if (closedByPeer)
        emit clientClosed(id, address);
    else
        emit clientFailed(id, address);
}

} // namespace torvane::server
