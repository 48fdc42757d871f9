// The whole system on a virtual LAN of network namespaces: the Server's window hosted in this
// process on the admin host, real Client processes on three workstations. The site has a key:
// ws3 holds it and talks over the secure port, ws1 and ws2 are Clients of the old kind on the
// legacy port of the same Server. The administrator's
// clicks go to the Server's widgets; what changes is checked where it lands: the workstations'
// routes and resolver files, the Clients' line files and the Server's rows.
// Needs root; without it (or without namespaces) every test fails, it never skips.
#include "common/gbk.h"
#include "common/protocol.h"
#include "common/securesession.h"
#include "server/auditlog.h"
#include "server/clientlistmodel.h"
#include "server/frmain.h"
#include "server/lineloadmodel.h"
#include "server/linemenu.h"
#include "server/servercontroller.h"
#include "server/switchtracker.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QProcess>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <memory>

using namespace torvane;
using namespace torvane::server;

namespace {

constexpr int kWorkstations = 3;
constexpr quint16 kPort = 15200;
const QString kGatewayA = QStringLiteral("10.77.0.1");
const QString kGatewayB = QStringLiteral("10.77.0.254");
constexpr int kKeyedWorkstation = 3;
const QByteArray kSiteKey = SiteKeyFromText(QStringLiteral("e2e site key"));

// The virtual LAN of scripts/netns-lib.sh: one bridge with both gateways, the admin host
// 10.77.0.2 and the workstations 10.77.0.11, 10.77.0.12.
struct Lan {
    QString prefix;
    bool up = false;
    QString error;
    int hostNetns = -1; // this process's own namespace, to return to before tearing down
};
Lan g_lan;
// The teardown command, prepared in advance: a signal handler may only fork and exec.
char* g_teardownScript = nullptr;

QString WorkstationNs(int k) {
    return QStringLiteral("%1-ws%2").arg(g_lan.prefix).arg(k);
}
QString WorkstationIp(int k) {
    return QStringLiteral("10.77.0.%1").arg(10 + k);
}

// Runs a function of the namespace helpers; they are the demo's, so both build the same LAN.
bool RunLanHelper(const QString& call, QString* output = nullptr) {
    QProcess bash;
    bash.setProcessChannelMode(QProcess::MergedChannels);
    bash.start(QStringLiteral("bash"),
               {QStringLiteral("-c"), QStringLiteral("set -e; source '%1/scripts/netns-lib.sh'; %2")
                                          .arg(QStringLiteral(TORVANE_SOURCE_DIR), call)});
    const bool ok = bash.waitForFinished(60000) && bash.exitStatus() == QProcess::NormalExit &&
                    bash.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(bash.readAll());
    return ok;
}

void BringLanUp() {
    if (geteuid() != 0) {
        g_lan.error = QStringLiteral("these tests need root to create network namespaces");
        return;
    }
    g_lan.prefix = QStringLiteral("tvsys-%1").arg(getpid());
    RunLanHelper(QStringLiteral("tvnet_sweep_stale tvsys"));
    QString output;
    if (!RunLanHelper(QStringLiteral("tvnet_up %1 %2").arg(g_lan.prefix).arg(kWorkstations),
                      &output)) {
        g_lan.error = QStringLiteral("cannot build the namespaces: ") + output;
        RunLanHelper(QStringLiteral("tvnet_down ") + g_lan.prefix);
        return;
    }
    g_lan.hostNetns = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const QByteArray admin =
        QStringLiteral("/var/run/netns/%1-adm").arg(g_lan.prefix).toLocal8Bit();
    const int adminNetns = open(admin.constData(), O_RDONLY | O_CLOEXEC);
    // Before any thread exists, so every thread Qt starts later lives on the admin host too.
    if (g_lan.hostNetns < 0 || adminNetns < 0 || setns(adminNetns, CLONE_NEWNET) != 0) {
        g_lan.error = QStringLiteral("cannot enter the admin namespace");
        if (adminNetns >= 0)
            close(adminNetns);
        RunLanHelper(QStringLiteral("tvnet_down ") + g_lan.prefix);
        return;
    }
    close(adminNetns);
    g_teardownScript = strdup(QStringLiteral("source '%1/scripts/netns-lib.sh'; tvnet_down %2")
                                  .arg(QStringLiteral(TORVANE_SOURCE_DIR), g_lan.prefix)
                                  .toLocal8Bit()
                                  .constData());
    g_lan.up = true;
}

void TearLanDown() {
    if (!g_lan.up)
        return;
    // Back home first: the teardown ends every process left in the namespaces.
    setns(g_lan.hostNetns, CLONE_NEWNET);
    RunLanHelper(QStringLiteral("tvnet_down ") + g_lan.prefix);
    g_lan.up = false;
}

void OnFatalSignal(int signal) {
    if (g_lan.up) {
        setns(g_lan.hostNetns, CLONE_NEWNET);
        const pid_t child = fork();
        if (child == 0) {
            char bash[] = "bash";
            char dashC[] = "-c";
            char* arguments[] = {bash, dashC, g_teardownScript, nullptr};
            execvp(bash, arguments);
            _exit(127);
        }
        if (child > 0)
            waitpid(child, nullptr, 0);
    }
    std::signal(signal, SIG_DFL);
    raise(signal);
}

QString Capture(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString DefaultGateway(int k) {
    const QString routes = Capture(QStringLiteral("ip"),
                                   {QStringLiteral("-n"), WorkstationNs(k), QStringLiteral("route"),
                                    QStringLiteral("show"), QStringLiteral("default")});
    const QStringList words = routes.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const qsizetype via = words.indexOf(QStringLiteral("via"));
    return via >= 0 && via + 1 < words.size() ? words.at(via + 1) : QString();
}

QStringList Nameservers(int k) {
    QFile file(QStringLiteral("/etc/netns/%1/resolv.conf").arg(WorkstationNs(k)));
    QStringList servers;
    if (!file.open(QIODevice::ReadOnly))
        return servers;
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.size() >= 2 && words.at(0) == "nameserver")
            servers << QString::fromLatin1(words.at(1));
    }
    return servers;
}

