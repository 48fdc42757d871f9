#include "service/windows/iphelperapplier.h"
#include "tests/support/fakeiphelper.h"

#include <QTest>

using namespace torvane;
using namespace torvane::service;
using torvane::testing::FakeIpHelper;

namespace {

// A workstation with a wired adapter holding two default routes (the site's two lines) and a
// wireless one on another subnet with its own, behind the wired one as Windows ranks them.
void TwoAdapters(FakeIpHelper& system) {
    system.addAdapter(12, QStringLiteral("以太网"), QStringLiteral("10.0.0.5"), 24);
    system.addAdapter(17, QStringLiteral("WLAN"), QStringLiteral("192.168.1.7"), 24);
    system.adapter(17)->interfaceMetric = 50;
    system.addDefaultRoute(12, QStringLiteral("10.0.0.1"), 0);
    system.addDefaultRoute(12, QStringLiteral("10.0.0.254"), 10);
    system.addDefaultRoute(17, QStringLiteral("192.168.1.1"), 0);
    system.dnsServers = {QStringLiteral("114.114.114.114")};
}

AdapterSettings Line(const QString& gateway, const QString& primary = QStringLiteral("8.8.8.8"),
                     const QString& secondary = QStringLiteral("1.1.1.1")) {
    return {{}, {}, gateway, primary, secondary};
}

bool Changes(const QStringList& calls) {
    for (const QString& call : calls) {
        if (call.startsWith(QLatin1String("create")) || call.startsWith(QLatin1String("delete")) ||
            call.startsWith(QLatin1String("set")) || call.startsWith(QLatin1String("write")))
            return true;
    }
    return false;
}

} // namespace

// The Windows applier against a fake IP Helper: what it changes on the machine, in which order,
// and what it answers when the system refuses.
class TestIpHelperApplier : public QObject {
    Q_OBJECT
private slots:
    void movesTheDefaultRouteAndDns();
    void changesAddressThenGateway();
    void refusalsKeepTheOldGateway_data();
    void refusalsKeepTheOldGateway();
    void refusesAGatewayNoAdapterHolds();
    void olderSystemsGetTheRegistryValueAndAFlush();
    void logsTheGatewayAndDnsItReplaced();
};

void TestIpHelperApplier::movesTheDefaultRouteAndDns() {
    FakeIpHelper system;
    TwoAdapters(system);
    IpHelperApplier applier(system.api());

    QCOMPARE(applier.apply(Line(QStringLiteral("10.0.0.254"))).failure, SwitchFailure::None);
    // The route to the new gateway had metric 10; routes are keyed without the metric, so it
    // goes before the one with metric 1 comes; the other default goes after.
    QCOMPARE(system.calls.mid(0, 3),
             (QStringList{QStringLiteral("delete route 0.0.0.0/0 via 10.0.0.254 metric 10 on 12"),
                          QStringLiteral("create route 0.0.0.0/0 via 10.0.0.254 metric 1 on 12"),
                          QStringLiteral("delete route 0.0.0.0/0 via 10.0.0.1 metric 0 on 12")}));
    QCOMPARE(system.defaultRoutes(12), QStringList{QStringLiteral("10.0.0.254 1")});
    // The other adapter's subnet does not hold the gateway: its route and DNS stay.
    QCOMPARE(system.defaultRoutes(17), QStringList{QStringLiteral("192.168.1.1 0")});
    QCOMPARE(system.adapter(12)->nameServers, QStringLiteral("8.8.8.8,1.1.1.1"));
    QCOMPARE(system.adapter(17)->nameServers, QString());
    QVERIFY(system.registryNameServer.isEmpty());

    // Again, without a secondary DNS: no route changes, only the primary is set.
    system.calls.clear();
    QCOMPARE(
        applier.apply(Line(QStringLiteral("10.0.0.254"), QStringLiteral("10.0.0.53"), {})).failure,
        SwitchFailure::None);
    QCOMPARE(system.defaultRoutes(12), QStringList{QStringLiteral("10.0.0.254 1")});
    QVERIFY(!system.calls.join(QLatin1Char('\n')).contains(QLatin1String("delete")));
    QCOMPARE(system.adapter(12)->nameServers, QStringLiteral("10.0.0.53"));
}

void TestIpHelperApplier::changesAddressThenGateway() {
    FakeIpHelper system;
    TwoAdapters(system);
    IpHelperApplier applier(system.api());
    AdapterSettings line = Line(QStringLiteral("172.20.0.1"));
    line.localIp = QStringLiteral("172.20.0.9");
    line.subnetMask = QStringLiteral("255.255.0.0");

    const SwitchReply reply = applier.apply(line);
    QCOMPARE(reply.failure, SwitchFailure::None);
    // The first adapter by the policy gets the address, and with it the gateway.
    QCOMPARE(system.addresses(12), QStringList{QStringLiteral("172.20.0.9/16")});
    QCOMPARE(system.defaultRoutes(12), QStringList{QStringLiteral("172.20.0.1 1")});
    QCOMPARE(system.defaultRoutes(17), QStringList{QStringLiteral("192.168.1.1 0")});
    // The new address comes before the old one goes.
    QCOMPARE(system.calls.mid(0, 2),
             (QStringList{QStringLiteral("create address 172.20.0.9/16 on 12"),
                          QStringLiteral("delete address 10.0.0.5/24 on 12")}));

    // Same address, other mask: the old entry is in the way and goes first.
    system.calls.clear();
    line.subnetMask = QStringLiteral("255.255.255.0");
    QCOMPARE(applier.apply(line).failure, SwitchFailure::None);
    QCOMPARE(system.addresses(12), QStringList{QStringLiteral("172.20.0.9/24")});
    QCOMPARE(system.calls.first(), QStringLiteral("delete address 172.20.0.9/16 on 12"));
}

