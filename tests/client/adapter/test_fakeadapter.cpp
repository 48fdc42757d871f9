#include "client/adapter/fakeadapter.h"

#include <QTest>

using namespace torvane;
using namespace torvane::client;

// The stand-in the window tests drive: it must behave like an adapter that switched.
class TestFakeAdapter : public QObject {
    Q_OBJECT

private slots:
    void switchUpdatesWhatInspectReturns();
    void failingSwitchChangesNothing();
};

void TestFakeAdapter::switchUpdatesWhatInspectReturns() {
    FakeAdapter fake;
    NetworkParams params;
    params.hostName = "ws01";
    params.adapterName = "eth0";
    params.localIp = "10.9.0.2";
    params.subnetMask = "255.255.255.0";
    params.gateway = "10.9.0.1";
    params.dnsServers = {"10.9.0.53", "10.9.0.54"};
    fake.setParams(params);
    QCOMPARE(fake.inspect().gateway, QStringLiteral("10.9.0.1"));

    // An empty local IP keeps address and mask; an empty secondary leaves one DNS server.
    SwitchOutcome outcome = fake.switchTo({" ", "255.0.0.0", "10.9.0.254", "1.1.1.1", ""});
    QVERIFY(outcome.ok);
    QCOMPARE(outcome.adapters, QStringList{"eth0"});
    NetworkParams now = fake.inspect();
    QCOMPARE(now.localIp, QStringLiteral("10.9.0.2"));
    QCOMPARE(now.subnetMask, QStringLiteral("255.255.255.0"));
    QCOMPARE(now.gateway, QStringLiteral("10.9.0.254"));
    QCOMPARE(now.dnsServers, QStringList{"1.1.1.1"});

    outcome = fake.switchTo({"10.9.1.7", "255.255.0.0", "10.9.0.1", "1.1.1.1", "8.8.8.8"});
    QVERIFY(outcome.ok);
    now = fake.inspect();
    QCOMPARE(now.localIp, QStringLiteral("10.9.1.7"));
    QCOMPARE(now.subnetMask, QStringLiteral("255.255.0.0"));
    QCOMPARE(now.dnsServers, QStringList({"1.1.1.1", "8.8.8.8"}));
    QCOMPARE(fake.switchCalls().size(), 2);
    QCOMPARE(fake.switchCalls().first().localIp, QStringLiteral(" "));
    QCOMPARE(fake.inspectCount(), 3);
}

void TestFakeAdapter::failingSwitchChangesNothing() {
    FakeAdapter fake;
    NetworkParams params;
    params.gateway = "10.9.0.1";
    params.error = 3;
    fake.setParams(params);
    fake.setFailure("need CAP_NET_ADMIN");
    const SwitchOutcome outcome = fake.switchTo({"", "", "10.9.0.254", "1.1.1.1", "8.8.8.8"});
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.errorText, QStringLiteral("need CAP_NET_ADMIN"));
    QVERIFY(outcome.adapters.isEmpty());
    QCOMPARE(fake.inspect().gateway, QStringLiteral("10.9.0.1"));
    QCOMPARE(fake.inspect().error, 3);
    QCOMPARE(fake.switchCalls().size(), 1);

    fake.setFailure(QString());
    QVERIFY(fake.switchTo({"", "", "10.9.0.254", "1.1.1.1", "8.8.8.8"}).ok);
}

QTEST_GUILESS_MAIN(TestFakeAdapter)
#include "test_fakeadapter.moc"
