#include "common/gbk.h"
#include "common/messagereader.h"
#include "common/protocol.h"

#include <QtTest>

using namespace torvane;

using namespace Protocol;

namespace {
QByteArray MakeReport(const char* gateway, const char* name, const char* flag = "1") {
    return ComposeReport(gateway, "192.0.2.53", QString::fromUtf8(name), flag);
}

QByteArray TwentyLineUpdate() {
    QByteArray file;
    for (int i = 0; i < 20; ++i)
        file +=
            ToGbk(QString::fromUtf8("线路%1;;;10.0.%1.1;192.0.2.%1;192.0.2.99;").arg(i)) + "\r\n";
    return ComposeLineListUpdate(file);
}

// Feeds `bytes` in chunks of `chunk` bytes, `gapMs` apart, then lets time run out.
QList<QByteArray> FeedInChunks(MessageReader& reader, const QByteArray& bytes, int chunk, int gapMs,
                               qint64& now) {
    QList<QByteArray> out;
    for (qsizetype pos = 0; pos < bytes.size(); pos += chunk) {
        out += reader.feed(bytes.mid(pos, chunk), now);
        now += gapMs;
    }
    while (auto deadline = reader.deadline()) {
        now = std::max(now, *deadline);
        out += reader.poll(now);
    }
    return out;
}
} // namespace

class TestMessageReader : public QObject {
    Q_OBJECT

private slots:
    void wholeReportInOneReadIsOneMessageAtOnce() {
        MessageReader reader(MessageReader::Side::Server);
        const QByteArray report = MakeReport("192.168.0.1", "电信");
        QCOMPARE(reader.feed(report, 0), QList<QByteArray>{report});
        QVERIFY(!reader.deadline());
        // The empty report ends after its one-character flag too.
        const QByteArray empty = ComposeReport("", "", "", "0");
        QCOMPARE(reader.feed(empty, 1), QList<QByteArray>{empty});
    }

    void splitReportIsReassembledByteByByte() {
        MessageReader reader(MessageReader::Side::Server);
        const QByteArray report = MakeReport("10.0.0.1", "联通");
        qint64 now = 0;
        QCOMPARE(FeedInChunks(reader, report, 1, 3, now), QList<QByteArray>{report});
        QCOMPARE(reader.droppedCount(), 0);
    }

    void mergedReportsAreSeparated() {
        MessageReader reader(MessageReader::Side::Server);
        const QByteArray a = MakeReport("10.0.0.1", "a");
        const QByteArray b = MakeReport("10.0.0.2", "b", "0");
        QCOMPARE(reader.feed(a + b + a.left(7), 0), (QList<QByteArray>{a, b}));
        QCOMPARE(reader.feed(a.mid(7), 1), QList<QByteArray>{a});
    }

    void garbageIsDroppedWholeAndTheNextMessageStillReads() {
        MessageReader reader(MessageReader::Side::Server);
        QVERIFY(reader.feed("GET / HTTP/1.0\r\n\r\n", 0).isEmpty());
        QCOMPARE(reader.droppedCount(), 1);
        QVERIFY(!reader.hasPending());
        // The first four characters of the word, then something else.
        QVERIFY(reader.feed(ToGbk(kReportWord).left(8) + "x;1;2;3", 1).isEmpty());
        QVERIFY(!reader.hasPending());
        const QByteArray report = MakeReport("10.0.0.1", "a");
        QCOMPARE(reader.feed(report, 2), QList<QByteArray>{report});
        // A report followed by garbage in the same read: the report counts, the rest does not.
        QCOMPARE(reader.feed(report + "\xff\xfe", 3), QList<QByteArray>{report});
        QVERIFY(!reader.hasPending());
    }