void SetLine(int k, const QString& gateway, const QString& dns) {
    QVERIFY(RunLanHelper(
        QStringLiteral("tvnet_set_line %1 %2 %3").arg(WorkstationNs(k), gateway, dns)));
}

QString RowText(const QString& gateway, const char* dns, const char* line) {
    return gateway + QLatin1Char('|') + QString::fromUtf8(dns) + QLatin1Char('|') +
           QString::fromUtf8(line);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray ServerLines(const QStringList& records) {
    QByteArray bytes;
    for (const QString& record : records)
        bytes += ToGbk(record) + "\r\n";
    return bytes;
}

} // namespace

class SystemTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void reportsFillTheRows();
    void adminSwitchMovesOneWorkstation();
    void adminMovesWholeLines();
    void lineListUpdateFollowsTheReport();
    void serverRestartBringsClientsBack();
    void killedClientLeavesTheList();
    void impostorServerCannotMoveTheKeyedWorkstation();

private:
    void startServer();
    void stopServer();
    void startClient(int k);
    int rowOf(int k) const;
    QString cell(int k, int column) const;
    QString rowText(int k) const;
    void switchFromMenu(int k, const QString& lineName);
    void moveLine(int fromEntry, int toEntry, const QList<int>& moved);

    QTemporaryDir m_dir;
    std::unique_ptr<FrMain> m_server;
    std::unique_ptr<QProcess> m_clients[kWorkstations + 1];
    QByteArray m_serverFile;
    bool m_failed = false;
};

