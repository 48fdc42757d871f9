#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/hubeventbackend.h"
#include "tests/server/descriptorfixture.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <QThread>

#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::server::testing;

using namespace Protocol;
using ClientId = ConnectionHub::ClientId;

namespace {
// One workstation: a socket on loopback plus everything the server sent it.
struct Peer {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    ClientId id = 0;
    QByteArray received;

    void send(const QByteArray& bytes) {
        socket->write(bytes);
        socket->flush();
    }
};

QByteArray TwentyLineFile() {
    QByteArray file;
    for (int i = 1; i <= 20; ++i)
        file += ToGbk(QString::fromUtf8("线路%1;;;10.0.%1.1;192.0.2.%1;;").arg(i)) + "\r\n";
    return file;
}

// The accepted socket of the hub whose peer is the given local port of a test client.
int ServerSideDescriptor(quint16 hubPort, quint16 clientPort) {
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in local{};
        sockaddr_in remote{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
            continue;
        length = sizeof remote;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0)
            continue;
        if (local.sin_family == AF_INET && ntohs(local.sin_port) == hubPort &&
            ntohs(remote.sin_port) == clientPort)
            return fd;
    }
    return -1;
}

// A real Client's first exchange: connect, report asking for the list, wait for the update.
// Returns the connected descriptor when the update came, -1 when the connection was closed or
// nothing came in time.
int ReportAndAwaitUpdate(quint16 port, int waitMs) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in to = Loopback(port);
    const QByteArray report = ComposeReport("192.168.0.1", "192.0.2.53", "A", "1");
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 ||
        ::send(fd, report.constData(), report.size(), MSG_NOSIGNAL) != report.size()) {
        ::close(fd);
        return -1;
    }
    const QByteArray word = ToGbk(kUpdateWord);
    QByteArray received;
    QDeadlineTimer deadline(waitMs);
    while (!deadline.hasExpired() && received.size() < word.size()) {
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            received.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            break; // turned away
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10); // the hub runs here
    }
    if (received.startsWith(word))
        return fd;
    ::close(fd);
    return -1;
}
} // namespace

// Runs once per event backend of this build: each must give the hub the same behaviour.
class TestConnectionHub : public QObject {
    Q_OBJECT

public:
    explicit TestConnectionHub(HubBackendKind kind) : m_kind(kind) {}

private:
    HubBackendKind m_kind;
    std::unique_ptr<ConnectionHub> m_hub;
    std::unique_ptr<ClientListModel> m_model;
    std::unique_ptr<QSignalSpy> m_connected;
    std::unique_ptr<QSignalSpy> m_reported;
    std::unique_ptr<QSignalSpy> m_closed;
    std::unique_ptr<QSignalSpy> m_failed;
    std::vector<std::unique_ptr<Peer>> m_peers;
    QTemporaryDir m_dir;

    QString filePath() const { return m_dir.filePath(QStringLiteral("MainConfig.dat")); }

    Peer& connectPeer() {
        auto peer = std::make_unique<Peer>();
        Peer* raw = peer.get();
        QObject::connect(raw->socket.get(), &QTcpSocket::readyRead, raw->socket.get(),
                         [raw] { raw->received += raw->socket->readAll(); });
        const qsizetype before = m_connected->size();
        raw->socket->connectToHost(QHostAddress::LocalHost, m_hub->listeningPort());
        [&] { QTRY_COMPARE(m_connected->size(), before + 1); }();
        raw->id = m_connected->last().at(0).value<ClientId>();
        m_peers.push_back(std::move(peer));
        return *raw;
    }

    // Waits until the hub has handled `count` more reports than `before`.
    bool waitReports(qsizetype before, qsizetype count = 1) {
        return QTest::qWaitFor([&] { return m_reported->size() >= before + count; }, 5000) &&
               m_reported->size() == before + count;
    }

