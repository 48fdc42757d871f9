#include "client/serverlink.h"

#include "common/settingvalues.h"
#include "common/socketoptions.h"

#include <QTcpSocket>
#include <QTimer>

namespace torvane::client {

namespace {
constexpr int kReconnectMs = 1000;
// A server that vanished without closing is noticed after about a minute of silence:
// 30 s idle, then three probes 10 s apart.
constexpr int kKeepIdleS = 30;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
} // namespace

ServerLink::ServerLink(Endpoint endpoint, QObject* parent)
    : QObject(parent), m_endpoint(std::move(endpoint)), m_keHu(new QTcpSocket(this)),
      m_timer2(new QTimer(this)), m_pollTimer(new QTimer(this)) {
    m_clock.start();
    m_timer2->setInterval(kReconnectMs);
    m_pollTimer->setSingleShot(true);
    connect(m_timer2, &QTimer::timeout, this, &ServerLink::onTimer2);
    connect(m_pollTimer, &QTimer::timeout, this, &ServerLink::pollReader);
    connect(m_keHu, &QTcpSocket::connected, this, &ServerLink::onConnected);
    connect(m_keHu, &QTcpSocket::disconnected, this, &ServerLink::onLost);
    connect(m_keHu, &QTcpSocket::errorOccurred, this, &ServerLink::onLost);
    connect(m_keHu, &QTcpSocket::readyRead, this, &ServerLink::onReadyRead);
}

ServerLink::~ServerLink() {
    m_shutDown = true;
    m_keHu->disconnect(this); // no events into a half-destroyed owner
    m_keHu->abort();
}

int ServerLink::reconnectIntervalMs() const {
    return m_timer2->interval();
}

void ServerLink::start() {
    m_shutDown = false;
    m_started = true;
    if (!m_serverConnected)
        m_timer2->start();
}

void ServerLink::connectToServer() {
    if (m_shutDown)
        return;
    m_serverConnected = false;
    m_keHu->abort(); // cuts off an attempt that is still pending
    m_reader.reset();
    m_pollTimer->stop();
    // Until this attempt connects, Timer2 keeps trying (also when the address is unusable).
    if (m_started && !m_timer2->isActive())
        m_timer2->start();
    const auto [host, portText] = m_endpoint();
    const quint16 port = PortFromText(portText);
    // Without a usable address there is nothing to try; Timer2 tries again with what the
    // settings hold by then.
    if (host.trimmed().isEmpty() || port == 0)
        return;
    m_keHu->connectToHost(host.trimmed(), port);
}

void ServerLink::shutdown() {
    m_shutDown = true;
    m_timer2->stop();
    m_pollTimer->stop();
    m_serverConnected = false;
    m_keHu->abort();
}

bool ServerLink::send(const QByteArray& message) {
    if (!m_serverConnected || m_keHu->state() != QAbstractSocket::ConnectedState)
        return false;
    if (m_keHu->write(message) != message.size())
        return false;
    m_keHu->flush();
    return true;
}

void ServerLink::onConnected() {
    m_serverConnected = true;
    m_timer2->stop();
    m_reader.reset();
    enableKeepAlive();
    emit connected();
}

void ServerLink::onLost() {
    // Close and error events are handled alike; abort() may raise disconnected again.
    const bool wasConnected = m_serverConnected;
    m_serverConnected = false;
    if (m_keHu->state() != QAbstractSocket::UnconnectedState)
        m_keHu->abort();
    m_reader.reset();
    m_pollTimer->stop();
    if (!m_shutDown)
        m_timer2->start();
    if (wasConnected)
        emit connectionLost();
}

void ServerLink::onTimer2() {
    if (m_serverConnected)
        return;
    connectToServer();
}

void ServerLink::onReadyRead() {
    const QByteArray bytes = m_keHu->readAll();
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
    // A switch lets events run in the middle of it, so a later message can arrive while an
    // earlier one is handled; the outer call hands them on in their order.
    m_inbox.append(messages);
    if (m_delivering)
        return;
    m_delivering = true;
    while (!m_inbox.isEmpty())
        emit messageReceived(m_inbox.takeFirst());
    m_delivering = false;
}

void ServerLink::enableKeepAlive() {
    const qintptr fd = m_keHu->socketDescriptor();
    if (fd >= 0)
        ApplyKeepAlive(fd, KeepAlivePolicy{kKeepIdleS, kKeepIntervalS, kKeepCount, 0});
}

} // namespace torvane::client
