#include "common/gbk.h"
#include "common/linefile.h"
#include "common/validators.h"

#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

using namespace torvane;

namespace {
const QByteArray kCrLf("\r\n");

QByteArray Gbk(const char* utf8) {
    return ToGbk(QString::fromUtf8(utf8));
}
} // namespace

class TestLineFile : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;

    void writeBytes(const QByteArray& bytes) {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }
    QByteArray bytes() const { return ReadFileBytes(m_path); }

private slots:
    void init() {
        m_path = LineFilePath(m_dir.path());
        QFile::remove(m_path);
    }

    void loadsRecordsWithEmptyFieldsAsStored() {
        writeBytes(
            "a;;;10.1.1.1;10.2.2.2;10.3.3.3;\r\nb;1.2.3.4;255.0.0.0;10.1.1.1;10.2.2.2;;\r\n");
        const QList<LineEntry> entries = LoadLineEntries(m_path);
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0], (LineEntry{"a", "", "", "10.1.1.1", "10.2.2.2", "10.3.3.3"}));
        QCOMPARE(entries[1], (LineEntry{"b", "1.2.3.4", "255.0.0.0", "10.1.1.1", "10.2.2.2", ""}));
    }

    void ignoresRecordWithoutFinalCrLfAndBlankRecords() {
        writeBytes("a;;;1.1.1.1;2.2.2.2;;\r\n\r\nb;;;1.1.1.1;2.2.2.2;;");
        const QList<LineEntry> entries = LoadLineEntries(m_path);
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].name, QString("a"));
    }

    void keepsFieldsUntrimmedAndFillsShortRecords() {
        writeBytes(" x ;;; 1.1.1.1;2.2.2.2\r\nshort\r\n");
        const QList<LineEntry> entries = LoadLineEntries(m_path);
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0].name, QString(" x "));
        QCOMPARE(entries[0].gateway, QString(" 1.1.1.1"));
        QCOMPARE(entries[0].secondaryDns, QString());
        QCOMPARE(entries[1], (LineEntry{"short", "", "", "", "", ""}));
    }

    void missingOrGarbageFileLoadsSafely() {
        QVERIFY(LoadLineEntries(m_path).isEmpty());
        QVERIFY(!LineNameExists(m_path, "a"));
        writeBytes(QByteArray("\xff\xfe\x00\x81;;\r\n", 8));
        QCOMPARE(LoadLineEntries(m_path).size(), 1); // decoded, never a crash
    }

    void loadStopsAtTheListCapacity() {
        QByteArray text;
        for (int i = 0; i < 30; ++i)
            text += "n" + QByteArray::number(i) + ";;;1.1.1.1;2.2.2.2;;\r\n";
        writeBytes(text);
        QCOMPARE(LoadLineEntries(m_path).size(), kLineListSlots);
    }

    void chineseNamesRoundTripAsGbk() {
        const LineEntry entry{QString::fromUtf8("电信"), "", "", "192.168.1.1", "192.168.1.2", ""};
        QVERIFY(AppendLine(m_path, ComposeLine(entry)));
        QCOMPARE(bytes(), Gbk("电信;;;192.168.1.1;192.168.1.2;;") + kCrLf);
        QCOMPARE(LoadLineEntries(m_path).value(0), entry);
        QVERIFY(LineNameExists(m_path, QString::fromUtf8("电信")));
        QVERIFY(!LineNameExists(m_path, QString::fromUtf8("电")));
    }

    void deletingTheOnlyRecordLeavesOneCrLf() {
        AppendLine(m_path, "a;;;1.1.1.1;2.2.2.2;;");
        QVERIFY(RewriteLineFile(m_path, "a;;;1.1.1.1;2.2.2.2;;", QString(), true));
        QCOMPARE(bytes(), kCrLf);
        QVERIFY(LoadLineEntries(m_path).isEmpty());
    }

    void modifyReplacesEveryEqualRecordAndOnlyWholeOnes() {
        writeBytes("a;;;1.1.1.1;2.2.2.2;;\r\nba;;;1.1.1.1;2.2.2.2;;\r\na;;;1.1.1.1;2.2.2.2;;\r\n");
        QVERIFY(RewriteLineFile(m_path, "a;;;1.1.1.1;2.2.2.2;;", "c;;;3.3.3.3;4.4.4.4;;", false));
        QCOMPARE(bytes(), QByteArray("c;;;3.3.3.3;4.4.4.4;;\r\nba;;;1.1.1.1;2.2.2.2;;\r\n"
                                     "c;;;3.3.3.3;4.4.4.4;;\r\n"));
    }

    void deleteRemovesTheRecordWithItsCrLf() {
        writeBytes("a;;;1;2;;\r\nb;;;1;2;;\r\nc;;;1;2;;\r\n");
        QVERIFY(RewriteLineFile(m_path, "b;;;1;2;;", QString(), true));
        QCOMPARE(bytes(), QByteArray("a;;;1;2;;\r\nc;;;1;2;;\r\n"));
    }

    void rewriteLeavesAnUnreadableFileAlone() {
        // A socket in the file's place exists but cannot be read (even by root, unlike a file
        // without read permission): it is not replaced by a list rebuilt from nothing.
#ifndef Q_OS_WIN // a local server is a named pipe there, never in a folder
        QVERIFY(QDir().mkpath(m_dir.filePath("unreadable")));
        const QString blocked = LineFilePath(m_dir.filePath("unreadable"));
        QLocalServer socket;
        QVERIFY(socket.listen(blocked));
        QVERIFY(!RewriteLineFile(blocked, "a;;;1;2;;", QString(), true));
        QVERIFY(!QFileInfo(blocked).isFile());
#endif
        // A missing file is an empty list: deleting from it leaves a file of one CR LF.
        QVERIFY(RewriteLineFile(m_path, "a;;;1;2;;", QString(), true));
        QCOMPARE(bytes(), kCrLf);
    }

    void writeLineFileEndsWithExactlyOneCrLf() {
        QVERIFY(WriteLineFile(m_path, "a;;;1;2;;\r\nb;;;1;2;;\r\n"));
        QCOMPARE(bytes(), QByteArray("a;;;1;2;;\r\nb;;;1;2;;\r\n"));
        QVERIFY(WriteLineFile(m_path, QString()));
        QCOMPARE(bytes(), kCrLf);
        // Without its final CR LF the text loses its last character: the stored format's rule.
        QVERIFY(WriteLineFile(m_path, "a;;;1;2;;\r\nb"));
        QCOMPARE(bytes(), QByteArray("a;;;1;2;;\r\n\r\n"));
    }

    void writeLineFileReplacesAtomically() {
        writeBytes("old;;;1;2;;\r\n");
        // A folder in the file's place cannot be replaced: the call fails and reports it.
        const QString blocked = m_dir.filePath("blocked");
        QVERIFY(QDir().mkpath(blocked + "/MainConfig.dat"));
        QVERIFY(!WriteLineFile(LineFilePath(blocked), "x;;;1;2;;\r\n"));
        // No temporary file is left beside a successful write.
        QVERIFY(WriteLineFile(m_path, "new;;;1;2;;\r\n"));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files), QStringList{"MainConfig.dat"});
        QCOMPARE(bytes(), QByteArray("new;;;1;2;;\r\n"));
    }

    void serverTableReadsItsFourColumnsAndKeepsBlankRows() {
        writeBytes("A;192.168.0.9;255.255.255.0;1.1.1.1;2.2.2.2;;\r\n\r\nX;1;2\r\nB;;;4;5;6;");
        const QList<LineEntry> rows = LoadServerLineTable(m_path);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0], (LineEntry{"A", "", "", "1.1.1.1", "2.2.2.2", ""}));
        QCOMPARE(rows[1], LineEntry{});
        QCOMPARE(rows[2], (LineEntry{"X", "", "", "", "", ""}));
        writeBytes("");
        QVERIFY(LoadServerLineTable(m_path).isEmpty());
    }

    void serverSaveWritesExactBytesAndKeepsFileForEmptyTable() {
        writeBytes("old;;;9;9;9;\r\n");
        QVERIFY(WriteServerLineFile(m_path, {}));
        QCOMPARE(bytes(), QByteArray("old;;;9;9;9;\r\n"));
        const QList<LineEntry> rows{{" A ", "ip", "mask", "1.1.1.1", "2.2.2.2", "3.3.3.3"},
                                    {"B", "", "", "4.4.4.4", "5.5.5.5", "6.6.6.6"}};
        QVERIFY(WriteServerLineFile(m_path, rows));
        QCOMPARE(bytes(),
                 QByteArray(" A ;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\nB;;;4.4.4.4;5.5.5.5;6.6.6.6;\r\n"));
    }

    void ipAddressValidator_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("plain") << "192.168.0.1" << true;
        QTest::newRow("all 255") << "255.255.255.255" << true;
        QTest::newRow("zeros") << "0.0.0.0" << true;
        QTest::newRow("two-digit leading zero") << "01.02.03.04" << true;
        QTest::newRow("256") << "256.1.1.1" << false;
        QTest::newRow("three-digit leading zero") << "001.1.1.1" << false;
        QTest::newRow("three parts") << "1.1.1" << false;
        QTest::newRow("five parts") << "1.1.1.1.1" << false;
        QTest::newRow("leading space") << " 1.1.1.1" << false;
        QTest::newRow("trailing space") << "1.1.1.1 " << false;
        QTest::newRow("trailing newline") << "1.1.1.1\n" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("letters") << "abc" << false;
        QTest::newRow("full-width digits") << QString::fromUtf8("１.1.1.1") << false;
        QTest::newRow("arabic-indic digit") << QString::fromUtf8("١.1.1.1") << false;
    }
    void ipAddressValidator() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(IsIpAddress(text), valid);
    }

    void digitsValidator_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("port") << "15200" << true;
        QTest::newRow("leading zeros") << "00080" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("inner space") << "15 200" << false;
        QTest::newRow("negative") << "-1" << false;
        QTest::newRow("letter") << "80a" << false;
        QTest::newRow("trailing newline") << "80\n" << false;
    }
    void digitsValidator() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(IsDigits(text), valid);
    }
};

QTEST_GUILESS_MAIN(TestLineFile)
#include "test_linefile.moc"
