// Line health as the workstations measure it: results filed per line, the failing rule, results
// that go stale or leave; the automatic move of a failing line's workstations to its backup.
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "server/auditlog.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/linefailover.h"
#include "server/linehealthmonitor.h"
#include "server/lineloadmodel.h"
#include "server/linetablecontroller.h"
#include "server/linetablemodel.h"
#include "server/servercontroller.h"
#include "server/serversettings.h"
#include "server/switchtracker.h"
#include "tests/server/serversettingsfixture.h"

#include <QFile>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::server::testing;
using ClientId = ConnectionHub::ClientId;

namespace {

const QString kA = QStringLiteral("电信");
const QString kB = QStringLiteral("联通");
const QString kC = QStringLiteral("移动");

HealthReport OnA(bool gatewayOk, bool dnsOk, int dnsMs = 20) {
    return {kA, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"), gatewayOk, dnsOk, dnsMs};
}
HealthReport OnB(bool ok, int dnsMs = 20) {
    return {kB, QStringLiteral("10.2.0.1"), QStringLiteral("10.2.0.53"), ok, ok, dnsMs};
}

HealthReport OnC() {
    return {kC, QStringLiteral("10.3.0.1"), QStringLiteral("10.3.0.53"), true, true, 9};
}

struct Peer {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    ClientId id = 0;
    QByteArray received;
};

} // namespace

class TestLineHealth : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerController> m_server;
    std::unique_ptr<LineTableController> m_lines;
    std::unique_ptr<LineLoadModel> m_load;
    std::unique_ptr<LineHealthMonitor> m_health;
    std::unique_ptr<LineFailover> m_failover;
    std::vector<std::unique_ptr<Peer>> m_peers;
    qint64 m_now = 0;

