#include "common/translations.h"
#include "common/trayicon.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using namespace torvane;

namespace {
// A main window whose close takes its icon away, as both programs' windows do.
class ClosingWindow : public QWidget {
public:
    int closes = 0;

protected:
    void closeEvent(QCloseEvent* event) override {
        ++closes;
        RemoveTrayIcon(this);
        event->accept();
    }
};

QAction* MenuAction(QWidget* window, const char* name) {
    QMenu* menu = TrayMenu(window);
    return menu ? menu->findChild<QAction*>(QString::fromLatin1(name)) : nullptr;
}

QString ButtonText(QMessageBox::StandardButton which) {
    QMessageBox box;
    box.setStandardButtons(which);
    // Without the keyboard hint ("是(&Y)" reads "是").
    return box.button(which)->text().remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
}
} // namespace

// What both programs' windows share on the desktop: the notification icon's menu and clicks,
// and Qt's own texts in Chinese.
class TestDesktopKit : public QObject {
    Q_OBJECT

private slots:
    void menuShowsAndQuits() {
        ClosingWindow window;
        QVERIFY(!TrayMenu(&window));
        ShowTrayIcon(&window, QStringLiteral("Torvane"), QString(), 0, 1000);
        QMenu* menu = TrayMenu(&window);
        QVERIFY(menu);
        QStringList captions;
        for (QAction* action : menu->actions()) {
            if (!action->isSeparator())
                captions.append(action->text());
        }
        QCOMPARE(captions, QStringList({QStringLiteral("显示主窗口"), QStringLiteral("退出")}));

        // From the notification area, hidden or minimised, back to normal.
        window.showMinimized();
        window.hide();
        MenuAction(&window, "trayShowWindow")->trigger();
        QVERIFY(window.isVisible());
        QVERIFY(!window.isMinimized());

        // Quitting closes the window, whose close removes the icon and the menu being used.
        QPointer<QMenu> guard(menu);
        MenuAction(&window, "trayQuit")->trigger();
        QTRY_COMPARE(window.closes, 1);
        QVERIFY(!window.isVisible());
        QVERIFY(!HasTrayIcon(&window));
        QTRY_VERIFY(guard.isNull());
    }

    void singleClickShowsWhereNoDoubleClickComes() {
        ClosingWindow window;
        ShowTrayIcon(&window, QStringLiteral("Torvane"), QString(), 0, 1000);
        const int interval = QApplication::doubleClickInterval();

        // A double click: at once, and the single click before it is no second restore.
        window.hide();
        TrayIconActivated(&window, QSystemTrayIcon::Trigger);
        QVERIFY(!window.isVisible());
        TrayIconActivated(&window, QSystemTrayIcon::DoubleClick);
        QVERIFY(window.isVisible());

        // This tray reports double clicks: a single click now does nothing.
        window.hide();
        TrayIconActivated(&window, QSystemTrayIcon::Trigger);
        QTest::qWait(interval + 100);
        QVERIFY(!window.isVisible());
        RemoveTrayIcon(&window);

        // A tray that has never reported a double click: a single click shows the window once
        // the double-click interval has passed.
        ShowTrayIcon(&window, QStringLiteral("Torvane"), QString(), 0, 1000);
        window.showMinimized();
        window.hide();
        TrayIconActivated(&window, QSystemTrayIcon::Trigger);
        QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), interval + 2000);
        QVERIFY(!window.isMinimized());
    }

    // Runs last, as installed translations stay: the buttons are English until a translation is
    // installed, and a folder without it, or with a damaged file, installs none.
    void translationLoadsOnlyWhereItExists() {
        QCOMPARE(ButtonText(QMessageBox::Ok), QStringLiteral("OK"));
        QTemporaryDir empty;
        QVERIFY(!InstallQtTranslation(empty.path()));
        QFile damaged(empty.filePath(QStringLiteral("qtbase_zh_CN.qm")));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("not a translation file");
        damaged.close();
        QVERIFY(!InstallQtTranslation(empty.path()));
        QCOMPARE(ButtonText(QMessageBox::Ok), QStringLiteral("OK"));

        const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        if (!QFile::exists(folder + QStringLiteral("/qtbase_zh_CN.qm")))
            QSKIP("Qt's Chinese translation is not installed here");
        QVERIFY(InstallQtTranslation());
        QCOMPARE(ButtonText(QMessageBox::Ok), QStringLiteral("确定"));
        QCOMPARE(ButtonText(QMessageBox::Yes), QStringLiteral("是"));
        QCOMPARE(ButtonText(QMessageBox::No), QStringLiteral("否"));
    }
};

QTEST_MAIN(TestDesktopKit)
#include "test_desktopkit.moc"