void SystemTest::initTestCase() {
    QVERIFY2(g_lan.up, qPrintable(g_lan.error));
    QVERIFY(m_dir.isValid());

    // ws1 and ws3 start on 电信, ws2 on 联通.
    SetLine(1, kGatewayA, QStringLiteral("192.0.2.53"));
    SetLine(2, kGatewayB, QStringLiteral("198.51.100.53"));
    SetLine(3, kGatewayA, QStringLiteral("192.0.2.53"));

    const QString serverDir = m_dir.filePath(QStringLiteral("adm"));
    QVERIFY(QDir().mkpath(serverDir));
    m_serverFile = ServerLines({QStringLiteral("电信;;;10.77.0.1;192.0.2.53;192.0.2.54;"),
                                QStringLiteral("联通;;;10.77.0.254;198.51.100.53;198.51.100.54;")});
    QVERIFY(WriteAll(serverDir + QStringLiteral("/MainConfig.dat"), m_serverFile));
    // This process's settings are the Server's: the update on, no balloons.
    const QString settingsDir = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME"));
    QVERIFY(!settingsDir.isEmpty() && QDir().mkpath(settingsDir));
    QVERIFY(WriteAll(settingsDir + QStringLiteral("/Morlisk.conf"),
                     QByteArray("[General]\nFwqDk=") + QByteArray::number(kPort) +
                         "\nGengXin=1\nQiQiu=0\nSiteKey=" + SiteKeyToStored(kSiteKey).toLatin1() +
                         "\n"));

    for (int k = 1; k <= kWorkstations; ++k) {
        const QString dir = m_dir.filePath(QStringLiteral("ws%1").arg(k));
        QVERIFY(QDir().mkpath(dir + QStringLiteral("/config")));
        QVERIFY(
            QFile::copy(QStringLiteral(TORVANE_CLIENT_BINARY), dir + QStringLiteral("/Client")));
        // An older list, which the Server's replaces on the first report.
        QVERIFY(WriteAll(dir + QStringLiteral("/MainConfig.dat"),
                         ServerLines({QStringLiteral("旧线路;;;10.77.0.1;192.0.2.99;;")})));
        QVERIFY(WriteAll(
            dir + QStringLiteral("/config/Morlisk.conf"),
            QByteArray("[General]\nFwqIp=10.77.0.2\nFwqDk=") + QByteArray::number(kPort) +
                "\nGengXin=1\nQd=0\n" +
                (k == kKeyedWorkstation
                     // The carriers' DNS servers here are made up and never
                     // answer: the check after a switch is off, or it would undo
                     // every switch of the keyed workstation.
                     ? "SiteKey=" + SiteKeyToStored(kSiteKey).toLatin1() + "\nRollbackSeconds=0\n"
                     : QByteArray())));
    }

    startServer();
    for (int k = 1; k <= kWorkstations; ++k)
        startClient(k);
}

void SystemTest::cleanup() {
    m_failed = m_failed || QTest::currentTestFailed();
}

void SystemTest::cleanupTestCase() {
    for (auto& client : m_clients) {
        if (client) {
            client->kill();
            client->waitForFinished(3000);
        }
    }
    stopServer();
    // What the Clients said, for a failure in CI where the folder is gone afterwards.
    for (int k = 1; m_failed && k <= kWorkstations; ++k) {
        const QByteArray log =
            ReadAll(m_dir.filePath(QStringLiteral("ws%1/client.log").arg(k))).right(3000);
        qInfo("Client ws%d output:\n%s", k, log.constData());
    }
}

void SystemTest::startServer() {
    FrMainOptions options;
    options.singleInstance = false;
    options.programDirectory = m_dir.filePath(QStringLiteral("adm"));
    options.messageHook = [](const QString& title, const QString& text, QMessageBox::Icon) {
        qWarning("Server message: %s: %s", qPrintable(title), qPrintable(text));
    };
    m_server = std::make_unique<FrMain>(std::move(options));
    QVERIFY(m_server->start());
    QVERIFY(m_server->lastListenSucceeded());
    QVERIFY(QTest::qWaitForWindowExposed(m_server.get()));
}

