#include "common/switchrequest.h"

#include <QTest>

using namespace torvane;

// The request the switching service accepts from unprivileged callers, and its reply.
class TestSwitchRequest : public QObject {
    Q_OBJECT
private slots:
    void requestRoundTripsWithAndWithoutAddress();
    void requestOfAnyOtherShapeIsRefused_data();
    void requestOfAnyOtherShapeIsRefused();
    void replyRoundTripsAndIsCutOnACharacter();
    void replyOfAnyOtherShapeIsRefused();
};

void TestSwitchRequest::requestRoundTripsWithAndWithoutAddress() {
    const AdapterSettings full{"10.0.0.7", "255.255.255.0", "10.0.0.1", "10.0.0.53", "8.8.8.8"};
    const QByteArray bytes = EncodeSwitchRequest(full);
    QCOMPARE(bytes, QByteArray("TORVANE-SWITCH 1\ngateway=10.0.0.1\nprimary=10.0.0.53\n"
                               "secondary=8.8.8.8\naddress=10.0.0.7\nmask=255.255.255.0\n"));
    QCOMPARE(DecodeSwitchRequest(bytes), full);

    // Values are sent trimmed, as the line list stores them with spaces sometimes.
    const AdapterSettings keep{{}, {}, " 10.0.0.1", "10.0.0.53 ", {}};
    const auto decoded = DecodeSwitchRequest(EncodeSwitchRequest(keep));
    QVERIFY(decoded);
    QCOMPARE(decoded->gateway, QStringLiteral("10.0.0.1"));
    QVERIFY(decoded->localIp.isEmpty() && decoded->secondaryDns.isEmpty());
    QCOMPARE(CheckAdapterSettings(*decoded), QString());
}

void TestSwitchRequest::requestOfAnyOtherShapeIsRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = EncodeSwitchRequest({{}, {}, "10.0.0.1", "10.0.0.53", {}});
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no final newline") << good.chopped(1);
    QTest::newRow("wrong version") << QByteArray(good).replace("SWITCH 1", "SWITCH 2");
    QTest::newRow("keys swapped") << QByteArray(good).replace(
        "gateway=10.0.0.1\nprimary=10.0.0.53", "primary=10.0.0.53\ngateway=10.0.0.1");
    QTest::newRow("missing key") << QByteArray(good).replace("mask=\n", "");
    QTest::newRow("extra line") << good + "route=1.2.3.4\n";
    QTest::newRow("shell text") << QByteArray(good).replace("10.0.0.53", "1;reboot");
    QTest::newRow("CRLF") << QByteArray(good).replace("\n", "\r\n");
    QTest::newRow("NUL in value") << QByteArray(good).replace("10.0.0.53", QByteArray("10\0.1", 5));
    QTest::newRow("value too long") << QByteArray(good).replace("10.0.0.53", "1000.1000.1000.1000");
    QTest::newRow("oversized") << good + QByteArray(300, '\n');
}

void TestSwitchRequest::requestOfAnyOtherShapeIsRefused() {
    QFETCH(QByteArray, bytes);
    QVERIFY(!DecodeSwitchRequest(bytes));
}

void TestSwitchRequest::replyRoundTripsAndIsCutOnACharacter() {
    const SwitchReply refused{SwitchFailure::NoPermission, QStringLiteral("没有权限\n(uid 1000)")};
    const auto decoded = DecodeSwitchReply(EncodeSwitchReply(refused));
    QVERIFY(decoded);
    QCOMPARE(decoded->failure, SwitchFailure::NoPermission);
    QCOMPARE(decoded->text, QStringLiteral("没有权限 (uid 1000)")); // one line

    // Three-byte characters do not fit evenly: the cut must not leave half a character.
    const QByteArray longReply =
        EncodeSwitchReply({SwitchFailure::Other, QString(600, QChar(0x7F51))});
    QVERIFY(longReply.size() <= kMaxSwitchReplyBytes);
    const auto cut = DecodeSwitchReply(longReply);
    QVERIFY(cut);
    QVERIFY(!cut->text.contains(QChar::ReplacementCharacter));
    QCOMPARE(cut->text, QString(cut->text.size(), QChar(0x7F51)));
}

void TestSwitchRequest::replyOfAnyOtherShapeIsRefused() {
    const QByteArray good = EncodeSwitchReply({SwitchFailure::None, {}});
    QVERIFY(DecodeSwitchReply(good));
    QVERIFY(!DecodeSwitchReply(QByteArray(good).replace("code=0", "code=")));
    QVERIFY(!DecodeSwitchReply(QByteArray(good).replace("code=0", "code=-1")));
    QVERIFY(!DecodeSwitchReply(QByteArray(good).replace("code=0", "code=99")));
    QVERIFY(!DecodeSwitchReply(QByteArray(good).replace("code=0", "code=9999")));
    QVERIFY(!DecodeSwitchReply(good + "text=again\n"));
    QVERIFY(!DecodeSwitchReply(EncodeSwitchRequest({})));
}

QTEST_GUILESS_MAIN(TestSwitchRequest)
#include "test_switchrequest.moc"
