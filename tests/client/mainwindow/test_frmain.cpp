#include "tests/client/mainwindow/clienttestsupport.h"

#include "client/cmd5.h"
#include "client/linelist.h"
#include "client/serverlink.h"
#include "common/singleinstance.h"
#include "common/trayicon.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

using namespace torvane;
using namespace torvane::client;

namespace {
const QString kTwoLines = QStringLiteral("电信;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n"
                                         "网通;10.1.0.9;255.255.0.0;10.1.0.1;10.1.0.53;;\r\n");
} // namespace

class TestFrMain : public QObject {
    Q_OBJECT

    static QString labelText(FrMain& window, const char* name) {
        auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("<missing %1>").arg(QLatin1String(name));
    }

    static void pick(FrMain& window, int row) {
        auto* list = window.findChild<QListWidget*>(QStringLiteral("WgList"));
        QVERIFY(list);
        QListWidgetItem* item = list->item(row);
        QVERIFY(item);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(item).center());
    }

    static void click(FrMain& window, const char* name) {
        auto* button = window.findChild<QAbstractButton*>(QString::fromLatin1(name));
        QVERIFY2(button, name);
        QTest::mouseClick(button, Qt::LeftButton);
    }

private slots:
    void init() { ClearSettings(); }

    void startOnCleanSettingsWritesDefaults() {
        // A failed signal connection or an icon without a picture shows up only as a warning.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect|No Icon set")));
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.window->start());

        QCOMPARE(client.window->windowTitle(), QStringLiteral("Torvane -- 客户端"));
        QCOMPARE(Setting("FwqIp"), QStringLiteral("192.168.0.1"));
        QCOMPARE(Setting("FwqDk"), QStringLiteral("15200"));
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QCOMPARE(Setting("AdminPwd"), Cmd5().md5(QString()));
        QSettings store(RegStoreFilePath(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey)),
                        QSettings::IniFormat);
        QVERIFY(!store.contains(QStringLiteral("Qd"))); // in memory only
        QCOMPARE(client.window->settings().qd, QStringLiteral("0"));
        QVERIFY(client.window->settings().adminUnlocked);
        QVERIFY(HasTrayIcon(client.window.get()));
        QCOMPARE(CurrentTrayState(client.window.get()).tip, QStringLiteral("Torvane -- 客户端"));
        // No server address was stored: the first attempt waits for the reconnect timer.
        QCOMPARE(client.window->link().socket()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(client.window->link().reconnectIntervalMs(), 1000);
        QVERIFY(client.messages.isEmpty());
        // Shown topmost, then minimised; without a notification area it is never hidden.
        QVERIFY(client.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(client.window->isMinimized());
        if (!TrayAvailable())
            QVERIFY(client.window->isVisible());
    }

    void storedSettingsAreKeptAndPasswordLocks() {
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", QStringLiteral("1"));
        SetSetting("GengXin", QStringLiteral("0"));
        SetSetting("AdminPwd", Cmd5().md5(QStringLiteral("secret")));
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.window->start());
        QCOMPARE(Setting("GengXin"), QStringLiteral("0"));
        QCOMPARE(Setting("AdminPwd"), Cmd5().md5(QStringLiteral("secret")));
        QVERIFY(!client.window->settings().adminUnlocked);

        click(*client.window, "SzOk");
        QCOMPARE(client.messages.size(), 1);
        QCOMPARE(client.messages.first().first, QStringLiteral("程序提示"));
        QCOMPARE(client.messages.first().second, QStringLiteral("请先解锁后再进行参数设置"));
    }

    void buttonsOpenTheDialogs_data() {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QString>("dialog");
        QTest::newRow("SzOk unlocked") << QByteArray("SzOk") << QStringLiteral("FrAdd");
        QTest::newRow("GlMm") << QByteArray("GlMm") << QStringLiteral("FrPwd");
    }

    void buttonsOpenTheDialogs() {
        QFETCH(QByteArray, button);
        QFETCH(QString, dialog);
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.window->start());
        QString opened;
        QTimer::singleShot(0, this, [&opened] {
            QWidget* modal = QApplication::activeModalWidget();
            opened = modal ? modal->objectName() : QStringLiteral("<none>");
            if (modal)
                modal->close();
        });
        click(*client.window, button.constData());
        QCOMPARE(opened, dialog);
        QVERIFY(client.messages.isEmpty());
    }

    void emptyPasswordDigestWithBlanksUnlocks() {
        SetSetting("AdminPwd", QStringLiteral("  ") + Cmd5().md5(QString()));
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.window->start());
        QVERIFY(client.window->settings().adminUnlocked);
        QCOMPARE(Setting("AdminPwd"), Cmd5().md5(QString()));
    }

    void controlsCarryTheirCaptions() {
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {}));
        FrMain& w = *client.window;
        const QList<QPair<const char*, QString>> buttons{
            {"QhOk", QStringLiteral("开始切换")},
            {"XgOkClose", QStringLiteral("修改成功后最小化")},
            {"SzOk", QStringLiteral("参数设置")},
            {"GlMm", QStringLiteral("管理密码")},
            {"CloseOk", QStringLiteral("退出")}};
        for (const auto& [name, caption] : buttons) {
            auto* button = w.findChild<QAbstractButton*>(QString::fromLatin1(name));
            QVERIFY2(button, name);
            QCOMPARE(button->text(), caption);
        }
        QCOMPARE(labelText(w, "Label2"), QStringLiteral("目前支持WIN2000/WIN XP/WIN2003"));
        QCOMPARE(labelText(w, "Label3"),
                 QStringLiteral("本软件只为方便网吧多光纤线路切换而设计制作"));
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("本机IP："));
        QVERIFY(w.findChild<QWidget*>(QStringLiteral("Frame1")));
    }

    void inspectionFillsTheLabels() {
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"),
                                      {QStringLiteral("10.0.0.53"), QStringLiteral("10.0.0.54"),
                                       QStringLiteral("10.0.0.55")}));
        QVERIFY(client.window->start());
        FrMain& w = *client.window;
        QCOMPARE(labelText(w, "JsjName"), QStringLiteral("计算机名称：ws01"));
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("内网IP：10.0.0.7"));
        QCOMPARE(labelText(w, "ZwYm"), QStringLiteral("子网掩码：255.255.255.0"));
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.0.0.1"));
        QCOMPARE(labelText(w, "FrDns"), QStringLiteral("首选DNS：10.0.0.53"));
        QCOMPARE(labelText(w, "SeDns"), QStringLiteral("备用DNS：10.0.0.55")); // the last one

        // A single server leaves no stale secondary behind.
        client.adapter->setParams(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.9")}));
        w.inspectAdapter();
        QCOMPARE(labelText(w, "FrDns"), QStringLiteral("首选DNS：10.0.0.9"));
        QCOMPARE(labelText(w, "SeDns"), QStringLiteral("备用DNS："));
        QCOMPARE(w.adapterSnapshot().secondaryDns, QString());
    }

    void inspectionErrorsStopWhereTheyHappen_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("dnsShown");
        QTest::newRow("1") << 1 << false;
        QTest::newRow("2") << 2 << false;
        QTest::newRow("3") << 3 << true;
        QTest::newRow("4") << 4 << true;
    }

    void inspectionErrorsStopWhereTheyHappen() {
        QFETCH(int, error);
        QFETCH(bool, dnsShown);
        NetworkParams params = Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")});
        params.error = error;
        ClientUnderTest client(params);
        QVERIFY(client.window->start());
        QCOMPARE(client.messages.size(), 1);
        QCOMPARE(client.messages.first().first, QStringLiteral("程序提示"));
        QCOMPARE(client.messages.first().second,
                 QStringLiteral("程序错误%1，请联系QQ群：").arg(error) + FrMain::SupportGroup());
        FrMain& w = *client.window;
        QCOMPARE(labelText(w, "FrDns") == QStringLiteral("首选DNS：10.0.0.53"), dnsShown);
        QCOMPARE(labelText(w, "JsjName") == QStringLiteral("计算机名称：ws01"), dnsShown);
        // The address labels keep what they held.
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("本机IP："));
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP："));
        QCOMPARE(w.adapterSnapshot().gateway, QString());
    }

    void findCurrentLineTakesTheFirstMatch() {
        const QList<LineEntry> lines{
            {QStringLiteral("甲"),
             {},
             {},
             QStringLiteral("10.0.0.1"),
             QStringLiteral("10.0.0.53"),
             {}},
            {QStringLiteral("乙"),
             QStringLiteral("10.0.0.8"),
             {},
             QStringLiteral("10.0.0.1"),
             QStringLiteral("10.0.0.53"),
             QStringLiteral("9.9.9.9")},
            {QStringLiteral("丙"),
             {},
             {},
             QStringLiteral("10.0.0.2"),
             QStringLiteral("10.0.0.53"),
             {}},
        };
        const CurrentLine first =
            FindCurrentLine(lines, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"));
        QCOMPARE(first.index, 0);
        QCOMPARE(first.name, QStringLiteral("甲"));
        QCOMPARE(first.labelText, QString(QStringLiteral("您目前使用的线路是") + QChar(0x3000) +
                                          QStringLiteral("甲")));
        // Gateway and primary DNS both decide; text comparison is exact.
        QCOMPARE(
            FindCurrentLine(lines, QStringLiteral("10.0.0.2"), QStringLiteral("10.0.0.53")).index,
            2);
        const CurrentLine none =
            FindCurrentLine(lines, QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.54"));
        QCOMPARE(none.index, -1);
        QCOMPARE(none.name, QString());
        QCOMPARE(none.labelText, QStringLiteral("目前所使用的线路不在列表内"));
        QCOMPARE(FindCurrentLine({}, {}, {}).labelText,
                 QStringLiteral("目前所使用的线路不在列表内"));
    }

    void startFindsTheCurrentLine() {
        ClientUnderTest client(Params(QStringLiteral("10.1.0.1"), {QStringLiteral("10.1.0.53")}));
        client.writeLineFile(kTwoLines);
        auto* label = client.window->findChild<QLabel*>(QStringLiteral("XuanZe"));
        QVERIFY(!label->font().bold());
        QVERIFY(client.window->start());
        QCOMPARE(client.window->lineList().size(), 2);
        QCOMPARE(client.window->findChild<QListWidget*>(QStringLiteral("WgList"))->count(), 2);
        QCOMPARE(client.window->currentLineName(), QStringLiteral("网通"));
        QCOMPARE(label->text(), QString(QStringLiteral("您目前使用的线路是　网通")));
        QVERIFY(label->font().bold());
    }

    void pickThenSwitch() {
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.window->start());
        FrMain& w = *client.window;
        QCOMPARE(w.currentLineName(), QStringLiteral("电信"));

        // Focus entering the list makes a row current, but that is not a pick.
        w.showNormal();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto* list = w.findChild<QListWidget*>(QStringLiteral("WgList"));
        list->setFocus(Qt::TabFocusReason);
        click(w, "QhOk"); // nothing picked yet: nothing happens
        QVERIFY(client.adapter->switchCalls().isEmpty());

        pick(w, 1);
        QCOMPARE(w.selectedLine().gateway, QStringLiteral("10.1.0.1"));
        QVERIFY(client.adapter->switchCalls().isEmpty()); // picking alone applies nothing

        QSignalSpy finished(&w, &FrMain::switchFinished);
        click(w, "QhOk");
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(client.adapter->switchCalls().size(), 1);
        const AdapterSettings applied = client.adapter->switchCalls().first();
        QCOMPARE(applied.localIp, QStringLiteral("10.1.0.9"));
        QCOMPARE(applied.subnetMask, QStringLiteral("255.255.0.0"));
        QCOMPARE(applied.gateway, QStringLiteral("10.1.0.1"));
        QCOMPARE(applied.primaryDns, QStringLiteral("10.1.0.53"));
        QCOMPARE(applied.secondaryDns, QString());
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.1.0.1"));
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("内网IP：10.1.0.9"));
        QCOMPARE(labelText(w, "XuanZe"), QStringLiteral("您目前使用的线路是　网通"));
        QCOMPARE(w.currentLineName(), QStringLiteral("网通"));

        // A line without a local IP keeps the address.
        pick(w, 0);
        click(w, "QhOk");
        QCOMPARE(client.adapter->switchCalls().size(), 2);
        QCOMPARE(client.adapter->switchCalls().last().localIp, QString());
        QCOMPARE(client.adapter->switchCalls().last().secondaryDns, QStringLiteral("10.0.0.54"));
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("内网IP：10.1.0.9"));
        QCOMPARE(w.currentLineName(), QStringLiteral("电信"));

        // Without a gateway or a primary DNS a switch does nothing at all.
        QSignalSpy noSwitch(&w, &FrMain::switchFinished);
        w.selectedLine().primaryDns.clear();
        click(w, "QhOk");
        w.selectedLine() = {{}, {}, {}, QStringLiteral("10.0.0.53"), {}};
        click(w, "QhOk");
        QCOMPARE(client.adapter->switchCalls().size(), 2);
        QCOMPARE(noSwitch.size(), 0);
    }

    void minimiseAfterSuccessOnlyAndRestoreFromTray() {
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.window->start());
        FrMain& w = *client.window;
        w.showNormal();
        QTRY_VERIFY(!w.isMinimized());
        w.findChild<QCheckBox*>(QStringLiteral("XgOkClose"))->setChecked(true);

        client.adapter->setFailure(QStringLiteral("need CAP_NET_ADMIN"));
        pick(w, 1);
        click(w, "QhOk");
        QVERIFY(!w.isMinimized()); // a failed switch stays in view
        // The labels show what the adapter still has.
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.0.0.1"));
        QCOMPARE(w.currentLineName(), QStringLiteral("电信"));

        client.adapter->setFailure(QString());
        click(w, "QhOk");
        QVERIFY(w.isMinimized());
        if (!TrayAvailable())
            QVERIFY(w.isVisible());

        // Only a double click on the icon brings the window back, in normal state.
        TrayIconActivated(&w, QSystemTrayIcon::Trigger);
        QVERIFY(w.isMinimized());
        w.hide();
        TrayIconActivated(&w, QSystemTrayIcon::DoubleClick);
        QTRY_VERIFY(w.isVisible() && !w.isMinimized());
    }

    void secondStartIsRefusedAndAnnounced() {
        ClientUnderTest first(Params(QStringLiteral("10.0.0.1"), {}), true);
        QVERIFY(first.window->start());
        QVERIFY(first.window->isPrimaryInstance());
        QCOMPARE(CurrentTrayState(first.window.get()).balloonCount, 0);

        for (int copy = 1; copy <= 2; ++copy) {
            ClientUnderTest second(Params(QStringLiteral("10.0.0.1"), {}), true);
            QVERIFY(!second.window->start());
            QVERIFY(!second.window->isPrimaryInstance());
            QCOMPARE(second.messages.size(), 1);
            QCOMPARE(second.messages.first().first, QStringLiteral("Torvane"));
            QCOMPARE(second.messages.first().second, QStringLiteral("程序已经运行"));
            QVERIFY(!HasTrayIcon(second.window.get()));
            QVERIFY(!second.window->isVisible());
            QTRY_COMPARE(CurrentTrayState(first.window.get()).balloonCount, copy);
        }
        const TrayState tray = CurrentTrayState(first.window.get());
        QCOMPARE(tray.tip, QStringLiteral("Torvane"));
        QCOMPARE(tray.balloonTitle, QStringLiteral("Torvane"));
        QCOMPARE(tray.balloonText, QStringLiteral("已经在这里启动啦"));
        QCOMPARE(tray.balloonIcon, 1);
    }

    void guardWorksWithoutAWritableSettingsFolder() {
        // A settings folder that cannot be created must not pass for a running copy.
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        qputenv("XDG_CONFIG_HOME", dir.filePath(QStringLiteral("file/config")).toLocal8Bit());
        bool firstStarts = false;
        bool secondStarts = true;
        {
            SingleInstanceGuard first(QStringLiteral("Torvane客"));
            firstStarts = first.tryAcquire();
            SingleInstanceGuard second(QStringLiteral("Torvane客"));
            secondStarts = second.tryAcquire();
        }
        qputenv("XDG_CONFIG_HOME", saved);
        QVERIFY(firstStarts);
        QVERIFY(!secondStarts);
    }

    void closeEndsTheProgram_data() {
        QTest::addColumn<bool>("altF4");
        QTest::newRow("CloseOk") << false;
        QTest::newRow("Alt+F4") << true;
    }

    void closeEndsTheProgram() {
        QFETCH(bool, altF4);
        ClientUnderTest client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.window->start());
        QSignalSpy closed(client.window.get(), &FrMain::closed);
        if (altF4)
            QTest::keyClick(client.window.get(), Qt::Key_F4, Qt::AltModifier);
        else
            click(*client.window, "CloseOk");
        QCOMPARE(closed.size(), 1);
        QVERIFY(!HasTrayIcon(client.window.get()));
        QVERIFY(!client.window->serverConnected());
    }
};

QTEST_MAIN(TestFrMain)
#include "test_frmain.moc"
