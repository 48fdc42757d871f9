// The Server's line table model: load, save, add, delete. The commands over it and the line
// menu's data are the line table controller's (test_servercontrollers).
#include "common/gbk.h"
#include "common/linefile.h"
#include "server/linetablemodel.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace torvane;
using namespace torvane::server;

Q_DECLARE_METATYPE(LineEntry)

namespace {
const QByteArray kTwoRecords = "A;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\nB;;;4.4.4.4;5.5.5.5;6.6.6.6;\r\n";

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QStringList Row(const LineTableModel& model, int row) {
    QStringList cells;
    for (int c = 0; c < model.columnCount(); ++c)
        cells << model.cellText(row, c);
    return cells;
}

LineEntry Line(const QString& name, const QString& g, const QString& p, const QString& s) {
    return LineEntry{name, QString(), QString(), g, p, s};
}
} // namespace

class TestLineTable : public QObject {
    Q_OBJECT
private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        m_path = LineFilePath(m_dir.path());
        QFile::remove(m_path);
    }

    void modelIsConsistent() {
        LineTableModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        WriteBytes(m_path, kTwoRecords);
        model.load(m_path);
        model.addLine();
        model.removeLine(0);
        model.setCellText(0, LineTableModel::NameColumn, QStringLiteral("x"));
        QCOMPARE(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("首选DNS"));
        QVERIFY(!(model.flags(model.index(0, 0)) & Qt::ItemIsEditable));
        QVERIFY(!model.setData(model.index(0, LineTableModel::IdColumn), QStringLiteral("9")));
    }

    void loadsRecordsAsRows_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QStringList>>("rows");
        QTest::newRow("empty file") << QByteArray() << QList<QStringList>{};
        QTest::newRow("only CR LF")
            << QByteArray("\r\n") << QList<QStringList>{{"1", "", "", "", ""}};
        QTest::newRow("two records")
            << kTwoRecords
            << QList<QStringList>{{"1", "A", "1.1.1.1", "2.2.2.2", "3.3.3.3"},
                                  {"2", "B", "4.4.4.4", "5.5.5.5", "6.6.6.6"}};
        QTest::newRow("no final CR LF")
            << kTwoRecords.chopped(2)
            << QList<QStringList>{{"1", "A", "1.1.1.1", "2.2.2.2", "3.3.3.3"}};
        QTest::newRow("client record")
            << QByteArray("A;192.168.0.9;255.255.255.0;1.1.1.1;2.2.2.2;;\r\n")
            << QList<QStringList>{{"1", "A", "1.1.1.1", "2.2.2.2", ""}};
        QTest::newRow("short record")
            << QByteArray("X;1;2\r\n") << QList<QStringList>{{"1", "X", "", "", ""}};
        QTest::newRow("blank line inside")
            << QByteArray("A;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n\r\nB;;;4.4.4.4;5.5.5.5;6.6.6.6;\r\n")
            << QList<QStringList>{{"1", "A", "1.1.1.1", "2.2.2.2", "3.3.3.3"},
                                  {"2", "", "", "", ""},
                                  {"3", "B", "4.4.4.4", "5.5.5.5", "6.6.6.6"}};
        QTest::newRow("GBK name") << ToGbk(QStringLiteral("电信;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n"))
                                  << QList<QStringList>{
                                         {"1", "电信", "1.1.1.1", "2.2.2.2", "3.3.3.3"}};
    }
    void loadsRecordsAsRows() {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QStringList>, rows);
        WriteBytes(m_path, bytes);
        LineTableModel model;
        model.addLine(); // loading empties what was there
        model.load(m_path);
        QCOMPARE(model.rowCount(), rows.size());
        for (int r = 0; r < rows.size(); ++r)
            QCOMPARE(Row(model, r), rows.at(r));
    }

    void missingFileEmptiesTheTable() {
        LineTableModel model;
        model.addLine();
        model.addLine();
        QCOMPARE(model.load(m_path), 0);
        QCOMPARE(model.rowCount(), 0);
    }

    void keepsTheFirstTwentyRecords() {
        QByteArray bytes;
        for (int i = 1; i <= 25; ++i)
            bytes += "L" + QByteArray::number(i) + ";;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n";
        WriteBytes(m_path, bytes);
        LineTableModel model;
        QCOMPARE(model.load(m_path), 5);
        QCOMPARE(model.rowCount(), 20);
        QCOMPARE(model.cellText(19, LineTableModel::NameColumn), QStringLiteral("L20"));
        QCOMPARE(model.cellText(19, LineTableModel::IdColumn), QStringLiteral("20"));
        QVERIFY(!model.addLine());
    }

    void savesExactBytes() {
        WriteBytes(m_path, "old content that must go\r\nmore\r\nand more\r\n");
        LineTableModel model;
        model.setRows({Line("A", "1.1.1.1", "2.2.2.2", "3.3.3.3"),
                       Line("B", "4.4.4.4", "5.5.5.5", "6.6.6.6")});
        QCOMPARE(model.save(m_path), LineTableModel::SaveResult::Saved);
        QCOMPARE(ReadFileBytes(m_path), kTwoRecords);

        // Cells are written as they stand: blanks around a name stay, the name goes out in GBK.
        model.setRows(
            {Line(QStringLiteral(" 电信 "), "192.168.0.1", "192.168.0.1", "192.168.0.1")});
        QCOMPARE(model.save(m_path), LineTableModel::SaveResult::Saved);
        QCOMPARE(ReadFileBytes(m_path),
                 ToGbk(QStringLiteral(" 电信 ;;;192.168.0.1;192.168.0.1;192.168.0.1;\r\n")));
    }

    void savingAnEmptyTableKeepsTheFile() {
        WriteBytes(m_path, kTwoRecords);
        LineTableModel model;
        QCOMPARE(model.save(m_path), LineTableModel::SaveResult::Saved);
        QCOMPARE(ReadFileBytes(m_path), kTwoRecords);
        model.load(m_path);
        QCOMPARE(model.rowCount(), 2);
    }

    void refusesBadRows_data() {
        QTest::addColumn<LineEntry>("bad");
        const QString ip = QStringLiteral("192.168.0.1");
        QTest::newRow("blank name") << Line("   ", ip, ip, ip);
        QTest::newRow("empty name") << Line("", ip, ip, ip);
        QTest::newRow("gateway .256") << Line("A", "192.168.0.256", ip, ip);
        QTest::newRow("gateway with blank") << Line("A", "192.168.0.1 ", ip, ip);
        QTest::newRow("letters as gateway") << Line("A", "abc", ip, ip);
        QTest::newRow("empty primary") << Line("A", ip, "", ip);
        QTest::newRow("empty secondary") << Line("A", ip, ip, "");
        // The file has no quoting: these names would come back as other fields or records.
        QTest::newRow("semicolon in name") << Line("A;B", ip, ip, ip);
        QTest::newRow("bar in name") << Line("A|B", ip, ip, ip);
        QTest::newRow("line break in name") << Line("A\r\nB", ip, ip, ip);
        QTest::newRow("LF in name") << Line("A\nB", ip, ip, ip);
        QTest::newRow("not in GBK") << Line(QString::fromUtf8("A\xF0\x9F\x98\x80"), ip, ip, ip);
    }
    void refusesBadRows() {
        QFETCH(LineEntry, bad);
        WriteBytes(m_path, kTwoRecords);
        LineTableModel model;
        model.setRows({Line("ok", "1.1.1.1", "2.2.2.2", "3.3.3.3"), bad});
        QCOMPARE(model.firstInvalidRow(), 1);
        QCOMPARE(model.save(m_path), LineTableModel::SaveResult::Invalid);
        QCOMPARE(ReadFileBytes(m_path), kTwoRecords);
    }

    void addAndRemove() {
        LineTableModel model;
        QVERIFY(model.addLine());
        QCOMPARE(Row(model, 0),
                 (QStringList{"1", "配置名称", "192.168.0.1", "192.168.0.1", "192.168.0.1"}));
        QCOMPARE(model.firstInvalidRow(), -1); // a new row passes Save as it is

        model.setRows({Line("R1", "1.1.1.1", "1.1.1.2", "1.1.1.3"),
                       Line("R2", "2.2.2.1", "2.2.2.2", "2.2.2.3"),
                       Line("R3", "3.3.3.1", "3.3.3.2", "3.3.3.3")});
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        QVERIFY(model.removeLine(1));
        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(Row(model, 1), (QStringList{"2", "R3", "3.3.3.1", "3.3.3.2", "3.3.3.3"}));
        QVERIFY(!changed.isEmpty()); // views repaint the renumbered ID
        QVERIFY(!model.removeLine(2));
        QVERIFY(!model.removeLine(-1));
        QCOMPARE(model.rowCount(), 2);

        while (model.rowCount() < 19)
            QVERIFY(model.addLine());
        QVERIFY(model.addLine());
        QCOMPARE(model.cellText(19, LineTableModel::IdColumn), QStringLiteral("20"));
        QVERIFY(!model.addLine());
        QCOMPARE(model.rowCount(), 20);
    }

private:
    QTemporaryDir m_dir;
    QString m_path;
};

QTEST_MAIN(TestLineTable)
#include "test_linetable.moc"
