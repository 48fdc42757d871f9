#include "client/cmd5.h"
#include "client/frpwd.h"
#include "common/regstore.h"
#include "tests/client/controllerfixture.h"
#include "tests/client/dialogs/dialogdriver.h"
#include "tests/client/dialogs/messagerecorder.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace torvane;
using namespace torvane::client;

namespace {
QString Md5(const QString& text) {
    return Cmd5().md5(text);
}

QString StoredDigest() {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QStringLiteral("AdminPwd"));
}

// One start of the Client: the stored digest read, the lock decided.
std::unique_ptr<ControllerFixture> Start() {
    auto client = std::make_unique<ControllerFixture>(Params(QStringLiteral("10.0.0.1"), {}));
    client->controller->start();
    return client;
}
} // namespace

class PasswordWindow {
public:
    explicit PasswordWindow(ClientContext& context) {
        dialog = std::make_unique<FrPwd>(context);
        dialog->show();
        drive = std::make_unique<DialogDriver>(dialog.get());
    }
    void change(const QString& oldPwd, const QString& newPwd, const QString& confirmed) {
        drive->type("OldPwd", oldPwd);
        drive->type("NewPwd", newPwd);
        drive->type("QrPwd", confirmed);
        drive->click("XgPwd");
    }
    void unlock(const QString& password) {
        drive->type("OldPwd", password);
        drive->click("JieSuo");
    }

    std::unique_ptr<FrPwd> dialog;
    std::unique_ptr<DialogDriver> drive;
};

class TestFrPwd : public QObject {
    Q_OBJECT
private slots:
    void init() { ClearRegStore(RegRoot::CurrentUser, kSettingsKey); }

