#include "tests/client/controllerfixture.h"

#include "common/linehealth.h"
#include "common/securesession.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace torvane;
using namespace torvane::client;
using SecureFrame::Type;

namespace {
QByteArray Gbk(const char* utf8) {
    return ToGbk(QString::fromUtf8(utf8));
}
const QString kTypedKey = QStringLiteral("site key of the test bed");
const QByteArray kLineFile = Gbk("电信;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n"
                                 "联通;;;10.2.0.1;10.2.0.53;;\r\n"
                                 "移动;;;10.3.0.1;10.3.0.53;;\r\n");
// One second of the settings lasts this long here: the default check after a switch (8 s) takes
// 400 ms, the default health interval (5 s) 250 ms.
constexpr int kSecondMs = 50;

ProbeResult DeadGateway() {
    return ProbeResult{false, true, 5, QString()};
}
} // namespace

// The line checks of a Client with a site key, against a local peer that plays the Server's
// secure port: health reports at the interval, and the check after a switch that keeps a
// working line and undoes a switch to a dead one.
class TestLineCheck : public QObject {
    Q_OBJECT

    QTcpServer m_legacy;
    QTcpServer m_secure;
    std::unique_ptr<ControllerFixture> m_client;
    QTcpSocket* m_peer = nullptr;
    std::unique_ptr<SecureSession> m_session;
    QList<SecureSession::Message> m_frames;

    void startClient(bool withKey = true) {
        if (withKey)
            SetSetting("SiteKey", SiteKeyToStored(SiteKeyFromText(kTypedKey)));
        m_client = std::make_unique<ControllerFixture>(
            Params(QStringLiteral("10.0.0.1"),
                   {QStringLiteral("10.0.0.53"), QStringLiteral("10.0.0.54")}),
            false, 0, QString(),
            [](ClientControllerOptions& options) { options.lineCheckSecondMs = kSecondMs; });
        m_client->writeLineFile(FromGbk(kLineFile));
        QVERIFY(m_client->controller->start());
        if (withKey)
            acceptPeer();
    }

    // Takes the Client's next connection on the secure port and answers as the Server does.
    void acceptPeer() {
        QTRY_VERIFY_WITH_TIMEOUT(m_secure.hasPendingConnections(), 5000);
        delete m_peer;
        m_peer = m_secure.nextPendingConnection();
        m_session = std::make_unique<SecureSession>(SecureSession::Role::Server,
                                                    SiteKeyFromText(kTypedKey));
        const auto read = [this] {
            const auto result = m_session->receive(m_peer->readAll());
            m_peer->write(result.toSend);
            m_frames += result.messages;
        };
        connect(m_peer, &QTcpSocket::readyRead, this, read);
        read();
        QTRY_VERIFY_WITH_TIMEOUT(m_client->controller->link().isAuthenticated(), 5000);
        // The link's first health report, then a clean record of probes.
        QTRY_VERIFY_WITH_TIMEOUT(!framesOf(Type::HealthReport).isEmpty(), 5000);
        m_client->prober->clearCalls();
    }

    QList<QByteArray> framesOf(Type type) const {
        QList<QByteArray> bodies;
        for (const auto& frame : m_frames) {
            if (frame.type == type)
                bodies.append(frame.body);
        }
        return bodies;
    }

    int probesOf(const QString& gateway) const {
        int count = 0;
        for (const auto& call : m_client->prober->calls())
            count += call.first == gateway;
        return count;
    }

    void commandSwitch(const char* command) {
        m_peer->write(m_session->seal(Type::SwitchCommand, Gbk(command)));
    }

    void pickAndSwitch(int line) {
        m_client->controller->pickLine(line);
        m_client->controller->runSwitch();
    }

private slots:
    void init() {
        ClearSettings();
        for (quint16 port = 43000; port < 44000; port += 2) {
            if (m_legacy.listen(QHostAddress::LocalHost, port) &&
                m_secure.listen(QHostAddress::LocalHost, port + 1))
                break;
            m_legacy.close();
        }
        QVERIFY(m_secure.isListening());
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", QString::number(m_legacy.serverPort()));
    }

