#include "client/adapter/linux/networkmanageradapter.h"
#include "client/adapter/linux/nmsettings.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

using namespace torvane;
using namespace torvane::client;

Q_DECLARE_METATYPE(torvane::client::SwitchOutcome)

namespace {

QVariantMap Route(const QString& dest, uint prefix, const QString& nextHop) {
    return {{QStringLiteral("dest"), dest},
            {QStringLiteral("prefix"), prefix},
            {QStringLiteral("next-hop"), nextHop}};
}

// An applied "ipv4" setting as NetworkManager hands it out: the new keys and the deprecated
// ones side by side.
QVariantMap Applied(const QString& method) {
    QVariantMap ipv4;
    ipv4[QStringLiteral("method")] = method;
    ipv4[QStringLiteral("dns-search")] = QStringList{QStringLiteral("corp.example")};
    ipv4[QStringLiteral("addresses")] = QVariant::fromValue(QList<QList<uint>>{{1u, 24u, 2u}});
    ipv4[QStringLiteral("dns")] = QVariant::fromValue(QList<uint>{3u});
    ipv4[QStringLiteral("routes")] = QVariant::fromValue(QList<QList<uint>>{{4u, 16u, 5u, 0u}});
    ipv4[QStringLiteral("route-data")] = QVariant::fromValue(
        QList<QVariantMap>{Route(QStringLiteral("192.168.50.0"), 24, QStringLiteral("10.77.0.3"))});
    if (method == QLatin1String("manual")) {
        ipv4[QStringLiteral("address-data")] = QVariant::fromValue(
            QList<QVariantMap>{{{QStringLiteral("address"), QStringLiteral("10.77.0.10")},
                                {QStringLiteral("prefix"), 24u}}});
        ipv4[QStringLiteral("gateway")] = QStringLiteral("10.77.0.1");
    }
    return ipv4;
}

NmLine Line(const QString& gateway, const QStringList& dns, const QString& localIp = {},
            int prefix = 0) {
    return NmLine{gateway, dns, localIp, prefix};
}

QList<QVariantMap> DefaultRoutes(const QVariantMap& ipv4) {
    QList<QVariantMap> result;
    for (const QVariantMap& route : NmSettings::MapList(ipv4.value(QStringLiteral("route-data")))) {
        if (route.value(QStringLiteral("prefix")).toUInt() == 0)
            result.append(route);
    }
    return result;
}

} // namespace

class NetworkManagerTest : public QObject {
    Q_OBJECT
private slots:
    void lineFromSettings();
    void staticProfileTakesTheGatewayAndDns();
    void dhcpProfileKeepsItsLeaseAndGetsADefaultRoute();
    void localIpMakesTheProfileManualWithThatAddressAlone();
    void carriesLineTellsAReconnectedProfileFromTheLine();
    void errorsAreMappedToWhatTheUserReads_data();
    void errorsAreMappedToWhatTheUserReads();
    void withoutNetworkManagerASwitchFailsLaterAndAnInspectionSaysSo();
};

void NetworkManagerTest::lineFromSettings() {
    const NmLine one = NmSettings::LineFor({QString(), QStringLiteral("255.255.255.0"),
                                            QStringLiteral(" 10.77.0.254 "),
                                            QStringLiteral("10.77.9.3"), QStringLiteral(" ")});
    QCOMPARE(one.gateway, QStringLiteral("10.77.0.254"));
    QCOMPARE(one.dnsServers, QStringList{QStringLiteral("10.77.9.3")});
    QVERIFY(one.localIp.isEmpty()); // a mask alone changes no address
    const NmLine withAddress = NmSettings::LineFor(
        {QStringLiteral("10.77.0.20"), QStringLiteral("255.255.0.0"), QStringLiteral("10.77.0.1"),
         QStringLiteral("10.77.9.1"), QStringLiteral("10.77.9.2")});
    QCOMPARE(withAddress.prefix, 16);
    QCOMPARE(withAddress.dnsServers,
             QStringList({QStringLiteral("10.77.9.1"), QStringLiteral("10.77.9.2")}));
}

