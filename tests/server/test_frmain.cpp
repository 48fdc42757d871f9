// The Server's main window driven through its real widgets: what only a window shows (captions,
// layout, focus, menus, the tray, the in-place editor) and that its controls reach the
// controllers. The behaviour behind them is tested on the controllers (test_servercontrollers).
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "common/securesession.h"
#include "common/trayicon.h"
#include "server/celleditor.h"
#include "server/clientlistmodel.h"
#include "server/frmain.h"
#include "server/linefailover.h"
#include "server/linehealthmonitor.h"
#include "server/lineloadmodel.h"
#include "server/linemenu.h"
#include "server/linetablecontroller.h"
#include "server/linetablemodel.h"
#include "server/servercontroller.h"
#include "tests/server/serversettingsfixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::server::testing;

namespace {
struct Message {
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

LineEntry Line(const QString& name, const QString& g, const QString& p, const QString& s) {
    return LineEntry{name, QString(), QString(), g, p, s};
}
} // namespace

class TestServerWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStartWritesDefaults();
    void startListensOnTheStoredPort();
    void unusablePortIsReportedAndTheWindowKeepsRunning();
    void secondCopyEndsAndTheFirstKeepsRunning();
    void refusedPortPutsTheFocusInTheBox();
    void portBoxHoldsFiveCharacters();
    void queDingDropsClientsAndResetsTheCount();
    void optionsTakeEffectAtOnceButAreStoredOnlyByQueDing();
    void siteKeyIsTypedMaskedAndOpensTheSecurePort();
    void statusTextsFollowTheTab();
    void tableCommandsAndSaveBytes();
    void addStopsAtTwentyAndDeleteNeedsASelection();
    void cellEditorEnterEscAndFocusLoss();
    void cellEditorIgnoresOtherClicks();
    void switchCommandReachesTheSelectedConnectionOnly();
    void lineMenuShowsTheNamesAsCaptions();
    void minimiseNeverHidesWithoutATray();
    void closingEndsEverything();
    void initialWindowShowsEveryClientHeader();
    void bulkCommandsAreFollowedInTheWindow();
    void backupLineIsChosenInTheLineStatsTab();

private:
    std::unique_ptr<FrMain> makeWindow(bool guard = false, bool show = true);
    QWidget* child(FrMain* w, const char* name) const;
    template <class T> T* child(FrMain* w, const char* name) const {
        return qobject_cast<T*>(child(w, name));
    }
    QAction* action(FrMain* w, const char* name) const;
    bool waitForRows(FrMain* w, int rows) const;
    void clickQueDing(FrMain* w, const QString& port);
    void clickBox(FrMain* w, const char* name);

    std::unique_ptr<QTemporaryDir> m_dir;
    QList<Message> m_messages;
};

void TestServerWindow::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_messages.clear();
    ClearRegStore(RegRoot::CurrentUser, kSettingsKey);
}

void TestServerWindow::cleanup() {
    m_dir.reset();
}

std::unique_ptr<FrMain> TestServerWindow::makeWindow(bool guard, bool show) {
    FrMainOptions options;
    options.singleInstance = guard;
    options.programDirectory = m_dir->path();
    options.showWindow = show;
    options.messageHook = [this](const QString& title, const QString& text,
                                 QMessageBox::Icon icon) {
        m_messages.append({title, text, icon});
    };
    auto window = std::make_unique<FrMain>(options);
    window->resize(900, 600);
    return window;
}

QWidget* TestServerWindow::child(FrMain* w, const char* name) const {
    auto* found = w->findChild<QWidget*>(QString::fromLatin1(name));
    if (!found)
        qWarning("no widget %s", name);
    return found;
}

QAction* TestServerWindow::action(FrMain* w, const char* name) const {
    return w->findChild<QAction*>(QString::fromLatin1(name));
}

bool TestServerWindow::waitForRows(FrMain* w, int rows) const {
    return QTest::qWaitFor([&] {
        w->clientModel()->flush();
        return w->clientModel()->rowCount() == rows;
    });
}

void TestServerWindow::clickQueDing(FrMain* w, const QString& port) {
    auto* box = child<QLineEdit>(w, "FwqDk");
    box->setText(port);
    QTest::mouseClick(child<QPushButton>(w, "QueDing"), Qt::LeftButton);
}

void TestServerWindow::clickBox(FrMain* w, const char* name) {
    // On the indicator: the box may be wider than its caption.
    QWidget* box = child(w, name);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
}

void TestServerWindow::siteKeyIsTypedMaskedAndOpensTheSecurePort() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    SetSetting("SecurePort", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    auto* keyBox = child<QLineEdit>(w.get(), "SiteKey");
    QCOMPARE(keyBox->echoMode(), QLineEdit::Password);
    QCOMPARE(keyBox->placeholderText(), QStringLiteral("未设置"));
    QCOMPARE(w->serverController()->secureListeningPort(), 0);

    keyBox->setText(QStringLiteral("typed site key"));
    clickQueDing(w.get(), QString::number(port));
    QCOMPARE(Setting("SiteKey"),
             SiteKeyToStored(SiteKeyFromText(QStringLiteral("typed site key"))));
    QVERIFY(keyBox->text().isEmpty()); // never kept, never shown back
    QCOMPARE(keyBox->placeholderText(), QStringLiteral("已设置，留空不变"));
    QCOMPARE(w->serverController()->secureListeningPort(), Setting("SecurePort").toUShort());
    QVERIFY(w->serverController()->lastListenSucceeded()); // the legacy port as before

    // Left empty, the key stays; the clear box removes it and closes the secure port.
    clickQueDing(w.get(), QString::number(port));
    QVERIFY(!Setting("SiteKey").isEmpty());
    clickBox(w.get(), "SiteKeyClear");
    clickQueDing(w.get(), QString::number(port));
    QCOMPARE(Setting("SiteKey"), QString());
    QCOMPARE(w->serverController()->secureListeningPort(), 0);
    QVERIFY(m_messages.isEmpty());
}

