#include "tests/client/controllerfixture.h"

#include "common/linefile.h"
#include "common/messagereader.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace torvane;
using namespace torvane::client;

namespace {
QByteArray Gbk(const char* utf8) {
    return ToGbk(QString::fromUtf8(utf8));
}

const QByteArray kOldFile = Gbk("电信;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n");
const QByteArray kNewFile = Gbk("联通;;;10.2.0.1;10.2.0.53;;\r\n"
                                "电信二;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n");
} // namespace

// The Client's link against a local server that plays the Server's side byte by byte.
class TestClientLink : public QObject {
    Q_OBJECT

    QTcpServer m_server;
    std::unique_ptr<ControllerFixture> m_client;
    QTcpSocket* m_peer = nullptr;
    QByteArray m_received;

    // Waits for the Client's next report and returns it.
    QByteArray nextReport() {
        [&] { QTRY_VERIFY_WITH_TIMEOUT(!m_received.isEmpty(), 5000); }();
        QTest::qWait(20);
        return std::exchange(m_received, {});
    }

    void acceptPeer() {
        [&] { QTRY_VERIFY_WITH_TIMEOUT(m_server.hasPendingConnections(), 5000); }();
        m_peer = m_server.nextPendingConnection();
        QVERIFY(m_peer);
        connect(m_peer, &QTcpSocket::readyRead, this, [this] { m_received += m_peer->readAll(); });
        m_received += m_peer->readAll();
    }

private slots:
    void init() {
        ClearSettings();
        QVERIFY(m_server.listen(QHostAddress::LocalHost));
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", QString::number(m_server.serverPort()));
        m_client = std::make_unique<ControllerFixture>(
            Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        m_client->writeLineFile(FromGbk(kOldFile));
        QVERIFY(m_client->controller->start());
        acceptPeer();
        QCOMPARE(nextReport(), Gbk("计算机信息10.0.0.1; 10.0.0.53;电信;1"));
        QTRY_VERIFY(m_client->controller->serverConnected());
    }

    void cleanup() {
        m_client.reset();
        delete m_peer;
        m_peer = nullptr;
        m_server.close();
        m_received.clear();
    }

    void splitUpdateIsStoredWhole() {
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        const QByteArray message = Gbk("更新") + kNewFile;
        m_peer->write(message.left(9)); // cut inside the first record
        m_peer->flush();
        QTest::qWait(20);
        m_peer->write(message.mid(9));
        m_peer->flush();
        QTRY_COMPARE(reloaded.size(), 1);
        QCOMPARE(m_client->lineFileBytes(), kNewFile);
        QCOMPARE(m_client->controller->lineList().size(), 2);
        QCOMPARE(m_client->controller->currentLineName(), QStringLiteral("电信二"));
        // The line in use got a new name: the Server's row learns it once.
        QCOMPARE(nextReport(), Gbk("计算机信息10.0.0.1; 10.0.0.53;电信二;1"));
        QTest::qWait(100);
        QVERIFY(m_received.isEmpty());
        QCOMPARE(reloaded.size(), 1);
    }

    // Only a new name is told; the Server answers a report with its list, so a report after
    // every update would never end.
    void updateKeepingTheNameIsNotAnswered() {
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        const QByteArray sameName = Gbk("联通;;;10.2.0.1;10.2.0.53;;\r\n") + kOldFile;
        m_peer->write(Gbk("更新") + sameName);
        QTRY_COMPARE(reloaded.size(), 1);
        QTest::qWait(100);
        QVERIFY(m_received.isEmpty());
        // A list that leaves the line in use without a name is told too, once.
        m_peer->write(Gbk("更新") + Gbk("联通;;;10.2.0.1;10.2.0.53;;\r\n"));
        QTRY_COMPARE(reloaded.size(), 2);
        QCOMPARE(nextReport(), Gbk("计算机信息10.0.0.1; 10.0.0.53;;1"));
        m_peer->write(Gbk("更新") + Gbk("联通;;;10.2.0.1;10.2.0.53;;\r\n"));
        QTRY_COMPARE(reloaded.size(), 3);
        QTest::qWait(100);
        QVERIFY(m_received.isEmpty());
    }

    void stalledUpdateKeepsOnlyWholeRecords() {
        // The server stops in the middle of the last record's DNS (10.99.1.15 cut after
        // 10.99.1.1) and says nothing more: the records before it are the list.
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        const QByteArray whole = Gbk("好;;;10.99.0.1;10.99.1.1;;\r\n");
        m_peer->write(Gbk("更新") + whole + Gbk("坏;;;10.99.0.254;10.99.1.1"));
        m_peer->flush();
        QTRY_COMPARE_WITH_TIMEOUT(reloaded.size(), 1, 5000);
        QCOMPARE(m_client->lineFileBytes(), whole);
        QCOMPARE(m_client->controller->lineList().size(), 1);
        QCOMPARE(m_client->controller->lineList().first().name, QStringLiteral("好"));
        QVERIFY(m_client->controller->serverConnected());
    }

    void emptyUpdateLeavesAnEmptyList() {
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        m_peer->write(Gbk("更新"));
        QTRY_COMPARE(reloaded.size(), 1);
        QCOMPARE(m_client->lineFileBytes(), QByteArray("\r\n"));
        QVERIFY(m_client->controller->lineList().isEmpty());
        QCOMPARE(m_client->controller->currentLineName(), QString());
    }

    void mergedUpdateAndSwitchAreBothApplied() {
        // The switch log names who asked, from what line to what line, and the outcome.
        QTest::ignoreMessage(QtInfoMsg,
                             QRegularExpression(QStringLiteral(
                                 "^\\d{4}-\\d\\d-\\d\\dT[\\d:]+ switch by server from 电信二 "
                                 "\\(10\\.0\\.0\\.1, 10\\.0\\.0\\.53\\) to 联通 "
                                 "\\(10\\.2\\.0\\.1, 10\\.2\\.0\\.53\\): done$")));
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        m_peer->write(Gbk("更新") + kNewFile + Gbk("切换10.2.0.1;10.2.0.53;"));
        // The update renames the line in use (told at once), then the switch reports its end.
        QByteArray reports = nextReport();
        if (!reports.endsWith(Gbk("联通;1")))
            reports += nextReport();
        QCOMPARE(reports, Gbk("计算机信息10.0.0.1; 10.0.0.53;电信二;1") +
                              Gbk("计算机信息10.2.0.1; 10.2.0.53;联通;1"));
        QCOMPARE(reloaded.size(), 1);
        QCOMPARE(m_client->lineFileBytes(), kNewFile); // the switch is not part of the file
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        const AdapterSettings applied = m_client->adapter->switchCalls().first();
        QCOMPARE(applied.localIp, QString()); // a commanded switch never touches the address
        QCOMPARE(applied.subnetMask, QString());
        QCOMPARE(applied.gateway, QStringLiteral("10.2.0.1"));
        QCOMPARE(applied.primaryDns, QStringLiteral("10.2.0.53"));
        QCOMPARE(applied.secondaryDns, QString());
    }

    void invalidSwitchIsIgnored_data() {
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("two pieces") << Gbk("切换10.2.0.1;10.2.0.53");
        QTest::newRow("gateway not an address") << Gbk("切换10.2.0.x;10.2.0.53;");
        QTest::newRow("dns not an address") << Gbk("切换10.2.0.1; 10.2.0.53;");
        QTest::newRow("secondary not an address")
            << Gbk("切换10.2.0.1;10.2.0.53;nameserver 6.6.6.6");
        QTest::newRow("empty") << Gbk("切换;;");
        QTest::newRow("garbage") << QByteArray("\x00\xff\x01garbage", 10);
    }

    void invalidSwitchIsIgnored() {
        QFETCH(QByteArray, command);
        m_peer->write(command);
        QTest::qWait(2300); // past the reader's quiet and stall times
        QVERIFY(m_client->adapter->switchCalls().isEmpty());
        QVERIFY(m_received.isEmpty());
        QVERIFY(m_client->controller->serverConnected());
        // The link still works afterwards.
        m_peer->write(Gbk("切换10.2.0.1;10.2.0.53;10.2.0.54"));
        QCOMPARE(nextReport(), Gbk("计算机信息10.2.0.1; 10.2.0.53;;1"));
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QCOMPARE(m_client->adapter->switchCalls().first().secondaryDns,
                 QStringLiteral("10.2.0.54"));
    }

    void switchStormIsCoalesced() {
        // A command every few hundred microseconds while each switch takes 30 ms: the commands
        // that arrive during a switch replace each other, only the latest runs after it, and
        // every switch is followed by exactly one report.
        m_client->adapter->setSwitchDuration(30);
        QSignalSpy finished(m_client->controller.get(), &ClientController::switchFinished);
        QSignalSpy handed(&m_client->controller->link(), &ServerLink::messageReceived);
        constexpr int kCommands = 300;
        for (int i = 0; i < kCommands; ++i) {
            m_peer->write(Gbk("切换") +
                          QStringLiteral("10.2.%1.1;10.2.0.53;10.2.0.54").arg(i % 250).toLatin1());
            m_peer->flush();
            QTest::qWait(i % 10 == 0 ? 1 : 0);
        }
        const QString last = QStringLiteral("10.2.%1.1").arg((kCommands - 1) % 250);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->controller->adapterSnapshot().gateway, last, 10000);
        QTRY_VERIFY(!m_client->controller->switchRunning());
        QCOMPARE(int(handed.size()), kCommands); // every command was read, in slices, none lost
        QCOMPARE(handed.last().first().toByteArray(),
                 Gbk("切换") + last.toLatin1() + ";10.2.0.53;10.2.0.54");
        const int switches = int(m_client->adapter->switchCalls().size());
        qInfo("%d commands, %d switches", kCommands, switches);
        QVERIFY2(switches <= 10, qPrintable(QString::number(switches)));
        QCOMPARE(m_client->adapter->switchCalls().last().gateway, last);
        QCOMPARE(m_client->adapter->overlappingStarts(), 0);
        QCOMPARE(int(finished.size()), switches);
        QTest::qWait(100);
        QCOMPARE(m_received.count(Gbk("计算机信息")), switches);
        QVERIFY(m_received.endsWith(Gbk("计算机信息") + last.toLatin1() + "; 10.2.0.53;;1"));
    }

