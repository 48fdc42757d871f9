#include "server/connectionhub.h"

#include "common/messagereader.h"
#include "common/protocol.h"
#include "common/socketoptions.h"
#include "server/descriptorbudget.h"
#include "server/hubconnection.h"
#include "server/hubsocket.h"
#include "server/serverlogging.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTimer>

namespace torvane::server {

namespace {
// A workstation that loses power never closes its connection: keepalive probes (and the user
// timeout for unacknowledged data) take it off the list within about a minute.
constexpr KeepAlivePolicy kClientKeepAlive{20, 5, 4, 45000};

constexpr quint32 kClientInterest = HubEventBackend::WantRead;
} // namespace

ConnectionHub::ConnectionHub(QObject* parent) : ConnectionHub(CreateHubEventBackend(), parent) {}

ConnectionHub::ConnectionHub(std::unique_ptr<HubEventBackend> backend, QObject* parent)
    : QObject(parent), m_events(std::move(backend)), m_byFd(std::make_unique<ConnectionTable>()) {
    hubsocket::Initialize();
    qRegisterMetaType<ConnectionHub::ClientId>("ConnectionHub::ClientId");
    m_clock.start();
    m_acceptor = std::make_unique<BudgetedAcceptor>(kDescriptorReserve, lcHub, "new connections");
    if (!m_events)
        m_events = CreateHubEventBackend();
    connect(m_events.get(), &HubEventBackend::ready, this, &ConnectionHub::onReady);
    m_sweepTimer = new QTimer(this);
    m_sweepTimer->setInterval(kSweepIntervalMs);
    connect(m_sweepTimer, &QTimer::timeout, this, &ConnectionHub::sweep);
    m_sweepTimer->start();
    m_rearmTimer = new QTimer(this);
    m_rearmTimer->setSingleShot(true);
    m_rearmTimer->setInterval(200);
    connect(m_rearmTimer, &QTimer::timeout, this, [this] { armListener(true); });
    m_deadlineTimer = new QTimer(this);
    m_deadlineTimer->setSingleShot(true);
    connect(m_deadlineTimer, &QTimer::timeout, this, &ConnectionHub::endSilentConnections);
}

ConnectionHub::~ConnectionHub() {
    // Quietly: the receivers may already be half destroyed.
    blockSignals(true);
    closeAllConnections();
}

bool ConnectionHub::listen(quint16 port, QString* errorText) {
    closeListener();
    // The reason alone, in the words of the window it is shown in; the caller names the port.
    auto fail = [&](hubsocket::Error error, const QString& systemText) {
        if (errorText) {
            if (error == hubsocket::Error::AddressInUse)
                *errorText = QStringLiteral("端口已被占用");
            else if (error == hubsocket::Error::AccessDenied)
                *errorText = QStringLiteral("没有使用该端口的权限");
            else
                *errorText = systemText;
        }
        hubsocket::Close(m_listenFd);
        m_listenFd = -1;
        return false;
    };
    if (!m_events->isValid())
        return fail(hubsocket::Error::Other, QStringLiteral("no event backend"));
    hubsocket::Error error = hubsocket::Error::None;
    QString systemText;
    m_listenFd = hubsocket::Listen(port, kBacklog, &error, &systemText);
    if (m_listenFd < 0)
        return fail(error, systemText);
    // Accepted sockets inherit these: no per-Client system calls. Every message goes out whole
    // in one send, so Nagle could only hold a switch command back behind the Client's delayed
    // acknowledgement of an earlier update.
    ApplyKeepAlive(m_listenFd, kClientKeepAlive);
    DisableNagle(m_listenFd);
    m_port = hubsocket::LocalPort(m_listenFd);
    if (!m_events->watch(m_listenFd, HubEventBackend::WantRead))
        return fail(hubsocket::Error::Other,
                    QStringLiteral("the event backend refused the listener"));
    m_listenerArmed = true;
    return true;
}

qint64 ConnectionHub::turnedAwayCount() const {
    return m_acceptor->turnedAwayCount();
}

bool ConnectionHub::isListening() const {
    return m_listenFd >= 0;
}

quint16 ConnectionHub::listeningPort() const {
    return m_listenFd >= 0 ? m_port : 0;
}

QString ConnectionHub::localAddress() const {
    // The address a workstation on the local network would use: the first non-loopback IPv4.
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address.toString();
    }
    return QStringLiteral("127.0.0.1");
}