void TestServerWindow::firstStartWritesDefaults() {
    auto w = makeWindow();
    QVERIFY(w->start());
    QCOMPARE(Setting("FwqDk"), QStringLiteral("15200"));
    QVERIFY(child<QCheckBox>(w.get(), "GengXin")->isChecked());
    QVERIFY(child<QCheckBox>(w.get(), "QiQiu")->isChecked());
    QCOMPARE(child<QLineEdit>(w.get(), "FwqDk")->text(), QStringLiteral("15200"));
    QCOMPARE(child<QCheckBox>(w.get(), "GengXin")->text(), QStringLiteral("每次更新客户端配置"));
    QCOMPARE(child<QCheckBox>(w.get(), "QiQiu")->text(), QStringLiteral("连接气球提示"));
    QCOMPARE(child<QPushButton>(w.get(), "QueDing")->text(), QStringLiteral("确  定"));
    QVERIFY(child<QLineEdit>(w.get(), "FwqIp")->isReadOnly());
    QCOMPARE(child<QLineEdit>(w.get(), "FwqIp")->text(), w->serverController()->serverAddress());
    QCOMPARE(child<QLineEdit>(w.get(), "FwqDk")->maxLength(), 5);
    QStringList labels;
    for (const QLabel* label : w->findChildren<QLabel*>())
        labels << label->text();
    QVERIFY(labels.contains(QStringLiteral("服务器IP：")));
    QVERIFY(labels.contains(QStringLiteral("服务器端口：")));
    // 15200 may be taken on a shared machine: the attempt is what this start must make.
    QCOMPARE(w->lastListenPort(), quint16(15200));
    QCOMPARE(w->windowTitle(), QStringLiteral("Torvane -- 服务器端"));
    auto* tabs = child<QTabWidget>(w.get(), "Tabs");
    QCOMPARE(tabs->tabText(0), QStringLiteral("客户端机子"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("网关、DNS配置"));
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
    QVERIFY(!w->statusText(2).isEmpty());
    QVERIFY(w->findChild<QStatusBar*>(QStringLiteral("ZhuangTai")));
    QVERIFY(HasTrayIcon(w.get()));
    QCOMPARE(CurrentTrayState(w.get()).tip, QStringLiteral("Torvane -- 服务器端"));
    QCOMPARE(w->lineMenu()->captions(), QStringList{QStringLiteral("暂无配置列表")});
}

void TestServerWindow::startListensOnTheStoredPort() {
    const quint16 port = FreePort();
    QVERIFY(port != 0);
    SetSetting("FwqDk", QString::number(port));
    SetSetting("GengXin", QStringLiteral("0"));
    QFile file(LineFilePath(m_dir->path()));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(kTwoRecords);
    file.close();

    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(m_messages.isEmpty());
    QVERIFY(w->lastListenSucceeded());
    QCOMPARE(w->hub()->listeningPort(), port);
    QVERIFY(!child<QCheckBox>(w.get(), "GengXin")->isChecked());
    QVERIFY(!w->hub()->updateEnabled());
    QVERIFY(!child<QLineEdit>(w.get(), "FwqIp")->text().isEmpty());
    QCOMPARE(w->lineTable()->rowCount(), 2);
    QCOMPARE(w->lineMenu()->captions(), (QStringList{"A", "B"}));

    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    QTRY_COMPARE(w->statusText(1), QStringLiteral("目前共有 1 台客户端连接"));
    QVERIFY(waitForRows(w.get(), 1));
    QCOMPARE(CurrentTrayState(w.get()).balloonText, QStringLiteral("127.0.0.1 连接到服务器"));
    QCOMPARE(CurrentTrayState(w.get()).balloonIcon, 1);
    client.disconnectFromHost();
    QTRY_COMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
    QTRY_COMPARE(CurrentTrayState(w.get()).balloonText, QStringLiteral("127.0.0.1 已断开连接"));
}

void TestServerWindow::unusablePortIsReportedAndTheWindowKeepsRunning() {
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    SetSetting("FwqDk", QString::number(holder.serverPort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(!w->lastListenSucceeded());
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.at(0).title, QStringLiteral("程序提示"));
    QCOMPARE(m_messages.at(0).icon, QMessageBox::Information);
    QVERIFY(m_messages.at(0).text.contains(QString::number(holder.serverPort())));
    QVERIFY(w->isVisible());
    QVERIFY(w->isPrimaryInstance());

    // A port no dialog of ours would store: said so, nothing is attempted.
    SetSetting("FwqDk", QStringLiteral("abc"));
    m_messages.clear();
    auto w2 = makeWindow();
    QVERIFY(w2->start());
    QCOMPARE(w2->lastListenPort(), quint16(0));
    QVERIFY(!w2->hub()->isListening());
    QCOMPARE(m_messages.size(), 1);
    QVERIFY(m_messages.at(0).text.contains(QStringLiteral("abc")));

    // The administrator picks another port and the Server listens.
    const quint16 port = FreePort();
    m_messages.clear();
    clickQueDing(w2.get(), QString::number(port));
    QVERIFY(m_messages.isEmpty());
    QVERIFY(w2->hub()->isListening());
    QCOMPARE(w2->hub()->listeningPort(), port);
}

void TestServerWindow::secondCopyEndsAndTheFirstKeepsRunning() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto first = makeWindow(true);
    QVERIFY(first->start());
    QVERIFY(first->isPrimaryInstance());
    {
        auto second = makeWindow(true);
        QVERIFY(!second->start());
        QVERIFY(!second->isPrimaryInstance());
        QVERIFY(!second->isVisible());
        QVERIFY(!HasTrayIcon(second.get()));
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).title, QStringLiteral("程序提示"));
        QCOMPARE(m_messages.at(0).text, QStringLiteral("程序已经运行"));
        QCOMPARE(m_messages.at(0).icon, QMessageBox::Information);
    }
    QVERIFY(first->isVisible());
    QVERIFY(first->hub()->isListening());
    QVERIFY(HasTrayIcon(first.get()));
    // The first copy still holds the guard after the second one is gone.
    auto third = makeWindow(true);
    QVERIFY(!third->start());
}