void SystemTest::stopServer() {
    if (!m_server)
        return;
    m_server->close();
    m_server.reset();
}

void SystemTest::startClient(int k) {
    const QString dir = m_dir.filePath(QStringLiteral("ws%1").arg(k));
    auto client = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir + QStringLiteral("/config"));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    client->setProcessEnvironment(environment);
    client->setWorkingDirectory(dir);
    client->setStandardOutputFile(dir + QStringLiteral("/client.log"), QIODevice::Append);
    client->setStandardErrorFile(dir + QStringLiteral("/client.log"), QIODevice::Append);
    // `ip netns exec` runs the program in place, so the process is the Client itself.
    client->start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"),
                                         WorkstationNs(k), dir + QStringLiteral("/Client")});
    QVERIFY(client->waitForStarted());
    m_clients[k] = std::move(client);
}

int SystemTest::rowOf(int k) const {
    ClientListModel* model = m_server->clientModel();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->addressAt(row) == WorkstationIp(k))
            return row;
    }
    return -1;
}

QString SystemTest::cell(int k, int column) const {
    const int row = rowOf(k);
    ClientListModel* model = m_server->clientModel();
    return row < 0 ? QString() : model->data(model->index(row, column), Qt::DisplayRole).toString();
}

// Gateway, DNS and line name of the workstation's row, "|"-separated, for readable failures.
QString SystemTest::rowText(int k) const {
    if (rowOf(k) < 0)
        return QStringLiteral("(no row)");
    return cell(k, ClientListModel::GatewayColumn) + QLatin1Char('|') +
           cell(k, ClientListModel::DnsColumn) + QLatin1Char('|') +
           cell(k, ClientListModel::LineNameColumn);
}

// The administrator: click the workstation's row, right-click it, "切换到", then the line.
void SystemTest::switchFromMenu(int k, const QString& lineName) {
    auto* list = m_server->findChild<QTableView*>(QStringLiteral("KhList"));
    QVERIFY(list);
    m_server->clientModel()->flush();
    const int row = rowOf(k);
    QVERIFY2(row >= 0, "the workstation has no row");
    const QPoint where = list->visualRect(list->model()->index(row, 0)).center();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, where);
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, where);
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, where,
                                list->viewport()->mapToGlobal(where));
    QApplication::sendEvent(list->viewport(), &menuEvent);
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, where);

    auto* popup = m_server->findChild<QMenu*>(QStringLiteral("FrMenu1"));
    QVERIFY(popup);
    QTRY_VERIFY(popup->isVisible());
    QAction* switchTo = nullptr;
    for (QAction* action : popup->actions()) {
        if (action->text() == QStringLiteral("切换到"))
            switchTo = action;
    }
    QVERIFY(switchTo && switchTo->menu());
    QTest::mouseClick(popup, Qt::LeftButton, {}, popup->actionGeometry(switchTo).center());
    QMenu* lines = switchTo->menu();
    QTRY_VERIFY(lines->isVisible());
    QAction* pick = nullptr;
    for (QAction* action : lines->actions()) {
        if (action->isVisible() && action->text() == lineName)
            pick = action;
    }
    QVERIFY2(pick, qPrintable(QStringLiteral("no entry ") + lineName));
    QTest::mouseClick(lines, Qt::LeftButton, {}, lines->actionGeometry(pick).center());
    QTRY_VERIFY(!popup->isVisible());
}