void ConnectionHub::closeListener() {
    m_rearmTimer->stop();
    if (m_listenFd < 0)
        return;
    m_events->unwatch(m_listenFd);
    hubsocket::Close(m_listenFd);
    m_listenFd = -1;
    m_port = 0;
    m_listenerArmed = false;
}

void ConnectionHub::closeAllConnections() {
    m_byFd->forEach([this](HubConnection* conn) {
        m_events->unwatch(conn->fd);
        hubsocket::Close(conn->fd);
    });
    m_byFd->clear();
    m_byId.clear();
    m_byId.squeeze();
    m_deadlines.clear();
    m_deadlines.shrink_to_fit();
    m_deadlineTimer->stop();
    closeListener();
    m_lastId = 0;
    emit allClosed();
}

void ConnectionHub::setUpdateEnabled(bool on) {
    m_updateEnabled = on;
}

void ConnectionHub::setLineFilePath(const QString& path) {
    m_lineFile.setPath(path);
}

int ConnectionHub::connectionCount() const {
    return static_cast<int>(m_byId.size());
}

bool ConnectionHub::isConnected(ClientId id) const {
    const HubConnection* conn = m_byId.value(id);
    return conn && !conn->broken;
}

QString ConnectionHub::addressOf(ClientId id) const {
    const HubConnection* conn = m_byId.value(id);
    return conn ? conn->address : QString();
}

QString ConnectionHub::backendName() const {
    return m_events->name();
}

bool ConnectionHub::sendSwitch(ClientId id, const QString& gateway, const QString& primaryDns,
                               const QString& secondaryDns) {
    HubConnection* conn = m_byId.value(id);
    if (!conn || conn->broken)
        return false;
    // A command goes to many Clients in a row: encode it once.
    if (m_switchBytes.isEmpty() || gateway != m_switchFields[0] ||
        primaryDns != m_switchFields[1] || secondaryDns != m_switchFields[2]) {
        m_switchFields = {gateway, primaryDns, secondaryDns};
        m_switchBytes = Protocol::ComposeSwitchCommand(gateway, primaryDns, secondaryDns);
    }
    return sendBytes(conn, m_switchBytes);
}

void ConnectionHub::onReady() {
    HubEventBackend::Event events[kEventsPerActivation];
    const int count = m_events->collect(events, kEventsPerActivation);
    for (int i = 0; i < count; ++i) {
        const qintptr fd = events[i].descriptor;
        if (fd >= 0 && fd == m_listenFd) {
            acceptPending();
            continue;
        }
        // A connection ended earlier in this batch may have freed this descriptor.
        if (HubConnection* conn = m_byFd->find(fd))
            handleEvent(conn, events[i].readiness);
    }
    // Whatever is left stays ready: the backend reports it again on the next loop pass, after
    // the window had its turn.
}

void ConnectionHub::armListener(bool on) {
    if (m_listenFd < 0 || m_listenerArmed == on)
        return;
    if (m_events->change(m_listenFd, on ? quint32(HubEventBackend::WantRead) : 0u))
        m_listenerArmed = on;
}

void ConnectionHub::acceptPending() {
    const qintptr listener = m_listenFd;
    const bool pause = m_acceptor->acceptBatch(
        listener, kAcceptsPerActivation, [this, listener](qintptr fd, QString peer) {
            auto conn =
                std::make_unique<HubConnection>(fd, ++m_lastId, ++m_lastSerial, std::move(peer));
            if (!m_events->watch(fd, kClientInterest)) {
                hubsocket::Close(fd);
                --m_lastId;
                return true;
            }
            HubConnection* raw = conn.get();
            m_byFd->insert(std::move(conn));
            m_byId.insert(raw->id, raw);
            m_deadlines.push_back(Deadline{nowMs() + m_reportDeadlineMs, raw->id, raw->serial});
            if (!m_deadlineTimer->isActive())
                m_deadlineTimer->start(m_reportDeadlineMs);
            emit clientConnected(raw->id, raw->address);
            return m_listenFd == listener; // a receiver may have closed or moved the listener
        });
    if (pause && m_listenFd == listener) {
        // Pending Clients wait in the backlog meanwhile.
        armListener(false);
        m_rearmTimer->start();
    }
}