void TestServerWindow::refusedPortPutsTheFocusInTheBox() {
    // Every refused text and its message: test_servercontrollers. Here: the box, the focus.
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    for (const QString& typed : {QStringLiteral("80a"), QStringLiteral("0")}) {
        m_messages.clear();
        child(w.get(), "QueDing")->setFocus();
        child<QCheckBox>(w.get(), "GengXin")->setChecked(false);
        clickQueDing(w.get(), typed);
        QCOMPARE(m_messages.size(), 1);
        QCOMPARE(m_messages.at(0).title, QStringLiteral("程序提示"));
        QCOMPARE(m_messages.at(0).icon, QMessageBox::Information);
        QTRY_VERIFY(child(w.get(), "FwqDk")->hasFocus());
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QCOMPARE(w->hub()->listeningPort(), port);
    }
}

void TestServerWindow::portBoxHoldsFiveCharacters() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    const QString port = QString::number(FreePort());
    clickQueDing(w.get(), QLatin1Char(' ') + port);
    // A 5-digit port with a blank in front is cut by the box itself; what is left is stored
    // without the blank.
    const QString typed = child<QLineEdit>(w.get(), "FwqDk")->text();
    QCOMPARE(typed.size(), std::min<qsizetype>(5, port.size() + 1));
    QCOMPARE(Setting("FwqDk"), typed.trimmed());
    QCOMPARE(w->lastListenPort(), typed.trimmed().toUShort());
}

void TestServerWindow::queDingDropsClientsAndResetsTheCount() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    w->addLine();
    w->addLine();
    QTcpSocket a;
    QTcpSocket b;
    a.connectToHost(QHostAddress::LocalHost, port);
    b.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(a.waitForConnected(5000) && b.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 2));

    child<QTabWidget>(w.get(), "Tabs")->setCurrentIndex(1);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 2 个配置"));
    clickQueDing(w.get(), QString::number(port));
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
    QVERIFY(waitForRows(w.get(), 0));
    QTRY_COMPARE(a.state(), QAbstractSocket::UnconnectedState);
    QVERIFY(w->hub()->isListening());
    w->updateClock();
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 2 个配置"));

    // Clients come back on the same port.
    QTcpSocket c;
    c.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(c.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 1));
}

void TestServerWindow::optionsTakeEffectAtOnceButAreStoredOnlyByQueDing() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(w->hub()->updateEnabled());
    clickBox(w.get(), "GengXin");
    clickBox(w.get(), "QiQiu");
    QVERIFY(!w->hub()->updateEnabled());
    QCOMPARE(w->serverController()->settings().updateOption, QStringLiteral("0"));
    QCOMPARE(w->serverController()->settings().balloonOption, QStringLiteral("0"));
    QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
    QCOMPARE(Setting("QiQiu"), QStringLiteral("1"));

    const int balloons = CurrentTrayState(w.get()).balloonCount;
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 1));
    client.disconnectFromHost();
    QVERIFY(waitForRows(w.get(), 0));
    QCOMPARE(CurrentTrayState(w.get()).balloonCount, balloons);

    // The next start reads what was stored, not what the boxes showed.
    w.reset();
    auto again = makeWindow();
    QVERIFY(again->start());
    QVERIFY(child<QCheckBox>(again.get(), "GengXin")->isChecked());
    clickBox(again.get(), "QiQiu");
    clickQueDing(again.get(), QString::number(port));
    QCOMPARE(Setting("QiQiu"), QStringLiteral("0"));
    QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
}

void TestServerWindow::statusTextsFollowTheTab() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    auto* tabs = child<QTabWidget>(w.get(), "Tabs");
    QCOMPARE(w->currentTab(), 1);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
    QVERIFY(child(w.get(), "KhList")->isVisible());
    QVERIFY(!child(w.get(), "DnsList")->isVisible());

    tabs->setCurrentIndex(1);
    QCOMPARE(w->currentTab(), 2);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 个配置"));
    QVERIFY(child(w.get(), "DnsList")->isVisible());
    QVERIFY(!child(w.get(), "KhList")->isVisible());
    for (int i = 0; i < 3; ++i)
        w->addLine();
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 3 个配置"));
    // Refresh writes no status; the clock tick brings the count.
    w->refreshTable();
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 3 个配置"));
    QTRY_COMPARE_WITH_TIMEOUT(w->statusText(1), QStringLiteral("目前共有 0 个配置"), 3000);

    tabs->setCurrentIndex(0);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
    // Panel 2: short date and time with seconds, no zone name, whatever the locale.
    const QDateTime at(QDate(2024, 3, 5), QTime(14, 7, 9));
    QCOMPARE(FrMain::ClockText(at, QLocale(QLocale::Chinese, QLocale::China)),
             QStringLiteral("2024/3/5 14:07:09"));
    // (newer locale data puts a narrow blank before PM)
    const QString us = FrMain::ClockText(at, QLocale(QLocale::English, QLocale::UnitedStates));
    QVERIFY2(us.startsWith(QStringLiteral("3/5/24 2:07:09")) && us.endsWith(QStringLiteral("PM")),
             qPrintable(us));
    w->updateClock();
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 0 台客户端连接"));
}

