#include "tests/client/controllerfixture.h"

#include "client/cmd5.h"
#include "client/linelist.h"
#include "common/linefile.h"
#include "common/singleinstance.h"
#ifdef Q_OS_LINUX
#include "tests/support/tinyfilesystem.h"
#endif

#include <QDir>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

using namespace torvane;
using namespace torvane::client;
#ifdef Q_OS_LINUX
using torvane::testing::TinyFilesystem;
#endif

namespace {
const QString kTwoLines = QStringLiteral("电信;;;10.0.0.1;10.0.0.53;10.0.0.54;\r\n"
                                         "网通;10.1.0.9;255.255.0.0;10.1.0.1;10.1.0.53;;\r\n");

} // namespace

// The Client's behaviour without a window: start-up, inspection, switching, the dialogs' requests.
class TestClientController : public QObject {
    Q_OBJECT

private slots:
    void init() { ClearSettings(); }

    void startOnCleanSettingsWritesDefaults() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.controller->start());
        QCOMPARE(Setting("FwqIp"), QStringLiteral("192.168.0.1"));
        QCOMPARE(Setting("FwqDk"), QStringLiteral("15200"));
        QCOMPARE(Setting("GengXin"), QStringLiteral("1"));
        QCOMPARE(Setting("AdminPwd"), Cmd5().md5(QString()));
        QSettings store(RegStoreFilePath(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey)),
                        QSettings::IniFormat);
        QVERIFY(!store.contains(QStringLiteral("Qd"))); // in memory only
        const ClientSettings& settings = client.controller->settings();
        QCOMPARE(settings.autostart, QStringLiteral("0"));
        QVERIFY(client.controller->adminUnlocked());
        // No server address was stored: the first attempt waits for the reconnect timer.
        QCOMPARE(client.connectAttempts, 0);
        QCOMPARE(client.controller->link().reconnectIntervalMs(), 1000);
        QTRY_COMPARE_WITH_TIMEOUT(client.connectAttempts, 1, 3000);
        QVERIFY(client.messages.isEmpty());
        QCOMPARE(client.autostart->m_enableCount + client.autostart->m_disableCount, 0);
    }

    void storedSettingsAreKept() {
        SetSetting("FwqIp", QStringLiteral("127.0.0.1"));
        SetSetting("FwqDk", QStringLiteral("00001"));
        SetSetting("Qd", QStringLiteral(" 1 "));
        SetSetting("GengXin", QStringLiteral("0"));
        SetSetting("AdminPwd", Cmd5().md5(QStringLiteral("secret")));
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        QVERIFY(client.controller->start());
        const ClientSettings& settings = client.controller->settings();
        QCOMPARE(settings.serverPort, QStringLiteral("00001")); // held as stored
        QCOMPARE(settings.port(), quint16(1));
        QVERIFY(settings.autostartOn());
        QVERIFY(!settings.updateListOn());
        QCOMPARE(Setting("GengXin"), QStringLiteral("0"));
        QCOMPARE(Setting("AdminPwd"), Cmd5().md5(QStringLiteral("secret")));
        QVERIFY(!client.controller->adminUnlocked());
        QCOMPARE(client.connectAttempts, 1); // a stored address is tried at once
        // Start-up neither writes nor repairs the autostart entry.
        QCOMPARE(client.autostart->m_enableCount + client.autostart->m_disableCount, 0);
    }

    void passwordStepAtStart_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<bool>("unlocked");
        QTest::addColumn<QString>("storedAfter");
        const QString empty = Cmd5().md5(QString());
        QTest::newRow("none stored") << QString() << true << empty;
        QTest::newRow("empty digest with blanks") << "  " + empty + " " << true << empty;
        QTest::newRow("a password")
            << Cmd5().md5(QStringLiteral("pw")) << false << Cmd5().md5(QStringLiteral("pw"));
    }

    void passwordStepAtStart() {
        QFETCH(QString, stored);
        QFETCH(bool, unlocked);
        QFETCH(QString, storedAfter);
        if (!stored.isNull())
            SetSetting("AdminPwd", stored);
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.controller->start());
        QCOMPARE(client.controller->adminUnlocked(), unlocked);
        QCOMPARE(Setting("AdminPwd"), storedAfter);
    }

    void inspectionErrorsStopWhereTheyHappen_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("dnsRead");
        // The support group comes from the settings store; without one the text names the
        // administrator, and a contact of blanks counts as none.
        QTest::addColumn<QString>("contact");
        QTest::addColumn<QString>("text");
        QTest::newRow("1") << 1 << false << QString() << QStringLiteral("程序错误1，请联系管理员");
        QTest::newRow("2") << 2 << false << QStringLiteral(" 20418 ")
                           << QStringLiteral("程序错误2，请联系QQ群：20418");
        QTest::newRow("3") << 3 << true << QStringLiteral("  ")
                           << QStringLiteral("程序错误3，请联系管理员");
        QTest::newRow("4") << 4 << true << QStringLiteral("7321")
                           << QStringLiteral("程序错误4，请联系QQ群：7321");
    }

    void inspectionErrorsStopWhereTheyHappen() {
        QFETCH(int, error);
        QFETCH(bool, dnsRead);
        QFETCH(QString, contact);
        QFETCH(QString, text);
        if (!contact.isNull())
            SetSetting("SupportContact", contact);
        NetworkParams params = Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")});
        params.outcome = static_cast<InspectionOutcome>(error);
        ControllerFixture client(params);
        QSignalSpy snapshots(client.controller.get(), &ClientController::adapterSnapshotChanged);
        QVERIFY(client.controller->start());
        QCOMPARE(client.messages.size(), 1);
        QCOMPARE(client.messages.first().first, QStringLiteral("程序提示"));
        QCOMPARE(client.messages.first().second, text);
        QCOMPARE(Setting("SupportContact"), contact); // read, never written
        const AdapterSnapshot& snapshot = client.controller->adapterSnapshot();
        QCOMPARE(snapshots.size(), dnsRead ? 1 : 0);
        QCOMPARE(snapshot.primaryDns == QStringLiteral("10.0.0.53"), dnsRead);
        QCOMPARE(snapshot.hostName == QStringLiteral("ws01"), dnsRead);
        // The adapter's own values keep what they held.
        QVERIFY(!snapshot.adapterRead);
        QCOMPARE(snapshot.gateway, QString());
        QCOMPARE(client.controller->currentLine().labelText, kLineNotInList);
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

    void pickThenSwitchAndReadBack() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QSignalSpy reloaded(client.controller.get(), &ClientContext::lineListReloaded);
        QVERIFY(client.controller->start());
        QCOMPARE(reloaded.size(), 1);
        QCOMPARE(client.controller->lineList().size(), 2);
        QCOMPARE(client.controller->currentLineName(), QStringLiteral("电信"));

        // Nothing picked, or a line without gateway or primary DNS: nothing happens at all.
        QSignalSpy started(client.controller.get(), &ClientController::switchStarted);
        client.controller->runSwitch();
        client.controller->selectLine({{}, {}, QStringLiteral("10.0.0.1"), {}, {}});
        client.controller->runSwitch();
        client.controller->selectLine({{}, {}, {}, QStringLiteral("10.0.0.53"), {}});
        client.controller->runSwitch();
        QTest::qWait(20);
        QCOMPARE(started.size(), 0);
        QVERIFY(client.adapter->switchCalls().isEmpty());

        client.controller->pickLine(1);
        QVERIFY(client.adapter->switchCalls().isEmpty()); // picking alone applies nothing
        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        client.controller->runSwitch();
        // The switch is under way, not done: the caller's loop goes on meanwhile.
        QVERIFY(client.controller->switchRunning());
        QCOMPARE(finished.size(), 0);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).toBool(), true);
        const AdapterSettings applied = client.adapter->switchCalls().first();
        QCOMPARE(applied, (AdapterSettings{
                              QStringLiteral("10.1.0.9"), QStringLiteral("255.255.0.0"),
                              QStringLiteral("10.1.0.1"), QStringLiteral("10.1.0.53"), QString()}));
        QCOMPARE(client.controller->adapterSnapshot().localIp, QStringLiteral("10.1.0.9"));
        QCOMPARE(client.controller->currentLineName(), QStringLiteral("网通"));

        // A line without a local IP (blanks only count as none) keeps the address.
        client.controller->selectLine({QStringLiteral(" "), QStringLiteral("255.0.0.0"),
                                       QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"),
                                       QStringLiteral("10.0.0.54")});
        QVERIFY(client.switchAndWait());
        QCOMPARE(client.adapter->switchCalls().last().localIp, QString());
        QCOMPARE(client.adapter->switchCalls().last().subnetMask, QString());
        QCOMPARE(client.controller->adapterSnapshot().localIp, QStringLiteral("10.1.0.9"));
        QCOMPARE(client.controller->currentLineName(), QStringLiteral("电信"));
    }

    void failedSwitchReportsWhatTheSystemHas() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.controller->start());
        client.adapter->setFailure(QStringLiteral("need CAP_NET_ADMIN"),
                                   SwitchFailure::NoPermission);
        client.controller->pickLine(1);
        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        QSignalSpy failed(client.controller.get(), &ClientController::switchFailed);
        client.controller->runSwitch();
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().at(0).toBool(), false);
        QCOMPARE(finished.first().at(1).toString(), QStringLiteral("need CAP_NET_ADMIN"));
        // The user reads the reason in words, not the backend's text.
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(),
                 QStringLiteral("线路切换失败：没有修改网卡设置的权限，请联系管理员。"));
        QCOMPARE(client.adapter->inspectCount(), 2); // read back all the same
        QCOMPARE(client.controller->currentLineName(), QStringLiteral("电信"));
        QCOMPARE(client.controller->adapterSnapshot().gateway, QStringLiteral("10.0.0.1"));

        // A gateway refused for its place: its own words; a success says nothing.
        client.adapter->setFailure(QStringLiteral("the gateway is on no adapter"),
                                   SwitchFailure::GatewayOnNoAdapter);
        QVERIFY(client.switchAndWait());
        QCOMPARE(failed.size(), 2);
        QCOMPARE(failed.last().first().toString(),
                 QStringLiteral("线路切换失败：网关不在任何网卡的网段内。"));
        client.adapter->setFailure(QString());
        QVERIFY(client.switchAndWait());
        QCOMPARE(failed.size(), 2);
        QVERIFY(client.messages.isEmpty()); // no modal box for any of them
    }

    void requestsDuringASwitchWaitAndTheLatestWins() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}),
                                 false, 200);
        QVERIFY(client.controller->start());
        client.adapter->setHoldSwitches(true);
        const auto line = [](const char* gateway) {
            return SelectedLine{
                {}, {}, QString::fromLatin1(gateway), QStringLiteral("10.0.0.53"), {}};
        };
        QSignalSpy finished(client.controller.get(), &ClientController::switchFinished);
        client.controller->selectLine(line("10.0.0.2"));
        client.controller->runSwitch();
        for (const char* gateway : {"10.0.0.3", "10.0.0.4", "10.0.0.5"}) {
            client.controller->selectLine(line(gateway));
            client.controller->runSwitch();
        }
        QCOMPARE(client.adapter->switchCalls().size(), 1);
        // A pick made after the last request does not change what that request asked for.
        client.controller->selectLine(line("10.0.0.9"));
        QVERIFY(client.adapter->completeSwitch());
        QCOMPARE(finished.size(), 1);
        // The latest request runs once the spacing after the switch has passed, not at once.
        QCOMPARE(client.adapter->switchCalls().size(), 1);
        client.controller->selectLine(line("10.0.0.6"));
        client.controller->runSwitch(); // within the spacing: it waits and replaces 10.0.0.5
        QCOMPARE(client.adapter->switchCalls().size(), 1);
        QTRY_COMPARE(client.adapter->switchCalls().size(), 2);
        QCOMPARE(client.adapter->switchCalls().last().gateway, QStringLiteral("10.0.0.6"));
        QVERIFY(client.adapter->completeSwitch());
        QTest::qWait(300);
        QCOMPARE(client.adapter->switchCalls().size(), 2); // nothing more waited
        QCOMPARE(finished.size(), 2);
        // After the spacing a request runs at once.
        client.controller->runSwitch();
        QCOMPARE(client.adapter->switchCalls().size(), 3);
        QVERIFY(client.controller->switchRunning());
        QCOMPARE(client.adapter->overlappingStarts(), 0);
    }

    void lineChangesEndWithAReload() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.controller->start());
        client.controller->pickLine(1);
        QSignalSpy reloaded(client.controller.get(), &ClientContext::lineListReloaded);
        ClientContext& context = *client.controller;
        const LineEntry added{QStringLiteral("联通"),      {}, {}, QStringLiteral("10.2.0.1"),
                              QStringLiteral("10.2.0.53"), {}};
        QCOMPARE(context.addLine(added), LineChange::Saved);
        QCOMPARE(reloaded.size(), 1);
        QCOMPARE(context.lineList().size(), 3);
        // The picked line is dropped: its switch does nothing until a new pick.
        const SelectedLine selected = client.controller->selectedLine();
        QCOMPARE(selected.localIp, QStringLiteral("10.1.0.9"));
        QVERIFY(selected.gateway.isEmpty() && selected.primaryDns.isEmpty() &&
                selected.secondaryDns.isEmpty());

        LineEntry renamed = added;
        renamed.name = QStringLiteral("电信");
        QCOMPARE(context.addLine(renamed), LineChange::NameTaken);
        QCOMPARE(reloaded.size(), 1); // refused: nothing reloaded
        QCOMPARE(context.modifyLine(added, renamed), LineChange::Saved); // a modify may take it
        QCOMPARE(context.lineList().at(2).name, QStringLiteral("电信"));
        QCOMPARE(context.deleteLine(renamed), LineChange::Saved);
        QCOMPARE(context.lineList().size(), 2);
        QCOMPARE(reloaded.size(), 3);

        // A file that cannot be written: said so, and the list is what the disk holds.
        QVERIFY(QFile::remove(client.linePath()));
        QVERIFY(QDir().mkdir(client.linePath()));
        QCOMPARE(context.addLine(added), LineChange::NotSaved);
        QCOMPARE(context.lineList().size(), 0);
    }

    void updatesKeepOnlyWholeRecords_data() {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("stored"); // empty: the old file stays and nothing is reloaded
        const QString good = QStringLiteral("好;;;10.99.0.1;10.99.1.1;;\r\n");
        QTest::newRow("whole") << good + good << good + good;
        QTest::newRow("cut inside an address")
            << good + QStringLiteral("坏;;;10.99.0.254;10.99.1.1") << good;
        QTest::newRow("cut after a field") << good + QStringLiteral("坏;;;") << good;
        QTest::newRow("cut inside the CR LF")
            << good + QStringLiteral("坏;;;10.99.0.254;1.1.1.1;;\r") << good;
        QTest::newRow("bare word: an empty list") << QString() << QStringLiteral("\r\n");
        QTest::newRow("an empty list") << QStringLiteral("\r\n") << QStringLiteral("\r\n");
        QTest::newRow("nothing but a fragment")
            << QStringLiteral("坏;;;10.99.0.254;10.99.1.1") << QString();
    }

    void updatesKeepOnlyWholeRecords() {
        QFETCH(QString, payload);
        QFETCH(QString, stored);
        ControllerFixture client(
            Params(QStringLiteral("10.99.0.1"), {QStringLiteral("10.99.1.1")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.controller->start());
        QSignalSpy reloaded(client.controller.get(), &ClientContext::lineListReloaded);
        client.controller->handleServerMessage(ToGbk(QStringLiteral("更新") + payload));
        if (stored.isEmpty()) {
            QCOMPARE(client.lineFileBytes(), ToGbk(kTwoLines));
            QCOMPARE(reloaded.size(), 0);
            QCOMPARE(client.controller->lineList().size(), 2);
            return;
        }
        QCOMPARE(client.lineFileBytes(), ToGbk(stored));
        QCOMPARE(reloaded.size(), 1);
        for (const LineEntry& line : client.controller->lineList())
            QCOMPARE(line.name, QStringLiteral("好"));
        QCOMPARE(client.controller->currentLineName(),
                 stored.contains(QStringLiteral("好")) ? QStringLiteral("好") : QString());
    }

    void updateThatCannotBeStoredKeepsTheList() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}));
        client.writeLineFile(kTwoLines);
        QVERIFY(client.controller->start());
        // Something that cannot be replaced where the file is: a folder reads as an empty list,
        // so a reload would show one.
        QVERIFY(QFile::remove(client.linePath()));
        QVERIFY(QDir().mkdir(client.linePath()));
        QSignalSpy reloaded(client.controller.get(), &ClientContext::lineListReloaded);
        client.controller->handleServerMessage(
            ToGbk(QStringLiteral("更新联通;;;10.2.0.1;10.2.0.53;;\r\n")));
        QCOMPARE(reloaded.size(), 0);
        QCOMPARE(client.controller->lineList().size(), 2);
        QCOMPARE(client.controller->currentLineName(), QStringLiteral("电信"));
    }