    void cleanup() {
        m_client.reset();
        delete m_peer;
        m_peer = nullptr;
        m_legacy.close();
        m_secure.close();
        m_frames.clear();
    }

    void settingsAreBoundedWithDefaults() {
        QCOMPARE(ClientSettings::HealthIntervalSeconds(), 5);
        QCOMPARE(ClientSettings::RollbackSeconds(), 8);
        QCOMPARE(ClientSettings::HealthProbeName(), QStringLiteral("www.baidu.com"));
        SetSetting("HealthInterval", QStringLiteral("1"));
        SetSetting("RollbackSeconds", QStringLiteral("99999999999999999999"));
        SetSetting("HealthProbeName", QStringLiteral("bad..name"));
        QCOMPARE(ClientSettings::HealthIntervalSeconds(), 2);
        QCOMPARE(ClientSettings::RollbackSeconds(), 60);
        QCOMPARE(ClientSettings::HealthProbeName(), QStringLiteral("www.baidu.com"));
        SetSetting("HealthInterval", QStringLiteral("-7"));
        SetSetting("RollbackSeconds", QStringLiteral(" 12 "));
        SetSetting("HealthProbeName", QStringLiteral("probe.example.cn"));
        QCOMPARE(ClientSettings::HealthIntervalSeconds(), 5);
        QCOMPARE(ClientSettings::RollbackSeconds(), 12);
        QCOMPARE(ClientSettings::HealthProbeName(), QStringLiteral("probe.example.cn"));
        // 0 is "off", not the nearest bound; 1 still is.
        SetSetting("RollbackSeconds", QStringLiteral("0"));
        QCOMPARE(ClientSettings::RollbackSeconds(), 0);
        SetSetting("RollbackSeconds", QStringLiteral("1"));
        QCOMPARE(ClientSettings::RollbackSeconds(), 3);
    }

    void withoutAKeyNothingIsProbedOrUndone() {
        startClient(false);
        QTRY_VERIFY_WITH_TIMEOUT(m_legacy.hasPendingConnections(), 5000);
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        pickAndSwitch(1);
        QTest::qWait(12 * kSecondMs);
        QVERIFY(m_client->prober->calls().isEmpty());
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QVERIFY(!m_secure.hasPendingConnections());
    }