    // A DHCP renewal or another tool changes the adapter: the labels, the line and the server's
    // row follow, with one report per real change and none for a change the row does not show.
    void outsideChangeIsReportedOnce() {
        QSignalSpy snapshots(m_client->controller.get(), &ClientController::adapterSnapshotChanged);
        m_client->adapter->setParams(
            Params(QStringLiteral("10.2.0.1"), {QStringLiteral("10.2.0.53")}));
        for (int i = 0; i < 3; ++i)
            emit m_client->adapter->settingsChangedOutside(); // a burst: route, address, DNS
        QCOMPARE(nextReport(), Gbk("计算机信息10.2.0.1; 10.2.0.53;;1"));
        QCOMPARE(snapshots.size(), 1);
        QCOMPARE(m_client->controller->adapterSnapshot().gateway, QStringLiteral("10.2.0.1"));
        QVERIFY(m_client->messages.isEmpty());

        // Only the secondary DNS moves: the labels follow, the server's row has nothing new.
        m_client->adapter->setParams(Params(
            QStringLiteral("10.2.0.1"), {QStringLiteral("10.2.0.53"), QStringLiteral("9.9.9.9")}));
        emit m_client->adapter->settingsChangedOutside();
        QTRY_COMPARE(snapshots.size(), 2);
        QTest::qWait(300);
        QVERIFY(m_received.isEmpty());

        // Back on a known line: the name comes back with the values.
        m_client->adapter->setParams(
            Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        emit m_client->adapter->settingsChangedOutside();
        QCOMPARE(nextReport(), Gbk("计算机信息10.0.0.1; 10.0.0.53;电信;1"));
    }

    void oversizedUpdateIsRefused() {
        QSignalSpy reloaded(m_client->controller.get(), &ClientContext::lineListReloaded);
        QByteArray big = Gbk("更新");
        const QByteArray record = Gbk("大;;;10.9.0.1;10.9.0.53;;\r\n");
        while (big.size() <= MessageReader::kClientCap + 1024)
            big += record;
        m_peer->write(big);
        m_peer->flush();
        QTest::qWait(2500);
        QCOMPARE(reloaded.size(), 0);
        QCOMPARE(m_client->lineFileBytes(), kOldFile);
        QCOMPARE(m_client->controller->lineList().size(), 1);
        QVERIFY(m_client->controller->serverConnected());
        // A later update of normal size is taken.
        m_peer->write(Gbk("更新") + kNewFile);
        QTRY_COMPARE(reloaded.size(), 1);
        QCOMPARE(m_client->lineFileBytes(), kNewFile);
    }

    void switchWhileDisconnectedSendsNothing() {
        m_client->controller->link().shutdown();
        QTRY_VERIFY(m_peer->state() != QAbstractSocket::ConnectedState);
        m_client->controller->selectLine(
            {{}, {}, QStringLiteral("10.2.0.1"), QStringLiteral("10.2.0.53"), {}});
        QVERIFY(m_client->switchAndWait());
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QCOMPARE(m_client->controller->adapterSnapshot().gateway, QStringLiteral("10.2.0.1"));
        QVERIFY(!m_client->controller->serverConnected());
    }

    void reconnectsAfterTheServerGoes() {
        m_peer->abort();
        delete m_peer;
        m_peer = nullptr;
        QTRY_VERIFY(!m_client->controller->serverConnected());
        m_received.clear();
        acceptPeer(); // the reconnect timer tries again once a second
        QCOMPARE(nextReport(), Gbk("计算机信息10.0.0.1; 10.0.0.53;电信;1"));
        QVERIFY(m_client->controller->serverConnected());
    }

    void shutdownDropsTheLinkForGood() {
        m_client->controller->shutdown();
        QTRY_COMPARE(m_peer->state(), QAbstractSocket::UnconnectedState);
        QTest::qWait(1500); // past a reconnect tick
        QVERIFY(!m_server.hasPendingConnections());
        QVERIFY(m_received.isEmpty());
    }

    void newSettingsTakeEffectAtOnce() {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost));
        QCOMPARE(
            m_client->controller->applyServerSettings(
                {QStringLiteral("127.0.0.1"), QString::number(other.serverPort()), false, true}),
            ServerSettingsCheck::Ok);
        QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingConnections(), 5000);
        QTRY_VERIFY(m_client->controller->serverConnected());
        QTRY_COMPARE(m_peer->state(), QAbstractSocket::UnconnectedState); // the old link is gone
    }

    void unusableStoredPortWaitsForNewSettings() {
        // A port text no connection can use (a hand-edited store): no attempt, no crash; the
        // reconnect timer keeps waiting until the settings window stores a usable one.
        SetSetting("FwqDk", QStringLiteral("port"));
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.controller->start());
        QTest::qWait(1300); // past a reconnect tick
        QCOMPARE(client.connectAttempts, 0);
        QVERIFY(!client.controller->serverConnected());
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost));
        QCOMPARE(
            client.controller->applyServerSettings(
                {QStringLiteral("127.0.0.1"), QString::number(other.serverPort()), false, true}),
            ServerSettingsCheck::Ok);
        QTRY_VERIFY_WITH_TIMEOUT(other.hasPendingConnections(), 5000);
        QTRY_VERIFY(client.controller->serverConnected());
    }
};

QTEST_GUILESS_MAIN(TestClientLink)
#include "test_clientlink.moc"
