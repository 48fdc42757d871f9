#include "common/regstore.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <functional>

using namespace torvane;

namespace {
int ModeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}
} // namespace

class TestRegStore : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_config;
    QString m_file;

private slots:
    void initTestCase() {
        // A private settings folder: never the user's own file.
        qputenv("XDG_CONFIG_HOME", m_config.path().toUtf8());
        m_file = RegStoreFilePath(RegRoot::CurrentUser, kSettingsKey);
        QCOMPARE(m_file, m_config.filePath("Morlisk.conf"));
    }

    void missingValueReadsEmpty() {
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "NeverWritten"), QString());
    }

    void writesAndReadsTextUnderGeneral() {
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk", "15200"));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk"), QString("15200"));
        QFile file(m_file);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray content = file.readAll();
        QVERIFY(content.startsWith("[General]\n"));
        QVERIFY(content.contains("\nFwqDk=15200\n"));
    }

    void chineseTextRoundTrips() {
        const QString text = QString::fromUtf8("电信 线路；测试");
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "Name", text));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "Name"), text);
    }

    void nonTextValueReadsEmpty() {
        {
            QSettings raw(m_file, QSettings::IniFormat);
            raw.setValue("Number", 42);
            raw.setValue("List", QStringList{"a", "b"});
        }
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "List"), QString());
    }

    void deleteRemovesOnlyThatValue() {
        WriteRegString(RegRoot::CurrentUser, kSettingsKey, "Qd", "1");
        WriteRegString(RegRoot::CurrentUser, kSettingsKey, "GengXin", "1");
        QVERIFY(DeleteRegValue(RegRoot::CurrentUser, kSettingsKey, "Qd"));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "Qd"), QString());
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "GengXin"), QString("1"));
        QVERIFY(DeleteRegValue(RegRoot::CurrentUser, kSettingsKey, "Qd")); // already gone
    }

    void writesOfTwoProgramsMerge() {
        // Each call opens the file anew, so a value written by the other program is kept.
        WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqIp", "10.0.0.1");
        {
            QSettings other(m_file, QSettings::IniFormat);
            other.setValue("QiQiu", "0");
        }
        WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk", "8080");
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "QiQiu"), QString("0"));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "FwqIp"), QString("10.0.0.1"));
    }

    void storeFileStaysPrivateWhateverTheUmask() {
        // It holds the password digest: with umask 000 a plain QSettings file is world-writable.
        const mode_t oldMask = ::umask(0);
        const auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
        QVERIFY(QFile::remove(m_file));
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "AdminPwd", "digest"));
        QCOMPARE(ModeOf(m_file), 0600);

        // A file an older version left open to all is closed by the next write, the next delete,
        // or the call at start, and keeps its values.
        const std::function<bool()> steps[] = {
            [] { return WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk", "1"); },
            [] { return DeleteRegValue(RegRoot::CurrentUser, kSettingsKey, "FwqDk"); },
            [] { return RestrictRegStoreFile(RegRoot::CurrentUser, kSettingsKey); }};
        for (const auto& step : steps) {
            QVERIFY(::chmod(QFile::encodeName(m_file).constData(), 0666) == 0);
            QVERIFY(step());
            QCOMPARE(ModeOf(m_file), 0600);
        }
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "AdminPwd"), QString("digest"));
    }

    void unwritableStoreReportsFailure() {
        // Runs last: a folder in the file's place cannot be written.
        QVERIFY(QFile::remove(m_file));
        QVERIFY(QDir().mkpath(m_file));
        QVERIFY(!WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk", "1"));
        QVERIFY(QFileInfo(m_file).isDir());
        // Not a file the store wrote: its mode is not touched.
        QVERIFY(!RestrictRegStoreFile(RegRoot::CurrentUser, kSettingsKey));
        QVERIFY(ModeOf(m_file) != 0600);
    }
};

QTEST_GUILESS_MAIN(TestRegStore)
#include "test_regstore.moc"
