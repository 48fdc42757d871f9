#include "tests/client/mainwindow/clienttestsupport.h"

#include "client/cmd5.h"
#include "client/linelist.h"
#include "common/trayicon.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
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

    void startShowsTheIconAndHides() {
        // A failed signal connection or an icon without a picture shows up only as a warning.
        QTest::failOnWarning(QRegularExpression(QStringLiteral("QObject::connect|No Icon set")));
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.window->start());

        QCOMPARE(client.window->windowTitle(), QStringLiteral("Torvane -- 客户端"));
        QVERIFY(HasTrayIcon(client.window.get()));
        QCOMPARE(CurrentTrayState(client.window.get()).tip, QStringLiteral("Torvane -- 客户端"));
        QVERIFY(client.shown.isEmpty());
        // Shown topmost, then minimised; without a notification area it is never hidden.
        QVERIFY(client.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(client.window->isMinimized());
        if (!TrayAvailable())
            QVERIFY(client.window->isVisible());
    }

    void lockedSettingsButtonOpensNothing() {
        SetSetting("AdminPwd", Cmd5().md5(QStringLiteral("secret")));
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.window->start());
        QString opened;
        QTimer::singleShot(0, this, [&opened] {
            if (QWidget* modal = QApplication::activeModalWidget()) {
                opened = modal->objectName();
                modal->close();
            }
        });
        click(*client.window, "SzOk");
        QCoreApplication::processEvents();
        QCOMPARE(opened, QString());
        QCOMPARE(client.shown.size(), 1);
        QCOMPARE(client.shown.first().first, QStringLiteral("程序提示"));
        QCOMPARE(client.shown.first().second, QStringLiteral("请先解锁后再进行参数设置"));
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
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {}));
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
        QVERIFY(client.shown.isEmpty());
    }

    void controlsCarryTheirCaptions() {
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {}));
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
        WindowFixture client(Params(QStringLiteral("10.0.0.1"),
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
        client.controller->inspectAdapter();
        QCOMPARE(labelText(w, "FrDns"), QStringLiteral("首选DNS：10.0.0.9"));
        QCOMPARE(labelText(w, "SeDns"), QStringLiteral("备用DNS："));
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
        params.outcome = static_cast<InspectionOutcome>(error);
        WindowFixture client(params);
        QVERIFY(client.window->start());
        QCOMPARE(client.shown.size(), 1);
        QCOMPARE(client.shown.first().first, QStringLiteral("程序提示"));
        QCOMPARE(client.shown.first().second,
                 QStringLiteral("程序错误%1，请联系管理员").arg(error));
        FrMain& w = *client.window;
        QCOMPARE(labelText(w, "FrDns") == QStringLiteral("首选DNS：10.0.0.53"), dnsShown);
        QCOMPARE(labelText(w, "JsjName") == QStringLiteral("计算机名称：ws01"), dnsShown);
        // The address labels keep what they held.
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("本机IP："));
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP："));
    }

    void startFindsTheCurrentLine() {
        WindowFixture client(Params(QStringLiteral("10.1.0.1"), {QStringLiteral("10.1.0.53")}));
        client.writeLineFile(kTwoLines);
        auto* label = client.window->findChild<QLabel*>(QStringLiteral("XuanZe"));
        QVERIFY(!label->font().bold());
        QVERIFY(client.window->start());
        auto* list = client.window->findChild<QListWidget*>(QStringLiteral("WgList"));
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->item(0)->text(), QStringLiteral("电信"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("网通"));
        QCOMPARE(label->text(), QString(QStringLiteral("您目前使用的线路是　网通")));
        QVERIFY(label->font().bold());
    }

    void pickThenSwitch() {
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.window->start());
        FrMain& w = *client.window;
        QCOMPARE(labelText(w, "XuanZe"), QStringLiteral("您目前使用的线路是　电信"));

        // Focus entering the list makes a row current, but that is not a pick.
        w.showNormal();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        auto* list = w.findChild<QListWidget*>(QStringLiteral("WgList"));
        list->setFocus(Qt::TabFocusReason);
        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        click(w, "QhOk"); // nothing picked yet: nothing happens
        QTest::qWait(50);
        QVERIFY(client.adapter->switchCalls().isEmpty());
        QCOMPARE(finished.size(), 0);

        pick(w, 1);
        QCOMPARE(client.controller->selectedLine().gateway, QStringLiteral("10.1.0.1"));
        QVERIFY(client.adapter->switchCalls().isEmpty()); // picking alone applies nothing

        click(w, "QhOk");
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(client.adapter->switchCalls().size(), 1);
        QCOMPARE(client.adapter->switchCalls().first().localIp, QStringLiteral("10.1.0.9"));
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.1.0.1"));
        QCOMPARE(labelText(w, "BjIp"), QStringLiteral("内网IP：10.1.0.9"));
        QCOMPARE(labelText(w, "SeDns"), QStringLiteral("备用DNS："));
        QCOMPARE(labelText(w, "XuanZe"), QStringLiteral("您目前使用的线路是　网通"));

        // Picking with the keyboard is a pick too.
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(client.controller->selectedLine().gateway, QStringLiteral("10.0.0.1"));
        click(w, "QhOk");
        QVERIFY(finished.wait(5000));
        QCOMPARE(labelText(w, "SeDns"), QStringLiteral("备用DNS：10.0.0.54"));
        QCOMPARE(labelText(w, "XuanZe"), QStringLiteral("您目前使用的线路是　电信"));
    }

    void minimiseAfterSuccessOnlyAndRestoreFromTray() {
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.window->start());
        FrMain& w = *client.window;
        w.showNormal();
        QTRY_VERIFY(!w.isMinimized());
        w.findChild<QCheckBox*>(QStringLiteral("XgOkClose"))->setChecked(true);

        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        client.adapter->setFailure(QStringLiteral("need CAP_NET_ADMIN"));
        pick(w, 1);
        click(w, "QhOk");
        QVERIFY(finished.wait(5000));
        QVERIFY(!w.isMinimized()); // a failed switch stays in view
        // The labels show what the adapter still has.
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.0.0.1"));
        QCOMPARE(labelText(w, "XuanZe"), QStringLiteral("您目前使用的线路是　电信"));

        client.adapter->setFailure(QString());
        click(w, "QhOk");
        QVERIFY(finished.wait(5000));
        QVERIFY(w.isMinimized());
        if (!TrayAvailable())
            QVERIFY(w.isVisible());

        // A switch the server commands minimises the window the same way.
        w.showNormal();
        QTRY_VERIFY(!w.isMinimized());
        client.controller->handleServerMessage(ToGbk(QStringLiteral("切换10.0.0.1;10.0.0.53;")));
        QVERIFY(finished.wait(5000));
        QVERIFY(w.isMinimized());

        // A single click waits for a second one; the double click brings the window back, in
        // normal state.
        TrayIconActivated(&w, QSystemTrayIcon::Trigger);
        QVERIFY(w.isMinimized());
        w.hide();
        TrayIconActivated(&w, QSystemTrayIcon::DoubleClick);
        QTRY_VERIFY(w.isVisible() && !w.isMinimized());
    }

    // Commanded switches may fail one after another: one box, showing the latest reason, and the
    // labels still show what the adapter has. Closed, the next failure opens a new one.
    void failedSwitchesShareOneBox() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}),
                                 false, 0);
        FrMain w(*client.controller); // real boxes
        QVERIFY(w.start());
        const auto boxes = [&w] {
            return w.findChildren<QMessageBox*>(QStringLiteral("switchFailureBox"));
        };
        client.adapter->setFailure(QStringLiteral("need CAP_NET_ADMIN"),
                                   SwitchFailure::NoPermission);
        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        client.controller->handleServerMessage(ToGbk(QStringLiteral("切换10.2.0.1;10.2.0.53;")));
        QVERIFY(finished.wait(5000));
        QCOMPARE(boxes().size(), 1);
        QMessageBox* box = boxes().first();
        QCOMPARE(box->windowTitle(), QStringLiteral("程序提示"));
        QVERIFY(box->isVisible() && !box->isModal());
        QVERIFY(box->text().contains(QStringLiteral("权限")));

        client.adapter->setFailure(QStringLiteral("resolv.conf is a link"),
                                   SwitchFailure::ResolverManaged);
        client.controller->handleServerMessage(ToGbk(QStringLiteral("切换10.3.0.1;10.3.0.53;")));
        QVERIFY(finished.wait(5000));
        QCOMPARE(boxes().size(), 1);
        QCOMPARE(boxes().first(), box);
        QCOMPARE(box->text(), ClientController::SwitchFailureText(SwitchFailure::ResolverManaged));
        QCOMPARE(labelText(w, "WgIp"), QStringLiteral("网关IP：10.0.0.1"));

        box->close();
        QTRY_VERIFY(boxes().isEmpty());
        client.controller->handleServerMessage(ToGbk(QStringLiteral("切换10.4.0.1;10.4.0.53;")));
        QVERIFY(finished.wait(5000));
        QCOMPARE(boxes().size(), 1);
        QVERIFY(boxes().first()->isVisible());
    }

    void secondStartIsRefusedAndAnnounced() {
        WindowFixture first(Params(QStringLiteral("10.0.0.1"), {}), true);
        QVERIFY(first.window->start());
        QCOMPARE(CurrentTrayState(first.window.get()).balloonCount, 0);

        for (int copy = 1; copy <= 2; ++copy) {
            WindowFixture second(Params(QStringLiteral("10.0.0.1"), {}), true);
            QVERIFY(!second.window->start());
            QCOMPARE(second.shown.size(), 1);
            QCOMPARE(second.shown.first().first, QStringLiteral("Torvane"));
            QCOMPARE(second.shown.first().second, QStringLiteral("程序已经运行"));
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

    void closeEndsTheProgram_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("CloseOk") << QStringLiteral("button");
        QTest::newRow("Alt+F4") << QStringLiteral("key");
        QTest::newRow("tray menu, hidden") << QStringLiteral("menu");
    }

    void closeEndsTheProgram() {
        QFETCH(QString, how);
        WindowFixture client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.window->start());
        QSignalSpy closed(client.window.get(), &FrMain::closed);
        if (how == QLatin1String("key")) {
            QTest::keyClick(client.window.get(), Qt::Key_F4, Qt::AltModifier);
        } else if (how == QLatin1String("button")) {
            click(*client.window, "CloseOk");
        } else {
            client.window->hide();
            QMenu* menu = TrayMenu(client.window.get());
            QVERIFY(menu);
            menu->findChild<QAction*>(QStringLiteral("trayQuit"))->trigger();
        }
        QTRY_COMPARE(closed.size(), 1);
        QVERIFY(!HasTrayIcon(client.window.get()));
        QVERIFY(!client.controller->serverConnected());
        QTest::qWait(1300); // past a reconnect tick: the link stays closed
        QCOMPARE(client.connectAttempts, 0);
    }
};

QTEST_MAIN(TestFrMain)
#include "test_frmain.moc"