void TestServerWindow::tableCommandsAndSaveBytes() {
    // The menu "菜单2" and that each item runs its command; the commands themselves, their
    // file bytes and refusals: test_servercontrollers.
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    LineTableModel* table = w->lineTable();
    QCOMPARE(w->tableMenu()->title(), QStringLiteral("菜单2"));
    QStringList captions;
    for (QAction* a : w->tableMenu()->actions())
        captions << (a->isSeparator() ? QStringLiteral("-") : a->text());
    QCOMPARE(captions, (QStringList{"增 加", "删 除", "-", "保 存", "刷 新"}));
    QVERIFY(action(w.get(), "MenuLine2")->isSeparator());

    // Add: the row, the count in panel 1 and the switch menu follow at once.
    action(w.get(), "ZengJia")->trigger();
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 1 个配置"));
    QCOMPARE(w->lineMenu()->captions(), QStringList{QStringLiteral("配置名称")});
    table->setRows(
        {Line("A", "1.1.1.1", "2.2.2.2", "3.3.3.3"), Line("B", "4.4.4.4", "5.5.5.5", "6.6.6.6")});
    action(w.get(), "BaoCun")->trigger();
    QVERIFY(m_messages.isEmpty());
    QCOMPARE(ReadFileBytes(w->lineFilePath()), kTwoRecords);
    QCOMPARE(w->lineMenu()->captions(), (QStringList{"A", "B"}));

    // Refresh drops the unsaved row.
    action(w.get(), "ZengJia")->trigger();
    QCOMPARE(w->lineMenu()->captions(), (QStringList{"A", "B", "配置名称"}));
    action(w.get(), "ShuaXin")->trigger();
    QCOMPARE(table->rowCount(), 2);
    QCOMPARE(w->lineMenu()->captions(), (QStringList{"A", "B"}));

    // Delete takes the row selected in DnsList.
    auto* dns = child<QTableView>(w.get(), "DnsList");
    dns->selectRow(1);
    action(w.get(), "ShanChu")->trigger();
    QCOMPARE(table->rowCount(), 1);
    QCOMPARE(table->cellText(0, 1), QStringLiteral("A"));
    QCOMPARE(w->statusText(1), QStringLiteral("目前共有 1 个配置"));
    QCOMPARE(w->lineMenu()->captions(), QStringList{"A"});
    dns->selectRow(0);
    action(w.get(), "ShanChu")->trigger();
    QCOMPARE(w->lineMenu()->captions(), QStringList{QStringLiteral("暂无配置列表")});
}

void TestServerWindow::addStopsAtTwentyAndDeleteNeedsASelection() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    for (int i = 0; i < 20; ++i)
        action(w.get(), "ZengJia")->trigger();
    QVERIFY(m_messages.isEmpty());
    QCOMPARE(w->lineTable()->cellText(19, 0), QStringLiteral("20"));
    QCOMPARE(w->lineMenu()->entryCount(), 20);
    action(w.get(), "ZengJia")->trigger();
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.at(0).text, QStringLiteral("只能设置20条线路"));
    QCOMPARE(w->lineTable()->rowCount(), 20);

    child<QTableView>(w.get(), "DnsList")->clearSelection();
    action(w.get(), "ShanChu")->trigger();
    QCOMPARE(w->lineTable()->rowCount(), 20);
    QCOMPARE(m_messages.size(), 1);
}

