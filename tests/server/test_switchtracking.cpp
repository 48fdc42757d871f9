// Switch commands followed to their confirmation: the tracker's states and summary, resending,
// the audit log, and the workstations counted per line.
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "server/auditlog.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/lineloadmodel.h"
#include "server/linetablecontroller.h"
#include "server/linetablemodel.h"
#include "server/servercontroller.h"
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

struct Peer {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    ClientId id = 0;
    QByteArray received;

    void report(const char* gateway, const char* dns, const QString& name) {
        socket->write(Protocol::ComposeReport(QString::fromLatin1(gateway),
                                              QString::fromLatin1(dns), name, QStringLiteral("0")));
        socket->flush();
    }
};

const QString kA = QStringLiteral("电信");
const QString kB = QStringLiteral("联通");

} // namespace

class TestSwitchTracking : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerController> m_server;
    std::unique_ptr<LineTableController> m_lines;
    std::vector<std::unique_ptr<Peer>> m_peers;

    Peer& connectPeer() {
        auto peer = std::make_unique<Peer>();
        Peer* raw = peer.get();
        QSignalSpy connected(m_server->hub(), &ConnectionHub::clientConnected);
        QObject::connect(raw->socket.get(), &QTcpSocket::readyRead, raw->socket.get(),
                         [raw] { raw->received += raw->socket->readAll(); });
        raw->socket->connectToHost(QHostAddress::LocalHost, m_server->hub()->listeningPort());
        // Both ends must be connected before the peer writes: on Windows the client side may
        // still be connecting when the Server has accepted.
        if ((!connected.isEmpty() || connected.wait(5000)) && raw->socket->waitForConnected(5000))
            raw->id = connected.at(0).at(0).value<ClientId>();
        m_peers.push_back(std::move(peer));
        return *raw;
    }

    // Four workstations reporting line A.
    QList<Peer*> peersOnA(int n) {
        QList<Peer*> peers;
        QSignalSpy reported(m_server->hub(), &ConnectionHub::clientReported);
        for (int i = 0; i < n; ++i) {
            Peer& peer = connectPeer();
            peer.report("10.0.0.1", "10.0.0.53", kA);
            peers.append(&peer);
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
                                   LineEntry{kB, {}, {}, "10.2.0.1", "10.2.0.53", "10.2.0.54"}});
        m_lines->rebuildLineMenu();
        ClientListModel* clients = m_server->clientModel();
        m_lines->setSwitchTracker(m_server->switchTracker(), [clients](ClientId id) {
            return clients->lineNameAt(clients->rowOf(id));
        });
        m_server->switchTracker()->setConfirmTimeout(400);
    }
    void cleanup() {
        m_peers.clear();
        m_lines.reset();
        m_server.reset();
        m_dir.reset();
    }

    // One bulk command, four endings: a matching report, a report with other values, silence,
    // a connection that ends. Each ends once, in the summary and in the audit log.
    void eachCommandEndsConfirmedOrFailed() {
        SwitchTracker* tracker = m_server->switchTracker();
        const QList<Peer*> p = peersOnA(4);
        QCOMPARE(m_lines->switchClients(1, {p[0]->id, p[1]->id, p[2]->id, p[3]->id}), 4);
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{4, 0, 0}));
        QCOMPARE(tracker->stateOf(p[0]->id), SwitchState::Pending);
        QTRY_COMPARE(p[0]->received, ToGbk(QStringLiteral("切换10.2.0.1;10.2.0.53;10.2.0.54")));

        p[0]->report("10.2.0.1", "10.2.0.53", kB);
        p[1]->report("10.0.0.1", "10.0.0.53", kA); // still on A: stays pending
        p[3]->socket->disconnectFromHost();
        QTRY_COMPARE(tracker->stateOf(p[0]->id), SwitchState::Confirmed);
        QTRY_COMPARE(tracker->stateOf(p[3]->id), SwitchState::Failed);
        QCOMPARE(tracker->stateOf(p[1]->id), SwitchState::Pending);
        QTRY_COMPARE(tracker->summary(), (SwitchTracker::Summary{0, 1, 3}));
        QCOMPARE(tracker->failedIds(), (QList<ClientId>{p[1]->id, p[2]->id, p[3]->id}));
        QCOMPARE(SwitchTracker::SummaryText(tracker->summary()),
                 QStringLiteral("切换中 0 台，已完成 1 台，失败 3 台"));
        // A later matching report does not revive a failed command.
        p[2]->report("10.2.0.1", "10.2.0.53", kB);
        QTest::qWait(50);
        QCOMPARE(tracker->stateOf(p[2]->id), SwitchState::Failed);

        const QStringList lines = auditLines();
        QCOMPARE(lines.size(), 4);
        for (const QString& line : lines) {
            const QStringList f = line.split(QLatin1Char('\t'));
            QCOMPARE(f.size(), 5);
            QVERIFY(QDateTime::fromString(f[0], Qt::ISODate).isValid());
            QCOMPARE(f[1], QStringLiteral("127.0.0.1"));
            QCOMPARE(f[2], kA);
            QCOMPARE(f[3], kB);
        }
        QCOMPARE(lines[0].section('\t', 4), QStringLiteral("已完成"));
        QCOMPARE(lines[1].section('\t', 4), QStringLiteral("失败：连接已断开"));
        QVERIFY2(lines.filter(QStringLiteral("报告的网关 10.0.0.1，DNS 10.0.0.53")).size() == 1,
                 qPrintable(lines.join('\n')));
        // The rows carry the state for the window.
        ClientListModel* clients = m_server->clientModel();
        clients->flush();
        const QModelIndex first = clients->index(clients->rowOf(p[0]->id), 0);
        QCOMPARE(first.data(ClientListModel::SwitchStateRole).toInt(), int(SwitchState::Confirmed));
        QCOMPARE(first.data(Qt::ToolTipRole).toString(), QStringLiteral("电信 → 联通：已完成"));
    }

    // Resending reaches the failed ones still connected, within the round; a command after the
    // round ended starts a new one.
    void resendWithinTheRoundAndANewRoundAfter() {
        SwitchTracker* tracker = m_server->switchTracker();
        const QList<Peer*> p = peersOnA(3);
        m_lines->switchClients(1, {p[0]->id, p[1]->id, p[2]->id});
        p[0]->report("10.2.0.1", "10.2.0.53", kB);
        p[2]->socket->disconnectFromHost();
        QTRY_COMPARE(tracker->summary(), (SwitchTracker::Summary{0, 1, 2}));

        p[1]->received.clear();
        QCOMPARE(tracker->resendFailed(), 1); // the ended connection is skipped
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{1, 1, 1}));
        QTRY_COMPARE(p[1]->received, ToGbk(QStringLiteral("切换10.2.0.1;10.2.0.53;10.2.0.54")));
        p[1]->report("10.2.0.1", "10.2.0.53", kB);
        QTRY_COMPARE(tracker->summary(), (SwitchTracker::Summary{0, 2, 1}));

        QSignalSpy states(tracker, &SwitchTracker::stateChanged);
        QCOMPARE(m_lines->switchClients(0, {p[0]->id}), 1);
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{1, 0, 0}));
        QCOMPARE(tracker->stateOf(p[1]->id), SwitchState::None); // back to a plain row
        QVERIFY(!states.isEmpty());
    }

    // A workstation that undid a switch: a pending or confirmed command ends failed with its
    // reason; a rollback of the user's own switch shows on the row without joining the round.
    void rollbacksEndCommandsAndShowOnTheRow() {
        SwitchTracker* tracker = m_server->switchTracker();
        const QList<Peer*> p = peersOnA(3);
        m_lines->switchClients(1, {p[0]->id, p[1]->id});
        p[1]->report("10.2.0.1", "10.2.0.53", kB);
        QTRY_COMPARE(tracker->stateOf(p[1]->id), SwitchState::Confirmed);
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{1, 1, 0}));

        tracker->rollBack(p[0]->id, RollbackReport{kB, kA, QStringLiteral("网关无响应")});
        tracker->rollBack(p[1]->id, RollbackReport{kB, kA, QStringLiteral("DNS 查询失败")});
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{0, 0, 2}));
        QCOMPARE(tracker->commandOf(p[0]->id)->outcome, QStringLiteral("已回退：网关无响应"));
        // The command's deadline passing later changes nothing.
        QTest::qWait(500);
        QCOMPARE(tracker->commandOf(p[0]->id)->outcome, QStringLiteral("已回退：网关无响应"));

        tracker->rollBack(p[2]->id, RollbackReport{kB, kA, QStringLiteral("网关无响应")});
        QCOMPARE(tracker->stateOf(p[2]->id), SwitchState::Failed);
        QCOMPARE(tracker->summary(), (SwitchTracker::Summary{0, 0, 2}));
        QCOMPARE(tracker->failedIds(), (QList<ClientId>{p[0]->id, p[1]->id}));
        ClientListModel* clients = m_server->clientModel();
        clients->flush();
        const QModelIndex row = clients->index(clients->rowOf(p[2]->id), 0);
        QCOMPARE(row.data(ClientListModel::SwitchStateRole).toInt(), int(SwitchState::Failed));
        QCOMPARE(row.data(Qt::ToolTipRole).toString(),
                 QStringLiteral("电信 → 联通：已回退：网关无响应"));
        // Resending reaches the Server's own commands only.
        QCOMPARE(tracker->resendFailed(), 2);

        // One audit line per rollback: the workstation, the line left, the line restored.
        const QStringList lines = auditLines().filter(QStringLiteral("已回退"));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0].section(QLatin1Char('\t'), 1),
                 QStringLiteral("127.0.0.1\t联通\t电信\t已回退：网关无响应"));
        // A connection that is gone reports nothing more.
        p[2]->socket->disconnectFromHost();
        QTRY_VERIFY(!m_server->hub()->isConnected(p[2]->id));
        tracker->rollBack(p[2]->id, RollbackReport{kB, kA, QStringLiteral("x")});
        QCOMPARE(auditLines().filter(QStringLiteral("已回退")).size(), 3);
    }

    // Workstations per line follow the reports; "move a line" takes exactly those on it.
    void workstationsPerLine() {
        LineLoadModel load(m_lines.get(), m_server->clientModel());
        const QList<Peer*> p = peersOnA(3);
        Peer& other = connectPeer();
        other.report("192.168.1.1", "10.0.0.53", QStringLiteral("家里"));
        p[2]->report("10.2.0.1", "10.2.0.53", QStringLiteral("别名")); // B by its values
        QTRY_COMPARE(m_server->hub()->connectionCount(), 4);
        QTest::qWait(50);
        m_server->clientModel()->flush();
        load.recount();
        QCOMPARE(load.rowCount(), 3);
        QCOMPARE(load.index(2, 0).data().toString(), QStringLiteral("未知线路"));
        QCOMPARE(load.countOf(0), 2);
        QCOMPARE(load.countOf(1), 1);
        QCOMPARE(load.unknownCount(), 1);
        QCOMPARE(load.clientsOnLine(0), (QList<ClientId>{p[0]->id, p[1]->id}));

        // The model recounts by itself after the list changes.
        p[0]->socket->disconnectFromHost();
        QTRY_COMPARE(load.countOf(0), 1);
        QCOMPARE(load.index(0, 1).data().toInt(), 1);
    }

    void auditLogRotatesAndShowsItsTail() {
        QTemporaryDir dir;
        AuditLog log(dir.filePath(QStringLiteral("SwitchLog.txt")), 1024);
        for (int i = 0; i < 60; ++i) {
            log.append(QStringLiteral("line %1\nwith a break").arg(i, 3, 10, QLatin1Char('0')));
            if (i % 10 == 9)
                QVERIFY(log.flush());
        }
        QVERIFY(QFile::exists(log.rotatedPath()));
        QVERIFY(QFileInfo(log.path()).size() < 2048);
        const QStringList tail = log.tail(25);
        QCOMPARE(tail.size(), 25);
        QCOMPARE(tail.first(), QStringLiteral("line 035 with a break"));
        QCOMPARE(tail.last(), QStringLiteral("line 059 with a break"));

        // A folder that is gone: the lines wait in memory, shown all the same.
        AuditLog lost(dir.filePath(QStringLiteral("gone/SwitchLog.txt")));
        lost.append(QStringLiteral("kept"));
        QVERIFY(!lost.flush());
        QCOMPARE(lost.tail(5), QStringList{QStringLiteral("kept")});
    }
};

QTEST_GUILESS_MAIN(TestSwitchTracking)
#include "test_switchtracking.moc"
