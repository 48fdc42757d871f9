#include "server/securehub.h"

#include "common/protocol.h"
#include "common/securesession.h"
#include "server/descriptorbudget.h"
#include "server/serverlogging.h"

#include <QSocketNotifier>
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

SecureHub::SecureHub(QObject* parent)
    : QObject(parent),
      m_acceptor(std::make_unique<BudgetedAcceptor>(ConnectionHub::kDescriptorReserve, lcSecure,
                                                    "new connections to the secure port")) {
    hubsocket::Initialize();
    m_rearmTimer = new QTimer(this);
    m_rearmTimer->setSingleShot(true);
    m_rearmTimer->setInterval(200);
    connect(m_rearmTimer, &QTimer::timeout, this, [this] { armListener(true); });
}

SecureHub::~SecureHub() {
    for (SecurePeer* peer : std::as_const(m_peers)) {
        peer->socket->disconnect(this);
        delete peer;
    }
    closeListener();
}

bool SecureHub::listen(quint16 port, QString* errorText) {
    closeListener();
    if (m_siteKey.isEmpty())
        return false;
    hubsocket::Error error = hubsocket::Error::None;
    QString systemText;
    m_listenFd = hubsocket::Listen(port, kBacklog, &error, &systemText);
    if (m_listenFd == hubsocket::kInvalid) {
        if (errorText)
            *errorText = systemText;
        return false;
    }
    m_port = hubsocket::LocalPort(m_listenFd);
    m_acceptNotifier = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &SecureHub::acceptPending);
    qCInfo(lcSecure) << "secure channel listening on port" << m_port;
    return true;
}

void SecureHub::closeListener() {
    m_rearmTimer->stop();
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    if (m_listenFd != hubsocket::kInvalid)
        hubsocket::Close(m_listenFd);
    m_listenFd = hubsocket::kInvalid;
    m_port = 0;
}

void SecureHub::armListener(bool on) {
    if (m_acceptNotifier)
        m_acceptNotifier->setEnabled(on);
}

bool SecureHub::isListening() const {
    return m_listenFd != hubsocket::kInvalid;
}

quint16 SecureHub::listeningPort() const {
    return m_port;
}

void SecureHub::closeAllConnections() {
    closeListener();
    const QList<SecurePeer*> peers = m_peers.values();
    for (SecurePeer* peer : peers)
        end(peer, false);
}

qint64 SecureHub::turnedAwayCount() const {
    return m_acceptor->turnedAwayCount();
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
    const hubsocket::Descriptor listener = m_listenFd;
    const bool pause = m_acceptor->acceptBatch(
        listener, kAcceptsPerActivation,
        [this, listener](hubsocket::Descriptor fd, QString address) {
            admit(fd, address);
            return m_listenFd == listener; // a receiver may have closed or moved the listener
        });
    if (pause && m_listenFd == listener) {
        // Newcomers wait in the backlog meanwhile.
        armListener(false);
        m_rearmTimer->start();
    }
}

void SecureHub::admit(hubsocket::Descriptor fd, const QString& address) {
    makeRoomForAHandshake();
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(fd)) {
        hubsocket::Close(fd);
        delete socket;
        return;
    }
    auto* peer = new SecurePeer(socket, m_siteKey);
    peer->id = ++m_lastId;
    peer->address = address;
    m_peers.insert(peer->id, peer);
    ++m_handshaking;
    m_handshakeOrder.push_back(peer->id);
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

void SecureHub::makeRoomForAHandshake() {
    // Under a small descriptor limit the waiting handshakes get a quarter of the Clients' room,
    // so the legacy port keeps the rest.
    const qint64 limit = SoftDescriptorLimit();
    const int allowed = limit < 0
                            ? m_maxHandshakes
                            : int(qBound(qint64(8), (limit - ConnectionHub::kDescriptorReserve) / 4,
                                         qint64(m_maxHandshakes)));
    if (m_handshaking < allowed / 2)
        m_crowded = false;
    while (m_handshaking >= allowed && !m_handshakeOrder.empty()) {
        const ClientId oldest = m_handshakeOrder.front();
        m_handshakeOrder.pop_front();
        SecurePeer* peer = m_peers.value(oldest);
        if (!peer || peer->announced)
            continue;
        // Logged once per crowd: a flood must not flood the log as well.
        if (!m_crowded) {
            m_crowded = true;
            qCWarning(lcSecure) << allowed << "connections wait for their handshake on the secure"
                                << "port; the oldest now give way to newcomers";
        }
        end(peer, false);
    }
    // Ids of connections that opened or ended meanwhile stay behind a slow one: drop them now
    // and then so that a long crowd does not grow the queue.
    if (m_handshakeOrder.size() > size_t(4 * allowed + 64)) {
        std::deque<ClientId> waiting;
        for (const ClientId id : m_handshakeOrder) {
            const SecurePeer* peer = m_peers.value(id);
            if (peer && !peer->announced)
                waiting.push_back(id);
        }
        m_handshakeOrder.swap(waiting);
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
        --m_handshaking;
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
    if (!announced)
        --m_handshaking;
    delete peer;
    if (!announced)
        return; // never a row
    if (closedByPeer)
        emit clientClosed(id, address);
    else
        emit clientFailed(id, address);
}

} // namespace torvane::server