void SystemTest::reportsFillTheRows() {
    // Each Client reports after connecting, with the line its own older list names: none. The
    // Server's list that arrives in answer names the line, and the Client reports that name.
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientModel()->clientCount(), kWorkstations, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(1), RowText(kGatewayA, " 192.0.2.53", "电信"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(2), RowText(kGatewayB, " 198.51.100.53", "联通"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(3), RowText(kGatewayA, " 192.0.2.53", "电信"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->statusText(1), QStringLiteral("目前共有 3 台客户端连接"),
                              5000);
    // The Server answers with its list, which replaces the Clients' files.
    for (int k = 1; k <= kWorkstations; ++k) {
        const QString file = m_dir.filePath(QStringLiteral("ws%1/MainConfig.dat").arg(k));
        QTRY_COMPARE_WITH_TIMEOUT(ReadAll(file), m_serverFile, 10000);
    }
}

void SystemTest::adminSwitchMovesOneWorkstation() {
    switchFromMenu(1, QStringLiteral("联通"));
    // The route and the resolver file change one after the other: each is waited for on its own.
    QTRY_COMPARE_WITH_TIMEOUT(DefaultGateway(1), kGatewayB, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        Nameservers(1),
        QStringList({QStringLiteral("198.51.100.53"), QStringLiteral("198.51.100.54")}), 10000);
    // The report follows the whole switch: once the row shows it, nothing else is in flight.
    QTRY_COMPARE_WITH_TIMEOUT(rowText(1), RowText(kGatewayB, " 198.51.100.53", "联通"), 10000);
    // A switch from the Server changes gateway and DNS only, never the address.
    QVERIFY(Capture(QStringLiteral("ip"), {QStringLiteral("-n"), WorkstationNs(1),
                                           QStringLiteral("-4"), QStringLiteral("addr")})
                .contains(WorkstationIp(1) + QStringLiteral("/24")));

    // The other workstation was not touched.
    QCOMPARE(DefaultGateway(2), kGatewayB);
    QCOMPARE(Nameservers(2), QStringList(QStringLiteral("198.51.100.53")));
    QCOMPARE(rowText(2), RowText(kGatewayB, " 198.51.100.53", "联通"));

    // And back: the first line of the menu.
    switchFromMenu(1, QStringLiteral("电信"));
    QTRY_COMPARE_WITH_TIMEOUT(DefaultGateway(1), kGatewayA, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        Nameservers(1), QStringList({QStringLiteral("192.0.2.53"), QStringLiteral("192.0.2.54")}),
        10000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(1), RowText(kGatewayA, " 192.0.2.53", "电信"), 10000);
}

// The administrator moves every workstation of a line from the pop-up menu; each row turns
// confirmed when its report carries the new line, and the routes follow.
void SystemTest::moveLine(int fromEntry, int toEntry, const QList<int>& moved) {
    m_server->clientModel()->flush();
    m_server->lineLoad()->recount();
    emit m_server->lineMenu()->popupMenu()->aboutToShow(); // enables the lines with workstations
    QVERIFY(m_server->lineMenu()->triggerMove(fromEntry, toEntry));
    SwitchTracker* tracker = m_server->serverController()->switchTracker();
    QCOMPARE(tracker->summary().pending, int(moved.size()));
    const QString gateway = toEntry == 0 ? kGatewayA : kGatewayB;
    const QString dns =
        toEntry == 0 ? QStringLiteral("192.0.2.53") : QStringLiteral("198.51.100.53");
    for (int k : moved) {
        QTRY_COMPARE_WITH_TIMEOUT(DefaultGateway(k), gateway, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(Nameservers(k).value(0), dns, 10000);
        const ConnectionHub::ClientId id = m_server->clientModel()->clientIdAt(rowOf(k));
        QTRY_COMPARE_WITH_TIMEOUT(tracker->stateOf(id), SwitchState::Confirmed, 10000);
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        m_server->switchSummaryText(),
        QStringLiteral("切换中 0 台，已完成 %1 台，失败 0 台").arg(moved.size()), 5000);
}

void SystemTest::adminMovesWholeLines() {
    // ws2 alone is on 联通: all three end up on 电信, then all three move to 联通 and back.
    moveLine(1, 0, {2});
    moveLine(0, 1, {1, 2, 3});
    QTRY_COMPARE_WITH_TIMEOUT(m_server->lineLoad()->countOf(1), 3, 5000);
    QCOMPARE(m_server->lineLoad()->countOf(0), 0);
    moveLine(1, 0, {1, 2, 3});
    // Every command is in the audit log beside the Server, with its outcome.
    m_server->serverController()->auditLog()->flush();
    const QStringList log =
        QString::fromUtf8(ReadAll(m_server->serverController()->auditLog()->path()))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(log.filter(QStringLiteral("\t已完成")).size(), log.size());
    QVERIFY2(log.size() >= 7, qPrintable(log.join(QLatin1Char('\n'))));
    QCOMPARE(log.filter(QStringLiteral("\t10.77.0.13\t电信\t联通\t已完成")).size(), 1);
}

void SystemTest::lineListUpdateFollowsTheReport() {
    // A third line with no secondary DNS, saved in the Server's file and shown after a refresh.
    const QByteArray before = m_serverFile;
    m_serverFile += ServerLines({QStringLiteral("移动;;;10.77.0.1;203.0.113.53;;")});
    QVERIFY(WriteAll(m_server->lineFilePath(), m_serverFile));
    m_server->refreshTable();

    switchFromMenu(2, QStringLiteral("移动"));
    QTRY_COMPARE_WITH_TIMEOUT(DefaultGateway(2), kGatewayA, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(Nameservers(2), QStringList(QStringLiteral("203.0.113.53")), 10000);
    // The report after the switch brought ws2 the new list; ws1 has not reported since.
    QTRY_COMPARE_WITH_TIMEOUT(ReadAll(m_dir.filePath(QStringLiteral("ws2/MainConfig.dat"))),
                              m_serverFile, 10000);
    // The report went out before the list that names the line arrived; the new name follows.
    QTRY_COMPARE_WITH_TIMEOUT(rowText(2), RowText(kGatewayA, " 203.0.113.53", "移动"), 10000);
    QCOMPARE(ReadAll(m_dir.filePath(QStringLiteral("ws1/MainConfig.dat"))), before);
}

void SystemTest::serverRestartBringsClientsBack() {
    stopServer();
    // The Clients notice the close and retry every second while nobody listens.
    QTest::qWait(2500);
    for (int k = 1; k <= kWorkstations; ++k)
        QCOMPARE(m_clients[k]->state(), QProcess::Running);

    QElapsedTimer back;
    back.start();
    startServer();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientModel()->clientCount(), kWorkstations, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(1), RowText(kGatewayA, " 192.0.2.53", "电信"), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(2), RowText(kGatewayA, " 203.0.113.53", "移动"), 10000);
    qInfo("Clients listed and reported again %lld ms after the Server's return",
          static_cast<long long>(back.elapsed()));

    // The restarted Server's menu works on the new connections.
    switchFromMenu(2, QStringLiteral("联通"));
    QTRY_COMPARE_WITH_TIMEOUT(DefaultGateway(2), kGatewayB, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        Nameservers(2),
        QStringList({QStringLiteral("198.51.100.53"), QStringLiteral("198.51.100.54")}), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(rowText(2), RowText(kGatewayB, " 198.51.100.53", "联通"), 10000);
}

void SystemTest::killedClientLeavesTheList() {
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientModel()->clientCount(), kWorkstations, 10000);
    const qint64 pid = m_clients[1]->processId();
    QVERIFY(pid > 0);
    QElapsedTimer gone;
    gone.start();
    // No close from the program: its kernel ends the connection, and the row goes at once
    // rather than at the next sweep.
    QCOMPARE(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->clientModel()->clientCount(), kWorkstations - 1, 3000);
    m_server->clientModel()->flush();
    QCOMPARE(rowOf(1), -1);
    QVERIFY(rowOf(2) >= 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->statusText(1), QStringLiteral("目前共有 2 台客户端连接"),
                              5000);
    qInfo("Killed Client's row removed after %lld ms", static_cast<long long>(gone.elapsed()));
    m_clients[1]->waitForFinished(3000);
}

// A host posing as the Server on both ports: the Clients of the old kind come to the legacy
// port, the keyed one only to the secure port, where the impostor cannot prove the key; what it
// sends there (a made-up accept, a sealed command recorded from another session, a legacy
// command) moves nothing.
void SystemTest::impostorServerCannotMoveTheKeyedWorkstation() {
    stopServer();
    const QString gatewayBefore = DefaultGateway(kKeyedWorkstation);
    QVERIFY(!gatewayBefore.isEmpty() && gatewayBefore != kGatewayB);

    // A switch command sealed in a genuine session, as if captured on the wire.
    SecureSession server(SecureSession::Role::Server, kSiteKey);
    SecureSession client(SecureSession::Role::Client, kSiteKey);
    client.receive(
        server.receive(client.receive(server.receive(client.start()).toSend).toSend).toSend);
    QVERIFY(server.isOpen() && client.isOpen());
    const QByteArray recorded = server.seal(
        SecureFrame::Type::SwitchCommand,
        Protocol::ComposeSwitchCommand(kGatewayB, QStringLiteral("198.51.100.53"), QString()));
    QByteArray forgedAccept =
        SecureFrame::Encode(SecureFrame::Type::Challenge, QByteArray(32, 'c'));
    forgedAccept += SecureFrame::Encode(SecureFrame::Type::Accept, QByteArray(32, 'a'));

    QTcpServer legacyPort;
    QTcpServer securePort;
    QVERIFY(legacyPort.listen(QHostAddress::Any, kPort));
    QVERIFY(securePort.listen(QHostAddress::Any, kPort + 1));
    QStringList legacyPeers;
    QStringList securePeers;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    connect(&legacyPort, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = legacyPort.nextPendingConnection()) {
            legacyPeers << QHostAddress(socket->peerAddress().toIPv4Address()).toString();
            sockets.emplace_back(socket);
        }
    });
    connect(&securePort, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = securePort.nextPendingConnection()) {
            securePeers << QHostAddress(socket->peerAddress().toIPv4Address()).toString();
            sockets.emplace_back(socket);
            socket->write(forgedAccept);
            socket->write(recorded);
            socket->write(
                Protocol::ComposeSwitchCommand(kGatewayB, QStringLiteral("198.51.100.53"), {}));
        }
    });
    // The Clients retry every second: a few rounds of attempts.
    QTRY_VERIFY_WITH_TIMEOUT(securePeers.size() >= 2, 10000);
    QTest::qWait(2000);
    QVERIFY(!legacyPeers.contains(WorkstationIp(kKeyedWorkstation)));
    QVERIFY(legacyPeers.contains(WorkstationIp(2)));
    QCOMPARE(QSet<QString>(securePeers.begin(), securePeers.end()),
             QSet<QString>{WorkstationIp(kKeyedWorkstation)});
    QCOMPARE(DefaultGateway(kKeyedWorkstation), gatewayBefore);
    QCOMPARE(Nameservers(kKeyedWorkstation).value(0), QStringLiteral("192.0.2.53"));
    QCOMPARE(m_clients[kKeyedWorkstation]->state(), QProcess::Running);
    const QByteArray log =
        ReadAll(m_dir.filePath(QStringLiteral("ws%1/client.log").arg(kKeyedWorkstation)));
    QVERIFY2(log.contains("server proof does not match the site key"), log.right(2000).constData());
}

int main(int argc, char* argv[]) {
    BringLanUp();
    for (int signal : {SIGINT, SIGTERM, SIGABRT, SIGSEGV})
        std::signal(signal, OnFatalSignal);
    int status = 1;
    {
        QApplication app(argc, argv);
        // Closing the Server's window for a restart must not end the test.
        QApplication::setQuitOnLastWindowClosed(false);
        SystemTest test;
        status = QTest::qExec(&test, argc, argv);
    }
    TearLanDown();
    return status;
}

#include "test_system.moc"
