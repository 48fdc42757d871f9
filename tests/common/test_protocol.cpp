#include "common/gbk.h"
#include "common/protocol.h"

#include <QtTest>

using namespace torvane;

using namespace Protocol;

namespace {
QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}
const QByteArray kReportWordBytes = Hex("BCC6CBE3BBFAD0C5CFA2");
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void commandWordsAreTheirGbkBytes() {
        QCOMPARE(ToGbk(kReportWord), kReportWordBytes);
        QCOMPARE(ToGbk(kUpdateWord), Hex("B8FCD0C2"));
        QCOMPARE(ToGbk(kSwitchWord), Hex("C7D0BBBB"));
    }

    void composesGoldenMessages() {
        QCOMPARE(ComposeReport("192.168.0.1", "192.0.2.53", QString::fromUtf8("电信"), "1"),
                 ToGbk(QString::fromUtf8("计算机信息192.168.0.1; 192.0.2.53;电信;1")));
        QCOMPARE(ComposeReport("", "", "", "1"), kReportWordBytes + Hex("3B203B3B31"));
        QCOMPARE(ComposeSwitchCommand("192.168.0.1", "192.0.2.53", "192.0.2.54"),
                 Hex("C7D0BBBB") + "192.168.0.1;192.0.2.53;192.0.2.54");
        QCOMPARE(ComposeSwitchCommand("192.168.0.1", "192.0.2.53", ""),
                 Hex("C7D0BBBB") + "192.168.0.1;192.0.2.53;");
        const QByteArray file =
            ToGbk(QString::fromUtf8("电信;;;192.168.0.1;192.0.2.53;192.0.2.54;")) + "\r\n";
        QCOMPARE(ComposeLineListUpdate(file), Hex("B8FCD0C2") + file);
        QCOMPARE(ComposeLineListUpdate({}), Hex("B8FCD0C2"));
    }

    void splitsReportsKeepingTheDnsBlank() {
        const auto report =
            SplitReport(ComposeReport("10.0.0.1", "192.0.2.53", QString::fromUtf8("联通"), "1"));
        QVERIFY(report);
        QCOMPARE(report->gateway, QString("10.0.0.1"));
        QCOMPARE(report->primaryDns, QString(" 192.0.2.53"));
        QCOMPARE(report->lineName, QString::fromUtf8("联通"));
        QVERIFY(ReportAsksForUpdate(*report));
        QVERIFY(IsCompleteReport(*report));

        const auto empty = SplitReport(kReportWordBytes + Hex("3B203B3B31"));
        QVERIFY(empty);
        QCOMPARE(empty->gateway, QString());
        QCOMPARE(empty->primaryDns, QString(" "));
        QCOMPARE(empty->lineName, QString());
        QVERIFY(ReportAsksForUpdate(*empty));
    }

    void rejectsWhatIsNoReport() {
        QVERIFY(!SplitReport(QByteArray()));
        QVERIFY(!SplitReport("hello"));
        // The first four characters of the word followed by anything else.
        QVERIFY(!SplitReport(kReportWordBytes.left(8) + "x1.1.1.1; 2.2.2.2;a;1"));
        QVERIFY(!SplitReport(kReportWordBytes.left(7))); // cut inside a character
        QVERIFY(!SplitReport(Hex("B8FCD0C2") + "a;;;1;2;3;\r\n"));
    }

    void judgesShortAndOddReports() {
        const auto shortReport = SplitReport(kReportWordBytes + "1.1.1.1; 2.2.2.2;a");
        QVERIFY(shortReport);
        QCOMPARE(shortReport->pieceCount, 3);
        QVERIFY(!IsCompleteReport(*shortReport));
        QVERIFY(!ReportAsksForUpdate(*shortReport));

        const auto zero = SplitReport(ComposeReport("1.1.1.1", "2.2.2.2", "a", "0"));
        QVERIFY(IsCompleteReport(*zero));
        QVERIFY(!ReportAsksForUpdate(*zero));

        // Two reports merged in one read: U becomes the rest, which is no number.
        const auto merged = SplitReport(ComposeReport("1.1.1.1", "2.2.2.2", "a", "1") +
                                        ComposeReport("3.3.3.3", "4.4.4.4", "b", "1"));
        QCOMPARE(merged->gateway, QString("1.1.1.1"));
        QVERIFY(!IsCompleteReport(*merged));
        QVERIFY(!ReportAsksForUpdate(*merged));

        const auto extra = SplitReport(kReportWordBytes + "1.1.1.1; 2.2.2.2;a;1;junk");
        QCOMPARE(extra->pieceCount, 5);
        QVERIFY(IsCompleteReport(*extra));
    }

    void classifiesServerMessages() {
        const ServerMessage update = ClassifyServerMessage(Hex("B8FCD0C2") + "a;;;1;2;3;\r\n");
        QCOMPARE(update.kind, ServerMessage::Kind::Update);
        QCOMPARE(update.fileBytes, QByteArray("a;;;1;2;3;\r\n"));

        const ServerMessage sw =
            ClassifyServerMessage(ComposeSwitchCommand("192.168.0.1", "192.0.2.53", ""));
        QCOMPARE(sw.kind, ServerMessage::Kind::Switch);
        QCOMPARE(sw.gateway, QString("192.168.0.1"));
        QCOMPARE(sw.primaryDns, QString("192.0.2.53"));
        QCOMPARE(sw.secondaryDns, QString());
        QCOMPARE(sw.pieceCount, 3);

        const ServerMessage shortSwitch = ClassifyServerMessage(Hex("C7D0BBBB") + "1.1.1.1");
        QCOMPARE(shortSwitch.kind, ServerMessage::Kind::Switch);
        QCOMPARE(shortSwitch.pieceCount, 1);

        for (const QByteArray& garbage : {QByteArray(), QByteArray("x"), Hex("B8FC"), Hex("C7D0BB"),
                                          Hex("FFFFFFFF"), kReportWordBytes + "1;2;3;4"})
            QCOMPARE(ClassifyServerMessage(garbage).kind, ServerMessage::Kind::None);
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "test_protocol.moc"