void TestServerWindow::cellEditorEnterEscAndFocusLoss() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    LineTableModel* table = w->lineTable();
    table->setRows({Line("R1", "1.1.1.1", "1.1.1.2", "1.1.1.3"),
                    Line("R2", "2.2.2.1", "2.2.2.2", "2.2.2.3"),
                    Line("R3", "10.0.0.1", "3.3.3.2", "3.3.3.3")});
    w->rebuildLineMenu();
    child<QTabWidget>(w.get(), "Tabs")->setCurrentIndex(1);
    auto* dns = child<QTableView>(w.get(), "DnsList");
    auto* text1 = child<QLineEdit>(w.get(), "Text1");
    QVERIFY(!text1->isVisible());
    QSignalSpy returns(text1, &QLineEdit::returnPressed);

    const auto startEdit = [&] {
        const QRect cell = dns->visualRect(table->index(2, 2));
        QTest::mouseDClick(dns->viewport(), Qt::LeftButton, {}, cell.center());
        return cell;
    };

    // Enter keeps the typed text.
    const QRect cell = startEdit();
    QVERIFY(text1->isVisible());
    QCOMPARE(text1->text(), QStringLiteral("10.0.0.1"));
    QCOMPARE(text1->selectedText(), QStringLiteral("10.0.0.1"));
    QCOMPARE(table->cellText(2, 2), QString());
    QCOMPARE(w->cellEditor()->editRow(), 3);
    QCOMPARE(w->cellEditor()->editColumn(), 2);
    QCOMPARE(dns->selectionModel()->selectedRows().value(0).row(), 2);
    const QPoint cellTopLeft = dns->viewport()->mapTo(text1->parentWidget(), cell.topLeft());
    QCOMPARE(text1->pos(), cellTopLeft + QPoint(4, 0));
    QCOMPARE(text1->height(), cell.height());
    QTRY_VERIFY(text1->hasFocus());
    QTest::keyClicks(text1, QStringLiteral("10.0.0.2"));
    QTest::keyClick(text1, Qt::Key_Return);
    QCOMPARE(table->cellText(2, 2), QStringLiteral("10.0.0.2"));
    QVERIFY(!text1->isVisible());
    QCOMPARE(text1->text(), QString());
    QCOMPARE(w->cellEditor()->editRow(), 0);
    QCOMPARE(w->lineController()->switchTable().at(2).gateway, QStringLiteral("10.0.0.2"));
    QCOMPARE(returns.size(), 0); // Enter never reaches the box

    // Esc restores the old text.
    startEdit();
    QTest::keyClicks(text1, QStringLiteral("9.9.9.9"));
    QTest::keyClick(text1, Qt::Key_Escape);
    QCOMPARE(table->cellText(2, 2), QStringLiteral("10.0.0.2"));
    QVERIFY(!text1->isVisible());
    QCOMPARE(returns.size(), 0);

    // Focus moving to another control keeps the new text.
    startEdit();
    QTRY_VERIFY(text1->hasFocus());
    QTest::keyClicks(text1, QStringLiteral("abc"));
    child(w.get(), "FwqDk")->setFocus();
    QTRY_VERIFY(!text1->isVisible());
    QCOMPARE(table->cellText(2, 2), QStringLiteral("abc"));
    QCOMPARE(w->lineController()->switchTable().at(2).gateway, QStringLiteral("abc"));
    // The editor takes anything; Save refuses it.
    action(w.get(), "BaoCun")->trigger();
    QCOMPARE(m_messages.size(), 1);
    QCOMPARE(m_messages.at(0).text, QStringLiteral("请将所有内容填写完整并正确"));

    // A double click on another cell while editing ends the first edit with its text kept.
    startEdit();
    QTest::keyClicks(text1, QStringLiteral("10.0.0.3"));
    const QRect nameCell = dns->visualRect(table->index(0, 1));
    QTest::mouseDClick(dns->viewport(), Qt::LeftButton, {}, nameCell.center());
    QCOMPARE(table->cellText(2, 2), QStringLiteral("10.0.0.3"));
    QCOMPARE(w->cellEditor()->editRow(), 1);
    QCOMPARE(text1->text(), QStringLiteral("R1"));
    QCOMPARE(table->cellText(0, 1), QString());
    // A table command ends the edit first: Save sees the edited cell, never an empty one.
    QTest::keyClicks(text1, QStringLiteral("First"));
    action(w.get(), "ZengJia")->trigger();
    QVERIFY(!text1->isVisible());
    QCOMPARE(table->cellText(0, 1), QStringLiteral("First"));
    QCOMPARE(w->lineMenu()->captions().value(0), QStringLiteral("First"));

    // An empty cell keeps the cell's width until the first keystroke, then fits the text.
    table->setCellText(1, 4, QString());
    const QRect emptyCell = dns->visualRect(table->index(1, 4));
    QTest::mouseDClick(dns->viewport(), Qt::LeftButton, {}, emptyCell.center());
    QVERIFY(text1->isVisible());
    QCOMPARE(text1->width(), emptyCell.width());
    QTest::keyClicks(text1, QStringLiteral("8.8.8.8"));
    QCOMPARE(text1->width(), w->fontMetrics().horizontalAdvance(QStringLiteral("8.8.8.8")) + 12);
    // Every change fits the box to its text, also when the text is erased.
    text1->selectAll();
    QTest::keyClick(text1, Qt::Key_Backspace);
    QCOMPARE(text1->width(), 12);
    QTest::keyClicks(text1, QStringLiteral("8.8.8.8"));
    QTest::keyClick(text1, Qt::Key_Enter);
    QCOMPARE(table->cellText(1, 4), QStringLiteral("8.8.8.8"));

    // Clicking the other tab ends the edit with its text kept: the box never floats over the
    // client list.
    startEdit();
    QTest::keyClicks(text1, QStringLiteral("10.0.0.4"));
    auto* tabBar = child<QTabWidget>(w.get(), "Tabs")->tabBar();
    QTest::mouseClick(tabBar, Qt::LeftButton, {}, tabBar->tabRect(0).center());
    QCOMPARE(w->currentTab(), 1);
    QVERIFY(!text1->isVisible());
    QVERIFY(!w->cellEditor()->isEditing());
    QCOMPARE(table->cellText(2, 2), QStringLiteral("10.0.0.4"));

    // A new edit starting while one is open lays the box over the cell where it is once the
    // first edit has ended and the columns have been fitted.
    child<QTabWidget>(w.get(), "Tabs")->setCurrentIndex(1);
    QVERIFY(w->cellEditor()->begin(table->index(0, 1)));
    QTest::keyClicks(text1, QStringLiteral("a much longer name than any other cell holds"));
    QVERIFY(w->cellEditor()->begin(table->index(0, 2)));
    const QRect moved = dns->visualRect(table->index(0, 2));
    QCOMPARE(text1->x(), dns->viewport()->mapTo(text1->parentWidget(), moved.topLeft()).x() + 4);

    // A right click on the table ends the edit (text kept) before its menu can run a command.
    QTest::keyClicks(text1, QStringLiteral("10.0.0.5"));
    const QPoint at = dns->visualRect(table->index(1, 1)).center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, dns->viewport()->mapToGlobal(at));
    QApplication::sendEvent(dns->viewport(), &menuEvent);
    QVERIFY(!text1->isVisible());
    QCOMPARE(table->cellText(0, 2), QStringLiteral("10.0.0.5"));
    QTRY_VERIFY(w->tableMenu()->isVisible());
    w->tableMenu()->close();
}