    QStringList rowOf(ClientId id) {
        m_model->flush();
        const int row = m_model->rowOf(id);
        if (row < 0)
            return {};
        QStringList cells;
        for (int c = 0; c < m_model->columnCount(); ++c)
            cells << m_model->data(m_model->index(row, c), Qt::DisplayRole).toString();
        return cells;
    }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        QFile::remove(filePath());
        m_hub = std::make_unique<ConnectionHub>(CreateHubEventBackend(m_kind));
        QCOMPARE(m_hub->backendName(), HubBackendName(m_kind));
        m_model = std::make_unique<ClientListModel>(m_hub.get());
        m_connected = std::make_unique<QSignalSpy>(m_hub.get(), &ConnectionHub::clientConnected);
        m_reported = std::make_unique<QSignalSpy>(m_hub.get(), &ConnectionHub::clientReported);
        m_closed = std::make_unique<QSignalSpy>(m_hub.get(), &ConnectionHub::clientClosed);
        m_failed = std::make_unique<QSignalSpy>(m_hub.get(), &ConnectionHub::clientFailed);
        QString error;
        QVERIFY2(m_hub->listen(0, &error), qPrintable(error));
        m_hub->setLineFilePath(filePath());
        m_hub->setUpdateEnabled(true);
    }

    void cleanup() {
        m_peers.clear();
        m_model.reset();
        m_connected.reset();
        m_reported.reset();
        m_closed.reset();
        m_failed.reset();
        m_hub.reset();
    }

    void initTestCase() { qInfo("event backend: %s", qPrintable(HubBackendName(m_kind))); }

    void backendReportsReadinessLevelTriggered() {
        // The seam itself, on connected socket pairs: what is ready is reported, again and again
        // while it stays ready, at most `max` at a time; nothing after unwatch.
        auto backend = CreateHubEventBackend(m_kind);
        QVERIFY(backend && backend->isValid());
        QSignalSpy ready(backend.get(), &HubEventBackend::ready);
        int pairs[3][2];
        for (auto& pair : pairs) {
            QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
            QVERIFY(backend->watch(pair[0], HubEventBackend::WantRead));
        }
        QVERIFY(!backend->change(pairs[2][1], HubEventBackend::WantRead)); // never watched
        HubEventBackend::Event events[8];
        QTest::qWait(20);
        QCOMPARE(backend->collect(events, 8), 0);

        for (auto& pair : pairs)
            QCOMPARE(::write(pair[1], "x", 1), ssize_t(1));
        QVERIFY(ready.wait(2000));
        // At most `max` at a time (a backend with a thread of its own may wake for the first
        // write before the others arrive).
        int count = backend->collect(events, 2);
        QVERIFY(count >= 1 && count <= 2);
        for (int i = 0; i < count; ++i)
            QVERIFY(events[i].readiness & HubEventBackend::Readable);
        // Nothing was read: the rest and the two already seen are reported again. (Waits
        // evaluate each collect once: a collect takes what it reports.)
        QSet<qintptr> seen;
        QVERIFY(QTest::qWaitFor([&] {
            const int n = backend->collect(events, 8);
            for (int i = 0; i < n; ++i)
                seen.insert(events[i].descriptor);
            return seen.size() == 3;
        }));

        // Write interest; then none; then gone.
        QVERIFY(backend->change(pairs[0][0], HubEventBackend::WantWrite));
        QVERIFY(backend->change(pairs[1][0], 0));
        backend->unwatch(pairs[2][0]);
        QVERIFY(QTest::qWaitFor([&] {
            const int n = backend->collect(events, 8);
            return n == 1 && events[0].descriptor == pairs[0][0] &&
                   events[0].readiness == HubEventBackend::Writable;
        }));

        // A peer that goes away shows as readable (end of stream) or closed.
        QVERIFY(backend->change(pairs[1][0], HubEventBackend::WantRead));
        QVERIFY(backend->change(pairs[0][0], 0));
        char byte = 0;
        QCOMPARE(::read(pairs[1][0], &byte, 1), ssize_t(1));
        ::close(pairs[1][1]);
        QVERIFY(QTest::qWaitFor([&] {
            const int n = backend->collect(events, 8);
            return n == 1 && events[0].descriptor == pairs[1][0] &&
                   (events[0].readiness &
                    (HubEventBackend::Readable | HubEventBackend::PeerClosed)) != 0;
        }));
        for (int i = 0; i < 3; ++i) {
            backend->unwatch(pairs[i][0]);
            ::close(pairs[i][0]);
            if (i != 1)
                ::close(pairs[i][1]);
        }
    }

    void listenRefusesAPortInUse() {
        ConnectionHub other;
        QString error;
        QVERIFY(!other.listen(m_hub->listeningPort(), &error));
        QCOMPARE(error, QStringLiteral("端口已被占用"));
        QVERIFY(!other.isListening());
        QVERIFY(m_hub->isListening());
        QVERIFY(!m_hub->localAddress().isEmpty());
    }

    void listeningAgainReplacesTheListenerAndKeepsTheClients() {
        Peer& peer = connectPeer();
        auto openDescriptors = [] {
            return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot).size();
        };
        const qsizetype before = openDescriptors();
        for (int i = 0; i < 20; ++i)
            QVERIFY(m_hub->listen(0));
        QCOMPARE(openDescriptors(), before); // every earlier listener is closed
        const qsizetype reports = m_reported->size();
        peer.send(ComposeReport("192.168.0.1", "192.0.2.53", "电信", "0"));
        QVERIFY(waitReports(reports));
        Peer& next = connectPeer(); // on the latest port
        QVERIFY(next.id > peer.id);
        QCOMPARE(m_hub->connectionCount(), 2);
    }

    void reportsFromConnectionsOfOneAddressFillTheirOwnRows() {
        Peer& a = connectPeer();
        Peer& b = connectPeer();
        Peer& c = connectPeer();
        QCOMPARE(m_connected->at(0).at(1).toString(), QStringLiteral("127.0.0.1"));
        QVERIFY(a.id < b.id && b.id < c.id);
        QCOMPARE(m_model->clientCount(), 3);

        const qsizetype before = m_reported->size();
        // The second connection reports first: it must not land in the first row.
        b.send(ComposeReport("192.168.0.1", "192.0.2.53", QStringLiteral("电信"), "0"));
        QVERIFY(waitReports(before));
        a.send(ComposeReport("10.0.0.1", "", QStringLiteral("联通"), "0"));
        QVERIFY(waitReports(before + 1));

        m_model->flush();
        QCOMPARE(m_model->rowCount(), 3);
        QCOMPARE(m_model->clientIdAt(0), a.id);
        QCOMPARE(m_model->clientIdAt(1), b.id);
        QCOMPARE(m_model->clientIdAt(2), c.id);
        // The DNS keeps the blank of the "; " separator; an empty DNS is that blank alone.
        QCOMPARE(rowOf(b.id), (QStringList{"127.0.0.1", "192.168.0.1", " 192.0.2.53", "电信"}));
        QCOMPARE(rowOf(a.id), (QStringList{"127.0.0.1", "10.0.0.1", " ", "联通"}));
        QCOMPARE(rowOf(c.id), (QStringList{"127.0.0.1", "", "", ""}));
    }

    void splitAndMergedReportsAreEachHandled() {
        Peer& peer = connectPeer();
        const QByteArray report = ComposeReport("192.168.0.1", "192.0.2.53", "电信", "0");
        qsizetype before = m_reported->size();
        // Byte by byte, each byte its own segment on the wire and its own read by the hub (the
        // wait runs the hub's loop).
        peer.socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        for (char byte : report) {
            peer.send(QByteArray(1, byte));
            QTest::qWait(1);
        }
        QVERIFY(waitReports(before));
        QCOMPARE(rowOf(peer.id).value(1), QStringLiteral("192.168.0.1"));

        // Two reports in one write: both are taken, the later one is what the row shows.
        before = m_reported->size();
        peer.send(ComposeReport("10.0.0.1", "192.0.2.1", "A", "0") +
                  ComposeReport("10.0.0.2", "192.0.2.2", "B", "1"));
        QVERIFY(waitReports(before, 2));
        QCOMPARE(rowOf(peer.id), (QStringList{"127.0.0.1", "10.0.0.2", " 192.0.2.2", "B"}));
        // Only the second asked for the list.
        QTRY_COMPARE(peer.received, ComposeLineListUpdate({}));
    }

    void updateCarriesTheFileAsOnDiskWhenAskedAndAllowed() {
        Peer& peer = connectPeer();
        // Missing file: the word alone.
        qsizetype before = m_reported->size();
        peer.send(ComposeReport("", "", "", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord));
        QCOMPARE(peer.received, QByteArray::fromHex("B8FCD0C2"));

        // Written after start: the next update has the new bytes, byte for byte.
        const QByteArray file = TwentyLineFile();
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file);
        }
        peer.received.clear();
        peer.send(ComposeReport("", "", "", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord) + file);

        // U "0" asks for nothing. A following U "1" gets exactly one update, so nothing came
        // for the first (the connection keeps the order).
        peer.received.clear();
        before = m_reported->size();
        peer.send(ComposeReport("1.1.1.1", "2.2.2.2", "x", "0"));
        QVERIFY(waitReports(before));
        // The update option off: a U "1" report fills the row and brings nothing.
        m_hub->setUpdateEnabled(false);
        peer.send(ComposeReport("3.3.3.3", "4.4.4.4", "y", "1"));
        QVERIFY(waitReports(before + 1));
        QCOMPARE(rowOf(peer.id).value(1), QStringLiteral("3.3.3.3"));
        m_hub->setUpdateEnabled(true);
        peer.send(ComposeReport("3.3.3.3", "4.4.4.4", "y", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord) + file);
        QTest::qWait(50);
        QCOMPARE(peer.received, ToGbk(kUpdateWord) + file);
    }

    void aRefusedLineFileIsNeverSentAsAnEmptyList() {
        // The bare word would empty every asking Client's list: a file that cannot be sent as it
        // is (too large, a link, not a regular file) brings nothing at all.
        Peer& peer = connectPeer();
        const QByteArray target = TwentyLineFile();
        const QString elsewhere = m_dir.filePath(QStringLiteral("elsewhere.dat"));
        {
            QFile out(elsewhere);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(target);
        }
        const auto expectNothing = [&](const char* what) {
            peer.received.clear();
            const qsizetype before = m_reported->size();
            peer.send(ComposeReport("", "", "", "1"));
            QVERIFY2(waitReports(before), what);
            QTest::qWait(100);
            QVERIFY2(peer.received.isEmpty(), what);
        };
        QVERIFY(QFile::link(elsewhere, filePath()));
        expectNothing("a symlink");
        QVERIFY(QFile::remove(filePath()));
        QVERIFY(QDir().mkdir(filePath()));
        expectNothing("a folder");
        QVERIFY(QDir().rmdir(filePath()));
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(QByteArray(kMaxLineFileBytes + 1, 'L'));
        }
        expectNothing("a file over the cap");
        // Back to a sound file: it is sent again.
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(target);
        }
        peer.received.clear();
        peer.send(ComposeReport("", "", "", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord) + target);
    }

    void anUnchangedFileMayBeReusedButARewriteIsAlwaysSeen() {
        QByteArray file = TwentyLineFile();
        auto write = [&](const QByteArray& bytes) {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::ReadWrite)); // in place: same inode
            out.write(bytes);
        };
        write(file);
        QTest::qWait(3200); // old enough for the hub to keep a copy
        Peer& peer = connectPeer();
        for (int round = 0; round < 2; ++round) {
            peer.received.clear();
            peer.send(ComposeReport("", "", "", "1"));
            QTRY_COMPARE(peer.received, ToGbk(kUpdateWord) + file);
        }
        // Same size, same inode, rewritten in place: the next update has the new bytes.
        file[file.size() - 5] = '9';
        write(file);
        peer.received.clear();
        peer.send(ComposeReport("", "", "", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord) + file);
        // Removed: the word alone.
        QVERIFY(QFile::remove(filePath()));
        peer.received.clear();
        peer.send(ComposeReport("", "", "", "1"));
        QTRY_COMPARE(peer.received, ToGbk(kUpdateWord));
    }

    void closeRemovesOnlyThatConnectionsRow() {
        Peer& a = connectPeer();
        Peer& b = connectPeer();
        Peer& c = connectPeer();
        QSignalSpy counts(m_model.get(), &ClientListModel::countChanged);
        const ClientId closedId = b.id;
        b.socket->disconnectFromHost();
        QTRY_COMPARE(m_closed->size(), 1);
        QCOMPARE(m_closed->at(0).at(0).value<ClientId>(), closedId);
        QCOMPARE(m_closed->at(0).at(1).toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(m_failed->size(), 0);
        // The count is told at once, the row goes at the next batch.
        QCOMPARE(counts.size(), 1);
        QCOMPARE(counts.at(0).at(0).toInt(), 2);
        QCOMPARE(m_model->clientCount(), 2);
        m_model->flush();
        QCOMPARE(m_model->rowCount(), 2);
        QCOMPARE(m_model->clientIdAt(0), a.id);
        QCOMPARE(m_model->clientIdAt(1), c.id);
        QCOMPARE(m_hub->connectionCount(), 2);
        QVERIFY(!m_hub->sendSwitch(closedId, "1.1.1.1", "2.2.2.2", ""));
        // The next connection gets a fresh id, never the ended one.
        Peer& d = connectPeer();
        QVERIFY(d.id > c.id);
    }

    void resetByThePeerIsAFailureWithoutBalloon() {
        Peer& a = connectPeer();
        Peer& b = connectPeer();
        const int fd = static_cast<int>(a.socket->socketDescriptor());
        const linger abort{1, 0};
        QCOMPARE(setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort), 0);
        a.socket->abort(); // close() with linger 0 sends a reset
        QTRY_COMPARE(m_failed->size(), 1);
        QCOMPARE(m_failed->at(0).at(0).value<ClientId>(), a.id);
        QCOMPARE(m_closed->size(), 0);
        m_model->flush();
        QCOMPARE(m_model->rowCount(), 1);
        QCOMPARE(m_model->clientIdAt(0), b.id);
    }

    void closeAllConnectionsEndsEverythingAndRestartsIds() {
        Peer& a = connectPeer();
        connectPeer();
        QSignalSpy all(m_hub.get(), &ConnectionHub::allClosed);
        const quint16 port = m_hub->listeningPort();
        m_hub->closeAllConnections();
        QCOMPARE(all.size(), 1);
        QVERIFY(!m_hub->isListening());
        QCOMPARE(m_hub->connectionCount(), 0);
        QCOMPARE(m_model->rowCount(), 0);
        QCOMPARE(m_model->clientCount(), 0);
        QVERIFY(!m_hub->sendSwitch(a.id, "1.1.1.1", "2.2.2.2", "3.3.3.3"));
        for (auto& peer : m_peers)
            QTRY_COMPARE(peer->socket->state(), QAbstractSocket::UnconnectedState);
        // No balloons for these.
        QCOMPARE(m_closed->size(), 0);

        QVERIFY(m_hub->listen(port));
        Peer& again = connectPeer();
        QCOMPARE(again.id, ClientId(1));
        m_model->flush();
        QCOMPARE(m_model->rowCount(), 1);
    }

    void aReceiverThatRestartsTheHubInsideAReportLeavesTheNewClientsAlone() {
        // A receiver of a report that closes everything, listens again and runs the loop until a
        // new Client is in (say, behind a message box): that Client gets the old one's id and
        // descriptor, and must get nothing of the report that was being handled.
        // A plain socket: a Qt one would close its descriptor on its own when the hub drops it,
        // freeing a lower slot for the newcomer while the receiver runs the loop.
        const quint16 port = m_hub->listeningPort();
        const int old = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(old >= 0);
        sockaddr_in hub{};
        hub.sin_family = AF_INET;
        hub.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        hub.sin_port = htons(port);
        QCOMPARE(::connect(old, reinterpret_cast<sockaddr*>(&hub), sizeof hub), 0);
        QTRY_COMPARE(m_connected->size(), 1);
        const ClientId oldId = m_connected->last().at(0).value<ClientId>();
        const auto localPort = [](int fd) {
            sockaddr_in local{};
            socklen_t length = sizeof local;
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
            return ntohs(local.sin_port);
        };
        const int oldServerFd = ServerSideDescriptor(port, localPort(old));
        QVERIFY(oldServerFd >= 0);
        int newcomer = -1;
        bool restarted = false;
        QObject context;
        connect(m_hub.get(), &ConnectionHub::clientReported, &context, [&] {
            if (restarted)
                return;
            restarted = true;
            newcomer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int seed = ::open("/dev/null", O_RDONLY | O_CLOEXEC); // stdin may be closed
            QVERIFY(seed >= 0);
            m_hub->closeAllConnections();
            QVERIFY(m_hub->listen(port));
            // Take every lower free descriptor so the next accept reuses the old one.
            std::vector<int> fillers;
            for (int fd; (fd = ::fcntl(seed, F_DUPFD_CLOEXEC, 0)) >= 0 && fd != oldServerFd;)
                fillers.push_back(fd);
            ::close(oldServerFd);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port);
            QCOMPARE(::connect(newcomer, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
            QTRY_COMPARE(m_hub->connectionCount(), 1);
            for (int fd : fillers)
                ::close(fd);
            ::close(seed);
        });
        const QByteArray report = ComposeReport("192.168.0.1", "192.0.2.53", "电信", "1");
        QCOMPARE(::send(old, report.constData(), report.size(), MSG_NOSIGNAL), report.size());
        QTRY_VERIFY(restarted);
        QVERIFY(newcomer >= 0);
        const int newServerFd = ServerSideDescriptor(port, localPort(newcomer));
        QCOMPARE(newServerFd, oldServerFd);
        QCOMPARE(m_connected->last().at(0).value<ClientId>(), oldId);
        QTest::qWait(100);
        char byte = 0;
        QCOMPARE(::recv(newcomer, &byte, 1, MSG_DONTWAIT), ssize_t(-1));
        QCOMPARE(errno, EAGAIN);
        QCOMPARE(m_hub->connectionCount(), 1);
        ::close(newcomer);
        ::close(old);
    }

    void sendSwitchGoesToThatConnectionOnly() {
        Peer& a = connectPeer();
        Peer& b = connectPeer();
        QVERIFY(m_hub->sendSwitch(b.id, "192.168.0.1", "192.0.2.53", ""));
        const QByteArray expected = ToGbk(QStringLiteral("切换192.168.0.1;192.0.2.53;"));
        QCOMPARE(expected.right(1), QByteArray(";"));
        QTRY_COMPARE(b.received, expected);
        QVERIFY(m_hub->sendSwitch(a.id, "10.0.0.1", "192.0.2.1", "192.0.2.2"));
        QTRY_COMPARE(a.received, ToGbk(QStringLiteral("切换10.0.0.1;192.0.2.1;192.0.2.2")));
        QCOMPARE(b.received, expected);
        QVERIFY(!m_hub->sendSwitch(0, "1.1.1.1", "2.2.2.2", ""));
        QVERIFY(!m_hub->sendSwitch(9999, "1.1.1.1", "2.2.2.2", ""));
    }

    void badInputChangesNothingAndEndlessGarbageEndsTheConnection() {
        Peer& shortReport = connectPeer();
        Peer& notANumber = connectPeer();
        Peer& noise = connectPeer();
        Peer& oversized = connectPeer();
        Peer& flood = connectPeer();
        Peer& marker = connectPeer();

        shortReport.send(ToGbk(QStringLiteral("计算机信息192.168.0.1; 192.0.2.53")));
        notANumber.send(ToGbk(QStringLiteral("计算机信息192.168.0.1; 192.0.2.53;A;x")));
        noise.send("GET / HTTP/1.0\r\n\r\n");
        noise.send(ToGbk(QStringLiteral("计算机")) + "X;;;1");
        // A report word followed by more than the reader keeps, with no separator at all.
        oversized.send(ToGbk(kReportWord) + QByteArray(8 * 1024, 'A'));
        // Never-ending non-report data: past the bound the connection is closed as failed.
        const QByteArray junk(4096, 'Z');
        for (int i = 0; i < 40 && flood.socket->state() == QAbstractSocket::ConnectedState; ++i)
            flood.send(junk);
        QTRY_COMPARE(m_failed->size(), 1);
        QCOMPARE(m_failed->at(0).at(0).value<ClientId>(), flood.id);
        QTRY_COMPARE(flood.socket->state(), QAbstractSocket::UnconnectedState);

        const qsizetype before = m_reported->size();
        marker.send(ComposeReport("10.9.9.9", "", "", "1"));
        QVERIFY(waitReports(before));
        QTRY_COMPARE(marker.received, ToGbk(kUpdateWord));
        QCOMPARE(m_reported->size(), before + 1); // only the marker's report counted
        for (Peer* peer : {&shortReport, &notANumber, &noise, &oversized}) {
            QCOMPARE(rowOf(peer->id), (QStringList{"127.0.0.1", "", "", ""}));
            QVERIFY(peer->received.isEmpty());
            QCOMPARE(peer->socket->state(), QAbstractSocket::ConnectedState);
        }
        QCOMPARE(m_closed->size(), 0);
        QCOMPARE(m_hub->connectionCount(), 5);

        // The dropped noise does not spoil the connection: its next report is taken.
        noise.send(ComposeReport("10.1.1.1", "192.0.2.9", "N", "0"));
        QVERIFY(waitReports(before + 1));
        QCOMPARE(rowOf(noise.id), (QStringList{"127.0.0.1", "10.1.1.1", " 192.0.2.9", "N"}));
    }

    void aClientThatStopsReadingIsEndedNotBuffered() {
        // A big line file, a Client that asks again and again and never reads: the unsent
        // bytes stay bounded and the connection is ended as failed.
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(QByteArray(kMaxLineFileBytes, 'L')); // the largest file that is sent
        }
        Peer& peer = connectPeer();
        peer.socket->setReadBufferSize(1);
        QObject::disconnect(peer.socket.get(), &QTcpSocket::readyRead, nullptr, nullptr);
        const int fd = static_cast<int>(peer.socket->socketDescriptor());
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        for (int i = 0; i < 160 && m_failed->isEmpty(); ++i) {
            peer.send(ComposeReport("", "", "", "1"));
            QTest::qWait(20);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_failed->size(), 1, ConnectionHub::kSweepIntervalMs + 2000);
        QCOMPARE(m_failed->at(0).at(0).value<ClientId>(), peer.id);
        QCOMPARE(m_hub->connectionCount(), 0);
    }

    void aSlowReaderThatKeepsAskingHoldsOnlyWhatIsStillUnsent() {
        // A Client that reads slowly but always asks again before the last update is through:
        // the bytes already sent must not pile up behind the ones still waiting.
        const QByteArray file(kMaxLineFileBytes, 'L');
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(file);
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QVERIFY(fd >= 0);
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_hub->listeningPort());
        QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        QTRY_COMPARE(m_connected->size(), 1);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        QCOMPARE(getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length), 0);
        const int serverFd = ServerSideDescriptor(m_hub->listeningPort(), ntohs(local.sin_port));
        QVERIFY(serverFd >= 0);
        setsockopt(serverFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

        const QByteArray report = ComposeReport("", "", "", "1");
        auto ask = [&] {
            return ::send(fd, report.constData(), report.size(), MSG_NOSIGNAL) == report.size();
        };
        const qint64 unit = ToGbk(kUpdateWord).size() + file.size();
        qint64 received = 0;
        // Reads until `target` bytes have come, running the hub meanwhile.
        auto readUpTo = [&](qint64 target) {
            char buffer[8192];
            QDeadlineTimer deadline(10000);
            while (received < target && !deadline.hasExpired()) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0)
                    received += n;
                else
                    QCoreApplication::processEvents();
            }
            return received >= target;
        };
        auto heapInUse = [] {
            const struct mallinfo2 info = mallinfo2();
            return info.uordblks + info.hblkhd;
        };
        // Two updates always outstanding: the hub's queue never runs dry.
        QVERIFY(ask() && ask());
        size_t before = 0;
        for (int round = 1; round <= 150; ++round) {
            QVERIFY(readUpTo(round * unit));
            QVERIFY(ask());
            if (round == 10)
                before = heapInUse();
        }
        const size_t after = heapInUse();
        QVERIFY(readUpTo(152 * unit));
        ::close(fd);
        QCOMPARE(m_failed->size(), 0);
        // Keeping every sent update would be some 9 MB by now.
        QVERIFY2(after < before + 2 * 1024 * 1024,
                 qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after - before)));
    }

    void endedConnectionsAreFreed() {
        // A server that runs for months sees Clients come and go: nothing may stay behind.
        const QByteArray report = ComposeReport("192.168.0.1", "192.0.2.53", "电信", "0");
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_hub->listeningPort());
        // Counters instead of spies: a spy keeps every emission.
        m_connected.reset();
        m_closed.reset();
        m_reported.reset();
        int closed = 0;
        int reported = 0;
        QObject context;
        connect(m_hub.get(), &ConnectionHub::clientClosed, &context, [&] { ++closed; });
        connect(m_hub.get(), &ConnectionHub::clientReported, &context, [&] { ++reported; });
        int ended = 0;
        auto cycle = [&](int count) {
            for (int i = 0; i < count; ++i) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                QVERIFY(fd >= 0);
                QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
                QCOMPARE(::send(fd, report.constData(), report.size(), MSG_NOSIGNAL),
                         report.size());
                ::close(fd);
            }
            ended += count;
            QTRY_COMPARE(closed, ended);
            QCOMPARE(reported, ended);
            QCOMPARE(m_hub->connectionCount(), 0);
            m_model->flush();
            QCOMPARE(m_model->rowCount(), 0);
        };
        cycle(500); // reach the high-water mark of reusable buffers first
        const size_t before = mallinfo2().uordblks;
        cycle(500);
        const size_t after = mallinfo2().uordblks;
        // One leaked record per connection would be some 200 KB.
        QVERIFY2(after < before + 64 * 1024,
                 qPrintable(QStringLiteral("heap grew by %1 bytes").arg(after - before)));
    }

    void acceptedSocketsProbeForDeadWorkstationsAndSendAtOnce() {
        Peer& peer = connectPeer();
        const int fd = ServerSideDescriptor(m_hub->listeningPort(), peer.socket->localPort());
        QVERIFY(fd >= 0);
        int value = 0;
        socklen_t length = sizeof value;
        QCOMPARE(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
        QCOMPARE(value, 1);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
        QCOMPARE(value, 20);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length), 0);
        QCOMPARE(value, 5);
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &value, &length), 0);
        QCOMPARE(value, 4);
        unsigned int timeout = 0;
        length = sizeof timeout;
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, &length), 0);
        QCOMPARE(timeout, 45000u);
        length = sizeof value;
        QCOMPARE(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
        QCOMPARE(value, 1);
    }

    void silentConnectionsEndAtTheReportDeadline() {
        QCOMPARE(ConnectionHub().reportDeadline(), 60 * 1000);
        const int deadline = 300;
        m_hub->setReportDeadline(deadline);
        QElapsedTimer clock;
        clock.start();
        Peer& silent = connectPeer();
        Peer& reporter = connectPeer();
        Peer& partial = connectPeer();
        Peer& shortReport = connectPeer();
        Peer& noise = connectPeer();
        Peer& late = connectPeer();
        reporter.send(ComposeReport("10.0.0.1", "10.0.0.2", "A", "0"));
        // Cut inside the DNS, never finished; too few pieces; not a report at all.
        partial.send(ToGbk(kReportWord) + "10.0.0.1; 10.0.");
        shortReport.send(ToGbk(kReportWord) + "10.0.0.1; 10.0.0.2");
        noise.send("GET / HTTP/1.0\r\n\r\n");
        QTest::qWait(deadline / 3);
        late.send(ComposeReport("10.0.0.3", "10.0.0.4", "B", "0")); // in time
        const QList<ClientId> ended{silent.id, partial.id, shortReport.id, noise.id};

        QTRY_COMPARE_WITH_TIMEOUT(m_failed->size(), ended.size(), 5000);
        // Timers may fire a little early, never much.
        QVERIFY2(clock.elapsed() >= deadline * 9 / 10,
                 qPrintable(QString::number(clock.elapsed())));
        QList<ClientId> failed;
        for (const QList<QVariant>& call : *m_failed)
            failed << call.at(0).value<ClientId>();
        std::sort(failed.begin(), failed.end());
        QCOMPARE(failed, ended);
        QCOMPARE(m_hub->silentEndedCount(), qint64(ended.size()));
        QCOMPARE(m_closed->size(), 0); // no balloons for these
        for (Peer* peer : {&silent, &partial, &shortReport, &noise})
            QTRY_COMPARE(peer->socket->state(), QAbstractSocket::UnconnectedState);

        // Connections that reported stay however long they are quiet afterwards.
        QTest::qWait(deadline * 2);
        QCOMPARE(m_hub->connectionCount(), 2);
        QVERIFY(m_hub->isConnected(reporter.id) && m_hub->isConnected(late.id));
        m_model->flush();
        QCOMPARE(m_model->rowCount(), 2);
        // A connection accepted after a closeAll starts its own deadline.
        const quint16 port = m_hub->listeningPort();
        m_hub->closeAllConnections();
        QVERIFY(m_hub->listen(port));
        Peer& again = connectPeer();
        QTRY_VERIFY_WITH_TIMEOUT(!m_hub->isConnected(again.id), 5000);
    }

    void idleSocketsBeyondTheDescriptorLimitNeverLockClientsOutOrStarveTheProgram() {
        // Idle connections from another process crowd a hub whose process has little room
        // under its descriptor limit: the excess is turned away at once, the reserve stays free
        // for the program (a thread with its own event loop starts), the idle ones end at the
        // report deadline and a real Client then gets in and is served.
        const int deadline = 1000;
        m_hub->setReportDeadline(deadline);
        const quint16 port = m_hub->listeningPort();
        {
            QFile out(filePath());
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(TwentyLineFile());
        }
        Crowd crowd(port);
        LimitGuard limit;
        constexpr int kRoom = 12;
        // Holes below the highest open descriptor would be room too: fill them.
        const int highest = HighestOpenDescriptor();
        const std::vector<int> holes = FillDescriptorHoles(highest);
        QVERIFY(limit.lowerTo(
            static_cast<rlim_t>(highest + 1 + kRoom + ConnectionHub::kDescriptorReserve)));

        const int idle = 60;
        QVERIFY(crowd.open(idle));
        QTRY_COMPARE(m_hub->connectionCount() + m_hub->turnedAwayCount(), qint64(idle));
        const int kept = m_hub->connectionCount();
        QVERIFY2(kept >= 1 && kept <= kRoom, qPrintable(QString::number(kept)));

        // The reserve is there while the hub is full.
        std::vector<int> spare;
        for (int i = 0; i < ConnectionHub::kDescriptorReserve / 2; ++i) {
            spare.push_back(::fcntl(highest, F_DUPFD_CLOEXEC, 0));
            QVERIFY(spare.back() >= 0);
        }
        for (int fd : spare)
            ::close(fd);
        bool ran = false;
        std::unique_ptr<QThread> thread(QThread::create([&ran] { ran = true; }));
        thread->start();
        QVERIFY(thread->wait(5000));
        QVERIFY(ran);

        // A real Client is turned away while the crowd holds the room, and served as soon as
        // the report deadline has ended the crowd's connections; it keeps trying, as a Client
        // does every second.
        int served = -1;
        int attempts = 0;
        QDeadlineTimer patience(deadline + 15000);
        while (served < 0 && !patience.hasExpired()) {
            if (++attempts > 1)
                QTest::qWait(50);
            served = ReportAndAwaitUpdate(port, 300);
        }
        QVERIFY2(served >= 0, "a real Client was never served");
        QVERIFY(attempts > 1);
        QTRY_COMPARE(m_hub->silentEndedCount(), qint64(kept));
        QCOMPARE(m_closed->size(), 0);
        QVERIFY(m_hub->isListening());

        // When something else has used up the reserve too, the spare descriptor still lets the
        // hub take each new connection and close it, rather than leave it waiting.
        std::vector<int> fillers;
        for (int fd; (fd = ::fcntl(served, F_DUPFD_CLOEXEC, 0)) >= 0;)
            fillers.push_back(fd);
        const qint64 before = m_hub->turnedAwayCount();
        QVERIFY(crowd.open(3));
        QTRY_COMPARE(m_hub->turnedAwayCount(), before + 3);
        for (int fd : fillers)
            ::close(fd);

        // With the limit back, newcomers are kept again; the served Client, which reported,
        // is still there past its deadline.
        QVERIFY(setrlimit(RLIMIT_NOFILE, &limit.saved) == 0);
        const int connected = m_hub->connectionCount();
        QVERIFY(crowd.open(3));
        QTRY_COMPARE(m_hub->connectionCount(), connected + 3);
        QCOMPARE(m_hub->turnedAwayCount(), before + 3);
        char byte = 0;
        QCOMPARE(::recv(served, &byte, 1, MSG_PEEK | MSG_DONTWAIT), ssize_t(1));
        ::close(served);
        for (int fd : holes)
            ::close(fd);
    }
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    int failures = 0;
    for (const HubBackendKind kind : AvailableHubBackends()) {
        TestConnectionHub test(kind);
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures;
}
#include "test_connectionhub.moc"
