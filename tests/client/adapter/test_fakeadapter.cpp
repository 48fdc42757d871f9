#include "client/adapter/adapterfactory.h"
#include "client/adapter/fakeadapter.h"

#include <QSignalSpy>
#include <QTest>

using namespace torvane;
using namespace torvane::client;

Q_DECLARE_METATYPE(torvane::client::SwitchOutcome)

// The stand-in the controller tests drive must behave like an adapter that switched; the factory
// must pick the backend the machine runs.
class TestFakeAdapter : public QObject {
    Q_OBJECT

    // Starts a switch and waits for its outcome.
    static SwitchOutcome Switch(FakeAdapter& fake, const AdapterSettings& settings) {
        QSignalSpy finished(&fake, &NetworkAdapter::switchFinished);
        fake.startSwitch(settings);
        // Like every backend it never finishes inside startSwitch().
        if (!finished.isEmpty() || !fake.switchRunning() || !finished.wait(5000))
            return SwitchOutcome{false, QStringLiteral("finished synchronously or never"), {}};
        return finished.first().first().value<SwitchOutcome>();
    }

private slots:
    void switchUpdatesWhatInspectReturns();
    void failingSwitchChangesNothing();
    void heldSwitchFinishesWhenTold();
    void factoryTakesTheFirstBackendThatFits();
    void environmentForcesABackend();
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
    SwitchOutcome outcome = Switch(fake, {" ", "255.0.0.0", "10.9.0.254", "1.1.1.1", ""});
    QVERIFY2(outcome.ok, qPrintable(outcome.errorText));
    QCOMPARE(outcome.adapters, QStringList{"eth0"});
    NetworkParams now = fake.inspect();
    QCOMPARE(now.localIp, QStringLiteral("10.9.0.2"));
    QCOMPARE(now.subnetMask, QStringLiteral("255.255.255.0"));
    QCOMPARE(now.gateway, QStringLiteral("10.9.0.254"));
    QCOMPARE(now.dnsServers, QStringList{"1.1.1.1"});

    outcome = Switch(fake, {"10.9.1.7", "255.255.0.0", "10.9.0.1", "1.1.1.1", "8.8.8.8"});
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
    params.outcome = InspectionOutcome::NoAdapter;
    fake.setParams(params);
    fake.setFailure("need CAP_NET_ADMIN");
    const SwitchOutcome outcome = Switch(fake, {"", "", "10.9.0.254", "1.1.1.1", "8.8.8.8"});
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.errorText, QStringLiteral("need CAP_NET_ADMIN"));
    QVERIFY(outcome.adapters.isEmpty());
    QCOMPARE(fake.inspect().gateway, QStringLiteral("10.9.0.1"));
    QCOMPARE(ErrorNumber(fake.inspect().outcome), 3);
    QCOMPARE(fake.switchCalls().size(), 1);

    fake.setFailure(QString());
    QVERIFY(Switch(fake, {"", "", "10.9.0.254", "1.1.1.1", "8.8.8.8"}).ok);
}

void TestFakeAdapter::heldSwitchFinishesWhenTold() {
    FakeAdapter fake;
    fake.setHoldSwitches(true);
    QSignalSpy finished(&fake, &NetworkAdapter::switchFinished);
    QVERIFY(!fake.completeSwitch());
    fake.startSwitch({"", "", "10.9.0.254", "1.1.1.1", ""});
    QTest::qWait(20);
    QVERIFY(fake.switchRunning());
    QCOMPARE(finished.size(), 0);
    QVERIFY(fake.completeSwitch());
    QCOMPARE(finished.size(), 1);
    QVERIFY(!fake.switchRunning());
    QCOMPARE(fake.inspect().gateway, QStringLiteral("10.9.0.254"));
}

void TestFakeAdapter::factoryTakesTheFirstBackendThatFits() {
    QStringList probed;
    const auto backend = [&probed](const QString& name, bool fits) {
        return AdapterBackend{name,
                              [&probed, name, fits] {
                                  probed.append(name);
                                  return fits;
                              },
                              [] { return std::make_unique<FakeAdapter>(); }};
    };
    std::unique_ptr<NetworkAdapter> adapter = CreateNetworkAdapter(
        {backend("daemon", false), backend("resolved", true), backend("netlink", true)});
    QCOMPARE(adapter->backendName(), QStringLiteral("fake"));
    QCOMPARE(probed, (QStringList{"daemon", "resolved"})); // the one after is never asked

    // Nothing fits: a stand-in that says so instead of a program that cannot start.
    probed.clear();
    adapter = CreateNetworkAdapter({backend("daemon", false)});
    QCOMPARE(adapter->backendName(), QStringLiteral("none"));
    QCOMPARE(ErrorNumber(adapter->inspect().outcome), 1);
    QSignalSpy finished(adapter.get(), &NetworkAdapter::switchFinished);
    adapter->startSwitch({"", "", "10.9.0.254", "1.1.1.1", ""});
    QVERIFY(adapter->switchRunning());
    QVERIFY(finished.wait(5000));
    const SwitchOutcome refused = finished.first().first().value<SwitchOutcome>();
    QVERIFY(!refused.ok);
    QVERIFY(!refused.errorText.isEmpty());

    // This machine's list ends with a backend that always fits (where the OS has backends).
    const QList<AdapterBackend> platform = PlatformAdapterBackends();
#ifdef Q_OS_LINUX
    QVERIFY(!platform.isEmpty());
#endif
    if (!platform.isEmpty())
        QVERIFY(platform.constLast().probe());
}

void TestFakeAdapter::environmentForcesABackend() {
    int probes = 0;
    const auto backend = [&probes](const QString& name, bool fits) {
        return AdapterBackend{name,
                              [&probes, fits] {
                                  ++probes;
                                  return fits;
                              },
                              [] { return std::make_unique<FakeAdapter>(); }};
    };
    const QList<AdapterBackend> backends{backend("service", true), backend("netlink", false)};

    // A forced backend is taken even when its probe says no, and no probe is asked.
    QCOMPARE(ChooseAdapterBackend(backends, QStringLiteral("netlink")), 1);
    QCOMPARE(probes, 0);
    QCOMPARE(ChooseAdapterBackend(backends, QString()), 0);
    // A name that is no backend: none at all, rather than silently another one.
    QCOMPARE(ChooseAdapterBackend(backends, QStringLiteral("Netlink")), -1);

    qputenv(kForceBackendVariable, "nosuch");
    const std::unique_ptr<NetworkAdapter> adapter = CreateNetworkAdapter(backends);
    qunsetenv(kForceBackendVariable);
    QCOMPARE(adapter->backendName(), QStringLiteral("none"));

#ifdef Q_OS_LINUX
    // An unprivileged desktop goes through the service before trying netlink itself.
    QStringList names;
    for (const AdapterBackend& platform : PlatformAdapterBackends())
        names.append(platform.name);
    QVERIFY(names.indexOf("service") >= 0);
    QVERIFY(names.indexOf("service") < names.indexOf("netlink"));
#endif
}

QTEST_GUILESS_MAIN(TestFakeAdapter)
#include "test_fakeadapter.moc"