void TestServerWindow::cellEditorIgnoresOtherClicks() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    LineTableModel* table = w->lineTable();
    table->setRows({Line("R1", "1.1.1.1", "1.1.1.2", "1.1.1.3")});
    child<QTabWidget>(w.get(), "Tabs")->setCurrentIndex(1);
    auto* dns = child<QTableView>(w.get(), "DnsList");
    auto* text1 = child<QLineEdit>(w.get(), "Text1");

    QTest::mouseDClick(dns->viewport(), Qt::LeftButton, {},
                       dns->visualRect(table->index(0, 0)).center());
    QVERIFY(!text1->isVisible()); // the ID column
    QTest::mouseDClick(dns->viewport(), Qt::RightButton, {},
                       dns->visualRect(table->index(0, 1)).center());
    QVERIFY(!text1->isVisible());
    const QRect last = dns->visualRect(table->index(0, 1));
    QVERIFY(dns->viewport()->height() > last.bottom() + 30);
    QTest::mouseDClick(dns->viewport(), Qt::LeftButton, {}, last.center() + QPoint(0, 30));
    QVERIFY(!text1->isVisible());
    QVERIFY(!w->cellEditor()->isEditing());
    QCOMPARE(table->cellText(0, 1), QStringLiteral("R1"));
}

void TestServerWindow::switchCommandReachesTheSelectedConnectionOnly() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    w->lineTable()->setRows(
        {Line("A", "10.1.1.1", "10.1.1.2", "10.1.1.3"), Line("X", "10.2.2.1", "10.2.2.2", "")});
    w->rebuildLineMenu();

    QTcpSocket first;
    QTcpSocket second;
    first.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(first.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 1));
    second.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(second.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 2));

    auto* kh = child<QTableView>(w.get(), "KhList");
    // The pop-up is offered on a right click, whether or not a row is selected.
    const QPoint at = kh->viewport()->rect().center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, kh->viewport()->mapToGlobal(at));
    QApplication::sendEvent(kh->viewport(), &menuEvent);
    QMenu* popup = w->lineMenu()->popupMenu();
    QTRY_VERIFY(popup->isVisible());
    popup->close();

    // No selected row: nothing is sent, nothing is said.
    kh->clearSelection();
    QAction* lineX = w->findChild<QAction*>(QStringLiteral("XianLu2"));
    QVERIFY(lineX);
    QCOMPARE(lineX->text(), QStringLiteral("X"));
    lineX->trigger();

    // Both rows come from 127.0.0.1: the command goes to the selected row's own connection.
    kh->selectRow(1);
    lineX->trigger();
    const QByteArray expected = ToGbk(QStringLiteral("切换10.2.2.1;10.2.2.2;"));
    QCOMPARE(Protocol::ComposeSwitchCommand("10.2.2.1", "10.2.2.2", ""), expected);
    QTRY_COMPARE(second.bytesAvailable(), qint64(expected.size()));
    QCOMPARE(second.readAll(), expected);
    QTest::qWait(200);
    QCOMPARE(first.bytesAvailable(), qint64(0));
    QVERIFY(m_messages.isEmpty());

    // The first row's connection goes while the menu is open on it: its row leaves and the
    // view selects the neighbour, yet the command is not redirected to that other workstation.
    kh->selectRow(0);
    QContextMenuEvent again(QContextMenuEvent::Mouse, at, kh->viewport()->mapToGlobal(at));
    QApplication::sendEvent(kh->viewport(), &again);
    QTRY_VERIFY(popup->isVisible());
    first.abort();
    QTRY_VERIFY(w->hub()->connectionCount() == 1);
    QVERIFY(waitForRows(w.get(), 1));
    w->findChild<QAction*>(QStringLiteral("XianLu1"))->trigger();
    popup->close();
    QTest::qWait(200);
    QCOMPARE(second.bytesAvailable(), qint64(0));
    // Nor is the remaining row selected in its place: a later pick sends nothing either.
    QVERIFY(kh->selectionModel()->selectedRows().isEmpty());
    w->findChild<QAction*>(QStringLiteral("XianLu1"))->trigger();
    QTest::qWait(100);
    QCOMPARE(second.bytesAvailable(), qint64(0));
}