void NetworkManagerTest::staticProfileTakesTheGatewayAndDns() {
    QVariantMap before = Applied(QStringLiteral("manual"));
    before[QStringLiteral("never-default")] = true; // the gateway would be ignored
    // A default route entry of the profile would compete with the line's gateway.
    QList<QVariantMap> routes = NmSettings::MapList(before.value(QStringLiteral("route-data")));
    routes.append(Route(QStringLiteral("0.0.0.0"), 0, QStringLiteral("10.77.0.7")));
    before[QStringLiteral("route-data")] = QVariant::fromValue(routes);

    const QVariantMap after = NmSettings::EditIpv4(
        before, Line(QStringLiteral("10.77.0.254"),
                     {QStringLiteral("10.77.9.3"), QStringLiteral("10.77.9.4")}));
    // The deprecated keys would win over the new ones.
    for (const char* key : {"addresses", "dns", "routes"})
        QVERIFY2(!after.contains(QLatin1String(key)), key);
    QCOMPARE(after.value(QStringLiteral("method")).toString(), QStringLiteral("manual"));
    QCOMPARE(after.value(QStringLiteral("gateway")).toString(), QStringLiteral("10.77.0.254"));
    QCOMPARE(after.value(QStringLiteral("never-default")).toBool(), false);
    QCOMPARE(after.value(QStringLiteral("dns-data")).toStringList(),
             QStringList({QStringLiteral("10.77.9.3"), QStringLiteral("10.77.9.4")}));
    // What the line does not speak of stays: the address, the search domain, other routes.
    QCOMPARE(after.value(QStringLiteral("address-data")),
             before.value(QStringLiteral("address-data")));
    QCOMPARE(after.value(QStringLiteral("dns-search")), before.value(QStringLiteral("dns-search")));
    const QList<QVariantMap> routesAfter =
        NmSettings::MapList(after.value(QStringLiteral("route-data")));
    QCOMPARE(routesAfter.size(), 1);
    QCOMPARE(routesAfter.first().value(QStringLiteral("dest")).toString(),
             QStringLiteral("192.168.50.0"));
}

void NetworkManagerTest::dhcpProfileKeepsItsLeaseAndGetsADefaultRoute() {
    const QVariantMap first =
        NmSettings::EditIpv4(Applied(QStringLiteral("auto")),
                             Line(QStringLiteral("10.77.0.254"), {QStringLiteral("10.77.9.3")}));
    QCOMPARE(first.value(QStringLiteral("method")).toString(), QStringLiteral("auto"));
    QVERIFY(!first.contains(QStringLiteral("gateway"))); // a DHCP profile refuses one
    QVERIFY(!first.contains(QStringLiteral("address-data")));
    QCOMPARE(first.value(QStringLiteral("never-default")).toBool(), true);
    QCOMPARE(first.value(QStringLiteral("ignore-auto-dns")).toBool(), true);
    QCOMPARE(first.value(QStringLiteral("dns-data")).toStringList(),
             QStringList{QStringLiteral("10.77.9.3")});
    QList<QVariantMap> defaults = DefaultRoutes(first);
    QCOMPARE(defaults.size(), 1);
    QCOMPARE(defaults.first().value(QStringLiteral("dest")).toString(), QStringLiteral("0.0.0.0"));
    QCOMPARE(defaults.first().value(QStringLiteral("next-hop")).toString(),
             QStringLiteral("10.77.0.254"));
    QCOMPARE(defaults.first().value(QStringLiteral("prefix")).typeId(), QMetaType::UInt);

    // The next switch replaces the entry instead of adding a second default route.
    const QVariantMap second = NmSettings::EditIpv4(
        first, Line(QStringLiteral("10.77.0.1"), {QStringLiteral("10.77.9.1")}));
    defaults = DefaultRoutes(second);
    QCOMPARE(defaults.size(), 1);
    QCOMPARE(defaults.first().value(QStringLiteral("next-hop")).toString(),
             QStringLiteral("10.77.0.1"));
    QCOMPARE(NmSettings::MapList(second.value(QStringLiteral("route-data"))).size(), 2);
}

void NetworkManagerTest::localIpMakesTheProfileManualWithThatAddressAlone() {
    for (const QString& method : {QStringLiteral("auto"), QStringLiteral("manual")}) {
        const QVariantMap after = NmSettings::EditIpv4(
            Applied(method), Line(QStringLiteral("10.77.0.254"), {QStringLiteral("10.77.9.3")},
                                  QStringLiteral("10.77.0.20"), 24));
        QCOMPARE(after.value(QStringLiteral("method")).toString(), QStringLiteral("manual"));
        const QList<QVariantMap> addresses =
            NmSettings::MapList(after.value(QStringLiteral("address-data")));
        QCOMPARE(addresses.size(), 1);
        QCOMPARE(addresses.first().value(QStringLiteral("address")).toString(),
                 QStringLiteral("10.77.0.20"));
        QCOMPARE(addresses.first().value(QStringLiteral("prefix")).toUInt(), 24u);
        QCOMPARE(after.value(QStringLiteral("gateway")).toString(), QStringLiteral("10.77.0.254"));
        QVERIFY2(DefaultRoutes(after).isEmpty(), qPrintable(method));
    }
}