void TestIpHelperApplier::refusalsKeepTheOldGateway_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("withAddress");
    QTest::addColumn<SwitchFailure>("failure");
    QTest::newRow("route denied") << "CreateIpForwardEntry2" << int(ERROR_ACCESS_DENIED) << false
                                  << SwitchFailure::NoPermission;
    QTest::newRow("route refused") << "CreateIpForwardEntry2" << int(ERROR_INVALID_PARAMETER)
                                   << false << SwitchFailure::RouteRefused;
    QTest::newRow("route table unreadable")
        << "GetIpForwardTable2" << int(ERROR_NOT_SUPPORTED) << false << SwitchFailure::RouteRefused;
    QTest::newRow("address denied") << "CreateUnicastIpAddressEntry" << int(ERROR_ACCESS_DENIED)
                                    << true << SwitchFailure::NoPermission;
    QTest::newRow("address refused")
        << "CreateUnicastIpAddressEntry" << int(ERROR_INVALID_PARAMETER) << true
        << SwitchFailure::AddressRefused;
}

void TestIpHelperApplier::refusalsKeepTheOldGateway() {
    QFETCH(QString, call);
    QFETCH(int, error);
    QFETCH(bool, withAddress);
    QFETCH(SwitchFailure, failure);
    FakeIpHelper system;
    TwoAdapters(system);
    system.errors.insert(call, DWORD(error));
    IpHelperApplier applier(system.api());
    AdapterSettings line = Line(QStringLiteral("10.0.0.77"));
    if (withAddress) {
        line.localIp = QStringLiteral("10.0.0.9");
        line.subnetMask = QStringLiteral("255.255.255.0");
    }

    const SwitchReply reply = applier.apply(line);
    QCOMPARE(reply.failure, failure);
    QVERIFY2(reply.text.contains(QStringLiteral("error %1").arg(error)), qPrintable(reply.text));
    QCOMPARE(system.defaultRoutes(12),
             (QStringList{QStringLiteral("10.0.0.1 0"), QStringLiteral("10.0.0.254 10")}));
    QCOMPARE(system.addresses(12), QStringList{QStringLiteral("10.0.0.5/24")});
    QCOMPARE(system.adapter(12)->nameServers, QString());
}

void TestIpHelperApplier::refusesAGatewayNoAdapterHolds() {
    FakeIpHelper system;
    TwoAdapters(system);
    IpHelperApplier applier(system.api());
    SwitchReply reply = applier.apply(Line(QStringLiteral("172.16.0.1")));
    QCOMPARE(reply.failure, SwitchFailure::GatewayOnNoAdapter);
    QVERIFY2(reply.text.contains(QStringLiteral("以太网")), qPrintable(reply.text));

    QVERIFY(!Changes(system.calls));

    // A machine without any IPv4 adapter.
    FakeIpHelper empty;
    IpHelperApplier onEmpty(empty.api());
    QCOMPARE(onEmpty.apply(Line(QStringLiteral("10.0.0.1"))).failure, SwitchFailure::NoAdapter);
}

void TestIpHelperApplier::olderSystemsGetTheRegistryValueAndAFlush() {
    FakeIpHelper system;
    TwoAdapters(system);
    system.hasSetInterfaceDnsSettings = false;
    IpHelperApplier applier(system.api());

    QCOMPARE(applier.apply(Line(QStringLiteral("10.0.0.1"))).failure, SwitchFailure::None);
    QCOMPARE(
        system.registryNameServer,
        (QMap<QString, QString>{{system.adapter(12)->guid, QStringLiteral("8.8.8.8,1.1.1.1")}}));
    QCOMPARE(system.flushes, 1);
    QCOMPARE(system.defaultRoutes(12), QStringList{QStringLiteral("10.0.0.1 1")});

    // The registry key may be closed to the service too.
    system.errors.insert(QStringLiteral("NameServer"), ERROR_ACCESS_DENIED);
    QCOMPARE(applier.apply(Line(QStringLiteral("10.0.0.1"))).failure, SwitchFailure::NoPermission);
    QCOMPARE(system.flushes, 1);
}

void TestIpHelperApplier::logsTheGatewayAndDnsItReplaced() {
    FakeIpHelper system;
    TwoAdapters(system);
    IpHelperApplier applier(system.api());
    QStringList log;
    SwitchServiceCore core(applier, [&log](const QString& line) { log.append(line); });
    const SwitchCaller caller{QStringLiteral("WS-07\\li.wei"), -1, 3120, QStringLiteral("pipe")};

    const auto reply = DecodeSwitchReply(
        core.handle(EncodeSwitchRequest(Line(QStringLiteral("10.0.0.254"))), caller, true));
    QVERIFY(reply);
    QCOMPARE(reply->failure, SwitchFailure::None);
    QCOMPARE(log, QStringList{QStringLiteral(
                      "applied switch by WS-07\\li.wei, pid 3120, pipe from gateway 10.0.0.1, "
                      "DNS 114.114.114.114 to gateway 10.0.0.254, DNS 8.8.8.8 1.1.1.1")});
}

QTEST_GUILESS_MAIN(TestIpHelperApplier)
#include "test_iphelperapplier.moc"