void TestServerWindow::lineMenuShowsTheNamesAsCaptions() {
    LineMenu menu;
    QSignalSpy chosen(&menu, &LineMenu::lineChosen);
    menu.build({});
    QCOMPARE(menu.captions(), QStringList{QStringLiteral("暂无配置列表")});
    QVERIFY(!menu.switchMenu()->actions().at(0)->isEnabled());
    QCOMPARE(menu.entryCount(), 1);
    QVERIFY(!menu.trigger(0));
    QVERIFY(chosen.isEmpty());

    menu.build({"A", "B&B", "C"});
    // "&" is shown as itself, not taken as a mnemonic.
    QCOMPARE(menu.captions(), (QStringList{"A", "B&B", "C"}));
    QCOMPARE(menu.switchMenu()->actions().at(1)->text(), QStringLiteral("B&&B"));
    QCOMPARE(menu.entryCount(), 3);
    QCOMPARE(menu.popupMenu()->title(), QStringLiteral("菜单1"));
    QCOMPARE(menu.popupMenu()->actions().size(), 3);
    QCOMPARE(menu.popupMenu()->actions().at(0)->text(), QStringLiteral("切换到"));
    // Moving a whole line offers every other line as the target.
    const QList<QAction*> sources = menu.moveLineMenu()->actions();
    QCOMPARE(sources.size(), 3);
    QCOMPARE(sources.at(1)->text(), QStringLiteral("把 B&&B 线路上的全部机子切换到"));
    QCOMPARE(sources.at(1)->menu()->actions().size(), 2);
    QSignalSpy moved(&menu, &LineMenu::moveLineChosen);
    QVERIFY(!menu.triggerMove(1, 1));
    menu.setMoveSourceEnabled(2, false);
    QVERIFY(!menu.triggerMove(2, 0));
    QVERIFY(menu.triggerMove(1, 2));
    QCOMPARE(moved.size(), 1);
    QCOMPARE(moved.at(0), (QList<QVariant>{1, 2}));
    QCOMPARE(menu.switchMenu()->objectName(), QStringLiteral("Qih"));
    QVERIFY(menu.trigger(1));
    QCOMPARE(chosen.size(), 1);
    QCOMPARE(chosen.at(0).at(0).toInt(), 1);

    // Rebuilt with fewer lines: the old entries are gone.
    menu.build({"A", "C"});
    QCOMPARE(menu.captions(), (QStringList{"A", "C"}));
    QCOMPARE(menu.switchMenu()->actions().at(1)->objectName(), QStringLiteral("XianLu2"));
    QVERIFY(!menu.trigger(2));
    QCOMPARE(chosen.size(), 1);
}

void TestServerWindow::minimiseNeverHidesWithoutATray() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->showMinimized();
    QTest::qWait(50);
    QCOMPARE(w->isVisible(), !TrayAvailable());
    if (TrayAvailable())
        QSKIP("a system tray is present: hiding is the intended behaviour there");
}

void TestServerWindow::closingEndsEverything() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(5000));
    QVERIFY(waitForRows(w.get(), 1));
    // Closed from the icon's menu while hidden in the notification area: the program ends.
    QSignalSpy closed(w.get(), &FrMain::closed);
    w->hide();
    QVERIFY(TrayMenu(w.get()));
    TrayMenu(w.get())->findChild<QAction*>(QStringLiteral("trayQuit"))->trigger();
    QTRY_COMPARE(closed.size(), 1);
    QVERIFY(!HasTrayIcon(w.get()));
    QVERIFY(!w->hub()->isListening());
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
}

// At its first size the window shows the four headers of the client list whole, with no
// horizontal scrollbar; after a fit to long contents the last column still takes the room left.
void TestServerWindow::initialWindowShowsEveryClientHeader() {
    SetSetting("FwqDk", QString::number(FreePort()));
    FrMainOptions options;
    options.singleInstance = false;
    options.programDirectory = m_dir->path();
    options.messageHook = [](const QString&, const QString&, QMessageBox::Icon) {};
    FrMain w(options); // at the size it chooses itself
    QVERIFY(w.start());
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    auto* list = qobject_cast<QTableView*>(child(&w, "KhList"));
    QVERIFY(list);
    QHeaderView* header = list->horizontalHeader();
    QCOMPARE(header->count(), 4);
    int total = 0;
    for (int column = 0; column < 4; ++column) {
        QVERIFY2(header->sectionSize(column) >= header->sectionSizeHint(column),
                 qPrintable(QString::number(column)));
        total += header->sectionSize(column);
    }
    QVERIFY2(total <= list->viewport()->width(),
             qPrintable(QStringLiteral("%1 > %2").arg(total).arg(list->viewport()->width())));
    QVERIFY(!list->horizontalScrollBar()->isVisible());

    // Showing the tab again fits the columns: the last one stretches over the rest of the list.
    auto* tabs = qobject_cast<QTabWidget*>(child(&w, "Tabs"));
    tabs->setCurrentIndex(1);
    tabs->setCurrentIndex(0);
    const int fitted = header->sectionSize(0) + header->sectionSize(1) + header->sectionSize(2);
    QCOMPARE(fitted + header->sectionSize(3), list->viewport()->width());
    w.resize(w.width() + 120, w.height());
    QTRY_COMPARE(fitted + header->sectionSize(3), list->viewport()->width());
}