    // Workstations of the old kind on line A: their rows are what a failover moves; their
    // health results are given to the monitor directly.
    QList<Peer*> peersOnA(int n) {
        QList<Peer*> peers;
        QSignalSpy reported(m_server->hub(), &ConnectionHub::clientReported);
        for (int i = 0; i < n; ++i) {
            auto peer = std::make_unique<Peer>();
            Peer* raw = peer.get();
            QSignalSpy connected(m_server->hub(), &ConnectionHub::clientConnected);
            QObject::connect(raw->socket.get(), &QTcpSocket::readyRead, raw->socket.get(),
                             [raw] { raw->received += raw->socket->readAll(); });
            raw->socket->connectToHost(QHostAddress::LocalHost, m_server->hub()->listeningPort());
            if ((!connected.isEmpty() || connected.wait(5000)) &&
                raw->socket->waitForConnected(5000))
                raw->id = connected.at(0).at(0).value<ClientId>();
            raw->socket->write(Protocol::ComposeReport(
                QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"), kA, QStringLiteral("0")));
            peers.append(raw);
            m_peers.push_back(std::move(peer));
        }
        [&] { QTRY_COMPARE(reported.size(), n); }();
        m_server->clientModel()->flush();
        return peers;
    }

    QStringList auditLines() {
        m_server->auditLog()->flush();
        QFile file(m_server->auditLog()->path());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    void at(qint64 ms) {
        m_now = ms;
        m_failover->check();
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        ClearRegStore(RegRoot::CurrentUser, kSettingsKey);
        SetSetting("FwqDk", QString::number(FreePort()));
        const QString lineFile = LineFilePath(m_dir->path());
        m_server = std::make_unique<ServerController>(lineFile);
        m_server->start();
        QVERIFY(m_server->lastListenSucceeded());
        m_lines = std::make_unique<LineTableController>(lineFile, m_server->hub());
        m_lines->load();
        m_lines->model()->setRows({LineEntry{kA, {}, {}, "10.0.0.1", "10.0.0.53", ""},
                                   LineEntry{kB, {}, {}, "10.2.0.1", "10.2.0.53", "10.2.0.54"},
                                   LineEntry{kC, {}, {}, "10.3.0.1", "10.3.0.53", ""}});
        m_lines->rebuildLineMenu();
        ClientListModel* clients = m_server->clientModel();
        m_lines->setSwitchTracker(m_server->switchTracker(), [clients](ClientId id) {
            return clients->lineNameAt(clients->rowOf(id));
        });
        m_now = 0;
        m_health = std::make_unique<LineHealthMonitor>(m_lines.get());
        m_health->setClock([this] { return m_now; });
        m_load = std::make_unique<LineLoadModel>(m_lines.get(), clients);
        m_failover = std::make_unique<LineFailover>(
            m_health.get(), m_lines.get(),
            [this](int entry) { return m_load->clientsOnLine(entry); }, m_server->auditLog());
        m_failover->setClock([this] { return m_now; });
        m_load->setHealth(m_health.get(), m_failover.get());
    }
    void cleanup() {
        m_peers.clear();
        m_load.reset();
        m_failover.reset();
        m_health.reset();
        m_lines.reset();
        m_server.reset();
        m_dir.reset();
    }

    // A result belongs to the line with its gateway and primary DNS, whatever the workstation
    // calls it; the median is over the queries that succeeded.
    void resultsAreFiledByGatewayAndDns() {
        m_health->record(1, OnA(true, true, 30));
        m_health->record(2, OnA(true, true, 10));
        m_health->record(3, OnA(false, true, 20));
        m_health->record(4, OnA(true, false, 5000)); // the wait of a failed query: not a time
        m_health->record(5, {QStringLiteral("别名"), QStringLiteral(" 10.2.0.1 "),
                             QStringLiteral("10.2.0.53 "), true, true, 40});
        m_health->record(6, {kA, QStringLiteral("10.0.0.1"), QStringLiteral("8.8.8.8"), true, true,
                             7}); // A's gateway, another DNS: no line
        QList<LineHealthSummary> all = m_health->summaries();
        QCOMPARE(all.size(), 4);
        QCOMPARE(all[0], (LineHealthSummary{4, 2, 20}));
        QCOMPARE(all[1], (LineHealthSummary{1, 1, 40}));
        QCOMPARE(all[2], (LineHealthSummary{}));
        QCOMPARE(all[3], (LineHealthSummary{1, 1, 7}));
        QCOMPARE(m_health->summaryOf(0).healthyPercent(), 50);

        // Even count: the middle two averaged; none succeeded: no time.
        m_health->record(5, OnA(true, true, 15)); // moved to A: counted there only
        all = m_health->summaries();
        QCOMPARE(all[0], (LineHealthSummary{5, 3, 18}));
        QCOMPARE(all[1].reporting, 0);
        m_health->record(7, OnB(false));
        QCOMPARE(m_health->summaryOf(1), (LineHealthSummary{1, 0, -1}));

        // The table changes under the results: A's DNS is another now, its results match nothing.
        m_lines->model()->setRows({LineEntry{kA, {}, {}, "10.0.0.1", "10.0.0.99", ""},
                                   LineEntry{kB, {}, {}, "10.2.0.1", "10.2.0.53", ""}});
        m_lines->rebuildLineMenu();
        all = m_health->summaries();
        QCOMPARE(all.size(), 3);
        QCOMPARE(all[0].reporting, 0);
        QCOMPARE(all[2].reporting, 6);
    }

    // Failing: more than half of the reporting workstations see the gateway or the DNS fail; it
    // turns with the result that tips it, and the per-line view says so.
    void failingIsMostWorkstationsAtOnce() {
        QSignalSpy turns(m_health.get(), &LineHealthMonitor::lineFailingChanged);
        m_health->record(1, OnA(true, true));
        m_health->record(2, OnA(true, true));
        m_health->record(3, OnA(false, true));
        m_health->record(4, OnA(true, false));
        QVERIFY(!m_health->isFailing(0)); // exactly half
        QVERIFY(turns.isEmpty());
        m_health->record(5, OnA(false, false));
        QVERIFY(m_health->isFailing(0));
        QCOMPARE(turns.size(), 1);
        QCOMPARE(turns.at(0), (QVariantList{0, true}));
        m_health->record(5, OnA(false, false)); // the same again: no turn
        QCOMPARE(turns.size(), 1);
        m_health->record(6, OnB(true));

        m_load->recount();
        QCOMPARE(m_load->index(0, LineLoadModel::StateColumn).data().toString(),
                 QStringLiteral("故障"));
        QCOMPARE(m_load->index(0, LineLoadModel::ReportingColumn).data().toInt(), 5);
        QCOMPARE(m_load->index(0, LineLoadModel::HealthyColumn).data().toString(),
                 QStringLiteral("40%"));
        QCOMPARE(m_load->index(0, 0).data(LineLoadModel::LineStateRole).toInt(),
                 int(LineLoadModel::LineState::Failing));
        QCOMPARE(m_load->index(1, LineLoadModel::StateColumn).data().toString(),
                 QStringLiteral("正常"));
        QCOMPARE(m_load->index(2, LineLoadModel::StateColumn).data().toString(), QString());
        QCOMPARE(m_load->index(2, 0).data(LineLoadModel::LineStateRole).toInt(),
                 int(LineLoadModel::LineState::Unknown));

        // A failing workstation that recovers tips it back.
        m_health->record(5, OnA(true, true));
        QVERIFY(!m_health->isFailing(0));
        QCOMPARE(turns.size(), 2);
        QTRY_COMPARE(m_load->stateTextOf(0), QStringLiteral("正常"));
    }

    // A result lasts for the stale time unless a newer one replaces it; a departure takes it
    // at once.
    void resultsGoWhenStaleOrGone() {
        m_health->setStaleAfter(15000);
        m_health->record(1, OnA(false, false));
        m_now = 10000;
        m_health->record(2, OnA(false, false));
        m_now = 14999;
        m_health->expire();
        QCOMPARE(m_health->reportingCount(0), 2);
        m_now = 15000;
        m_health->expire();
        QCOMPARE(m_health->reportingCount(0), 1);
        QVERIFY(m_health->isFailing(0));
        m_health->record(2, OnA(false, false)); // renewed at 15000
        m_now = 29999;
        m_health->expire();
        QCOMPARE(m_health->reportingCount(0), 1);
        m_health->forget(2);
        QCOMPARE(m_health->resultCount(), 0);
        QVERIFY(!m_health->isFailing(0));
        m_health->forget(2); // twice: nothing
        m_health->record(3, OnB(true));
        m_health->forgetAll();
        QCOMPARE(m_health->summaryOf(1).reporting, 0);
    }

    // The backup is a per-line setting; after the failover time of failing the line's
    // workstations get the backup's command, once, logged and shown; nothing moves them back.
    void failoverMovesOnceAfterTheSetTime() {
        QCOMPARE(m_failover->backupOf(kA), QString()); // off by default
        m_failover->setBackup(kA, kB);
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, QStringLiteral("Failover/电信")),
                 kB);
        m_failover->setFailoverAfter(30000);
        QSignalSpy moves(m_failover.get(), &LineFailover::failedOver);
        const QList<Peer*> p = peersOnA(3);
        for (Peer* peer : p)
            m_health->record(peer->id, OnA(false, true));
        m_health->record(99, OnC());

        at(29999);
        QTest::qWait(50);
        QVERIFY(moves.isEmpty());
        QVERIFY(p[0]->received.isEmpty());
        at(30000);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0), (QVariantList{kA, kB, 3, 30}));
        for (Peer* peer : p)
            QTRY_COMPARE(peer->received, ToGbk(QStringLiteral("切换10.2.0.1;10.2.0.53;10.2.0.54")));
        QCOMPARE(m_server->switchTracker()->summary().pending, 3);
        QCOMPARE(m_failover->stateText(0), QStringLiteral("故障，已切换到 联通"));
        const QStringList log = auditLines().filter(QStringLiteral("自动切换"));
        QCOMPARE(log.size(), 1);
        QCOMPARE(
            log[0].section(QLatin1Char('\t'), 2),
            QStringLiteral("电信\t联通\t自动切换：线路 电信 已故障 30 秒，3 台机子切换到 联通"));

