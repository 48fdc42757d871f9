// The Server's two controllers without a window: settings, listening and balloons; the line
// table's commands, its file and the line menu's data; switch commands to lists of connections.
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/linetablecontroller.h"
#include "server/linetablemodel.h"
#include "server/servercontroller.h"
#include "tests/server/serversettingsfixture.h"
#ifdef Q_OS_LINUX
#include "tests/support/tinyfilesystem.h"
#endif

#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/resource.h>
#include <sys/socket.h>
#endif

using namespace torvane;
using namespace torvane::server;
using namespace torvane::server::testing;
#ifdef Q_OS_LINUX
using torvane::testing::TinyFilesystem;
#endif
using ClientId = ConnectionHub::ClientId;

namespace {

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

LineEntry Line(const QString& name, const QString& g, const QString& p, const QString& s) {
    return LineEntry{name, QString(), QString(), g, p, s};
}

QStringList Texts(const QSignalSpy& spy) {
    QStringList texts;
    for (const QList<QVariant>& call : spy)
        texts << call.at(0).toString();
    return texts;
}

// A workstation on loopback: its socket and everything the Server sent it.
struct Peer {
    std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
    ClientId id = 0;
    QByteArray received;
};
} // namespace

class TestServerControllers : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_lineFile;
    std::vector<std::unique_ptr<Peer>> m_peers;

    // A controller started over a free port stored in the settings.
    std::unique_ptr<ServerController> startedServer(quint16* port = nullptr) {
        const quint16 free = FreePort();
        SetSetting("FwqDk", QString::number(free));
        auto server = std::make_unique<ServerController>(m_lineFile);
        server->start();
        if (port)
            *port = free;
        return server;
    }

    Peer& connectPeer(ServerController& server) {
        auto peer = std::make_unique<Peer>();
        Peer* raw = peer.get();
        QSignalSpy connected(server.hub(), &ConnectionHub::clientConnected);
        QObject::connect(raw->socket.get(), &QTcpSocket::readyRead, raw->socket.get(),
                         [raw] { raw->received += raw->socket->readAll(); });
        raw->socket->connectToHost(QHostAddress::LocalHost, server.hub()->listeningPort());
        if (!connected.wait(5000))
            qWarning("no connection");
        else
            raw->id = connected.at(0).at(0).value<ClientId>();
        m_peers.push_back(std::move(peer));
        return *raw;
    }

private slots:
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_lineFile = LineFilePath(m_dir->path());
        ClearRegStore(RegRoot::CurrentUser, kSettingsKey);
    }
    void cleanup() {
        m_peers.clear();
        m_dir.reset();
    }

    // ---- Settings and listening ------------------------------------------------------------

    void firstStartWritesDefaultsAndListens() {
        ServerController server(m_lineFile);
        QSignalSpy messages(&server, &ServerController::message);
        server.start();
        QCOMPARE(Setting("FwqDk"), QStringLiteral("15200"));
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QCOMPARE(Setting("QiQiu"), QStringLiteral("1"));
        QCOMPARE(server.settings().port, QStringLiteral("15200"));
        QVERIFY(server.hub()->updateEnabled());
        // 15200 may be taken on a shared machine: the attempt is what this start must make, and
        // a failure names the port.
        QCOMPARE(server.lastListenPort(), quint16(15200));
        QCOMPARE(server.lastListenSucceeded(), messages.isEmpty());
        for (const QString& text : Texts(messages))
            QVERIFY2(text.contains(QStringLiteral("15200")), qPrintable(text));
        QVERIFY(!server.serverAddress().isEmpty());
    }

#ifndef Q_OS_WIN
    // Windows sockets are no C runtime descriptors: there is no such limit.
    void listeningRaisesTheDescriptorLimitToTheHardLimit() {
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit lowered = saved;
        lowered.rlim_cur = std::min<rlim_t>(saved.rlim_max, 512);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &lowered), 0);
        auto server = startedServer();
        rlimit now{};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &now), 0);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QCOMPARE(now.rlim_cur, saved.rlim_max);
    }
