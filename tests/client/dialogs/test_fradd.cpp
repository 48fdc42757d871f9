#include "client/fradd.h"
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/regstore.h"
#include "tests/client/controllerfixture.h"
#include "tests/client/dialogs/dialogdriver.h"
#include "tests/client/dialogs/messagerecorder.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QToolButton>

#include <memory>

using namespace torvane;
using namespace torvane::client;

namespace {
const QString kHint = QStringLiteral("程序提示");
const QString kNameMsg = QStringLiteral("输入你想显示的网关名称，如\"电信\"、\"网通\"");
const QString kPortRangeMsg = QStringLiteral("请输入1-65535的端口值");
const QString kPortMsg = QStringLiteral("你输入的服务器端口错误");
const QString kServerIpMsg = QStringLiteral("你输入的服务器IP地址格式错误");

QByteArray Gbk(const QString& text) {
    return ToGbk(text);
}

QString Records(int count) {
    QString text;
    for (int i = 0; i < count; ++i)
        text += QStringLiteral("L%1;;;10.0.%1.1;10.0.0.53;;\r\n").arg(i);
    return text;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QString Reg(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QString::fromLatin1(name));
}
} // namespace

// One editor window over a controller whose line file is preset with `fileText` (GBK) and whose
// server is a local listener, so the link is up and only the settings window reconnects it.
class Editor {
public:
    explicit Editor(const QString& fileText = QString(), bool writeFile = true)
        : c(Params(QStringLiteral("10.0.0.1"), {})) {
        home.listen(QHostAddress::LocalHost);
        if (writeFile)
            WriteFile(c.linePath(), Gbk(fileText));
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", homePort());
        SetSetting("Qd", QStringLiteral("0"));
        SetSetting("GengXin", QStringLiteral("1"));
    }
    // Starts the Client (settings as stored by now) and shows the window.
    void open() {
        QVERIFY(c.controller->start());
        [&] { QTRY_VERIFY(c.controller->serverConnected()); }();
        reloadSpy =
            std::make_unique<QSignalSpy>(c.controller.get(), &ClientContext::lineListReloaded);
        dialog = std::make_unique<FrAdd>(*c.controller);
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        drive = std::make_unique<DialogDriver>(dialog.get());
    }
    QString homePort() const { return QString::number(home.serverPort()); }
    int reloads() const { return int(reloadSpy->size()); }
    const ClientSettings& settings() const { return c.controller->settings(); }
    SelectedLine selected() const { return c.controller->selectedLine(); }
    QByteArray file() const {
        QFile f(c.linePath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QComboBox* list() const { return drive->get<QComboBox>("WgList"); }
    void fill(const QStringList& six) {
        const char* names[] = {"WgMc", "BjIp", "ZwYm", "WgIp", "FrDns", "SeDns"};
        for (int i = 0; i < 6; ++i)
            drive->type(names[i], six.at(i));
    }
    QStringList fields() const {
        QStringList values;
        for (const char* name : {"WgMc", "BjIp", "ZwYm", "WgIp", "FrDns", "SeDns"})
            values.append(drive->text(name));
        return values;
    }
    bool allReadOnly() const {
        for (const char* name : {"WgMc", "BjIp", "ZwYm", "WgIp", "FrDns", "SeDns"})
            if (!drive->get<QLineEdit>(name)->isReadOnly())
                return false;
        return true;
    }

    QTcpServer home;
    ControllerFixture c;
    MessageRecorder messages;
    std::unique_ptr<QSignalSpy> reloadSpy;
    std::unique_ptr<FrAdd> dialog;
    std::unique_ptr<DialogDriver> drive;
};

class TestFrAdd : public QObject {
    Q_OBJECT
private slots:
    void init() { ClearRegStore(RegRoot::CurrentUser, kSettingsKey); }

    void opensWithListAndLockedFields() {
        // The third name is as long as a hand-edited file may make it.
        const QString longName(400, QChar(0x4E2D));
        Editor e(QStringLiteral("电信;;;192.168.1.1;192.168.1.2;;\r\n网通; 10.0.0.9 ;255.0.0.0;"
                                "10.0.0.1;10.0.0.2;10.0.0.3;\r\n") +
                 longName + QStringLiteral(";;;10.0.0.1;10.0.0.2;;\r\n"));
        SetSetting("Qd", QStringLiteral("1"));
        SetSetting("GengXin", QStringLiteral("x")); // not a number: unticked
        e.open();
        QCOMPARE(e.dialog->windowTitle(), QStringLiteral("Torvane -- 参数设置"));
        QVERIFY(e.dialog->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(e.list()->count(), 3);
        QCOMPARE(e.list()->currentIndex(), -1);
        QVERIFY2(e.dialog->width() < 1000, "a long name stretches the window");
        QVERIFY(e.allReadOnly());
        QVERIFY(e.drive->get<QLabel>("TiShi")->text().isEmpty());
        QCOMPARE(e.drive->tabOrder(),
                 (QStringList{"WgList", "WgMc", "BjIp", "ZwYm", "WgIp", "FrDns", "SeDns", "AddOk",
                              "XgOk", "DelOk", "CloseOk", "FwqIp", "FwqDk", "QiDong", "GengXin",
                              "QueDing"}));
        QCOMPARE(e.drive->text("FwqIp"), QStringLiteral("127.0.0.1"));
        QCOMPARE(e.drive->text("FwqDk"), e.homePort());
        QVERIFY(e.drive->get<QCheckBox>("QiDong")->isChecked());
        QVERIFY(!e.drive->get<QCheckBox>("GengXin")->isChecked());

        // A pick shows the stored fields untrimmed and keeps them locked.
        e.drive->pick("WgList", 1);
        QCOMPARE(e.list()->currentIndex(), 1);
        QCOMPARE(e.fields(), (QStringList{"网通", " 10.0.0.9 ", "255.0.0.0", "10.0.0.1", "10.0.0.2",
                                          "10.0.0.3"}));
        QVERIFY(e.allReadOnly());
        QVERIFY(!e.dialog->addArmed() && !e.dialog->modifyArmed());
        QVERIFY(e.messages.m_messages.isEmpty());
    }

    void validationMessages_data() {
        QTest::addColumn<QStringList>("six"); // name, local IP, mask, gateway, DNS 1, DNS 2
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        const QString gw = QStringLiteral("192.168.1.1");
        const QString dns = QStringLiteral("192.168.1.2");
        QTest::newRow("all empty: the name")
            << QStringList{"", "", "", "", "", ""} << kNameMsg << "WgMc";
        QTest::newRow("spaces only count as empty")
            << QStringList{"   ", " ", " ", "", "", ""} << kNameMsg << "WgMc";
        QTest::newRow("local IP before the name")
            << QStringList{"", "10.0.0.256", "", "", "", ""}
            << QStringLiteral("你输入的本机IP地址格式错误") << "BjIp";
        QTest::newRow("mask before the name")
            << QStringList{"", "", "255.255.255.0 ", "", "", ""}
            << QStringLiteral("你输入的子网掩码地址格式错误") << "ZwYm";
        QTest::newRow("gateway empty")
            << QStringList{"a", "", "", "  ", "", ""}
            << QStringLiteral("输入你想切换的网关IP，如\"192.168.0.1\"") << "WgIp";
        QTest::newRow("gateway with a leading space")
            << QStringList{"a", "", "", " " + gw, dns, ""}
            << QStringLiteral("你输入的网关IP地址格式错误") << "WgIp";
        QTest::newRow("gateway three-digit part with leading zero")
            << QStringList{"a", "", "", "192.168.001.1", dns, ""}
            << QStringLiteral("你输入的网关IP地址格式错误") << "WgIp";
        QTest::newRow("gateway in full-width digits")
            << QStringList{"a", "", "", QStringLiteral("１９２.１６８.１.１"), dns, ""}
            << QStringLiteral("你输入的网关IP地址格式错误") << "WgIp";
        QTest::newRow("primary DNS empty: its hint")
            << QStringList{"a", "", "", gw, "", ""}
            << QStringLiteral("输入你的主DNS服务器IP，如\"114.114.114.114\"") << "FrDns";
        QTest::newRow("primary DNS wrong")
            << QStringList{"a", "", "", gw, "1.1.1", ""}
            << QStringLiteral("你输入的主DNS服务器IP地址格式错误") << "FrDns";
        QTest::newRow("secondary DNS wrong")
            << QStringList{"a", "", "", gw, dns, "x"}
            << QStringLiteral("你输入的备用DNS服务器IP地址格式错误") << "SeDns";
        const QString breaksRecord = QStringLiteral("网关名称中不能含有\";\"、\"|\"或换行");
        QTest::newRow("name with ;")
            << QStringList{"a;b", "", "", gw, dns, ""} << breaksRecord << "WgMc";
        QTest::newRow("name with |")
            << QStringList{"a|b", "", "", gw, dns, ""} << breaksRecord << "WgMc";
        QTest::newRow("name outside GBK")
            << QStringList{QStringLiteral("a\U0001F600"), "", "", gw, dns, ""}
            << QStringLiteral("网关名称中含有无法保存的字符，请改名") << "WgMc";
    }

    void validationMessages() {
        QFETCH(QStringList, six);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        const QString before = QStringLiteral("电信;;;192.168.1.1;192.168.1.2;;\r\n");
        Editor e(before);
        e.open();
        e.drive->click("AddOk");
        QVERIFY(e.dialog->addArmed());
        e.fill(six);
        e.drive->get("CloseOk")->setFocus();
        e.drive->click("AddOk");
        QCOMPARE(e.messages.texts(), QStringList{message});
        const DialogMessage& shown = e.messages.m_messages.first();
        QCOMPARE(shown.title, kHint);
        QCOMPARE(shown.icon, QMessageBox::Information);
        QCOMPARE(shown.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(e.drive->focusName(), focus);
        // Nothing changes: the user corrects the fields and clicks again.
        QCOMPARE(e.file(), Gbk(before));
        QVERIFY(e.dialog->addArmed());
        QCOMPARE(e.fields(), six);
        QCOMPARE(e.reloads(), 0);

        // The same checks guard a modify.
        e.messages.m_messages.clear();
        e.drive->pick("WgList", 0);
        e.drive->click("XgOk");
        e.fill(six);
        e.drive->click("XgOk");
        QCOMPARE(e.messages.texts(), QStringList{message});
        QCOMPARE(e.drive->focusName(), focus);
        QCOMPARE(e.file(), Gbk(before));
    }

    void addWritesTrimmedRecordAndFinishes() {
        Editor e(QString(), false); // no file yet: the add creates it
        e.open();
        e.c.controller->selectLine(
            SelectedLine{"10.0.0.5", "255.0.0.0", "10.0.0.1", "10.0.0.2", "10.0.0.3"});
        e.drive->click("AddOk");
        QVERIFY(!e.allReadOnly());
        e.fill({QStringLiteral(" 电信 "), "  ", "", "192.168.1.1", "192.168.1.2", " "});
        e.drive->click("AddOk");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.file(), Gbk(QStringLiteral("电信;;;192.168.1.1;192.168.1.2;;\r\n")));
        // Finished: fields empty and locked, lists reloaded, nothing picked, switch disarmed.
        QVERIFY(!e.dialog->addArmed());
        QCOMPARE(e.fields(), QStringList(6, QString()));
        QVERIFY(e.allReadOnly());
        QCOMPARE(e.reloads(), 1);
        QCOMPARE(e.c.controller->lineList().size(), 1);
        QCOMPARE(e.list()->count(), 1);
        QCOMPARE(e.list()->itemText(0), QStringLiteral("电信"));
        QCOMPARE(e.list()->currentIndex(), -1);
        QCOMPARE(e.selected().localIp, QStringLiteral("10.0.0.5"));
        QCOMPARE(e.selected().subnetMask, QStringLiteral("255.0.0.0"));
        QVERIFY(e.selected().gateway.isEmpty());
        QVERIFY(e.selected().primaryDns.isEmpty());
        QVERIFY(e.selected().secondaryDns.isEmpty());

        // A full line goes after it with all six fields.
        e.drive->click("AddOk");
        e.fill({"b", "192.168.1.20", "255.255.255.0", "192.168.1.254", "8.8.8.8", "8.8.4.4"});
        e.drive->click("AddOk");
        QCOMPARE(e.file(),
                 Gbk(QStringLiteral("电信;;;192.168.1.1;192.168.1.2;;\r\n"
                                    "b;192.168.1.20;255.255.255.0;192.168.1.254;8.8.8.8;8.8.4.4;"
                                    "\r\n")));
    }

    void lineLimitComesFirst() {
        Editor full(Records(20));
        full.open();
        full.drive->pick("WgList", 3);
        full.drive->click("AddOk");
        QCOMPARE(full.messages.texts(), QStringList{QStringLiteral("只能20条线路")});
        QVERIFY(!full.dialog->addArmed());
        QVERIFY(full.allReadOnly());
        QCOMPARE(full.drive->text("WgMc"), QStringLiteral("L3"));

        Editor e(Records(19));
        e.open();
        e.drive->click("AddOk");
        e.fill({"L19", "", "", "10.0.19.1", "10.0.0.53", ""});
        e.drive->click("AddOk");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.file(), Gbk(Records(20)));
        QCOMPARE(e.list()->count(), 20);
        e.drive->click("AddOk");
        QCOMPARE(e.messages.texts(), QStringList{QStringLiteral("只能20条线路")});
    }

    void duplicateNameRefusedOnlyOnAdd() {
        const QString text = QStringLiteral("电信;;;10.0.0.1;10.0.0.2;;\r\n"
                                            "网通;;;10.0.1.1;10.0.1.2;;\r\n");
        Editor e(text);
        e.open();
        e.drive->click("AddOk");
        e.fill({"电信", "", "", "10.9.9.1", "10.9.9.2", ""});
        e.drive->click("AddOk");
        QCOMPARE(e.messages.texts(), QStringList{QStringLiteral("已经有此网关名称，请改名")});
        QCOMPARE(e.drive->focusName(), QStringLiteral("WgMc"));
        QCOMPARE(e.file(), Gbk(text));

        // Part of a longer name, or the end of an address, is no clash; neither is case.
        e.messages.m_messages.clear();
        for (const QString& name :
             {QStringLiteral("电"), QStringLiteral("1"), QStringLiteral("网通2")}) {
            if (!e.dialog->addArmed())
                e.drive->click("AddOk");
            e.fill({name, "", "", "10.9.9.1", "10.9.9.2", ""});
            e.drive->click("AddOk");
            QVERIFY2(e.messages.m_messages.isEmpty(), qPrintable(e.messages.lastText()));
        }
        QCOMPARE(e.list()->count(), 5);

        // Modify may take another line's name.
        e.drive->pick("WgList", 1);
        e.drive->click("XgOk");
        e.drive->type("WgMc", QStringLiteral("电信"));
        e.drive->click("XgOk");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.list()->itemText(0), QStringLiteral("电信"));
        QCOMPARE(e.list()->itemText(1), QStringLiteral("电信"));
    }

    void modifyAndDeleteOnDisk() {
        Editor e(QStringLiteral("a;;;10.0.0.1;10.0.0.2;;\r\n"
                                "b;10.1.0.5;255.255.0.0;10.1.0.1;10.1.0.2;10.1.0.3;\r\n"
                                "c;;;10.2.0.1;10.2.0.2;;\r\n"));
        e.open();
        e.c.controller->pickLine(1);
        QCOMPARE(e.selected().gateway, QStringLiteral("10.1.0.1"));

        e.drive->click("XgOk");
        QCOMPARE(e.messages.texts(), QStringList{QStringLiteral("请选择一条你要修改的光纤线路")});
        QCOMPARE(e.drive->focusName(), QStringLiteral("WgList"));
        e.drive->click("DelOk");
        QCOMPARE(e.messages.lastText(), QStringLiteral("请选择一条你要删除的光纤线路"));
        QCOMPARE(e.drive->focusName(), QStringLiteral("WgList"));
        e.messages.m_messages.clear();

        e.drive->pick("WgList", 1);
        e.drive->click("XgOk");
        QVERIFY(e.dialog->modifyArmed());
        QVERIFY(!e.allReadOnly());
        QCOMPARE(e.drive->text("BjIp"), QStringLiteral("10.1.0.5")); // kept as picked
        e.drive->type("BjIp", QString());
        e.drive->type("ZwYm", QString());
        e.drive->type("SeDns", QString());
        e.drive->type("WgMc", QStringLiteral("乙"));
        e.drive->click("XgOk");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.file(), Gbk(QStringLiteral("a;;;10.0.0.1;10.0.0.2;;\r\n"
                                              "乙;;;10.1.0.1;10.1.0.2;;\r\n"
                                              "c;;;10.2.0.1;10.2.0.2;;\r\n")));
        QVERIFY(!e.dialog->modifyArmed());
        QVERIFY(e.allReadOnly());
        QCOMPARE(e.list()->currentIndex(), -1);
        QVERIFY(e.selected().gateway.isEmpty());

        // Delete: at once, no question; fields emptied, read-only state and flags untouched.
        e.drive->click("AddOk"); // arms add and opens the fields
        e.drive->pick("WgList", 0);
        e.drive->click("XgOk"); // arms modify
        e.drive->click("DelOk");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.file(), Gbk(QStringLiteral("乙;;;10.1.0.1;10.1.0.2;;\r\n"
                                              "c;;;10.2.0.1;10.2.0.2;;\r\n")));
        QCOMPARE(e.fields(), QStringList(6, QString()));
        QVERIFY(!e.allReadOnly());
        QVERIFY(e.dialog->modifyArmed());
        QCOMPARE(e.list()->count(), 2);
        QCOMPARE(e.list()->currentIndex(), -1);

