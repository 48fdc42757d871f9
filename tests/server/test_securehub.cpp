#include "common/gbk.h"
#include "common/linefile.h"
#include "common/linehealth.h"
#include "common/protocol.h"
#include "common/securesession.h"
#include "server/clientlistmodel.h"
#include "server/linehealthmonitor.h"
#include "server/linetablecontroller.h"
#include "server/servercontroller.h"
#include "server/switchtracker.h"
#include "tests/server/serversettingsfixture.h"
#ifndef Q_OS_WIN
#include "tests/server/descriptorfixture.h"
#endif

#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::server::testing;
using SecureFrame::Type;

namespace {

const QString kTypedKey = QStringLiteral("the site's key");

// A Client of the secure channel made of a socket and the real session code.
struct KeyedPeer {
    QTcpSocket socket;
    SecureSession session;
    QList<SecureSession::Message> messages;
    QString error;

    explicit KeyedPeer(const QByteArray& key) : session(SecureSession::Role::Client, key) {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            const auto result = session.receive(socket.readAll());
            socket.write(result.toSend);
            messages += result.messages;
            if (!result.error.isEmpty())
                error = result.error;
        });
    }
    bool open(quint16 port) {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000))
            return false;
        socket.write(session.start());
        return QTest::qWaitFor([this] { return session.isOpen() || !error.isEmpty(); }, 5000) &&
               session.isOpen();
    }
    void report(const char* utf8) {
        socket.write(session.seal(Type::Report, ToGbk(QString::fromUtf8(utf8))));
    }
};

bool Dropped(QTcpSocket& socket) {
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; },
                           5000);
}

} // namespace