// "线路统计": a line's backup is picked from its pop-up menu and kept in the settings; a failing
// line shows its state there, and a failover is said in the status bar.
void TestServerWindow::backupLineIsChosenInTheLineStatsTab() {
    SetSetting("FwqDk", QString::number(FreePort()));
    auto w = makeWindow();
    QVERIFY(w->start());
    w->lineTable()->setRows({Line("A", "10.1.1.1", "10.1.1.2", ""),
                             Line("X", "10.2.2.1", "10.2.2.2", ""),
                             Line("C", "10.3.3.1", "10.3.3.2", "")});
    w->rebuildLineMenu();
    child<QTabWidget>(w.get(), "Tabs")->setCurrentIndex(2);
    auto* stats = child<QTableView>(w.get(), "XianLuTongJi");
    QCOMPARE(stats->model()->columnCount(), 6);

    QMenu* menu = w->lineStatsMenu(0);
    QVERIFY(menu);
    QVERIFY(!w->lineStatsMenu(3)); // the row of unknown lines has no backup
    auto* backups = menu->findChild<QMenu*>(QStringLiteral("BackupLine"));
    QVERIFY(backups);
    QStringList captions;
    for (QAction* a : backups->actions())
        captions << a->text();
    QCOMPARE(captions,
             (QStringList{QStringLiteral("无"), QStringLiteral("X"), QStringLiteral("C")}));
    QVERIFY(backups->findChild<QAction*>(QStringLiteral("BackupNone"))->isChecked());
    backups->findChild<QAction*>(QStringLiteral("Backup2"))->trigger();
    QCOMPARE(w->failover()->backupOf(QStringLiteral("A")), QStringLiteral("X"));
    QCOMPARE(Setting("Failover/A"), QStringLiteral("X"));
    backups = w->lineStatsMenu(0)->findChild<QMenu*>(QStringLiteral("BackupLine"));
    QVERIFY(backups->findChild<QAction*>(QStringLiteral("Backup2"))->isChecked());

    // Failing at once and past a failover time of zero: moved (nobody is on it here), shown.
    w->failover()->setFailoverAfter(0);
    w->lineHealth()->record(7, {QStringLiteral("A"), QStringLiteral("10.1.1.1"),
                                QStringLiteral("10.1.1.2"), false, false, 0});
    QVERIFY(w->statusBar()->currentMessage().startsWith(QStringLiteral("自动切换：线路 A")));
    const QModelIndex state = stats->model()->index(0, LineLoadModel::StateColumn);
    QTRY_COMPARE(state.data().toString(), QStringLiteral("故障，已切换到 X"));
    QCOMPARE(state.data(LineLoadModel::LineStateRole).toInt(),
             int(LineLoadModel::LineState::Failing));
}

QTEST_MAIN(TestServerWindow)
#include "test_frmain.moc"

// Many workstations at once: Ctrl+A and one pick, then a whole line moved; the status bar
// counts the confirmations and the third tab the workstations per line.
void TestServerWindow::bulkCommandsAreFollowedInTheWindow() {
    const quint16 port = FreePort();
    SetSetting("FwqDk", QString::number(port));
    auto w = makeWindow();
    QVERIFY(w->start());
    w->lineTable()->setRows(
        {Line("A", "10.1.1.1", "10.1.1.2", ""), Line("X", "10.2.2.1", "10.2.2.2", "")});
    w->rebuildLineMenu();

    std::vector<std::unique_ptr<QTcpSocket>> peers;
    auto reportLine = [](QTcpSocket& peer, const char* gateway, const char* dns) {
        peer.write(Protocol::ComposeReport(QString::fromLatin1(gateway), QString::fromLatin1(dns),
                                           QString(), QStringLiteral("0")));
        peer.flush();
    };
    for (int i = 0; i < 3; ++i) {
        peers.push_back(std::make_unique<QTcpSocket>());
        peers.back()->connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(peers.back()->waitForConnected(5000));
        reportLine(*peers.back(), "10.1.1.1", "10.1.1.2");
    }
    QVERIFY(waitForRows(w.get(), 3));

    auto* kh = child<QTableView>(w.get(), "KhList");
    kh->setFocus();
    QTest::keyClick(kh, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(kh->selectionModel()->selectedRows().size(), 3);
    w->findChild<QAction*>(QStringLiteral("XianLu2"))->trigger();
    const QByteArray toX = ToGbk(QStringLiteral("切换10.2.2.1;10.2.2.2;"));
    for (auto& peer : peers) {
        QTRY_COMPARE(peer->bytesAvailable(), qint64(toX.size()));
        QCOMPARE(peer->readAll(), toX);
    }
    QTRY_COMPARE(w->switchSummaryText(), QStringLiteral("切换中 3 台，已完成 0 台，失败 0 台"));
    for (auto& peer : peers)
        reportLine(*peer, "10.2.2.1", "10.2.2.2");
    QTRY_COMPARE(w->switchSummaryText(), QStringLiteral("切换中 0 台，已完成 3 台，失败 0 台"));

    // The third tab counts them on X now.
    auto* tabs = child<QTabWidget>(w.get(), "Tabs");
    tabs->setCurrentIndex(2);
    QCOMPARE(w->currentTab(), 3);
    QTRY_COMPARE(w->lineLoad()->countOf(1), 3);
    QCOMPARE(w->lineLoad()->countOf(0), 0);

    // Everything on X back to A, from the menu as it opens.
    emit w->lineMenu()->popupMenu()->aboutToShow();
    QVERIFY(!w->lineMenu()->triggerMove(0, 1)); // nobody on A
    QVERIFY(w->lineMenu()->triggerMove(1, 0));
    const QByteArray toA = ToGbk(QStringLiteral("切换10.1.1.1;10.1.1.2;"));
    for (auto& peer : peers) {
        QTRY_COMPARE(peer->bytesAvailable(), qint64(toA.size()));
        QCOMPARE(peer->readAll(), toA);
    }

    // "切换记录" shows every command that has ended, with the lines and the outcome.
    child<QPushButton>(w.get(), "AuditLogButton")->click();
    auto* log = w->findChild<QPlainTextEdit*>(QStringLiteral("AuditLogText"));
    QVERIFY(log && log->isVisible());
    QCOMPARE(log->toPlainText().count(QStringLiteral("\t127.0.0.1\t-\tX\t已完成")), 3);
}
