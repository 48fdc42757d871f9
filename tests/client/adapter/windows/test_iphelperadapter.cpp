#include "client/adapter/windows/adapterinventory.h"
#include "client/adapter/windows/iphelperadapter.h"
#include "common/ipv4.h"
#include "tests/support/fakeiphelper.h"

#include <QSignalSpy>
#include <QTest>

using namespace torvane;
using namespace torvane::client;
using torvane::testing::FakeIpHelper;

// The Windows backend's reading of the adapters: for real on this system (under Wine the host's
// adapters), and against a fake for the failures the user sees as numbers and for the order.
class TestIpHelperAdapter : public QObject {
    Q_OBJECT
private slots:
    void inspectsThisSystem();
    void failuresShowTheirNumbers_data();
    void failuresShowTheirNumbers();
    void showsTheAdapterThePolicyPutsFirst();
    void noticesChangesMadeOutside();
};

void TestIpHelperAdapter::inspectsThisSystem() {
    const IpHelperApi api = SystemIpHelperApi();
    QList<WindowsLink> links;
    QCOMPARE(AdapterInventory::ReadLinks(api, &links), InspectionOutcome::Ok);
    // Every system has its loopback adapter, and every adapter its id for the registry.
    QVERIFY(std::any_of(links.cbegin(), links.cend(),
                        [](const WindowsLink& link) { return link.info.loopback; }));
    for (const WindowsLink& link : links) {
        QVERIFY2(link.guid.startsWith(QLatin1Char('{')), qPrintable(link.guid));
        QVERIFY(link.luid.Value != 0);
        QVERIFY(!link.info.name.isEmpty());
    }

    IpHelperAdapter adapter(api, QStringLiteral("\\\\.\\pipe\\TorvaneSwitchTestNone"));
    QCOMPARE(adapter.backendName(), QStringLiteral("iphelper"));
    const NetworkParams params = adapter.inspect();
    QVERIFY2(params.outcome == InspectionOutcome::Ok ||
                 params.outcome == InspectionOutcome::NoAdapter,
             qPrintable(QString::number(ErrorNumber(params.outcome))));
    QVERIFY(!params.hostName.isEmpty());
    for (const QString& server : params.dnsServers) {
        quint32 address = 0;
        QVERIFY2(Ipv4::Parse(server, &address), qPrintable(server));
    }
    if (params.outcome == InspectionOutcome::NoAdapter)
        QSKIP("this system has no adapter with IPv4 besides the loopback");
    quint32 address = 0;
    QVERIFY2(Ipv4::Parse(params.localIp, &address), qPrintable(params.localIp));
    QVERIFY(address >> 24 != 127);
    QVERIFY2(Ipv4::MaskToPrefix(params.subnetMask) > 0, qPrintable(params.subnetMask));
    QVERIFY(params.gateway.isEmpty() || Ipv4::Parse(params.gateway, &address));
    const auto shown = std::find_if(links.cbegin(), links.cend(), [&](const WindowsLink& link) {
        return link.info.name == params.adapterName;
    });
    QVERIFY(shown != links.cend());
    QVERIFY(shown->info.up && !shown->info.loopback);
}

void TestIpHelperAdapter::failuresShowTheirNumbers_data() {
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("onlyLoopback");
    QTest::addColumn<int>("number");
    QTest::newRow("parameters' size")
        << "GetNetworkParams size" << int(ERROR_NOT_SUPPORTED) << false << 1;
    QTest::newRow("parameters") << "GetNetworkParams" << int(ERROR_INVALID_DATA) << false << 2;
    QTest::newRow("adapter list's size")
        << "GetAdaptersAddresses size" << int(ERROR_NOT_ENOUGH_MEMORY) << false << 3;
    QTest::newRow("adapter list") << "GetAdaptersAddresses" << int(ERROR_INVALID_PARAMETER) << false
                                  << 4;
    QTest::newRow("no adapter but the loopback") << QString() << 0 << true << 3;
}