// The Server's secure port: rows and switch commands of keyed Clients go the same way as those
// of the legacy port, sealed; nobody without the key gets a row.
class TestSecureHub : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_lineFile;
    std::unique_ptr<ServerController> m_server;

    void startServer(const QString& typedKey) {
        SetSetting("FwqDk", QString::number(FreePort()));
        if (!typedKey.isEmpty())
            SetSetting("SiteKey", SiteKeyToStored(SiteKeyFromText(typedKey)));
        SetSetting("SecurePort", QString::number(FreePort()));
        m_server = std::make_unique<ServerController>(m_lineFile);
        m_server->start();
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_lineFile = LineFilePath(m_dir->path());
        QFile file(m_lineFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kTwoRecords);
        file.close();
        ClearRegStore(RegRoot::CurrentUser, kSettingsKey);
    }
    void cleanup() {
        m_server.reset();
        m_dir.reset();
    }

    void keyedClientGetsARowTheListAndSealedCommands() {
        startServer(kTypedKey);
        QVERIFY(m_server->secureListeningPort() != 0);
        KeyedPeer peer(SiteKeyFromText(kTypedKey));
        QVERIFY(peer.open(m_server->secureListeningPort()));
        peer.report("计算机信息1.1.1.1; 2.2.2.2;A;1");

        ClientListModel* model = m_server->clientModel();
        QTRY_VERIFY((model->flush(), model->gatewayAt(0) == QStringLiteral("1.1.1.1")));
        QCOMPARE(model->clientCount(), 1);
        QCOMPARE(model->lineNameAt(0), QStringLiteral("A"));
        QCOMPARE(model->addressAt(0), QStringLiteral("127.0.0.1"));
        // The list follows, sealed, as the legacy update's bytes.
        QTRY_COMPARE(peer.messages.size(), 1);
        QCOMPARE(peer.messages[0].type, Type::LineListUpdate);
        QCOMPARE(peer.messages[0].body, ToGbk(QStringLiteral("更新")) + kTwoRecords);

        // A command from the window's path goes over this channel and is confirmed by the report.
        const ConnectionHub::ClientId id = model->clientIdAt(0);
        QVERIFY(SecureHub::Owns(id));
        QVERIFY(m_server->switchTracker()->send(
            id, QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("4.4.4.4"),
            QStringLiteral("5.5.5.5"), QStringLiteral("6.6.6.6")));
        QTRY_COMPARE(peer.messages.size(), 2);
        QCOMPARE(peer.messages[1].type, Type::SwitchCommand);
        QCOMPARE(peer.messages[1].body, ToGbk(QStringLiteral("切换4.4.4.4;5.5.5.5;6.6.6.6")));
        peer.report("计算机信息4.4.4.4; 5.5.5.5;B;0");
        QTRY_COMPARE(m_server->switchTracker()->stateOf(id), SwitchState::Confirmed);

        // Leaving removes the row like any other.
        peer.socket.disconnectFromHost();
        QTRY_COMPARE(model->clientCount(), 0);
        QVERIFY(!m_server->switchTracker()->send(id, {}, {}, QStringLiteral("4.4.4.4"),
                                                 QStringLiteral("5.5.5.5"), {}));
    }

    void rowsOfBothPortsKeepTheirReports() {
        // A keyed Client first, then Clients of the old kind: every report lands in its own row
        // whatever the order of arrival, the secure rows below the others.
        startServer(kTypedKey);
        KeyedPeer keyed(SiteKeyFromText(kTypedKey));
        QVERIFY(keyed.open(m_server->secureListeningPort()));
        keyed.report("计算机信息9.9.9.9; 2.2.2.2;S;0");
        ClientListModel* model = m_server->clientModel();
        QTRY_VERIFY((model->flush(), model->gatewayAt(0) == QStringLiteral("9.9.9.9")));
        std::vector<std::unique_ptr<QTcpSocket>> legacy;
        for (int i = 1; i <= 3; ++i) {
            legacy.push_back(std::make_unique<QTcpSocket>());
            legacy.back()->connectToHost(QHostAddress::LocalHost, m_server->lastListenPort());
            QVERIFY(legacy.back()->waitForConnected(5000));
            legacy.back()->write(Protocol::ComposeReport(QStringLiteral("1.1.1.%1").arg(i),
                                                         QStringLiteral("2.2.2.2"),
                                                         QStringLiteral("A"), QStringLiteral("0")));
            QTRY_VERIFY(
                (model->flush(), model->rowCount() == i + 1 &&
                                     model->gatewayAt(i - 1) == QStringLiteral("1.1.1.%1").arg(i)));
        }
        QCOMPARE(model->gatewayAt(3), QStringLiteral("9.9.9.9"));
        QVERIFY(SecureHub::Owns(model->clientIdAt(3)));
        // A later report of the keyed Client still finds its row.
        keyed.report("计算机信息4.4.4.4; 5.5.5.5;B;0");
        QTRY_VERIFY((model->flush(), model->gatewayAt(3) == QStringLiteral("4.4.4.4")));
        legacy[1]->disconnectFromHost();
        QTRY_VERIFY((model->flush(), model->rowCount() == 3));
        QCOMPARE(model->gatewayAt(1), QStringLiteral("1.1.1.3"));
        QCOMPARE(model->gatewayAt(2), QStringLiteral("4.4.4.4"));
    }

    void strangersGetNoRow() {
        startServer(kTypedKey);
        const quint16 port = m_server->secureListeningPort();
        // A wrong key: refused at the proof.
        KeyedPeer wrong(SiteKeyFromText(QStringLiteral("guess")));
        QVERIFY(!wrong.open(port));
        QVERIFY(Dropped(wrong.socket));
        // A legacy Client that found the port: refused on its first bytes.
        QTcpSocket legacy;
        legacy.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(legacy.waitForConnected(5000));
        legacy.write(Protocol::ComposeReport(QStringLiteral("1.1.1.1"), QStringLiteral("2.2.2.2"),
                                             QStringLiteral("A"), QStringLiteral("1")));
        QVERIFY(Dropped(legacy));
        // A report captured in one connection and replayed in another.
        KeyedPeer first(SiteKeyFromText(kTypedKey));
        QVERIFY(first.open(port));
        const QByteArray captured = first.session.seal(
            Type::Report, ToGbk(QStringLiteral("计算机信息9.9.9.9; 2.2.2.2;A;0")));
        KeyedPeer second(SiteKeyFromText(kTypedKey));
        QVERIFY(second.open(port));
        second.socket.write(captured);
        QVERIFY(Dropped(second.socket));
        // A keyed Client whose report frame holds two reports: a broken sender, dropped.
        KeyedPeer merged(SiteKeyFromText(kTypedKey));
        QVERIFY(merged.open(port));
        merged.report("计算机信息1.1.1.1; 2.2.2.2;A;0计算机信息1.1.1.1; 2.2.2.2;A;0");
        QVERIFY(Dropped(merged.socket));

        QTest::qWait(150); // past a batch of the model
        m_server->clientModel()->flush();
        QCOMPARE(m_server->clientModel()->clientCount(), 1); // only `first`, which never reported
        QCOMPARE(m_server->secureHub()->refusedCount(), 4);
    }

    // Anybody may open the secure port: connections that never prove the key hold at most a
    // few places, the oldest giving way, and a keyed Client still gets in and stays.
    void aCrowdWaitingForTheHandshakeGivesWayToKeyedClients() {
        startServer(kTypedKey);
        SecureHub* hub = m_server->secureHub();
        hub->setMaxHandshakes(8);
        const quint16 port = m_server->secureListeningPort();
        std::vector<std::unique_ptr<QTcpSocket>> crowd;
        const auto join = [&](int count) {
            for (int i = 0; i < count; ++i) {
                crowd.push_back(std::make_unique<QTcpSocket>());
                crowd.back()->connectToHost(QHostAddress::LocalHost, port);
                QVERIFY(crowd.back()->waitForConnected(5000));
            }
        };
        join(20);
        QVERIFY(Dropped(*crowd.front())); // the oldest gave way
        QTRY_COMPARE(hub->connectionCount(), 8);
        QCOMPARE(crowd.back()->state(), QAbstractSocket::ConnectedState);

        KeyedPeer keyed(SiteKeyFromText(kTypedKey));
        QVERIFY(keyed.open(port));
        keyed.report("计算机信息1.1.1.1; 2.2.2.2;A;0");
        // Once open it no longer counts as waiting: newcomers end only the crowd.
        join(20);
        QTRY_COMPARE(hub->connectionCount(), 9);
        QCOMPARE(keyed.socket.state(), QAbstractSocket::ConnectedState);
        m_server->clientModel()->flush();
        QTRY_COMPARE(m_server->clientModel()->clientCount(), 1);
        QCOMPARE(hub->refusedCount(), 0); // giving way is no refusal of a bad peer
    }