#ifdef Q_OS_LINUX
    // A full disk is made with a tiny mount of the test alone.
    void updateOnAFullDiskKeepsTheFileAndTheList() {
        TinyFilesystem disk;
        TORVANE_REQUIRE_TINY_FS(disk);
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {QStringLiteral("10.0.0.53")}),
                                 false, ClientControllerOptions().switchSpacingMs, disk.path());
        client.writeLineFile(kTwoLines);
        const QByteArray before = client.lineFileBytes();
        QVERIFY(client.controller->start());
        QVERIFY(disk.fill());
        QSignalSpy reloaded(client.controller.get(), &ClientContext::lineListReloaded);
        client.controller->handleServerMessage(
            ToGbk(QStringLiteral("更新联通;;;10.2.0.1;10.2.0.53;;\r\n")));
        QCOMPARE(reloaded.size(), 0);
        QCOMPARE(client.lineFileBytes(), before);
        QCOMPARE(client.controller->lineList().size(), 2);
        QCOMPARE(QDir(disk.path()).entryList(QDir::Files),
                 (QStringList{QStringLiteral("filler"), QStringLiteral("MainConfig.dat")}));
        // With room again the next update is stored.
        disk.release();
        client.controller->handleServerMessage(
            ToGbk(QStringLiteral("更新联通;;;10.2.0.1;10.2.0.53;;\r\n")));
        QCOMPARE(client.controller->lineList().size(), 1);
    }