void TestIpHelperAdapter::failuresShowTheirNumbers() {
    QFETCH(QString, call);
    QFETCH(int, error);
    QFETCH(bool, onlyLoopback);
    QFETCH(int, number);
    FakeIpHelper system;
    system.dnsServers = {QStringLiteral("10.0.0.53"), QStringLiteral("10.0.0.54")};
    if (onlyLoopback) {
        system.addAdapter(1, QStringLiteral("Loopback Pseudo-Interface 1"),
                          QStringLiteral("127.0.0.1"), 8);
        system.adapters.last().ifType = IF_TYPE_SOFTWARE_LOOPBACK;
    } else {
        system.addAdapter(12, QStringLiteral("以太网"), QStringLiteral("10.0.0.5"), 24);
    }
    if (!call.isEmpty())
        system.errors.insert(call, DWORD(error));

    const NetworkParams params = AdapterInventory::Inspect(system.api());
    QCOMPARE(ErrorNumber(params.outcome), number);
    // What was read before the failure stays; nothing of the adapter is shown.
    QCOMPARE(params.hostName, number >= 3 ? QStringLiteral("WS-07") : QString());
    QCOMPARE(params.dnsServers.size(), number >= 3 ? 2 : 0);
    QVERIFY(params.localIp.isEmpty());
}

void TestIpHelperAdapter::showsTheAdapterThePolicyPutsFirst() {
    FakeIpHelper system;
    system.dnsServers = {QStringLiteral("10.0.0.53")};
    system.addAdapter(4, QStringLiteral("vEthernet (Default Switch)"),
                      QStringLiteral("172.25.16.1"), 20);
    system.adapters.last().description = QStringLiteral("Hyper-V Virtual Ethernet Adapter");
    system.addAdapter(9, QStringLiteral("WLAN"), QStringLiteral("192.168.1.7"), 24);
    system.addAdapter(12, QStringLiteral("以太网"), QStringLiteral("10.0.0.5"), 24);
    // Windows compares the route's metric plus the adapter's: 10 + 25 beats 0 + 50.
    system.adapter(9)->interfaceMetric = 50;
    system.addDefaultRoute(9, QStringLiteral("192.168.1.1"), 0);
    system.addDefaultRoute(12, QStringLiteral("10.0.0.1"), 10);
    system.addDefaultRoute(4, QStringLiteral("172.25.16.2"), 10);

    NetworkParams params = AdapterInventory::Inspect(system.api());
    QCOMPARE(params.outcome, InspectionOutcome::Ok);
    QCOMPARE(params.adapterName, QStringLiteral("以太网"));
    QCOMPARE(params.localIp, QStringLiteral("10.0.0.5"));
    QCOMPARE(params.subnetMask, QStringLiteral("255.255.255.0"));
    QCOMPARE(params.gateway, QStringLiteral("10.0.0.1"));
    QCOMPARE(params.hostName, QStringLiteral("WS-07"));

    // A physical adapter comes before the hypervisor's switch at the same metric.
    system.adapter(12)->up = false;
    system.adapter(9)->interfaceMetric = 35;
    params = AdapterInventory::Inspect(system.api());
    QCOMPARE(params.adapterName, QStringLiteral("WLAN"));
    QCOMPARE(params.gateway, QStringLiteral("192.168.1.1"));
}

void TestIpHelperAdapter::noticesChangesMadeOutside() {
    FakeIpHelper system;
    system.dnsServers = {QStringLiteral("10.0.0.53")};
    system.addAdapter(12, QStringLiteral("以太网"), QStringLiteral("10.0.0.5"), 24);
    system.addDefaultRoute(12, QStringLiteral("10.0.0.1"), 0);
    IpHelperAdapter adapter(system.api(), QStringLiteral("\\\\.\\pipe\\TorvaneSwitchTestNone"));
    adapter.setWatchInterval(20);
    QSignalSpy changed(&adapter, &NetworkAdapter::settingsChangedOutside);
    adapter.inspect();

    QTest::qWait(100);
    QCOMPARE(changed.size(), 0);
    // DNS servers changed by another tool: nothing announces it, the comparison finds it.
    system.dnsServers = {QStringLiteral("10.0.0.99")};
    QVERIFY(changed.wait(2000));
    QTest::qWait(100);
    QCOMPARE(changed.size(), 1);
    system.addDefaultRoute(12, QStringLiteral("10.0.0.254"), 0); // a second default, not shown
    system.adapter(12)->addresses = {{QStringLiteral("10.0.0.6"), 24}};
    QVERIFY(changed.wait(2000));
}

QTEST_GUILESS_MAIN(TestIpHelperAdapter)
#include "test_iphelperadapter.moc"