void ConnectionHub::endSilentConnections() {
    // Deadlines are in acceptance order, so the expired ones are at the front. A real Client
    // reports as soon as it is connected; a connection that never completes one holds a
    // descriptor for nothing.
    const qint64 now = nowMs();
    while (!m_deadlines.empty() && m_deadlines.front().atMs <= now) {
        const Deadline due = m_deadlines.front();
        m_deadlines.pop_front();
        HubConnection* conn = m_byId.value(due.id);
        if (conn && conn->serial == due.serial && !conn->reported) {
            ++m_silentEnded;
            endConnection(conn, EndKind::Failed); // receivers may close everything
        }
    }
    if (!m_deadlines.empty())
        m_deadlineTimer->start(
            static_cast<int>(std::max<qint64>(0, m_deadlines.front().atMs - now)));
}

void ConnectionHub::setReportDeadline(int ms) {
    m_reportDeadlineMs = std::max(1, ms);
}

bool ConnectionHub::isCurrent(qintptr fd, quint64 serial) const {
    const HubConnection* conn = m_byFd->find(fd);
    return conn && conn->serial == serial;
}

void ConnectionHub::handleEvent(HubConnection* conn, quint32 readiness) {
    const qintptr fd = conn->fd;
    const quint64 serial = conn->serial;
    if (readiness & HubEventBackend::Writable) {
        flushQueue(conn);
        if (!isCurrent(fd, serial))
            return;
    }
    if (readiness &
        (HubEventBackend::Readable | HubEventBackend::PeerClosed | HubEventBackend::Failed)) {
        // Reading also finds out how the connection ended (orderly close or error).
        readFrom(conn);
    }
}

void ConnectionHub::readFrom(HubConnection* conn) {
    thread_local char buffer[kReadBytesPerEvent];
    const qintptr fd = conn->fd;
    const quint64 serial = conn->serial;
    qsizetype total = 0;
    while (total < kReadBytesPerEvent) {
        hubsocket::Error error = hubsocket::Error::None;
        const qint64 n = hubsocket::Receive(conn->fd, buffer, sizeof buffer, &error);
        if (n > 0) {
            total += n;
            const QList<QByteArray> messages =
                conn->reader.feed(QByteArray::fromRawData(buffer, n), nowMs());
            for (const QByteArray& message : messages) {
                handleMessage(conn, message);
                if (!isCurrent(fd, serial))
                    return; // a receiver of the report closed it (or everything)
            }
            if (messages.isEmpty())
                conn->garbageBytes += n;
            if (!conn->reader.hasPending())
                conn->reader.reset(); // give back the buffer of an idle connection
            if (conn->garbageBytes > kGarbageLimit) {
                endConnection(conn, EndKind::Failed);
                return;
            }
            if (n < static_cast<qint64>(sizeof buffer))
                return; // drained (the set is level-triggered: anything later fires again)
            continue;
        }
        if (n == 0) {
            endConnection(conn, EndKind::Closed);
            return;
        }
        if (error == hubsocket::Error::Interrupted)
            continue;
        if (error == hubsocket::Error::WouldBlock)
            return;
        // Reset, timed out, unreachable: the socket is in error, which ends it without a balloon;
        // only an orderly close is the Client going away.
        endConnection(conn, EndKind::Failed);
        return;
    }
}

void ConnectionHub::handleMessage(HubConnection* conn, const QByteArray& message) {
    const std::optional<Protocol::Report> report = Protocol::SplitReport(message);
    // Short reports and a U that is no number are not what a Client sends: ignored whole.
    if (!report || !Protocol::IsCompleteReport(*report)) {
        conn->garbageBytes += message.size();
        return;
    }
    conn->garbageBytes = 0;
    conn->reported = true;
    const ClientId id = conn->id;
    const quint64 serial = conn->serial;
    emit clientReported(id, report->gateway, report->primaryDns, report->lineName);
    if (m_updateEnabled && Protocol::ReportAsksForUpdate(*report)) {
        // The receiver of the signal may have closed everything, even let a new Client take
        // the id.
        HubConnection* still = m_byId.value(id);
        if (still && still->serial == serial) {
            // A file that is refused (a link, not a regular file, too large, unreadable) is not
            // sent at all: the bare word would empty the Client's list.
            const LineFileRead file = m_lineFile.read();
            if (!file.refused())
                sendBytes(still, Protocol::ComposeLineListUpdate(file.bytes));
        }
    }
}