        // Still failing later: no second move in this episode.
        for (Peer* peer : p)
            m_health->record(peer->id, OnA(false, false));
        at(120000);
        QCOMPARE(moves.size(), 1);
        // The workstations report from B now; A has no results left and keeps its last word.
        for (Peer* peer : p)
            m_health->record(peer->id, OnB(true));
        at(121000);
        QCOMPARE(m_failover->stateText(0), QStringLiteral("故障，已切换到 联通"));
        QCOMPARE(m_failover->stateText(1), QStringLiteral("正常"));
        // A works again: the episode ends, and nobody is sent back.
        for (Peer* peer : p)
            peer->received.clear();
        m_health->record(99, OnA(true, true));
        at(200000);
        QCOMPARE(m_failover->stateText(0), QStringLiteral("正常"));
        QTest::qWait(100);
        for (Peer* peer : p)
            QVERIFY(peer->received.isEmpty());
        QCOMPARE(moves.size(), 1);

        // A line without a backup only fails.
        m_health->record(
            98, {kC, QStringLiteral("10.3.0.1"), QStringLiteral("10.3.0.53"), false, false, 0});
        at(400000);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(m_failover->stateText(2), QStringLiteral("故障"));

        // The choice is kept in the store and read again by the next Server.
        LineFailover again(m_health.get(), m_lines.get(), {});
        QCOMPARE(again.backupOf(kA), kB);
        m_failover->setBackup(kA, QString());
        LineFailover off(m_health.get(), m_lines.get(), {});
        QCOMPARE(off.backupOf(kA), QString());
    }

    // A backup that fails too is not used (said once); it is used when it recovers while the
    // line still fails. The failing time counts without a break.
    void failingBackupIsNotUsed() {
        m_failover->setBackup(kA, kB);
        m_failover->setFailoverAfter(30000);
        QSignalSpy moves(m_failover.get(), &LineFailover::failedOver);
        const QList<Peer*> p = peersOnA(2);
        m_health->record(p[0]->id, OnA(false, false));
        m_health->record(p[1]->id, OnA(false, false));
        m_health->record(50, OnB(false));
        at(30000);
        at(40000);
        QVERIFY(moves.isEmpty());
        const QStringList refused = auditLines().filter(QStringLiteral("未自动切换"));
        QCOMPARE(refused.size(), 1);
        QVERIFY2(refused[0].contains(QStringLiteral("备用线路 联通 也在故障")),
                 qPrintable(refused[0]));

        m_now = 41000;
        m_health->record(50, OnB(true)); // every result is looked at as it arrives
        QTest::qWait(10);
        QCOMPARE(moves.size(), 1);
        QCOMPARE(moves.at(0).at(2).toInt(), 2);
        QCOMPARE(moves.at(0).at(3).toInt(), 41);

        // A line that stops failing before its time is not moved; the count starts again.
        m_failover->setBackup(kC, kB);
        const HealthReport broken{
            kC, QStringLiteral("10.3.0.1"), QStringLiteral("10.3.0.53"), false, true, 0};
        m_now = 100000;
        m_health->record(60, broken);
        m_now = 120000;
        m_health->record(
            60, {kC, QStringLiteral("10.3.0.1"), QStringLiteral("10.3.0.53"), true, true, 5});
        m_now = 140000;
        m_health->record(60, broken);
        at(169999);
        QCOMPARE(moves.size(), 1);
        at(170000);
        QCOMPARE(moves.size(), 2);
        QCOMPARE(moves.at(1).at(3).toInt(), 30);
    }

    // Line names go into the store's key with the characters it would read as levels escaped.
    void backupKeysKeepAnyName() {
        QCOMPARE(ServerSettings::BackupKey(QStringLiteral("a/b\\c%d")),
                 QStringLiteral("Failover/a%2Fb%5Cc%25d"));
        QVERIFY(ServerSettings::SetBackupLine(QStringLiteral("a/b"), kB));
        QCOMPARE(ServerSettings::BackupLineOf(QStringLiteral("a/b")), kB);
        QCOMPARE(ServerSettings::BackupLineOf(QStringLiteral("a")), QString());
        SetSetting("FailoverSeconds", QStringLiteral("x"));
        QCOMPARE(ServerSettings::FailoverSeconds(), 30);
        SetSetting("FailoverSeconds", QStringLiteral("45"));
        QCOMPARE(ServerSettings::FailoverSeconds(), 45);
        QCOMPARE(ServerSettings::HealthStaleSeconds(), 15);
    }
};

QTEST_GUILESS_MAIN(TestLineHealth)
#include "test_linefailover.moc"
