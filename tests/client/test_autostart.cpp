#include "client/xdgautostart.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace torvane::client;

namespace {
QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

// The XDG autostart entry behind the "随计算机启动" setting.
class TestAutostart : public QObject {
    Q_OBJECT

private slots:
    void autostartEntryQuotesAndFailsSilently() {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("auto start"));
        QVERIFY(XdgAutostart::WriteEntry(folder, QStringLiteral("/opt/my tools/Client")));
        const QByteArray entry = ReadAll(XdgAutostart::EntryPath(folder));
        QVERIFY(entry.startsWith("[Desktop Entry]\n"));
        QVERIFY(entry.contains("\nExec=\"/opt/my tools/Client\"\n"));
        XdgAutostart::WriteEntry(folder, QStringLiteral("/opt/100%/a$b"));
        QVERIFY(
            ReadAll(XdgAutostart::EntryPath(folder)).contains("\nExec=\"/opt/100%%/a\\\\$b\"\n"));
        XdgAutostart::WriteEntry(folder, QStringLiteral("/usr/bin/Client"));
        QVERIFY(ReadAll(XdgAutostart::EntryPath(folder)).contains("\nExec=/usr/bin/Client\n"));
        QVERIFY(XdgAutostart::RemoveEntry(folder));
        QVERIFY(!QFile::exists(XdgAutostart::EntryPath(folder)));
        QVERIFY(!XdgAutostart::RemoveEntry(folder)); // a missing entry: nothing happens

        // A folder that cannot be made: nothing written, nothing thrown.
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QVERIFY(!XdgAutostart::WriteEntry(blocker.fileName() + QStringLiteral("/autostart"),
                                          QStringLiteral("/usr/bin/Client")));
        QVERIFY(!QFile::exists(XdgAutostart::EntryPath(blocker.fileName() + "/autostart")));
    }

    void userFolderWhenTheSystemOneIsClosed() {
        QTemporaryDir dir;
        // A file where the system folder should be: it cannot be written, as /etc/xdg/autostart
        // cannot by a workstation user.
        const QString systemFolder = dir.filePath(QStringLiteral("system"));
        QFile blocker(systemFolder);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        const QString userFolder = dir.filePath(QStringLiteral("user/autostart"));
        XdgAutostart entry(systemFolder, userFolder);
        entry.enable(QStringLiteral("/usr/bin/Client"));
        QVERIFY(ReadAll(XdgAutostart::EntryPath(userFolder)).contains("\nExec=/usr/bin/Client\n"));
        entry.disable();
        QVERIFY(!QFile::exists(XdgAutostart::EntryPath(userFolder)));

        // Where the system folder can be written, the entry goes there; disabling removes
        // whatever copy exists, so none starts the program any more.
        const QString openSystem = dir.filePath(QStringLiteral("open-system"));
        XdgAutostart both(openSystem, userFolder);
        XdgAutostart::WriteEntry(userFolder, QStringLiteral("/old/Client"));
        both.enable(QStringLiteral("/usr/bin/Client"));
        QVERIFY(QFile::exists(XdgAutostart::EntryPath(openSystem)));
        both.disable();
        QVERIFY(!QFile::exists(XdgAutostart::EntryPath(openSystem)));
        QVERIFY(!QFile::exists(XdgAutostart::EntryPath(userFolder)));
    }

    void defaultFolders() {
        const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", "/tmp/tv-autostart-home");
        const XdgAutostart entry;
        qputenv("XDG_CONFIG_HOME", saved);
        QCOMPARE(entry.systemFolder(), QStringLiteral("/etc/xdg/autostart"));
        QCOMPARE(entry.userFolder(), QStringLiteral("/tmp/tv-autostart-home/autostart"));
    }
};

QTEST_GUILESS_MAIN(TestAutostart)
#include "test_autostart.moc"