    void reportCutShortDoesNotSwallowTheNextOne() {
        MessageReader reader(MessageReader::Side::Server);
        const QByteArray cut = ToGbk(kReportWord) + "10.0.0.1; 192.0.2.53";
        const QByteArray report = MakeReport("10.0.0.2", "b");
        QVERIFY(reader.feed(cut, 0).isEmpty());
        QCOMPARE(reader.feed(report, 10), (QList<QByteArray>{cut, report}));
        QVERIFY(!IsCompleteReport(*SplitReport(cut)));
        // The same for a switch cut before its second separator.
        MessageReader client(MessageReader::Side::Client);
        const QByteArray shortSwitch = ToGbk(kSwitchWord) + "10.0.0.1";
        const QByteArray sw = ComposeSwitchCommand("10.0.0.1", "192.0.2.1", "192.0.2.200");
        QCOMPARE(client.feed(shortSwitch + sw, 0), (QList<QByteArray>{shortSwitch, sw}));
    }

    void unfinishedReportIsGivenUpAfterTheStall() {
        MessageReader reader(MessageReader::Side::Server);
        QVERIFY(reader.feed(MakeReport("10.0.0.1", "a").chopped(1), 0).isEmpty());
        QCOMPARE(*reader.deadline(), qint64(2000));
        QVERIFY(reader.poll(1999).isEmpty());
        QVERIFY(reader.hasPending());
        QVERIFY(reader.poll(2000).isEmpty());
        QVERIFY(!reader.hasPending());
        // A fresh report after the stall reads normally instead of being glued to the rest.
        const QByteArray report = MakeReport("10.0.0.2", "b");
        QCOMPARE(reader.feed(report, 2500), QList<QByteArray>{report});
    }

    void endlessDataIsCappedAndNothingIsApplied() {
        MessageReader reader(MessageReader::Side::Server);
        QByteArray endless = ToGbk(kReportWord) + QByteArray(100, '1');
        QList<QByteArray> out;
        qint64 now = 0;
        for (int i = 0; i < 200; ++i) {
            out += reader.feed(endless, now++);
            endless = QByteArray(100, '1');
            QVERIFY(reader.pendingBytes() <= MessageReader::kServerCap);
        }
        QVERIFY(out.isEmpty());
        QVERIFY(reader.droppedCount() >= 1);
    }

