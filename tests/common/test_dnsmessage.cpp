#include "common/dnsmessage.h"

#include <QtTest>

using namespace torvane;

namespace {
// A response as a server sends it: header, the question echoed, then the records.
QByteArray Response(quint16 id, quint16 flags, int answerCount, bool compressed = true) {
    QByteArray out = EncodeDnsQuery(id, QStringLiteral("www.example.com"));
    out[2] = static_cast<char>(flags >> 8);
    out[3] = static_cast<char>(flags & 0xff);
    out[6] = static_cast<char>(answerCount >> 8);
    out[7] = static_cast<char>(answerCount & 0xff);
    for (int i = 0; i < answerCount; ++i) {
        if (compressed)
            out.append("\xc0\x0c", 2); // the name of the question
        else
            out.append("\x03www\x07"
                       "example\x03"
                       "com\x00",
                       17);
        out.append("\x00\x01\x00\x01\x00\x00\x01\x2c\x00\x04", 10); // A, IN, TTL, 4 bytes
        out.append("\x5d\xb8\xd8\x22", 4);
    }
    return out;
}
} // namespace

class TestDnsMessage : public QObject {
    Q_OBJECT
private slots:
    void queryAsksForTheARecordWithRecursion() {
        const QByteArray query = EncodeDnsQuery(0xBEEF, QStringLiteral("www.baidu.com"));
        const QByteArray expected("\xbe\xef\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00"
                                  "\x03www\x05"
                                  "baidu\x03"
                                  "com\x00"
                                  "\x00\x01\x00\x01",
                                  31);
        QCOMPARE(query, expected);
        // A trailing dot and blanks around change nothing; another script is asked in ACE form.
        QCOMPARE(EncodeDnsQuery(0xBEEF, QStringLiteral(" www.baidu.com. ")), expected);
        QVERIFY(EncodeDnsQuery(1, QStringLiteral("百度.中国")).contains("xn--"));
    }

    void namesThatCannotBeAskedGiveNoQuery_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("empty") << QString();
        QTest::newRow("only a dot") << QStringLiteral(".");
        QTest::newRow("empty label") << QStringLiteral("www..com");
        QTest::newRow("label of 64") << QString(64, QLatin1Char('a')) + QStringLiteral(".com");
        QTest::newRow("over 253 in all")
            << (QString(60, QLatin1Char('a')) + QLatin1Char('.')).repeated(5) +
                   QStringLiteral("com");
    }
    void namesThatCannotBeAskedGiveNoQuery() {
        QFETCH(QString, name);
        QVERIFY(EncodeDnsQuery(7, name).isEmpty());
        QVERIFY(DnsQueryName(name).isEmpty());
    }

    void answersAreJudgedByIdFlagsCodeAndRecords_data() {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<DnsAnswerStatus>("status");
        QTest::addColumn<int>("records");
        QTest::newRow("one record, compressed name")
            << Response(0x1234, 0x8180, 1) << DnsAnswerStatus::Resolved << 1;
        QTest::newRow("two records, names written out")
            << Response(0x1234, 0x8180, 2, false) << DnsAnswerStatus::Resolved << 2;
        QTest::newRow("another id") << Response(0x1235, 0x8180, 1) << DnsAnswerStatus::OtherId << 0;
        QTest::newRow("a query, not a response")
            << Response(0x1234, 0x0100, 1) << DnsAnswerStatus::NotResponse << 0;
        QTest::newRow("no such name")
            << Response(0x1234, 0x8183, 0) << DnsAnswerStatus::ServerError << 0;
        QTest::newRow("clean but empty")
            << Response(0x1234, 0x8180, 0) << DnsAnswerStatus::NoRecords << 0;
        QByteArray cut = Response(0x1234, 0x8180, 2);
        cut.chop(1);
        QTest::newRow("second record cut short") << cut << DnsAnswerStatus::Malformed << 1;
        QByteArray claims = Response(0x1234, 0x8180, 1);
        claims[7] = 9; // nine records announced, one there
        QTest::newRow("more records announced than sent")
            << claims << DnsAnswerStatus::Malformed << 1;
        QByteArray longData = Response(0x1234, 0x8180, 1);
        longData[longData.size() - 5] = 0x40; // data length 0x40 past the end
        QTest::newRow("data length past the end") << longData << DnsAnswerStatus::Malformed << 0;
        QByteArray badLabel = Response(0x1234, 0x8180, 1);
        badLabel[12] = '\x80'; // a label type that does not exist
        QTest::newRow("unknown label type") << badLabel << DnsAnswerStatus::Malformed << 0;
    }
    void answersAreJudgedByIdFlagsCodeAndRecords() {
        QFETCH(QByteArray, datagram);
        QFETCH(DnsAnswerStatus, status);
        QFETCH(int, records);
        const DnsAnswer answer = ReadDnsAnswer(datagram, 0x1234);
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.records, records);
    }

    void everyCutIsRefused() {
        // Only the whole answer resolves; every prefix of it is refused.
        const QByteArray whole = Response(0x4242, 0x8180, 3);
        for (qsizetype size = 0; size < whole.size(); ++size)
            QVERIFY(ReadDnsAnswer(QByteArrayView(whole).first(size), 0x4242).status !=
                    DnsAnswerStatus::Resolved);
        QCOMPARE(ReadDnsAnswer(whole, 0x4242).status, DnsAnswerStatus::Resolved);
        // Counts at their largest over a short datagram end in a verdict, not a long walk.
        QByteArray huge = Response(0x4242, 0x8180, 1);
        huge[4] = huge[5] = huge[6] = huge[7] = '\xff';
        QCOMPARE(ReadDnsAnswer(huge, 0x4242).status, DnsAnswerStatus::Malformed);
    }
};

QTEST_GUILESS_MAIN(TestDnsMessage)
#include "test_dnsmessage.moc"