bool ConnectionHub::sendBytes(HubConnection* conn, const QByteArray& bytes) {
    if (conn->broken)
        return false;
    if (!conn->outQueue.isEmpty()) {
        if (conn->outQueue.size() - conn->outOffset + bytes.size() > kOutQueueLimit) {
            // The Client stopped reading long ago; the sweep ends it.
            markBroken(conn);
            return false;
        }
        // Drop what already went out: a Client that keeps asking while it reads slowly never
        // lets the queue run dry, and would otherwise keep every update it was ever sent.
        conn->outQueue = conn->outQueue.mid(conn->outOffset) + bytes;
        conn->outOffset = 0;
        return true;
    }
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        hubsocket::Error error = hubsocket::Error::None;
        const qint64 n =
            hubsocket::Send(conn->fd, bytes.constData() + sent, bytes.size() - sent, &error);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && error == hubsocket::Error::Interrupted)
            continue;
        if (n < 0 && error == hubsocket::Error::WouldBlock)
            break;
        // The event backend reports the error on its next pass and ends the connection there.
        markBroken(conn);
        return false;
    }
    if (sent < bytes.size()) {
        conn->outQueue = bytes.mid(sent);
        conn->outOffset = 0;
        updateWriteInterest(conn, true);
    }
    return true;
}

void ConnectionHub::flushQueue(HubConnection* conn) {
    while (conn->outOffset < conn->outQueue.size()) {
        hubsocket::Error error = hubsocket::Error::None;
        const qint64 n = hubsocket::Send(conn->fd, conn->outQueue.constData() + conn->outOffset,
                                         conn->outQueue.size() - conn->outOffset, &error);
        if (n > 0) {
            conn->outOffset += n;
            continue;
        }
        if (n < 0 && error == hubsocket::Error::Interrupted)
            continue;
        if (n < 0 && error == hubsocket::Error::WouldBlock)
            return;
        endConnection(conn, EndKind::Failed);
        return;
    }
    conn->outQueue = QByteArray();
    conn->outOffset = 0;
    updateWriteInterest(conn, false);
}

void ConnectionHub::updateWriteInterest(HubConnection* conn, bool wantWrite) {
    if (conn->wantWrite == wantWrite)
        return;
    const quint32 interest =
        kClientInterest | (wantWrite ? quint32(HubEventBackend::WantWrite) : 0u);
    if (m_events->change(conn->fd, interest))
        conn->wantWrite = wantWrite;
}

void ConnectionHub::endConnection(HubConnection* conn, EndKind kind) {
    const qintptr fd = conn->fd;
    const ClientId id = conn->id;
    const QString address = conn->address;
    m_byId.remove(id);
    m_events->unwatch(fd);
    hubsocket::Close(fd);
    m_byFd->erase(fd); // conn is gone from here on
    // A freed descriptor may let a Client waiting in the backlog in.
    if (!m_listenerArmed && m_listenFd >= 0) {
        m_rearmTimer->stop();
        armListener(true);
    }
    if (kind == EndKind::Closed)
        emit clientClosed(id, address);
    else
        emit clientFailed(id, address);
}

void ConnectionHub::markBroken(HubConnection* conn) {
    conn->broken = true;
    // Ended from the event loop, not inside the caller (which may be iterating or emitting).
    if (!m_reapPosted) {
        m_reapPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_reapPosted = false;
                sweep();
            },
            Qt::QueuedConnection);
    }
}

void ConnectionHub::sweep() {
    // Connections whose socket failed on a send, and readers holding a fragment that never
    // finished (their stall time has passed): both are dealt with here at the latest.
    std::vector<std::pair<ClientId, quint64>> broken;
    const qint64 now = nowMs();
    m_byFd->forEach([&](HubConnection* slot) {
        if (slot->broken) {
            broken.emplace_back(slot->id, slot->serial);
            return;
        }
        if (slot->reader.hasPending()) {
            const QList<QByteArray> late = slot->reader.poll(now);
            Q_UNUSED(late); // a report always completes by its structure; leftovers are junk
            if (!slot->reader.hasPending())
                slot->reader.reset();
        }
    });
    // By id: a receiver of one failure may close everything.
    for (const auto& [id, serial] : broken) {
        HubConnection* conn = m_byId.value(id);
        if (conn && conn->serial == serial)
            endConnection(conn, EndKind::Failed);
    }
}

} // namespace torvane::server