#ifndef Q_OS_WIN
    // With little room under the descriptor limit, newcomers are closed at once instead of
    // taking the program's reserve, and with no descriptor left at all they are still taken
    // and closed (the spare), never left to make the listener spin; with room again a keyed
    // Client gets in.
    void runningOutOfDescriptorsTurnsNewcomersAwayAndServesAgainAfter() {
        startServer(kTypedKey);
        SecureHub* hub = m_server->secureHub();
        const quint16 port = m_server->secureListeningPort();
        Crowd crowd(port);
        LimitGuard limit;
        constexpr int kRoom = 6;
        const int highest = HighestOpenDescriptor();
        const std::vector<int> holes = FillDescriptorHoles(highest);
        QVERIFY(limit.lowerTo(
            static_cast<rlim_t>(highest + 1 + kRoom + ConnectionHub::kDescriptorReserve)));
        QVERIFY(crowd.open(30));
        QTRY_VERIFY(hub->turnedAwayCount() + hub->connectionCount() >= 30);
        QVERIFY(hub->turnedAwayCount() > 0);
        QVERIFY2(hub->connectionCount() <= kRoom,
                 qPrintable(QString::number(hub->connectionCount())));

        std::vector<int> fillers;
        for (int fd; (fd = ::fcntl(highest, F_DUPFD_CLOEXEC, 0)) >= 0;)
            fillers.push_back(fd);
        const qint64 before = hub->turnedAwayCount();
        QVERIFY(crowd.open(3));
        QTRY_COMPARE(hub->turnedAwayCount(), before + 3);
        for (int fd : fillers)
            ::close(fd);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit.saved) == 0);
        for (int fd : holes)
            ::close(fd);

        KeyedPeer keyed(SiteKeyFromText(kTypedKey));
        QVERIFY(keyed.open(port));
        QVERIFY(hub->isListening());
    }
