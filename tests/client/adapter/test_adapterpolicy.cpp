#include "client/adapter/adapterpolicy.h"
#include "common/ipv4.h"

#include <QTest>

using namespace torvane;
using namespace torvane::client;

namespace {

quint32 Ip(const char* text) {
    quint32 value = 0;
    Ipv4::Parse(QString::fromLatin1(text), &value);
    return value;
}

LinkInfo Link(int ifindex, const QString& name, const char* address, int prefix,
              const QString& kind = QString(), bool hasDevice = true) {
    LinkInfo link;
    link.ifindex = ifindex;
    link.name = name;
    link.kind = kind;
    link.up = true;
    link.hasDevice = hasDevice;
    if (address)
        link.addresses.append({Ip(address), prefix});
    return link;
}

DefaultRoute Route(const char* gateway, quint32 metric) {
    DefaultRoute route;
    route.gateway = Ip(gateway);
    route.hasGateway = true;
    route.metric = metric;
    return route;
}

AdapterSettings Settings(const QString& localIp, const QString& mask, const QString& gateway) {
    return {localIp, mask, gateway, QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8")};
}

QStringList Names(const QList<LinkInfo>& links) {
    QStringList names;
    for (const LinkInfo& link : links)
        names.append(link.name);
    return names;
}

} // namespace

// Address and mask texts, and which adapters inspection shows and a switch touches.
class TestAdapterPolicy : public QObject {
    Q_OBJECT

private slots:
    void maskToPrefix_data();
    void maskToPrefix();
    void prefixRoundTrip();
    void displayOrder();
    void bestDefaultRoute();
    void gatewayGoesOnlyWhereItIsOnLink();
    void addressChangeTargetsFirstAdapter();
    void settingsAreCheckedFirst_data();
    void settingsAreCheckedFirst();
    void leadingZerosAreRefused_data();
    void leadingZerosAreRefused();
    void gatewayMustBeAnotherHost();
    void refusalsSayWhichKind_data();
    void refusalsSayWhichKind();
};

void TestAdapterPolicy::maskToPrefix_data() {
    QTest::addColumn<QString>("mask");
    QTest::addColumn<int>("prefix");
    QTest::newRow("/24") << "255.255.255.0" << 24;
    QTest::newRow("/0") << "0.0.0.0" << 0;
    QTest::newRow("/32") << "255.255.255.255" << 32;
    QTest::newRow("/17") << "255.255.128.0" << 17;
    QTest::newRow("hole") << "255.0.255.0" << -1;
    QTest::newRow("trailing one") << "255.255.255.1" << -1;
    QTest::newRow("inverted") << "0.0.0.255" << -1;
    QTest::newRow("three parts") << "255.255.255" << -1;
    QTest::newRow("octet too big") << "255.255.255.256" << -1;
    QTest::newRow("four digits") << "0255.0.0.0" << -1;
    QTest::newRow("sign") << "+255.0.0.0" << -1;
    QTest::newRow("spaces") << " 255.255.255.0" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestAdapterPolicy::maskToPrefix() {
    QFETCH(QString, mask);
    QFETCH(int, prefix);
    QCOMPARE(Ipv4::MaskToPrefix(mask), prefix);
}

void TestAdapterPolicy::prefixRoundTrip() {
    for (int prefix = 0; prefix <= 32; ++prefix)
        QCOMPARE(Ipv4::MaskToPrefix(Ipv4::PrefixToMask(prefix)), prefix);
    QCOMPARE(Ipv4::PrefixToMask(-1), QString());
    QCOMPARE(Ipv4::PrefixToMask(33), QString());
    QCOMPARE(Ipv4::Format(Ip("10.200.3.4")), QStringLiteral("10.200.3.4"));
}

void TestAdapterPolicy::displayOrder() {
    LinkInfo lo = Link(1, "lo", "127.0.0.1", 8);
    lo.loopback = true;
    LinkInfo down = Link(2, "eth9", "10.1.0.2", 24);
    down.up = false;
    const LinkInfo noIpv4 = Link(3, "eth8", nullptr, 0);
    const LinkInfo docker = Link(4, "docker0", "172.17.0.1", 16, "bridge", false);
    const LinkInfo hostVeth = Link(5, "veth12ab", "172.18.0.1", 16, "veth", false);
    const LinkInfo uplink = Link(6, "eth0", "10.9.0.2", 24, "veth", false);
    const LinkInfo nic = Link(7, "enp3s0", "192.168.1.5", 24);
    const LinkInfo nic2 = Link(8, "enp4s0", "192.168.2.5", 24);

    // Without default routes: physical, then a namespace's veth uplink, then other virtual
    // links; ties by ifindex. Loopback, down links and links without IPv4 are never shown.
    QCOMPARE(
        Names(AdapterPolicy::DisplayOrder({lo, down, noIpv4, docker, hostVeth, uplink, nic2, nic})),
        QStringList({"enp3s0", "enp4s0", "eth0", "docker0", "veth12ab"}));

    // The link of the best default route comes first, whatever it is.
    LinkInfo routedBridge = docker;
    routedBridge.defaultRoutes.append(Route("172.17.0.254", 600));
    LinkInfo routedNic2 = nic2;
    routedNic2.defaultRoutes.append(Route("192.168.2.1", 100));
    QCOMPARE(Names(AdapterPolicy::DisplayOrder({routedBridge, nic, routedNic2})),
             QStringList({"enp4s0", "docker0", "enp3s0"}));
    QVERIFY(AdapterPolicy::DisplayOrder({lo, down, noIpv4}).isEmpty());
}

void TestAdapterPolicy::bestDefaultRoute() {
    LinkInfo link = Link(2, "eth0", "10.9.0.2", 24);
    QVERIFY(!AdapterPolicy::BestDefault(link));
    DefaultRoute deviceOnly;
    deviceOnly.metric = 0; // a route without gateway names none
    link.defaultRoutes = {Route("10.9.0.3", 50), deviceOnly, Route("10.9.0.1", 20),
                          Route("10.9.0.4", 20)};
    QCOMPARE(AdapterPolicy::BestDefault(link)->gateway, Ip("10.9.0.1"));
}

void TestAdapterPolicy::gatewayGoesOnlyWhereItIsOnLink() {
    const LinkInfo bridge = Link(2, "br0", "10.50.0.1", 24, "bridge");
    LinkInfo eth0 = Link(3, "eth0", "10.9.0.2", 24);
    eth0.addresses.append({Ip("192.168.7.2"), 24});
    const LinkInfo eth1 = Link(4, "eth1", "10.9.0.3", 16);

    AdapterPolicy::SwitchPlan plan =
        AdapterPolicy::Plan({bridge, eth0, eth1}, Settings("", "", "10.9.0.1"));
    QVERIFY2(plan.errorText.isEmpty(), qPrintable(plan.errorText));
    QVERIFY(!plan.changeAddress);
    QCOMPARE(Names(plan.gatewayLinks), QStringList({"eth0", "eth1"}));
    QCOMPARE(plan.dnsServers, QStringList({"1.1.1.1", "8.8.8.8"}));

    // A secondary address counts too.
    plan = AdapterPolicy::Plan({bridge, eth0}, Settings("", "", "192.168.7.1"));
    QCOMPARE(Names(plan.gatewayLinks), QStringList({"eth0"}));

    plan = AdapterPolicy::Plan({bridge, eth0}, Settings("", "", "10.77.0.1"));
    QVERIFY(plan.gatewayLinks.isEmpty());
    QVERIFY2(plan.errorText.contains("10.77.0.1") && plan.errorText.contains("eth0, br0"),
             qPrintable(plan.errorText));

    plan = AdapterPolicy::Plan({}, Settings("", "", "10.9.0.1"));
    QVERIFY(plan.errorText.contains("no active network adapter"));
}

void TestAdapterPolicy::addressChangeTargetsFirstAdapter() {
    LinkInfo eth0 = Link(3, "eth0", "10.9.0.2", 24);
    eth0.defaultRoutes.append(Route("10.9.0.1", 0));
    const LinkInfo bridge = Link(2, "br0", "10.50.0.1", 24, "bridge");
    // The gateway lies on the bridge's old subnet, but the address moves eth0 there: both are
    // on-link afterwards.
    AdapterPolicy::SwitchPlan plan = AdapterPolicy::Plan(
        {bridge, eth0}, Settings(" 10.50.0.9 ", "255.255.255.0", "10.50.0.254"));
    QVERIFY2(plan.errorText.isEmpty(), qPrintable(plan.errorText));
    QVERIFY(plan.changeAddress);
    QCOMPARE(plan.addressLink, QStringLiteral("eth0"));
    QCOMPARE(plan.newAddress.address, Ip("10.50.0.9"));
    QCOMPARE(plan.newAddress.prefix, 24);
    QCOMPARE(Names(plan.gatewayLinks), QStringList({"eth0", "br0"}));

    // eth0's old subnet no longer counts once its address moves away.
    plan = AdapterPolicy::Plan({bridge, eth0}, Settings("10.60.0.9", "255.255.0.0", "10.60.0.1"));
    QCOMPARE(Names(plan.gatewayLinks), QStringList({"eth0"}));
}

void TestAdapterPolicy::settingsAreCheckedFirst_data() {
    QTest::addColumn<QString>("localIp");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("secondary");
    QTest::addColumn<QString>("error");
    QTest::newRow("fine") << ""
                          << ""
                          << "10.9.0.1"
                          << ""
                          << "";
    QTest::newRow("fine with address") << "10.9.0.5"
                                       << "255.255.255.0"
                                       << "10.9.0.1"
                                       << "8.8.4.4"
                                       << "";
    QTest::newRow("point-to-point /31") << "10.9.0.0"
                                        << "255.255.255.254"
                                        << "10.9.0.1"
                                        << ""
                                        << "";
    QTest::newRow("empty gateway") << ""
                                   << ""
                                   << ""
                                   << ""
                                   << "invalid gateway";
    QTest::newRow("garbage secondary") << ""
                                       << ""
                                       << "10.9.0.1"
                                       << "8.8.8"
                                       << "secondary DNS";
    QTest::newRow("garbage local IP") << "10.9.0.x"
                                      << "255.255.255.0"
                                      << "10.9.0.1"
                                      << ""
                                      << "invalid local IP";
    QTest::newRow("empty mask") << "10.9.0.5"
                                << ""
                                << "10.9.0.1"
                                << ""
                                << "invalid subnet mask";
    QTest::newRow("mask /0") << "10.9.0.5"
                             << "0.0.0.0"
                             << "10.9.0.1"
                             << ""
                             << "invalid subnet mask";
    QTest::newRow("network address") << "10.9.0.0"
                                     << "255.255.255.0"
                                     << "10.9.0.1"
                                     << ""
                                     << "network or broadcast";
    QTest::newRow("broadcast address") << "10.9.0.255"
                                       << "255.255.255.0"
                                       << "10.9.0.1"
                                       << ""
                                       << "network or broadcast";
    QTest::newRow("gateway is the address") << "10.9.0.1"
                                            << "255.255.255.0"
                                            << "10.9.0.1"
                                            << ""
                                            << "equals the local IP";
    QTest::newRow("/32 leaves no gateway") << "10.9.0.5"
                                           << "255.255.255.255"
                                           << "10.9.0.1"
                                           << ""
                                           << "not in the subnet";
}

void TestAdapterPolicy::settingsAreCheckedFirst() {
    QFETCH(QString, localIp);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(QString, secondary);
    QFETCH(QString, error);
    AdapterSettings settings = Settings(localIp, mask, gateway);
    settings.secondaryDns = secondary;
    const QString text = CheckAdapterSettings(settings);
    if (error.isEmpty())
        QVERIFY2(text.isEmpty(), qPrintable(text));
    else
        QVERIFY2(text.contains(error), qPrintable(text));
}

void TestAdapterPolicy::leadingZerosAreRefused_data() {
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("primary");
    QTest::addColumn<QString>("secondary");
    QTest::addColumn<QString>("error");
    QTest::newRow("zero parts are fine") << "10.0.0.1"
                                         << "0.0.0.0"
                                         << "100.0.10.0"
                                         << "";
    QTest::newRow("gateway 09.09.09.09") << "09.09.09.09"
                                         << "1.1.1.1"
                                         << ""
                                         << "gateway";
    QTest::newRow("gateway 010 part") << "10.9.0.010"
                                      << "1.1.1.1"
                                      << ""
                                      << "gateway";
    QTest::newRow("primary DNS 09.09.09.09") << "10.9.0.1"
                                             << "09.09.09.09"
                                             << ""
                                             << "primary";
    QTest::newRow("secondary DNS 08.8.8.8") << "10.9.0.1"
                                            << "1.1.1.1"
                                            << "08.8.8.8"
                                            << "secondary";
    QTest::newRow("secondary DNS 00") << "10.9.0.1"
                                      << "1.1.1.1"
                                      << "8.8.8.00"
                                      << "secondary";
}

void TestAdapterPolicy::leadingZerosAreRefused() {
    QFETCH(QString, gateway);
    QFETCH(QString, primary);
    QFETCH(QString, secondary);
    QFETCH(QString, error);
    const QString text = CheckAdapterSettings({{}, {}, gateway, primary, secondary});
    if (error.isEmpty()) {
        QVERIFY2(text.isEmpty(), qPrintable(text));
        return;
    }
    QVERIFY2(text.contains(error) && text.contains("leading zero"), qPrintable(text));
    // The plan refuses before choosing any adapter.
    const AdapterPolicy::SwitchPlan plan = AdapterPolicy::Plan(
        {Link(3, "eth0", "10.9.0.2", 24)}, {{}, {}, gateway, primary, secondary});
    QCOMPARE(plan.errorText, text);
    QVERIFY(plan.gatewayLinks.isEmpty());
}

void TestAdapterPolicy::gatewayMustBeAnotherHost() {
    const LinkInfo eth0 = Link(3, "eth0", "10.9.0.2", 24);
    LinkInfo eth1 = Link(4, "eth1", "10.8.0.2", 24);
    eth1.up = false; // its address is still the host's own
    LinkInfo lo = Link(1, "lo", "127.0.0.1", 8);
    lo.loopback = true;
    const QList<LinkInfo> links{lo, eth0, eth1};
    const auto refusal = [&links](const AdapterSettings& settings) {
        return AdapterPolicy::Plan(links, settings).errorText;
    };
    QVERIFY(refusal(Settings("", "", "10.9.0.2")).contains("an address of this host (eth0)"));
    QVERIFY(refusal(Settings("", "", "10.8.0.2")).contains("an address of this host (eth1)"));
    QVERIFY(refusal(Settings("", "", "127.0.0.1")).contains("an address of this host (lo)"));
    QVERIFY(refusal(Settings("", "", "10.9.0.0"))
                .contains("network or broadcast address of the "
                          "subnet 10.9.0.0/24 of eth0"));
    QVERIFY(refusal(Settings("", "", "10.9.0.255")).contains("network or broadcast"));
    QVERIFY2(refusal(Settings("", "", "10.9.0.254")).isEmpty(),
             qPrintable(refusal(Settings("", "", "10.9.0.254"))));

    // A new address on eth0: its new subnet decides, and its old address is free to be a
    // gateway once it is gone.
    QVERIFY(refusal(Settings("10.9.0.9", "255.255.255.128", "10.9.0.127"))
                .contains("network or broadcast"));
    QVERIFY(refusal(Settings("10.9.0.9", "255.255.255.0", "10.9.0.2")).isEmpty());
    QVERIFY(refusal(Settings("10.9.0.9", "255.255.255.0", "10.9.0.9")).contains("local IP"));

    // A point-to-point /31 has neither network nor broadcast address.
    const LinkInfo p2p = Link(5, "ppp0", "10.7.0.0", 31);
    QVERIFY(AdapterPolicy::Plan({p2p}, Settings("", "", "10.7.0.1")).errorText.isEmpty());
}

// The window words a refusal by its kind, so each refusal must carry the right one; a sound plan
// carries none.
void TestAdapterPolicy::refusalsSayWhichKind_data() {
    QTest::addColumn<bool>("withAdapter");
    QTest::addColumn<QString>("localIp");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<int>("kind");
    const auto row = [](const char* name, bool withAdapter, const char* localIp, const char* mask,
                        const char* gateway, SwitchFailure kind) {
        QTest::newRow(name) << withAdapter << QString::fromLatin1(localIp)
                            << QString::fromLatin1(mask) << QString::fromLatin1(gateway)
                            << static_cast<int>(kind);
    };
    row("sound", true, "", "", "10.9.0.1", SwitchFailure::None);
    row("sound with address", true, "10.9.0.5", "255.255.255.0", "10.9.0.1", SwitchFailure::None);
    row("gateway not an address", true, "", "", "10.9.0", SwitchFailure::InvalidSettings);
    row("gateway leading zero", true, "", "", "10.9.0.01", SwitchFailure::InvalidSettings);
    row("bad mask", true, "10.9.0.5", "255.0.255.0", "10.9.0.1", SwitchFailure::InvalidSettings);
    row("no adapter", false, "", "", "10.9.0.1", SwitchFailure::NoAdapter);
    row("gateway is this host", true, "", "", "10.9.0.2", SwitchFailure::GatewayIsOwnAddress);
    row("gateway is the new address", true, "10.9.0.5", "255.255.255.0", "10.9.0.5",
        SwitchFailure::GatewayIsOwnAddress);
    row("gateway on no adapter", true, "", "", "10.77.0.1", SwitchFailure::GatewayOnNoAdapter);
    row("gateway outside the new subnet", true, "10.9.0.5", "255.255.255.0", "10.9.1.1",
        SwitchFailure::GatewayOutsideNewSubnet);
    row("gateway is a broadcast", true, "", "", "10.9.0.255",
        SwitchFailure::GatewayNetworkOrBroadcast);
}

void TestAdapterPolicy::refusalsSayWhichKind() {
    QFETCH(bool, withAdapter);
    QFETCH(QString, localIp);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(int, kind);
    QList<LinkInfo> links;
    if (withAdapter)
        links.append(Link(3, "eth0", "10.9.0.2", 24));
    const AdapterPolicy::SwitchPlan plan =
        AdapterPolicy::Plan(links, Settings(localIp, mask, gateway));
    QCOMPARE(static_cast<int>(plan.failure), kind);
    QCOMPARE(plan.errorText.isEmpty(), kind == static_cast<int>(SwitchFailure::None));
}

QTEST_GUILESS_MAIN(TestAdapterPolicy)
#include "test_adapterpolicy.moc"