        e.drive->pick("WgList", 1);
        e.drive->click("DelOk");
        e.drive->pick("WgList", 0);
        e.drive->click("DelOk");
        QCOMPARE(e.file(), QByteArray("\r\n"));
        QCOMPARE(e.list()->count(), 0);
        QCOMPARE(e.reloads(), 4);
    }

    void staleRecordLeavesFileAlone() {
        // The stored gateway carries spaces the editor trims: no record matches, nothing is
        // lost, and the lists are still reloaded.
        const QString text = QStringLiteral("a;;; 10.0.0.1;10.0.0.2;;\r\n");
        Editor e(text);
        e.open();
        e.drive->pick("WgList", 0);
        e.drive->click("DelOk");
        QCOMPARE(e.file(), Gbk(text));
        QCOMPARE(e.reloads(), 1);
    }

    void unwritableFileIsReported() {
        // A folder where MainConfig.dat should be: it reads as an empty list, and a change
        // that cannot be stored says so instead of passing for saved.
        const QString notSaved = QStringLiteral("线路文件MainConfig.dat无法写入，本次修改没有保存");
        Editor e(QStringLiteral("a;;;10.0.0.1;10.0.0.2;;\r\n"));
        e.open();
        e.drive->pick("WgList", 0);
        QVERIFY(QFile::remove(e.c.linePath()));
        QVERIFY(QDir().mkdir(e.c.linePath()));
        e.drive->click("DelOk");
        QCOMPARE(e.messages.texts(), QStringList{notSaved});
        QCOMPARE(e.messages.m_messages.first().title, kHint);
        QCOMPARE(e.list()->count(), 0); // reloaded all the same
        e.drive->click("AddOk");
        e.fill({"b", "", "", "10.1.0.1", "10.1.0.2", ""});
        e.drive->click("AddOk");
        QCOMPARE(e.messages.texts(), (QStringList{notSaved, notSaved}));
        QVERIFY(!e.dialog->addArmed());
        QCOMPARE(e.list()->count(), 0);
        QVERIFY(QFileInfo(e.c.linePath()).isDir());
    }

    void serverPushWhileOpenRefillsList() {
        Editor e(QStringLiteral("a;;;10.0.0.1;10.0.0.2;;\r\nb;;;10.1.0.1;10.1.0.2;;\r\n"));
        e.open();
        e.drive->pick("WgList", 1);
        e.drive->click("XgOk");
        // The server replaces the file; the main window reloads and tells the dialogs.
        const QString pushed = QStringLiteral("x;;;10.5.0.1;10.5.0.2;;\r\n");
        WriteFile(e.c.linePath(), Gbk(pushed));
        e.c.controller->reloadLineList();
        QCOMPARE(e.list()->count(), 1);
        QCOMPARE(e.list()->itemText(0), QStringLiteral("x"));
        QCOMPARE(e.list()->currentIndex(), -1);
        e.drive->click("XgOk");
        QCOMPARE(e.messages.texts(), QStringList{QStringLiteral("请选择一条你要修改的光纤线路")});
        e.drive->click("DelOk");
        QCOMPARE(e.file(), Gbk(pushed));
    }

    void hintsFollowTheMouse() {
        Editor e;
        e.open();
        auto* tiShi = e.drive->get<QLabel>("TiShi");
        const QSize size = e.dialog->size();
        const QList<QPair<const char*, QString>> hints = {
            {"WgMc", kNameMsg},
            {"BjIp", QStringLiteral("输入你想切换的本机IP，如\"192.168.0.1\"，不修改不填")},
            {"ZwYm", QStringLiteral("输入你想切换的子网掩码，如\"255.255.255.0\"，不修改不填")},
            {"WgIp", QStringLiteral("输入你想切换的网关IP，如\"192.168.0.1\"")},
            {"FrDns", QStringLiteral("输入你的主DNS服务器IP，如\"114.114.114.114\"")},
            {"SeDns", QStringLiteral("输入你的备用DNS服务器IP，如\"223.5.5.5\"，可不填")},
            {"AddOk", QStringLiteral("添加一条光纤线路到列表")},
            {"XgOk", QStringLiteral("修改一条选定的光纤线路")},
            {"DelOk", QStringLiteral("删除一条选定的光纤线路")},
            {"CloseOk", QStringLiteral("关闭本窗口")},
        };
        for (const auto& [name, hint] : hints) {
            QTest::mouseMove(e.drive->get(name));
            QCOMPARE(tiShi->text(), hint);
            QCoreApplication::processEvents();
            QCOMPARE(e.dialog->size(), size); // a hint never resizes the window
        }
        // The list, labels and the settings group leave the hint; the bare frame clears it.
        for (const char* name : {"WgList", "FwqIp", "QiDong", "QueDing", "TiShi"}) {
            QTest::mouseMove(e.drive->get(name));
            QCOMPARE(tiShi->text(), QStringLiteral("关闭本窗口"));
        }
        auto* frame = e.drive->get("Frame1");
        QTest::mouseMove(frame, QPoint(2, frame->height() / 2));
        QVERIFY(tiShi->text().isEmpty());
        QTest::mouseMove(e.drive->get("AddOk"));
        QTest::mouseMove(e.dialog.get(), QPoint(1, 1));
        QVERIFY(tiShi->text().isEmpty());
    }

    void closingDisarms() {
        Editor e(Records(1));
        e.open();
        e.drive->click("AddOk");
        e.drive->pick("WgList", 0);
        e.drive->click("XgOk");
        e.drive->click("AddOk");
        QVERIFY(e.dialog->addArmed() && e.dialog->modifyArmed());
        // Alt+F4 also while the drop-down list, which keeps F4 for itself, has the focus.
        e.list()->setFocus();
        QTest::keyClick(e.list(), Qt::Key_F4, Qt::AltModifier);
        QVERIFY(!e.dialog->isVisible());
        QVERIFY(!e.dialog->addArmed() && !e.dialog->modifyArmed());

        // From the keyboard: Enter presses the focused button (添加, then 关闭).
        e.dialog->show();
        auto* addOk = e.drive->get("AddOk");
        addOk->setFocus();
        QTest::keyClick(addOk, Qt::Key_Return);
        QVERIFY(e.dialog->addArmed());
        auto* closeOk = e.drive->get("CloseOk");
        closeOk->setFocus();
        QTest::keyClick(closeOk, Qt::Key_Enter, Qt::KeypadModifier);
        QVERIFY(!e.dialog->isVisible());
        QVERIFY(!e.dialog->addArmed());
    }

    void settingsRefused_data() {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::newRow("port 0") << "127.0.0.1"
                                << "0" << kPortRangeMsg << "FwqDk";
        QTest::newRow("port 65536") << "127.0.0.1"
                                    << "65536" << kPortRangeMsg << "FwqDk";
        QTest::newRow("port 99999") << "127.0.0.1"
                                    << "99999" << kPortRangeMsg << "FwqDk";
        QTest::newRow("port 00000") << "127.0.0.1"
                                    << "00000" << kPortRangeMsg << "FwqDk";
        QTest::newRow("port empty") << "127.0.0.1"
                                    << "" << kPortMsg << "FwqDk";
        QTest::newRow("port space before") << "127.0.0.1"
                                           << " 80" << kPortMsg << "FwqDk";
        QTest::newRow("port space inside") << "127.0.0.1"
                                           << "8 0" << kPortMsg << "FwqDk";
        QTest::newRow("port space after") << "127.0.0.1"
                                          << "80 " << kPortMsg << "FwqDk";
        QTest::newRow("port letter") << "127.0.0.1"
                                     << "8a" << kPortMsg << "FwqDk";
        QTest::newRow("port sign") << "127.0.0.1"
                                   << "-1" << kPortMsg << "FwqDk";
        QTest::newRow("port full-width")
            << "127.0.0.1" << QStringLiteral("８０") << kPortMsg << "FwqDk";
        QTest::newRow("address full-width")
            << QStringLiteral("１２７.０.０.１") << "80" << kServerIpMsg << "FwqIp";
        QTest::newRow("address empty") << ""
                                       << "0" << kServerIpMsg << "FwqIp";
        QTest::newRow("address space before") << " 127.0.0.1"
                                              << "80" << kServerIpMsg << "FwqIp";
        QTest::newRow("address space after") << "127.0.0.1 "
                                             << "80" << kServerIpMsg << "FwqIp";
        QTest::newRow("address 256") << "127.0.0.256"
                                     << "80" << kServerIpMsg << "FwqIp";
    }

    void settingsRefused() {
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        Editor e;
        e.open();
        e.drive->type("FwqIp", ip);
        e.drive->type("FwqDk", port);
        e.drive->click("QiDong");
        const int attempts = e.c.connectAttempts;
        e.drive->click("QueDing");
        QCOMPARE(e.messages.texts(), QStringList{message});
        QCOMPARE(e.messages.m_messages.first().title, kHint);
        QCOMPARE(e.drive->focusName(), focus);
        // Nothing stored, the link untouched.
        QCOMPARE(e.c.connectAttempts, attempts);
        QVERIFY(e.c.controller->serverConnected());
        QCOMPARE(e.settings().serverIp, QStringLiteral("127.0.0.1"));
        QCOMPARE(e.settings().serverPort, e.homePort());
        QCOMPARE(e.settings().autostart, QStringLiteral("0"));
        QCOMPARE(Reg("FwqDk"), e.homePort());
        QCOMPARE(Reg("Qd"), QStringLiteral("0"));
        QCOMPARE(e.c.autostart->m_enableCount + e.c.autostart->m_disableCount, 0);
    }

    void portFieldTakesFiveCharacters() {
        Editor e;
        e.open();
        e.drive->type("FwqDk", QStringLiteral("6553599"));
        QCOMPARE(e.drive->text("FwqDk"), QStringLiteral("65535"));
    }

    void settingsStoredAndReconnected() {
        // A port with at most four digits, so it can be typed with a leading zero.
        QTcpServer server;
        for (quint16 port = 4000 + QCoreApplication::applicationPid() % 5000; !server.isListening();
             ++port)
            server.listen(QHostAddress::LocalHost, port);
        const QString typed = QStringLiteral("0") + QString::number(server.serverPort());

        Editor e;
        e.open();
        e.drive->type("FwqDk", typed);
        e.drive->click("QiDong");  // 0 -> ticked
        e.drive->click("GengXin"); // 1 -> unticked
        int attempts = e.c.connectAttempts;
        e.drive->click("QueDing");
        QVERIFY(e.messages.m_messages.isEmpty());
        QCOMPARE(e.c.connectAttempts, attempts + 1);
        QCOMPARE(e.settings().serverPort, typed); // stored as typed, leading zero kept
        QCOMPARE(e.settings().autostart, QStringLiteral("1"));
        QCOMPARE(e.settings().updateList, QStringLiteral("0"));
        QCOMPARE(Reg("FwqIp"), QStringLiteral("127.0.0.1"));
        QCOMPARE(Reg("FwqDk"), typed);
        QCOMPARE(Reg("Qd"), QStringLiteral("1"));
        QCOMPARE(Reg("GengXin"), QStringLiteral("0"));
        QVERIFY(server.waitForNewConnection(5000));
        QVERIFY(e.dialog->isVisible()); // the window stays open
        QVERIFY(e.c.autostart->m_enabled);
        QCOMPARE(e.c.autostart->m_programPath, e.c.dir.filePath(QStringLiteral("Client")));

        // Unchanged settings: written again and a fresh connection; unticking removes the entry.
        delete server.nextPendingConnection();
        e.drive->click("QiDong");
        attempts = e.c.connectAttempts;
        e.drive->click("QueDing");
        QCOMPARE(e.c.connectAttempts, attempts + 1);
        QVERIFY(server.waitForNewConnection(5000));
        QCOMPARE(Reg("Qd"), QStringLiteral("0"));
        QVERIFY(!e.c.autostart->m_enabled);
        attempts = e.c.connectAttempts;
        e.drive->click("QueDing"); // removing a missing entry is silent
        QCOMPARE(e.c.connectAttempts, attempts + 1);
        QCOMPARE(e.c.autostart->m_disableCount, 2);
        QVERIFY(e.messages.m_messages.isEmpty());
    }
};

QTEST_MAIN(TestFrAdd)
#include "test_fradd.moc"