    void updateArrivingInSmallChunksIsAppliedOnceAndWhole() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray update = TwentyLineUpdate();
        qint64 now = 0;
        QCOMPARE(FeedInChunks(reader, update, 5, 2, now), QList<QByteArray>{update});
    }

    void updateEndsOnlyAfterTheQuietTime() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray update = TwentyLineUpdate();
        QVERIFY(reader.feed(update, 100).isEmpty());
        QCOMPARE(*reader.deadline(), qint64(150));
        QVERIFY(reader.poll(149).isEmpty());
        QCOMPARE(reader.poll(150), QList<QByteArray>{update});
        // The bare word (an empty list) is a whole update too.
        const QByteArray empty = ComposeLineListUpdate({});
        QVERIFY(reader.feed(empty, 200).isEmpty());
        QCOMPARE(reader.poll(250), QList<QByteArray>{empty});
    }

    void updateFollowedBySwitchGivesBoth() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray update = TwentyLineUpdate();
        const QByteArray sw = ComposeSwitchCommand("10.0.1.1", "192.0.2.1", "192.0.2.2");
        // Whether a record or the switch follows the last CR LF is known once the line is quiet.
        QVERIFY(reader.feed(update + sw, 0).isEmpty());
        QCOMPARE(reader.poll(50), (QList<QByteArray>{update, sw}));
        // And a switch followed by an update.
        QCOMPARE(reader.feed(sw + update, 100), QList<QByteArray>{sw});
        QCOMPARE(reader.poll(150), QList<QByteArray>{update});
    }

    void lineNamedLikeACommandStaysInTheUpdate() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray file = ToGbk(QString::fromUtf8("a;;;1.1.1.1;2.2.2.2;;\r\n"
                                                        "切换线路;;;3.3.3.3;4.4.4.4;;\r\n"));
        const QByteArray update = ComposeLineListUpdate(file);
        QVERIFY(reader.feed(update, 0).isEmpty());
        QCOMPARE(reader.poll(50), QList<QByteArray>{update});
    }

    void switchWithOpenLastFieldWaitsForQuietOrNextWord() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray sw = ComposeSwitchCommand("10.0.1.1", "192.0.2.1", "192.0.2.2");
        qint64 now = 0;
        QCOMPARE(FeedInChunks(reader, sw, 3, 4, now), QList<QByteArray>{sw});
        const QByteArray noSecondary = ComposeSwitchCommand("10.0.1.1", "192.0.2.1", "");
        QCOMPARE(reader.feed(noSecondary + sw, 1000), QList<QByteArray>{noSecondary});
        QCOMPARE(reader.poll(1050), QList<QByteArray>{sw});
    }

    void switchEndingInAFinishedAddressNeedsNoQuietTime() {
        MessageReader reader(MessageReader::Side::Client);
        for (const char* secondary : {"114.114.114.114", "8.8.8.88", "10.0.0.07"}) {
            const QByteArray sw = ComposeSwitchCommand("10.0.0.1", "114.114.115.115", secondary);
            QCOMPARE(reader.feed(sw, 0), QList<QByteArray>{sw});
        }
        // 8.8.4.4 could still become 8.8.4.44.
        QVERIFY(reader.feed(ComposeSwitchCommand("10.0.0.1", "8.8.8.8", "8.8.4.4"), 0).isEmpty());
    }

    void shortSwitchIsGivenUp() {
        MessageReader reader(MessageReader::Side::Client);
        QVERIFY(reader.feed(ToGbk(kSwitchWord) + "10.0.0.1", 0).isEmpty());
        QVERIFY(reader.poll(50).isEmpty()); // only one field: not complete at the quiet time
        QVERIFY(reader.poll(2000).isEmpty());
        QVERIFY(!reader.hasPending());
    }

    void updateCutMidRecordIsTakenAsItStandsAfterTheStall() {
        MessageReader reader(MessageReader::Side::Client);
        const QByteArray partial = ComposeLineListUpdate("a;;;1.1.1.1;2.2.2.2;;\r\nb;;;3.3");
        QVERIFY(reader.feed(partial, 0).isEmpty());
        QVERIFY(reader.poll(50).isEmpty());
        QCOMPARE(reader.poll(2000), QList<QByteArray>{partial});
    }

    void oversizedUpdateIsRefusedWhole() {
        MessageReader reader(MessageReader::Side::Client);
        QByteArray record = "name;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\n";
        QByteArray body;
        while (body.size() <= MessageReader::kClientCap)
            body += record;
        qint64 now = 0;
        const QList<QByteArray> out =
            FeedInChunks(reader, ComposeLineListUpdate(body), 1400, 1, now);
        QVERIFY(out.isEmpty());
        QVERIFY(reader.droppedCount() >= 1);
        // In one read as well.
        MessageReader single(MessageReader::Side::Client);
        QVERIFY(single.feed(ComposeLineListUpdate(body), 0).isEmpty());
        QVERIFY(single.poll(5000).isEmpty());
        QVERIFY(!single.hasPending());
    }

    void clientIgnoresReportsAndServerIgnoresCommands() {
        MessageReader client(MessageReader::Side::Client);
        QVERIFY(client.feed(MakeReport("1.1.1.1", "a"), 0).isEmpty());
        QVERIFY(!client.hasPending());
        MessageReader server(MessageReader::Side::Server);
        QVERIFY(server.feed(ComposeSwitchCommand("1.1.1.1", "2.2.2.2", ""), 0).isEmpty());
        QVERIFY(server.poll(5000).isEmpty());
        QVERIFY(!server.hasPending());
    }
};

QTEST_GUILESS_MAIN(TestMessageReader)
#include "test_messagereader.moc"
