#include "client/serverlink.h"

#include "client/clientlogging.h"
#include "common/protocol.h"
#include "common/settingvalues.h"
#include "common/socketoptions.h"

#include <QTcpSocket>
#include <QTimer>

namespace torvane::client {

namespace {
constexpr int kReconnectMs = 1000;
// Messages handed on before the event loop gets its turn again.
constexpr int kMessagesPerSlice = 64;
// A server that vanished without closing is noticed after about a minute of silence:
// 30 s idle, then three probes 10 s apart.
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
} // namespace

ServerLink::ServerLink(Endpoint endpoint, QObject* parent)
    : QObject(parent), m_endpoint(std::move(endpoint)), m_socket(new QTcpSocket(this)),
      m_reconnectTimer(new QTimer(this)), m_pollTimer(new QTimer(this)),
      m_sliceTimer(new QTimer(this)) {
    m_clock.start();
    m_reconnectTimer->setInterval(kReconnectMs);
    m_pollTimer->setSingleShot(true);
    m_sliceTimer->setSingleShot(true);
    m_sliceTimer->setInterval(0);
    m_handshakeTimer = new QTimer(this);
    m_handshakeTimer->setSingleShot(true);
    m_handshakeTimer->setInterval(kHandshakeMs);
    connect(m_handshakeTimer, &QTimer::timeout, this,
            [this] { dropSecure(QStringLiteral("no handshake within the time allowed")); });
    connect(m_sliceTimer, &QTimer::timeout, this, &ServerLink::deliverSome);
    connect(m_reconnectTimer, &QTimer::timeout, this, &ServerLink::onReconnectTick);
    connect(m_pollTimer, &QTimer::timeout, this, &ServerLink::pollReader);
    connect(m_socket, &QTcpSocket::connected, this, &ServerLink::onConnected);
    connect(m_socket, &QTcpSocket::disconnected, this, &ServerLink::onLost);
    connect(m_socket, &QTcpSocket::errorOccurred, this, &ServerLink::onLost);
    connect(m_socket, &QTcpSocket::readyRead, this, &ServerLink::onReadyRead);
}

ServerLink::~ServerLink() {
    m_shutDown = true;
    m_socket->disconnect(this); // no events into a half-destroyed owner
    m_socket->abort();
}

int ServerLink::reconnectIntervalMs() const {
    return m_reconnectTimer->interval();
}

void ServerLink::start() {
    m_shutDown = false;
    m_started = true;
    if (!m_serverConnected)
        m_reconnectTimer->start();
}

void ServerLink::connectToServer() {
    if (m_shutDown)
        return;
    m_serverConnected = false;
    m_socket->abort(); // cuts off an attempt that is still pending
    m_reader.reset();
    m_pollTimer->stop();
    m_handshakeTimer->stop();
    m_session.reset();
    // Until this attempt connects, the reconnect timer keeps trying (also when the address is
    // unusable).
    if (m_started && !m_reconnectTimer->isActive())
        m_reconnectTimer->start();
    const auto [host, portText] = m_endpoint();
    quint16 port = PortFromText(portText);
    if (m_secureSource) {
        const SecureEndpoint secure = m_secureSource();
        if (!secure.siteKey.isEmpty()) {
            m_session =
                std::make_unique<SecureSession>(SecureSession::Role::Client, secure.siteKey);
            port = secure.port;
        }
    }
    // Without a usable address there is nothing to try; the timer tries again with what the
    // settings hold by then.
    if (host.trimmed().isEmpty() || port == 0) {
        qCDebug(lcLink) << "no usable server address:" << host << portText;
        return;
    }
    emit connecting();
    m_socket->connectToHost(host.trimmed(), port);
}

void ServerLink::shutdown() {
    m_shutDown = true;
    m_sliceTimer->stop();
    m_inbox.clear();
    m_reconnectTimer->stop();
    m_pollTimer->stop();
    m_handshakeTimer->stop();
    m_serverConnected = false;
    m_socket->abort();
}

bool ServerLink::write(const QByteArray& bytes) {
    if (bytes.isEmpty() || m_socket->write(bytes) != bytes.size())
        return false;
    m_socket->flush();
    return true;
}

bool ServerLink::send(const QByteArray& message) {
    if (!m_serverConnected || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_session)
        return sendSecure(SecureFrame::Type::Report, message);
    return write(message);
}

bool ServerLink::sendSecure(SecureFrame::Type type, const QByteArray& body) {
    if (!isAuthenticated() || m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return write(m_session->seal(type, body));
}

bool ServerLink::sendHealth(const HealthReport& report) {
    return sendSecure(SecureFrame::Type::HealthReport, EncodeHealthReport(report));
}

bool ServerLink::sendRollback(const RollbackReport& report) {
    return sendSecure(SecureFrame::Type::RollbackReport, EncodeRollbackReport(report));
}

void ServerLink::onConnected() {
    m_reconnectTimer->stop();
    m_reader.reset();
    enableKeepAlive();
    if (m_session) {
        // Connected only once the server has proved the key.
        m_handshakeTimer->start();
        write(m_session->start());
        return;
    }
    m_serverConnected = true;
    qCInfo(lcLink) << "connected to" << m_socket->peerName() << m_socket->peerPort();
    emit connected();
}

void ServerLink::dropSecure(const QString& reason) {
    qCWarning(lcSecure) << "dropped the secure link to" << m_socket->peerName()
                        << m_socket->peerPort() << "-" << reason;
    onLost();
}

void ServerLink::readSecure(const QByteArray& bytes) {
    const SecureSession::Result result = m_session->receive(bytes);
    QList<QByteArray> messages;
    for (const SecureSession::Message& message : result.messages) {
        // The frame's type and the message it carries must agree: one parser reads both channels.
        const auto kind = Protocol::ClassifyServerMessage(message.body).kind;
        const bool fits = (message.type == SecureFrame::Type::SwitchCommand &&
                           kind == Protocol::ServerMessage::Kind::Switch) ||
                          (message.type == SecureFrame::Type::LineListUpdate &&
                           kind == Protocol::ServerMessage::Kind::Update);
        if (!fits) {
            dropSecure(QStringLiteral("frame of type %1 with a body of another kind")
                           .arg(int(message.type)));
            return;
        }
        messages.append(message.body);
    }
    if (!result.error.isEmpty()) {
        dropSecure(result.error);
        return;
    }
    write(result.toSend);
    if (result.opened) {
        m_handshakeTimer->stop();
        m_serverConnected = true;
        qCInfo(lcLink) << "secure link to" << m_socket->peerName() << m_socket->peerPort()
                       << "authenticated";
        emit connected();
    }
    deliver(messages);
}

void ServerLink::onLost() {
    // Close and error events are handled alike; abort() may raise disconnected again.
    const bool wasConnected = m_serverConnected;
    m_serverConnected = false;
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_reader.reset();
    m_pollTimer->stop();
    m_handshakeTimer->stop();
    if (!m_shutDown)
        m_reconnectTimer->start();
    if (wasConnected) {
        qCInfo(lcLink) << "link to the server lost";
        emit connectionLost();
    }
}

void ServerLink::onReconnectTick() {
    if (m_serverConnected)
        return;
    connectToServer();
}

void ServerLink::onReadyRead() {
    const QByteArray bytes = m_socket->readAll();
    if (m_session && m_socket->state() == QAbstractSocket::ConnectedState) {
        readSecure(bytes);
        return;
    }
    if (!m_serverConnected)
        return;
    const QList<QByteArray> messages = m_reader.feed(bytes, m_clock.elapsed());
    armPoll();
    deliver(messages);
}

void ServerLink::pollReader() {
    const QList<QByteArray> messages = m_reader.poll(m_clock.elapsed());
    armPoll();
    deliver(messages);
}

void ServerLink::armPoll() {
    const std::optional<qint64> deadline = m_reader.deadline();
    if (!deadline) {
        m_pollTimer->stop();
        return;
    }
    const qint64 wait = std::max<qint64>(0, *deadline - m_clock.elapsed());
    m_pollTimer->start(static_cast<int>(std::min<qint64>(wait, 60000)));
}

void ServerLink::deliver(const QList<QByteArray>& messages) {
    m_inbox.append(messages);
    deliverSome();
}

void ServerLink::deliverSome() {
    // A handler may let events run (a message box), so a later message can arrive while an
    // earlier one is handled; the outer call hands them on in their order.
    if (m_delivering)
        return;
    m_delivering = true;
    // A flood is handed on a slice at a time, so the window gets its turn between slices.
    for (int i = 0; i < kMessagesPerSlice && !m_inbox.isEmpty(); ++i)
        emit messageReceived(m_inbox.takeFirst());
    m_delivering = false;
    if (!m_inbox.isEmpty() && !m_shutDown)
        m_sliceTimer->start();
}

void ServerLink::enableKeepAlive() {
    const qintptr fd = m_socket->socketDescriptor();
    if (fd >= 0)
        ApplyKeepAlive(fd, KeepAlivePolicy{kKeepIdleS, kKeepIntervalS, kKeepCount, 0});
}

} // namespace torvane::client