#endif

    void fullListRefusesAnAdd() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {}));
        QString text;
        for (int i = 0; i < 20; ++i)
            text += QStringLiteral("L%1;;;10.0.%1.1;10.0.0.53;;\r\n").arg(i);
        client.writeLineFile(text);
        QVERIFY(client.controller->start());
        const LineEntry entry{QStringLiteral("x"),         {}, {}, QStringLiteral("10.9.0.1"),
                              QStringLiteral("10.9.0.53"), {}};
        QCOMPARE(client.controller->addLine(entry), LineChange::ListFull);
        QCOMPARE(client.lineFileBytes(), ToGbk(text));
    }

    void serverSettingsStoredThenReconnected() {
        ControllerFixture client(Params(QStringLiteral("10.0.0.1"), {}));
        QVERIFY(client.controller->start());
        ClientContext& context = *client.controller;
        const int before = client.connectAttempts;
        QCOMPARE(context.applyServerSettings(
                     {QStringLiteral("127.0.0.1"), QStringLiteral("0"), true, false}),
                 ServerSettingsCheck::PortOutOfRange);
        // Refused: nothing stored, the link and the entry untouched.
        QCOMPARE(client.connectAttempts, before);
        QCOMPARE(Setting("FwqIp"), QStringLiteral("192.168.0.1"));
        QCOMPARE(client.autostart->m_enableCount, 0);

        QCOMPARE(context.applyServerSettings(
                     {QStringLiteral("127.0.0.1"), QStringLiteral("01234"), true, false}),
                 ServerSettingsCheck::Ok);
        QCOMPARE(Setting("FwqIp"), QStringLiteral("127.0.0.1"));
        QCOMPARE(Setting("FwqDk"), QStringLiteral("01234"));
        QCOMPARE(Setting("Qd"), QStringLiteral("1"));
        QCOMPARE(Setting("GengXin"), QStringLiteral("0"));
        QVERIFY(client.autostart->m_enabled);
        QCOMPARE(client.autostart->m_programPath, client.dir.filePath(QStringLiteral("Client")));
        QCOMPARE(client.connectAttempts, before + 1);
        // The same settings again: stored again, a fresh attempt; unticked removes the entry.
        QCOMPARE(context.applyServerSettings(
                     {QStringLiteral("127.0.0.1"), QStringLiteral("01234"), false, true}),
                 ServerSettingsCheck::Ok);
        QCOMPARE(client.connectAttempts, before + 2);
        QVERIFY(!client.autostart->m_enabled);
        QCOMPARE(client.autostart->m_disableCount, 1);
    }

    void secondCopyIsRefusedAndAnnounced() {
        ControllerFixture first(Params(QStringLiteral("10.0.0.1"), {}), true);
        QSignalSpy balloons(first.controller.get(), &ClientController::balloonRequested);
        QVERIFY(first.controller->start());
        QVERIFY(first.controller->isPrimaryInstance());
        for (int copy = 1; copy <= 2; ++copy) {
            ControllerFixture second(Params(QStringLiteral("10.0.0.1"), {}), true);
            QVERIFY(!second.controller->start());
            QVERIFY(!second.controller->isPrimaryInstance());
            QCOMPARE(second.messages,
                     (QList<QPair<QString, QString>>{
                         {QStringLiteral("Torvane"), QStringLiteral("程序已经运行")}}));
            QCOMPARE(second.connectAttempts, 0);
            QTRY_COMPARE(balloons.size(), copy);
        }
        const QList<QVariant> balloon = balloons.first();
        QCOMPARE(balloon.at(0).toString(), QStringLiteral("Torvane"));
        QCOMPARE(balloon.at(1).toString(), QStringLiteral("已经在这里启动啦"));
        QCOMPARE(balloon.at(2).toInt(), 1);
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
};

QTEST_GUILESS_MAIN(TestClientController)
#include "test_clientcontroller.moc"