    void withTheCheckOffADeadLineIsKept() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        SetSetting("RollbackSeconds", QStringLiteral("0"));
        startClient();
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        pickAndSwitch(1);
        QTest::qWait(12 * kSecondMs);
        QCOMPARE(probesOf(QStringLiteral("10.2.0.1")), 0);
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QVERIFY(framesOf(Type::RollbackReport).isEmpty());
    }

    void healthIsReportedAtTheIntervalOneProbeAtATime() {
        SetSetting("HealthInterval", QStringLiteral("2"));
        SetSetting("HealthProbeName", QStringLiteral("probe.example.cn"));
        startClient();
        m_client->prober->setResult(QStringLiteral("10.0.0.1"), ProbeResult{true, false, 2000, {}});
        // The first report came at once; more follow, one every interval (100 ms here).
        m_frames.clear();
        QTRY_VERIFY_WITH_TIMEOUT(framesOf(Type::HealthReport).size() >= 3, 2000);
        const auto last = DecodeHealthReport(framesOf(Type::HealthReport).constLast());
        QVERIFY(last);
        QCOMPARE(*last, (HealthReport{QStringLiteral("电信"), QStringLiteral("10.0.0.1"),
                                      QStringLiteral("10.0.0.53"), true, false, 2000}));
        QCOMPARE(m_client->prober->probeName(), QStringLiteral("probe.example.cn"));
        QCOMPARE(m_client->prober->calls().constLast(),
                 qMakePair(QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53")));
        // Not faster than the interval: three more reports take two intervals at least (less the
        // few percent a coarse timer may fire early).
        QElapsedTimer clock;
        clock.start();
        const qsizetype before = framesOf(Type::HealthReport).size();
        QTRY_VERIFY_WITH_TIMEOUT(framesOf(Type::HealthReport).size() >= before + 3, 2000);
        QVERIFY(clock.elapsed() >= 2 * 2 * kSecondMs * 9 / 10);

        // A probe slower than the interval is waited for, never doubled.
        m_client->prober->setDelayMs(5 * kSecondMs);
        QTest::qWait(20 * kSecondMs);
        QCOMPARE(m_client->prober->overlapping(), 0);

        // The link gone, the probes stop.
        delete m_peer;
        m_peer = nullptr;
        QTRY_VERIFY(!m_client->controller->serverConnected());
        QTest::qWait(6 * kSecondMs);
        const qsizetype probes = m_client->prober->calls().size();
        QTest::qWait(10 * kSecondMs);
        QCOMPARE(m_client->prober->calls().size(), probes);
    }

    void aWorkingNewLineIsKept() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        QSignalSpy failed(m_client->controller.get(), &ClientController::switchFailed);
        pickAndSwitch(1);
        QTRY_COMPARE(probesOf(QStringLiteral("10.2.0.1")), 1);
        QTest::qWait(12 * kSecondMs);
        // One healthy probe settles it: no more probes of the check, nothing undone.
        QCOMPARE(probesOf(QStringLiteral("10.2.0.1")), 1);
        QCOMPARE(m_client->adapter->switchCalls().size(), 1);
        QVERIFY(framesOf(Type::RollbackReport).isEmpty());
        QVERIFY(failed.isEmpty());
        QCOMPARE(m_client->controller->currentLineName(), QStringLiteral("联通"));
    }

    void aDeadNewLineIsUndoneWithItsAddressAndReported() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        QSignalSpy failed(m_client->controller.get(), &ClientController::switchFailed);
        QSignalSpy balloons(m_client->controller.get(), &ClientController::balloonRequested);
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        // The user's switch moves the address too; undoing it puts the old one back.
        m_client->controller->selectLine(
            SelectedLine{QStringLiteral("10.2.0.7"), QStringLiteral("255.255.0.0"),
                         QStringLiteral("10.2.0.1"), QStringLiteral("10.2.0.53"), QString()});
        QElapsedTimer clock;
        clock.start();
        m_client->controller->runSwitch();
        QTRY_COMPARE_WITH_TIMEOUT(m_client->adapter->switchCalls().size(), 2, 3000);
        // Not before the time allowed, with a probe about every second of it.
        QVERIFY(clock.elapsed() >= 8 * kSecondMs * 9 / 10);
        QVERIFY(probesOf(QStringLiteral("10.2.0.1")) >= 4);
        QCOMPARE(m_client->adapter->switchCalls().at(1),
                 (AdapterSettings{QStringLiteral("10.0.0.7"), QStringLiteral("255.255.255.0"),
                                  QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"),
                                  QStringLiteral("10.0.0.54")}));
        QTRY_VERIFY(!framesOf(Type::RollbackReport).isEmpty());
        const auto report = DecodeRollbackReport(framesOf(Type::RollbackReport).first());
        QVERIFY(report);
        QCOMPARE(*report, (RollbackReport{QStringLiteral("联通"), QStringLiteral("电信"),
                                          QStringLiteral("网关 10.2.0.1 不通")}));
        // The restored line is reported the usual way, and the user is told in plain words.
        QTRY_COMPARE(framesOf(Type::Report).constLast(),
                     Gbk("计算机信息10.0.0.1; 10.0.0.53;电信;1"));
        QTRY_COMPARE(failed.size(), 1);
        const QString notice = failed.first().first().toString();
        QVERIFY2(notice.contains(QStringLiteral("联通")) &&
                     notice.contains(QStringLiteral("电信")) &&
                     notice.contains(QStringLiteral("网关 10.2.0.1 不通")),
                 qPrintable(notice));
        QCOMPARE(balloons.size(), 1);
        QCOMPARE(balloons.first().at(1).toString(), notice);
        QCOMPARE(m_client->controller->currentLineName(), QStringLiteral("电信"));
    }

    void aWayBackThatFailsIsReportedSo() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        pickAndSwitch(1);
        QTRY_COMPARE(m_client->controller->currentLineName(), QStringLiteral("联通"));
        // The check is running; the way back will be refused.
        m_client->adapter->setFailure(QStringLiteral("route refused"), SwitchFailure::RouteRefused);
        QTRY_COMPARE_WITH_TIMEOUT(framesOf(Type::RollbackReport).size(), 1, 3000);
        const auto report = DecodeRollbackReport(framesOf(Type::RollbackReport).first());
        QVERIFY(report);
        QVERIFY2(report->reason.startsWith(QStringLiteral("网关 10.2.0.1 不通；恢复失败：")),
                 qPrintable(report->reason));
    }

    void aServerSwitchIsCheckedButTheRollbackNeverIs() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        // Both lines dead: the way back is taken once and not questioned.
        m_client->prober->setResult(QStringLiteral("10.3.0.1"),
                                    ProbeResult{true, false, 2000, QString()});
        m_client->prober->setResult(QStringLiteral("10.0.0.1"), DeadGateway());
        commandSwitch("切换10.3.0.1;10.3.0.53;");
        QTRY_COMPARE_WITH_TIMEOUT(m_client->adapter->switchCalls().size(), 2, 3000);
        QCOMPARE(m_client->adapter->switchCalls().at(1).gateway, QStringLiteral("10.0.0.1"));
        QVERIFY(m_client->adapter->switchCalls().at(1).localIp.isEmpty());
        QTest::qWait(20 * kSecondMs);
        QCOMPARE(m_client->adapter->switchCalls().size(), 2);
        QCOMPARE(probesOf(QStringLiteral("10.0.0.1")), 0);
        QCOMPARE(framesOf(Type::RollbackReport).size(), 1);
        QCOMPARE(DecodeRollbackReport(framesOf(Type::RollbackReport).first())->reason,
                 QStringLiteral("DNS 10.3.0.53 无法解析 www.baidu.com"));
    }

    void aRollbackWithoutALinkIsReportedOnTheNextOne() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        // The link is down when the check ends.
        m_peer->abort();
        QTRY_VERIFY_WITH_TIMEOUT(!m_client->controller->serverConnected(), 5000);
        pickAndSwitch(1);
        QTRY_COMPARE_WITH_TIMEOUT(m_client->adapter->switchCalls().size(), 2, 3000);
        m_frames.clear();
        acceptPeer();
        QTRY_COMPARE(framesOf(Type::RollbackReport).size(), 1);
        QCOMPARE(DecodeRollbackReport(framesOf(Type::RollbackReport).first())->from,
                 QStringLiteral("联通"));
        // Told once only.
        m_peer->abort();
        QTRY_VERIFY_WITH_TIMEOUT(!m_client->controller->serverConnected(), 5000);
        m_frames.clear();
        acceptPeer();
        QVERIFY(framesOf(Type::RollbackReport).isEmpty());
    }

    void aNewSwitchDuringTheCheckCancelsIt() {
        SetSetting("HealthInterval", QStringLiteral("60"));
        startClient();
        m_client->prober->setResult(QStringLiteral("10.2.0.1"), DeadGateway());
        pickAndSwitch(1);
        QTRY_VERIFY(probesOf(QStringLiteral("10.2.0.1")) >= 2);
        // Halfway through the check of 联通 the server moves the workstation to 移动, which works.
        commandSwitch("切换10.3.0.1;10.3.0.53;");
        QTRY_COMPARE(probesOf(QStringLiteral("10.3.0.1")), 1);
        QTest::qWait(16 * kSecondMs);
        QCOMPARE(m_client->adapter->switchCalls().size(), 2);
        QCOMPARE(m_client->adapter->switchCalls().at(1).gateway, QStringLiteral("10.3.0.1"));
        QVERIFY(framesOf(Type::RollbackReport).isEmpty());
        QCOMPARE(m_client->controller->currentLineName(), QStringLiteral("移动"));
        QCOMPARE(m_client->prober->overlapping(), 0);
    }
};

QTEST_GUILESS_MAIN(TestLineCheck)
#include "test_linecheck.moc"
