#include "common/linehealth.h"

#include <QTest>

using namespace torvane;

// The health and rollback bodies a workstation sends the Server on the secure channel.
class TestLineHealth : public QObject {
    Q_OBJECT
private slots:
    void reportsRoundTripAndValuesStayOneLine();
    void bodiesOfAnyOtherShapeAreRefused_data();
    void bodiesOfAnyOtherShapeAreRefused();
};

void TestLineHealth::reportsRoundTripAndValuesStayOneLine() {
    const HealthReport health{QStringLiteral("电信"), "10.0.0.1", "10.0.0.53", true, false, 1500};
    const QByteArray bytes = EncodeHealthReport(health);
    QCOMPARE(bytes, QByteArray("line=\xe7\x94\xb5\xe4\xbf\xa1\ngateway=10.0.0.1\ndns=10.0.0.53\n"
                               "gateway_ok=1\ndns_ok=0\ndns_ms=1500\n"));
    QCOMPARE(DecodeHealthReport(bytes), health);
    QVERIFY(!health.healthy());

    // A name with a line break cannot add a key; a time out of range is clamped when sent.
    const auto odd =
        DecodeHealthReport(EncodeHealthReport({"a\nreason=x", {}, {}, true, true, 999999}));
    QVERIFY(odd);
    QCOMPARE(odd->line, QStringLiteral("a reason=x"));
    QCOMPARE(odd->dnsMs, kMaxDnsMs);

    // A long reason is cut on a character, and still decodes.
    const RollbackReport rollback{"网通", "电信", QString(400, QChar(0x7f51))};
    const auto back = DecodeRollbackReport(EncodeRollbackReport(rollback));
    QVERIFY(back);
    QCOMPARE(back->from, rollback.from);
    QVERIFY(rollback.reason.startsWith(back->reason) && back->reason.size() == 170);
}

void TestLineHealth::bodiesOfAnyOtherShapeAreRefused_data() {
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = EncodeHealthReport({"a", "10.0.0.1", "10.0.0.53", true, true, 12});
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("no final newline") << good.chopped(1);
    QTest::newRow("a key more") << good + "extra=1\n";
    QTest::newRow("keys swapped") << QByteArray(good).replace("gateway_ok=1\ndns_ok=1",
                                                              "dns_ok=1\ngateway_ok=1");
    QTest::newRow("flag not 0 or 1") << QByteArray(good).replace("dns_ok=1", "dns_ok=yes");
    QTest::newRow("time with a sign") << QByteArray(good).replace("dns_ms=12", "dns_ms=-1");
    QTest::newRow("time leading zero") << QByteArray(good).replace("dns_ms=12", "dns_ms=012");
    QTest::newRow("time too long") << QByteArray(good).replace("dns_ms=12", "dns_ms=60001");
    QTest::newRow("gateway not an address")
        << QByteArray(good).replace("gateway=10.0.0.1", "gateway=10.0.0.300");
    QTest::newRow("carriage return") << QByteArray(good).replace("line=a", "line=a\r");
    QTest::newRow("broken UTF-8") << QByteArray(good).replace("line=a", "line=\xe7\x94");
    QTest::newRow("over the bound")
        << QByteArray(good).replace("line=a", "line=" + QByteArray(kMaxHealthBodyBytes, 'a'));
}

void TestLineHealth::bodiesOfAnyOtherShapeAreRefused() {
    QFETCH(QByteArray, bytes);
    QVERIFY(!DecodeHealthReport(bytes));
    QVERIFY(!DecodeRollbackReport(bytes));
}

QTEST_GUILESS_MAIN(TestLineHealth)
#include "test_linehealth.moc"