#endif

    void storedValuesAreTakenAsTheyStand() {
        const quint16 port = FreePort();
        SetSetting("FwqDk", QString::number(port));
        SetSetting("GengXin", QStringLiteral("0"));
        SetSetting("QiQiu", QStringLiteral(" 1 ")); // reads as 1; not rewritten
        ServerController server(m_lineFile);
        QSignalSpy messages(&server, &ServerController::message);
        QSignalSpy listening(&server, &ServerController::listeningChanged);
        server.start();
        QVERIFY(messages.isEmpty());
        QCOMPARE(listening.size(), 1);
        QVERIFY(server.lastListenSucceeded());
        QCOMPARE(server.hub()->listeningPort(), port);
        QVERIFY(!server.hub()->updateEnabled());
        QVERIFY(server.settings().balloonOn());
        QCOMPARE(Setting("QiQiu"), QStringLiteral(" 1 "));
        QCOMPARE(Setting("GengXin"), QStringLiteral("0"));
    }

    void listenFailuresAreSaidAndAGoodPortRecovers() {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        SetSetting("FwqDk", QString::number(holder.serverPort()));
        ServerController server(m_lineFile);
        QSignalSpy messages(&server, &ServerController::message);
        server.start();
        QVERIFY(!server.lastListenSucceeded());
        QCOMPARE(messages.size(), 1);
        QVERIFY(Texts(messages).at(0).contains(QString::number(holder.serverPort())));
        QVERIFY(Texts(messages).at(0).contains(QStringLiteral("端口已被占用")));

        // Values no dialog of ours stores: said so, nothing is attempted.
        for (const QString& stored : {QStringLiteral("abc"), QStringLiteral("+80"),
                                      QStringLiteral("70000"), QStringLiteral("0")}) {
            SetSetting("FwqDk", stored);
            ServerController other(m_lineFile);
            QSignalSpy said(&other, &ServerController::message);
            other.start();
            QCOMPARE(other.lastListenPort(), quint16(0));
            QVERIFY(!other.hub()->isListening());
            QCOMPARE(said.size(), 1);
            QVERIFY2(Texts(said).at(0).contains(stored), qPrintable(stored));
        }

        // The administrator picks another port and the Server listens.
        messages.clear();
        const quint16 port = FreePort();
        QCOMPARE(server.applySettings(QString::number(port), true, true),
                 ServerController::ApplyResult::Applied);
        QVERIFY(messages.isEmpty());
        QCOMPARE(server.hub()->listeningPort(), port);
    }

    void applyRefusesABadPort_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("message");
        const int range = int(ServerController::ApplyResult::PortOutOfRange);
        const int wrong = int(ServerController::ApplyResult::PortNotDigits);
        const QString rangeText = QStringLiteral("请输入1-65535的端口值");
        const QString wrongText = QStringLiteral("你输入的服务器端口错误");
        QTest::newRow("0") << "0" << range << rangeText;
        QTest::newRow("65536") << "65536" << range << rangeText;
        QTest::newRow("00000") << "00000" << range << rangeText;
        QTest::newRow("99999999999") << "99999999999" << range << rangeText;
        QTest::newRow("80a") << "80a" << wrong << wrongText;
        QTest::newRow("-1") << "-1" << wrong << wrongText;
        QTest::newRow("+80") << "+80" << wrong << wrongText;
        QTest::newRow("empty") << "" << wrong << wrongText;
        QTest::newRow("blanks") << "   " << wrong << wrongText;
        QTest::newRow("inner blank") << "80 80" << wrong << wrongText;
        QTest::newRow("full-width digits") << "８０" << wrong << wrongText;
    }
    void applyRefusesABadPort() {
        QFETCH(QString, typed);
        QFETCH(int, result);
        QFETCH(QString, message);
        quint16 port = 0;
        auto server = startedServer(&port);
        QSignalSpy messages(server.get(), &ServerController::message);
        QSignalSpy listening(server.get(), &ServerController::listeningChanged);
        QCOMPARE(int(server->applySettings(typed, false, false)), result);
        QCOMPARE(Texts(messages), QStringList{message});
        // Nothing stored, nothing changed in memory, listening untouched.
        QCOMPARE(Setting("FwqDk"), QString::number(port));
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QVERIFY(server->hub()->updateEnabled());
        QVERIFY(server->settings().balloonOn());
        QCOMPARE(listening.size(), 0);
        QCOMPARE(server->hub()->listeningPort(), port);
    }

    void applyStoresTheTrimmedPortAsTyped() {
        auto server = startedServer();
        QSignalSpy messages(server.get(), &ServerController::message);
        const QString port = QString::number(FreePort());
        QCOMPARE(server->applySettings(QLatin1Char(' ') + port + QLatin1Char('\t'), false, true),
                 ServerController::ApplyResult::Applied);
        QCOMPARE(Setting("FwqDk"), port);
        QCOMPARE(Setting("GengXin"), QStringLiteral("0"));
        QCOMPARE(Setting("QiQiu"), QStringLiteral("1"));
        QCOMPARE(server->hub()->listeningPort(), port.toUShort());
        QVERIFY(messages.isEmpty());

        // Leading zeros pass both checks, are stored as typed and mean port 80 (which may be
        // refused here: then the message names it).
        QCOMPARE(server->applySettings(QStringLiteral("00080"), true, true),
                 ServerController::ApplyResult::Applied);
        QCOMPARE(Setting("FwqDk"), QStringLiteral("00080"));
        QCOMPARE(server->settings().port, QStringLiteral("00080"));
        QCOMPARE(server->lastListenPort(), quint16(80));
        QCOMPARE(server->lastListenSucceeded(), messages.isEmpty());
    }

    void applyDropsEveryClientAndListensAgainOnTheSamePort() {
        quint16 port = 0;
        auto server = startedServer(&port);
        Peer& a = connectPeer(*server);
        connectPeer(*server);
        QCOMPARE(server->clientModel()->clientCount(), 2);
        QSignalSpy counts(server->clientModel(), &ClientListModel::countChanged);
        QSignalSpy balloons(server.get(), &ServerController::balloon);
        QCOMPARE(server->applySettings(QString::number(port), true, true),
                 ServerController::ApplyResult::Applied);
        QCOMPARE(server->clientModel()->clientCount(), 0);
        QCOMPARE(counts.last().at(0).toInt(), 0);
        QVERIFY(server->hub()->isListening());
        QCOMPARE(server->hub()->listeningPort(), port);
        for (auto& peer : m_peers)
            QTRY_COMPARE(peer->socket->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(balloons.isEmpty()); // dropping them is no departure

        // They come back on the same port, numbered afresh.
        Peer* again = &connectPeer(*server);
        QCOMPARE(again->id, a.id);
    }

    void optionsActAtOnceAreStoredByApplyAndDecideBalloons() {
        auto server = startedServer();
        QSignalSpy balloons(server.get(), &ServerController::balloon);
        WriteBytes(m_lineFile, kTwoRecords);

        // Arrival and orderly departure each make a balloon; a reset makes none.
        Peer& a = connectPeer(*server);
        QCOMPARE(Texts(balloons), QStringList{QStringLiteral("127.0.0.1 连接到服务器")});
        a.socket->disconnectFromHost();
        QTRY_COMPARE(balloons.size(), 2);
        QCOMPARE(Texts(balloons).at(1), QStringLiteral("127.0.0.1 已断开连接"));
        Peer& b = connectPeer(*server);
        QCOMPARE(balloons.size(), 3);
#ifndef Q_OS_WIN // Wine hands a reset peer to a Windows program as an orderly close
        const linger abort{1, 0};
        setsockopt(b.socket->socketDescriptor(), SOL_SOCKET, SO_LINGER,
                   reinterpret_cast<const char*>(&abort), sizeof abort);
        b.socket->abort();
        QTRY_COMPARE(server->clientModel()->clientCount(), 0);
        QTest::qWait(50);
        QCOMPARE(balloons.size(), 3);
#else
        b.socket->disconnectFromHost();
        QTRY_COMPARE(balloons.size(), 4);
#endif

        // Unticked boxes: no balloons, no updates, at once; the store still says "1".
        const qsizetype shown = balloons.size();
        server->setBalloonOption(false);
        server->setUpdateOption(false);
        QCOMPARE(server->settings().balloonOption, QStringLiteral("0"));
        QCOMPARE(server->settings().updateOption, QStringLiteral("0"));
        Peer& c = connectPeer(*server);
        QSignalSpy reported(server->hub(), &ConnectionHub::clientReported);
        c.socket->write(Protocol::ComposeReport("10.0.0.1", "10.0.0.2", "A", "1"));
        QVERIFY(reported.wait(5000));
        QTest::qWait(100);
        QVERIFY(c.received.isEmpty());
        c.socket->disconnectFromHost();
        QTRY_COMPARE(server->clientModel()->clientCount(), 0);
        QCOMPARE(balloons.size(), shown);
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QCOMPARE(Setting("QiQiu"), QStringLiteral("1"));

        // The next start reads what was stored; ticking again answers the list at once.
        ServerController next(m_lineFile);
        next.loadSettings();
        QVERIFY(next.settings().updateOn() && next.settings().balloonOn());
        server->setUpdateOption(true);
        Peer& d = connectPeer(*server);
        d.socket->write(Protocol::ComposeReport("10.0.0.1", "10.0.0.2", "A", "1"));
        QTRY_COMPARE(d.received, ToGbk(Protocol::kUpdateWord) + kTwoRecords);
    }

    // ---- Line table commands ---------------------------------------------------------------

    void commandsKeepTheMenuAndTheFileInStep() {
        ConnectionHub hub;
        LineTableController lines(m_lineFile, &hub);
        QSignalSpy rebuilt(&lines, &LineTableController::lineMenuRebuilt);
        QSignalSpy counts(&lines, &LineTableController::lineCountChanged);
        QSignalSpy messages(&lines, &LineTableController::message);
        QVERIFY(!lines.isMenuBuilt());
        lines.load();
        QVERIFY(lines.isMenuBuilt());
        QVERIFY(lines.menuNames().isEmpty());
        LineTableModel* table = lines.model();

        // Add on an empty table: row "1" with the defaults, which pass Save as they are.
        QVERIFY(lines.addLine());
        QCOMPARE(counts.last().at(0).toInt(), 1);
        QCOMPARE(table->cellText(0, 0), QStringLiteral("1"));
        QCOMPARE(lines.menuNames(), QStringList{QStringLiteral("配置名称")});
        table->setRows({Line("A", "1.1.1.1", "2.2.2.2", "3.3.3.3"),
                        Line("B", "4.4.4.4", "5.5.5.5", "6.6.6.6")});
        WriteBytes(m_lineFile, "X;;;9.9.9.9;9.9.9.9;9.9.9.9;\r\nY\r\nZ\r\n");
        const qsizetype countsBefore = counts.size();
        QVERIFY(lines.saveTable());
        QCOMPARE(ReadFileBytes(m_lineFile), kTwoRecords);
        QCOMPARE(lines.menuNames(), (QStringList{"A", "B"}));
        QCOMPARE(counts.size(), countsBefore); // Save writes no count

        // Unsaved changes go with Refresh; the menu follows the reloaded table.
        lines.addLine();
        QCOMPARE(lines.menuNames(), (QStringList{"A", "B", "配置名称"}));
        lines.refreshTable();
        QCOMPARE(table->rowCount(), 2);
        QCOMPARE(lines.menuNames(), (QStringList{"A", "B"}));

        // Delete: renumbered, menu rebuilt, file untouched.
        QVERIFY(lines.deleteLine(0));
        QCOMPARE(counts.last().at(0).toInt(), 1);
        QCOMPARE(table->cellText(0, 0), QStringLiteral("1"));
        QCOMPARE(table->cellText(0, 1), QStringLiteral("B"));
        QCOMPARE(lines.menuNames(), QStringList{"B"});
        QCOMPARE(ReadFileBytes(m_lineFile), kTwoRecords);

        // An empty table saves nothing: the file keeps its rows and Refresh brings them back.
        QVERIFY(lines.deleteLine(0));
        QVERIFY(lines.menuNames().isEmpty());
        const qsizetype builds = rebuilt.size();
        QVERIFY(!lines.deleteLine(0)); // on an empty table: nothing, no failure, still rebuilt
        QCOMPARE(rebuilt.size(), builds + 1);
        QVERIFY(lines.saveTable());
        QCOMPARE(ReadFileBytes(m_lineFile), kTwoRecords);
        lines.refreshTable();
        QCOMPARE(table->rowCount(), 2);

        // A missing file empties the table on Refresh.
        QFile::remove(m_lineFile);
        lines.refreshTable();
        QCOMPARE(table->rowCount(), 0);
        QVERIFY(lines.menuNames().isEmpty());
        QVERIFY(messages.isEmpty());
    }

    void saveRefusesBadRowsAndKeepsFileAndMenu() {
        WriteBytes(m_lineFile, kTwoRecords);
        ConnectionHub hub;
        LineTableController lines(m_lineFile, &hub);
        lines.load();
        QSignalSpy rebuilt(&lines, &LineTableController::lineMenuRebuilt);
        QSignalSpy messages(&lines, &LineTableController::message);
        LineTableModel* table = lines.model();
        const auto refused = [&](const char* what) {
            messages.clear();
            QVERIFY2(!lines.saveTable(), what);
            QCOMPARE(Texts(messages), QStringList{QStringLiteral("请将所有内容填写完整并正确")});
            QCOMPARE(ReadFileBytes(m_lineFile), kTwoRecords);
            // A refused Save does not rebuild the menu.
            QCOMPARE(rebuilt.size(), 0);
            QCOMPARE(lines.menuNames(), (QStringList{"A", "B"}));
        };
        table->setCellText(1, 1, QStringLiteral("changed"));
        for (const QString& gateway :
             {QStringLiteral("192.168.0.256"), QStringLiteral("192.168.0.1 "),
              QStringLiteral("abc"), QString()}) {
            table->setCellText(1, 2, gateway);
            refused(qPrintable(gateway));
        }
        table->setCellText(1, 2, QStringLiteral("4.4.4.4"));
        for (const QString& name : {QStringLiteral("   "), QStringLiteral("a;b"),
                                    QStringLiteral("a|b"), QStringLiteral("a\r\nb")}) {
            table->setCellText(1, 1, name);
            refused(qPrintable(name));
        }
        table->setCellText(1, 1, QStringLiteral(" 电信 "));
        table->setCellText(0, 4, QString());
        refused("the secondary DNS is mandatory here");
        table->setCellText(0, 4, QStringLiteral("3.3.3.3"));
        // A name with blanks around it is accepted and written with its blanks.
        QVERIFY(lines.saveTable());
        QCOMPARE(ReadFileBytes(m_lineFile),
                 "A;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n" +
                     ToGbk(QStringLiteral(" 电信 ;;;4.4.4.4;5.5.5.5;6.6.6.6;\r\n")));
    }

    void addStopsAtTwentyAndDeleteNeedsARow() {
        ConnectionHub hub;
        LineTableController lines(m_lineFile, &hub);
        lines.load();
        QSignalSpy messages(&lines, &LineTableController::message);
        for (int i = 0; i < 20; ++i)
            QVERIFY(lines.addLine());
        QVERIFY(messages.isEmpty());
        QCOMPARE(lines.model()->cellText(19, 0), QStringLiteral("20"));
        QCOMPARE(lines.menuNames().size(), 20);
        QSignalSpy counts(&lines, &LineTableController::lineCountChanged);
        QVERIFY(!lines.addLine());
        QCOMPARE(Texts(messages), QStringList{QStringLiteral("只能设置20条线路")});
        QCOMPARE(lines.model()->rowCount(), 20);
        QVERIFY(counts.isEmpty());

        // Nothing selected, or a row that is not there: the table stays, nothing is said.
        QVERIFY(!lines.deleteLine(-1));
        QVERIFY(!lines.deleteLine(20));
        QCOMPARE(lines.model()->rowCount(), 20);
        QCOMPARE(messages.size(), 1);
        QVERIFY(counts.isEmpty());
    }

    void aSaveThatCannotWriteSaysSoAndKeepsTheOldFile() {
        // The file's folder is a plain file: no write can succeed, whoever runs the test.
        const QString blocker = m_dir->filePath(QStringLiteral("notafolder"));
        WriteBytes(blocker, "x");
        const QString path = LineFilePath(blocker);
        ConnectionHub hub;
        LineTableController lines(path, &hub);
        lines.load();
        lines.addLine();
        QSignalSpy messages(&lines, &LineTableController::message);
        QSignalSpy rebuilt(&lines, &LineTableController::lineMenuRebuilt);
        QVERIFY(!lines.saveTable());
        QCOMPARE(Texts(messages),
                 QStringList{QStringLiteral("无法写入 %1，配置没有保存。").arg(path)});
        QCOMPARE(rebuilt.size(), 1);
        QCOMPARE(ReadFileBytes(blocker), QByteArray("x"));
    }

    void aRefusedLineFileIsSaidAndLeavesTheTableEmpty() {
        // Over the size the Clients take: not read, and the administrator is told why.
        WriteBytes(m_lineFile, QByteArray(kMaxLineFileBytes + 1, 'L'));
        ConnectionHub hub;
        LineTableController lines(m_lineFile, &hub);
        QSignalSpy messages(&lines, &LineTableController::message);
        lines.load();
        QCOMPARE(lines.model()->rowCount(), 0);
        QCOMPARE(Texts(messages), QStringList{LineTableController::RefusalText(
                                      m_lineFile, LineFileStatus::TooLarge)});
        QVERIFY(Texts(messages).at(0).contains(m_lineFile));
        // A missing file is an empty list, nothing to say.
        QVERIFY(QFile::remove(m_lineFile));
        messages.clear();
        lines.refreshTable();
        QVERIFY(messages.isEmpty());
    }

#ifdef Q_OS_LINUX
    // A full disk is made with a tiny mount of the test alone.
    void aSaveOnAFullDiskSaysSoAndKeepsTheOldFile() {
        TinyFilesystem disk;
        TORVANE_REQUIRE_TINY_FS(disk);
        const QString path = LineFilePath(disk.path());
        const QByteArray old = "old;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n";
        WriteBytes(path, old);
        ConnectionHub hub;
        LineTableController lines(path, &hub);
        lines.load();
        for (int k = 0; k < 5; ++k)
            QVERIFY(lines.addLine());
        QVERIFY(disk.fill());
        QSignalSpy messages(&lines, &LineTableController::message);
        QVERIFY(!lines.saveTable());
        QCOMPARE(Texts(messages),
                 QStringList{QStringLiteral("无法写入 %1，配置没有保存。").arg(path)});
        QCOMPARE(ReadFileBytes(path), old);
        QCOMPARE(QDir(disk.path()).entryList(QDir::Files),
                 (QStringList{QStringLiteral("filler"), QStringLiteral("MainConfig.dat")}));
        disk.release();
        QVERIFY(lines.saveTable());
        QCOMPARE(lines.model()->rowCount(), 6);
    }

    // ---- The line menu's data and switch commands ------------------------------------------
#endif

    void switchSendsTheLastBuildToEachListedConnectionOnce() {
        auto server = startedServer();
        LineTableController lines(m_lineFile, server->hub());
        lines.load();
        LineTableModel* table = lines.model();
        table->setRows({Line("A", "10.1.1.1", "10.1.1.2", "10.1.1.3"),
                        Line("B&B", "10.2.2.1", "10.2.2.2", "10.2.2.3"),
                        Line("C", "10.3.3.1", "10.3.3.2", "")});
        lines.rebuildLineMenu();
        QCOMPARE(lines.menuNames(), (QStringList{"A", "B&B", "C"}));

        Peer& a = connectPeer(*server);
        Peer& b = connectPeer(*server);
        Peer& c = connectPeer(*server);
        Peer& gone = connectPeer(*server);
        const ClientId goneId = gone.id;
        gone.socket->disconnectFromHost();
        QTRY_COMPARE(server->hub()->connectionCount(), 3);

        // Duplicates, an ended connection, an unknown id and 0 are skipped; each listed
        // connection gets the command once, the unlisted one nothing.
        QCOMPARE(lines.switchClients(1, {b.id, c.id, b.id, goneId, 9999, 0}), 2);
        const QByteArray lineB = ToGbk(QStringLiteral("切换10.2.2.1;10.2.2.2;10.2.2.3"));
        QTRY_COMPARE(b.received, lineB);
        QTRY_COMPARE(c.received, lineB);
        // An empty secondary DNS: the command ends with the second ";".
        QCOMPARE(lines.switchClients(2, {a.id}), 1);
        QTRY_COMPARE(a.received, ToGbk(QStringLiteral("切换10.3.3.1;10.3.3.2;")));

        // Entries the menu does not offer send nothing; nor does an empty list.
        QCOMPARE(lines.switchClients(3, {a.id}), 0);
        QCOMPARE(lines.switchClients(-1, {a.id}), 0);
        QCOMPARE(lines.switchClients(0, {}), 0);

        // The command carries the table as the menu was built: an edit counts once rebuilt.
        table->setCellText(0, 2, QStringLiteral("10.9.9.9"));
        a.received.clear();
        QCOMPARE(lines.switchClients(0, {a.id}), 1);
        QTRY_COMPARE(a.received, ToGbk(QStringLiteral("切换10.1.1.1;10.1.1.2;10.1.1.3")));
        lines.rebuildLineMenu();
        a.received.clear();
        lines.switchClients(0, {a.id});
        QTRY_COMPARE(a.received, ToGbk(QStringLiteral("切换10.9.9.9;10.1.1.2;10.1.1.3")));

        // Deleting B: C is now entry 1 and carries its own values; the entry past the lines
        // keeps its old values but is not offered.
        lines.deleteLine(1);
        QCOMPARE(lines.menuNames(), (QStringList{"A", "C"}));
        QCOMPARE(lines.switchTable().size(), 3);
        QCOMPARE(lines.switchTable().at(1).gateway, QStringLiteral("10.3.3.1"));
        QCOMPARE(lines.switchTable().at(1).secondaryDns, QString());
        QCOMPARE(lines.switchTable().at(2).gateway, QStringLiteral("10.3.3.1"));
        QCOMPARE(lines.switchClients(2, {a.id}), 0);
        QTest::qWait(100);
        QCOMPARE(b.received, lineB);
    }
};

QTEST_GUILESS_MAIN(TestServerControllers)
#include "test_servercontrollers.moc"