void NetworkManagerTest::carriesLineTellsAReconnectedProfileFromTheLine() {
    const NmLine line = Line(QStringLiteral("10.77.0.254"),
                             {QStringLiteral("10.77.9.3"), QStringLiteral("10.77.9.4")});
    const NmLine withAddress =
        Line(line.gateway, line.dnsServers, QStringLiteral("10.77.0.20"), 24);
    for (const QString& method : {QStringLiteral("auto"), QStringLiteral("manual")}) {
        const QVariantMap profile = Applied(method);
        QVERIFY(!NmSettings::CarriesLine(profile, line));
        QVERIFY(NmSettings::CarriesLine(NmSettings::EditIpv4(profile, line), line));
        QVERIFY(NmSettings::CarriesLine(NmSettings::EditIpv4(profile, withAddress), withAddress));
        // The same servers in another order are another line.
        NmLine swapped = line;
        std::swap(swapped.dnsServers[0], swapped.dnsServers[1]);
        QVERIFY(!NmSettings::CarriesLine(NmSettings::EditIpv4(profile, line), swapped));
    }
}

void NetworkManagerTest::errorsAreMappedToWhatTheUserReads_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<SwitchFailure>("failure");
    QTest::addColumn<bool>("retry");
    QTest::newRow("polkit says no")
        << QStringLiteral("org.freedesktop.NetworkManager.PermissionDenied")
        << SwitchFailure::NoPermission << false;
    QTest::newRow("bus policy says no") << QStringLiteral("org.freedesktop.DBus.Error.AccessDenied")
                                        << SwitchFailure::NoPermission << false;
    QTest::newRow("changed meanwhile")
        << QStringLiteral("org.freedesktop.NetworkManager.Device.VersionIdMismatch")
        << SwitchFailure::Other << true;
    QTest::newRow("device went down")
        << QStringLiteral("org.freedesktop.NetworkManager.Device.NotActive")
        << SwitchFailure::NoAdapter << false;
    QTest::newRow("daemon gone") << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")
                                 << SwitchFailure::ServiceUnavailable << false;
    QTest::newRow("daemon hangs") << QStringLiteral("org.freedesktop.DBus.Error.NoReply")
                                  << SwitchFailure::ServiceUnavailable << false;
    QTest::newRow("settings refused")
        << QStringLiteral("org.freedesktop.NetworkManager.Device.IncompatibleConnection")
        << SwitchFailure::InvalidSettings << false;
    QTest::newRow("anything else")
        << QStringLiteral("org.example.Strange") << SwitchFailure::Other << false;
}

void NetworkManagerTest::errorsAreMappedToWhatTheUserReads() {
    QFETCH(QString, name);
    QFETCH(SwitchFailure, failure);
    QFETCH(bool, retry);
    const NmSettings::NmError error = NmSettings::ClassifyError(
        name, QStringLiteral("the daemon's own words"), QStringLiteral("the new settings of eth0"));
    QCOMPARE(error.retry, retry);
    if (!retry) {
        QCOMPARE(error.failure, failure);
        // The log line says what was being done and what the daemon answered.
        QVERIFY2(error.text.contains(QStringLiteral("the daemon's own words")),
                 qPrintable(error.text));
        QVERIFY2(error.text.contains(QStringLiteral("eth0")), qPrintable(error.text));
    }
}

void NetworkManagerTest::withoutNetworkManagerASwitchFailsLaterAndAnInspectionSaysSo() {
    qRegisterMetaType<SwitchOutcome>();
    // A bus that is not there stands for a daemon that went away.
    NetworkManagerAdapter adapter(QDBusConnection(QStringLiteral("torvane-no-bus")));
    QCOMPARE(adapter.inspect().outcome, InspectionOutcome::NetworkParamsFailed);

    QSignalSpy finished(&adapter, &NetworkAdapter::switchFinished);
    adapter.startSwitch({QString(), QString(), QStringLiteral("10.77.0.254"),
                         QStringLiteral("10.77.9.3"), QString()});
    QVERIFY(adapter.switchRunning());
    adapter.startSwitch({QString(), QString(), QStringLiteral("10.77.0.1"),
                         QStringLiteral("10.77.9.1"), QString()});
    QCOMPARE(finished.count(), 0); // never from inside startSwitch()
    QTRY_COMPARE(finished.count(), 2);
    QVERIFY(!adapter.switchRunning());
    QList<SwitchFailure> failures;
    for (const QList<QVariant>& args : finished) {
        const auto outcome = args.first().value<SwitchOutcome>();
        QVERIFY(!outcome.ok);
        QVERIFY(!outcome.errorText.isEmpty());
        failures.append(outcome.failure);
    }
    QVERIFY(failures.contains(SwitchFailure::Busy));

    finished.clear();
    adapter.startSwitch({QString(), QString(), QStringLiteral("10.77.0.0254"),
                         QStringLiteral("10.77.9.3"), QString()});
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().value<SwitchOutcome>().failure,
             SwitchFailure::InvalidSettings);
}

QTEST_GUILESS_MAIN(NetworkManagerTest)
#include "test_networkmanager.moc"