#endif

    // Health results and rollbacks of a keyed Client reach the per-line view and the row; a
    // result leaves with its connection.
    void healthAndRollbackReachTheirReaders() {
        startServer(kTypedKey);
        LineTableController lines(m_lineFile, m_server->hub());
        lines.load();
        LineHealthMonitor health(&lines);
        health.attach(m_server->secureHub());
        KeyedPeer peer(SiteKeyFromText(kTypedKey));
        QVERIFY(peer.open(m_server->secureListeningPort()));
        peer.report("计算机信息1.1.1.1; 2.2.2.2;A;0");
        const HealthReport broken{QStringLiteral("A"),
                                  QStringLiteral("1.1.1.1"),
                                  QStringLiteral("2.2.2.2"),
                                  true,
                                  false,
                                  3000};
        peer.socket.write(peer.session.seal(Type::HealthReport, EncodeHealthReport(broken)));
        QTRY_VERIFY(health.isFailing(0));
        QCOMPARE(health.summaryOf(0), (LineHealthSummary{1, 0, -1}));

        ClientListModel* model = m_server->clientModel();
        QTRY_VERIFY((model->flush(), model->rowCount() == 1));
        peer.socket.write(peer.session.seal(
            Type::RollbackReport, EncodeRollbackReport({QStringLiteral("B"), QStringLiteral("A"),
                                                        QStringLiteral("DNS 无应答")})));
        QTRY_COMPARE(m_server->switchTracker()->stateOf(model->clientIdAt(0)), SwitchState::Failed);
        model->flush();
        QCOMPARE(model->index(0, 0).data(Qt::ToolTipRole).toString(),
                 QStringLiteral("A → B：已回退：DNS 无应答"));

        peer.socket.disconnectFromHost();
        QTRY_COMPARE(health.resultCount(), 0);
        QVERIFY(!health.isFailing(0));
    }

    // Sealed by a holder of the key yet not a body of its type: a broken or hostile Client.
    void undecodableBodiesDropTheConnection() {
        startServer(kTypedKey);
        const quint16 port = m_server->secureListeningPort();
        QSignalSpy healthSpy(m_server->secureHub(), &SecureHub::healthReported);
        QSignalSpy rollbackSpy(m_server->secureHub(), &SecureHub::rollbackReported);
        const QList<std::pair<Type, QByteArray>> bad = {
            {Type::HealthReport, "line=A\n"},
            {Type::HealthReport, "line=A\ngateway=1.1.1.1\ndns=2.2.2.2\ngateway_ok=2\n"
                                 "dns_ok=1\ndns_ms=5\n"},
            {Type::HealthReport, QByteArray()},
            {Type::RollbackReport, "to=A\nfrom=B\nreason=x\n"},
            {Type::RollbackReport, QByteArray("from=A\nto=B\nreason=\x01\n")},
        };
        for (const auto& [type, body] : bad) {
            KeyedPeer peer(SiteKeyFromText(kTypedKey));
            QVERIFY(peer.open(port));
            peer.socket.write(peer.session.seal(type, body));
            QVERIFY2(Dropped(peer.socket), body.constData());
        }
        QCOMPARE(m_server->secureHub()->refusedCount(), bad.size());
        QVERIFY(healthSpy.isEmpty());
        QVERIFY(rollbackSpy.isEmpty());
    }

    void withoutAKeyThereIsNoSecurePortAndLegacyIsUntouched() {
        startServer(QString());
        QCOMPARE(m_server->secureListeningPort(), 0);
        QVERIFY(m_server->lastListenSucceeded());
        // With a key the legacy port still serves legacy Clients byte for byte.
        QCOMPARE(m_server->applySettings(m_server->settings().port, true, false, kTypedKey),
                 ServerController::ApplyResult::Applied);
        QCOMPARE(Setting("SiteKey"), SiteKeyToStored(SiteKeyFromText(kTypedKey)));
        QVERIFY(m_server->secureListeningPort() != 0);
        QTcpSocket legacy;
        legacy.connectToHost(QHostAddress::LocalHost, m_server->lastListenPort());
        QVERIFY(legacy.waitForConnected(5000));
        legacy.write(Protocol::ComposeReport(QStringLiteral("1.1.1.1"), QStringLiteral("2.2.2.2"),
                                             QStringLiteral("A"), QStringLiteral("1")));
        QVERIFY(QTest::qWaitFor([&] { return legacy.bytesAvailable() >= kTwoRecords.size() + 4; },
                                5000));
        QCOMPARE(legacy.readAll(), ToGbk(QStringLiteral("更新")) + kTwoRecords);
        // An empty key text removes the key and closes the secure port.
        m_server->applySettings(m_server->settings().port, true, false, QString());
        QCOMPARE(Setting("SiteKey"), QString());
        QCOMPARE(m_server->secureListeningPort(), 0);
    }
};

QTEST_GUILESS_MAIN(TestSecureHub)
#include "test_securehub.moc"