    void firstStartUnlocksWithEmptyPassword() {
        auto client = Start();
        ClientController& ctx = *client->controller;
        MessageRecorder messages;
        messages.m_answers = {QMessageBox::No};
        PasswordWindow w(ctx);
        QCOMPARE(w.dialog->windowTitle(), QStringLiteral("Torvane -- 管理密码"));
        QVERIFY(w.dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(QTest::qWaitForWindowActive(w.dialog.get()));
        QCOMPARE(w.drive->tabOrder(),
                 (QStringList{"OldPwd", "NewPwd", "QrPwd", "JieSuo", "XgPwd", "CloseOk"}));
        for (const char* name : {"OldPwd", "NewPwd", "QrPwd"}) {
            w.drive->type(name, QStringLiteral("a 中"));
            QCOMPARE(w.drive->get<QLineEdit>(name)->displayText(), QStringLiteral("***"));
        }
        w.unlock(QString());
        QCOMPARE(messages.texts(), QStringList{QStringLiteral("解锁成功，你现在可以进行参数设置")});
        const DialogMessage& question = messages.m_messages.first();
        QCOMPARE(question.title, QStringLiteral("程序提示"));
        QCOMPARE(question.icon, QMessageBox::Information);
        QCOMPARE(question.buttons, QMessageBox::Yes | QMessageBox::No);
        QVERIFY(ctx.adminUnlocked());
        QVERIFY(!w.dialog->isVisible()); // No: just closed
    }

    void yesOpensTheSettingsWindow() {
        auto client = Start();
        MessageRecorder messages; // answers Yes
        PasswordWindow w(*client->controller);
        QString opened;
        bool passwordWindowHidden = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            opened = modal ? modal->objectName() : QString();
            passwordWindowHidden = !w.dialog->isVisible();
            if (modal)
                modal->close();
        });
        w.unlock(QString());
        QCOMPARE(opened, QStringLiteral("FrAdd"));
        QVERIFY(passwordWindowHidden); // closed before the settings window opened
        QVERIFY(!w.dialog->isVisible());
    }

    void passwordLocksAfterRestart() {
        auto client = Start();
        MessageRecorder messages;
        {
            PasswordWindow w(*client->controller);
            w.change(QString(), QStringLiteral("  Secret "), QStringLiteral("Secret"));
            QCOMPARE(messages.texts(), QStringList{QStringLiteral("密码修改成功")});
            QVERIFY(!w.dialog->isVisible());
        }
        QCOMPARE(StoredDigest(), Md5(QStringLiteral("Secret")));
        QVERIFY(client->controller->adminUnlocked()); // a change leaves the lock as it was

        client = Start();
        ClientController& ctx = *client->controller;
        QVERIFY(!ctx.adminUnlocked());

        messages.m_messages.clear();
        messages.m_answers = {QMessageBox::Ok, QMessageBox::No, QMessageBox::Ok};
        PasswordWindow w(ctx);
        w.unlock(QStringLiteral("secret")); // case matters
        QCOMPARE(messages.lastText(), QStringLiteral("解锁失败，你输入的密码不正确"));
        QCOMPARE(w.drive->focusName(), QStringLiteral("OldPwd"));
        QVERIFY(w.dialog->isVisible());
        QVERIFY(!ctx.adminUnlocked());

        w.unlock(QStringLiteral("   Secret  ")); // spaces around do not count
        QCOMPARE(messages.lastText(), QStringLiteral("解锁成功，你现在可以进行参数设置"));
        QVERIFY(ctx.adminUnlocked());

        // A failed unlock after a successful one closes the lock again.
        w.dialog->show();
        w.unlock(QStringLiteral("Secret!"));
        QCOMPARE(messages.lastText(), QStringLiteral("解锁失败，你输入的密码不正确"));
        QVERIFY(!ctx.adminUnlocked());

        // Without the stored value the next start has no password again.
        ClearRegStore(RegRoot::CurrentUser, kSettingsKey);
        QVERIFY(Start()->controller->adminUnlocked());
    }

    void changeChecksInOrder_data() {
        QTest::addColumn<QString>("oldPwd");
        QTest::addColumn<QString>("newPwd");
        QTest::addColumn<QString>("confirmed");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::newRow("new only spaces") << "wrong"
                                         << "   "
                                         << "x"
                                         << "请输入新密码"
                                         << "NewPwd";
        QTest::newRow("confirmation empty") << "wrong"
                                            << "n"
                                            << " "
                                            << "请输入确认密码"
                                            << "QrPwd";
        QTest::newRow("mismatch before wrong old") << "wrong"
                                                   << "n1"
                                                   << "n2"
                                                   << "两次密码输入不一致"
                                                   << "QrPwd";
        QTest::newRow("mismatch in case") << "old"
                                          << "New"
                                          << "new"
                                          << "两次密码输入不一致"
                                          << "QrPwd";
        QTest::newRow("wrong old") << "Old"
                                   << "n"
                                   << " n "
                                   << "旧密码输入错误"
                                   << "OldPwd";
    }

    void changeChecksInOrder() {
        QFETCH(QString, oldPwd);
        QFETCH(QString, newPwd);
        QFETCH(QString, confirmed);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        WriteRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                       QStringLiteral("AdminPwd"), Md5(QStringLiteral("old")));
        auto client = Start();
        ClientController& ctx = *client->controller;
        QVERIFY(ctx.unlock(QStringLiteral("old")));
        MessageRecorder messages;
        PasswordWindow w(ctx);
        w.drive->get("CloseOk")->setFocus();
        w.change(oldPwd, newPwd, confirmed);
        QCOMPARE(messages.texts(), QStringList{message});
        QCOMPARE(messages.m_messages.first().buttons,
                 QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(w.drive->focusName(), focus);
        QVERIFY(w.dialog->isVisible());
        QCOMPARE(ctx.settings().adminPwd, Md5(QStringLiteral("old")));
        QCOMPARE(StoredDigest(), Md5(QStringLiteral("old")));
        QVERIFY(ctx.adminUnlocked());
    }

    void closeButtons() {
        auto client = Start();
        PasswordWindow w(*client->controller);
        w.drive->click("CloseOk");
        QVERIFY(!w.dialog->isVisible());
        w.dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(w.dialog.get())); // a key reaches the active window
        QTest::keyClick(w.drive->get("OldPwd"), Qt::Key_F4, Qt::AltModifier);
        QVERIFY(!w.dialog->isVisible());
        // Enter on the focused 关闭 presses it, as a keyboard user expects.
        w.dialog->show();
        auto* closeOk = w.drive->get("CloseOk");
        closeOk->setFocus();
        QTest::keyClick(closeOk, Qt::Key_Return);
        QVERIFY(!w.dialog->isVisible());
    }
};

QTEST_MAIN(TestFrPwd)
#include "test_frpwd.moc"
