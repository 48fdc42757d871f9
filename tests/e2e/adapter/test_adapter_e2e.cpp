#include "tests/e2e/adapter/test_adapter_e2e.h"

#include "tests/e2e/adapter/adapternetns.h"

#include "client/adapter/linux/resolverfile.h"
#include <QCoreApplication>
#include <QDir>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace torvane;
using namespace torvane::client;

namespace {

const QByteArray kResolver = "# written by the test\n"
                             "search example.lan\n"
                             "nameserver 10.9.0.53\n"
                             "nameserver 10.9.0.54\n"
                             "options timeout:2\n";

QByteArray HostResolver() {
    QFile file(QStringLiteral("/etc/resolv.conf"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList Words(const QString& text) {
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// Namespace A holds the adapter under test ("eth0", 10.9.0.2/24); B is the far end of its veth
// (10.9.0.1/24), the gateway.
struct Pair {
    std::unique_ptr<AdapterNetns> a, b;
    QString error;

    bool create(const QByteArray& resolver, bool withBridgeFirst = false) {
        a = std::make_unique<AdapterNetns>(QStringLiteral("a"), resolver);
        b = std::make_unique<AdapterNetns>(QStringLiteral("b"), QByteArray());
        if (!a->isValid() || !b->isValid()) {
            error = a->lastError() + b->lastError();
            return false;
        }
        // A bridge created first has the lower ifindex, so it is listed before eth0.
        if (withBridgeFirst && !(a->ip(Words(QStringLiteral("link add br0 type bridge"))) &&
                                 a->ip(Words(QStringLiteral("addr add 10.50.0.1/24 dev br0"))) &&
                                 a->ip(Words(QStringLiteral("link set br0 up"))))) {
            error = a->lastError();
            return false;
        }
        const bool ok =
            a->ip(Words(QStringLiteral("link add eth0 type veth peer name eth0 netns ")) +
                  QStringList{b->name()}) &&
            a->ip(Words(QStringLiteral("addr add 10.9.0.2/24 dev eth0"))) &&
            a->ip(Words(QStringLiteral("link set eth0 up"))) &&
            b->ip(Words(QStringLiteral("addr add 10.9.0.1/24 dev eth0"))) &&
            b->ip(Words(QStringLiteral("link set eth0 up")));
        if (!ok)
            error = a->lastError() + b->lastError();
        return ok;
    }
};

QString Run(AdapterNetns& ns, const QString& args) {
    QString out;
    if (!ns.ip(Words(args), &out))
        return QStringLiteral("<failed: %1>").arg(ns.lastError());
    return out.trimmed();
}

QString State(AdapterNetns& ns) {
    return Run(ns, QStringLiteral("-4 -o addr show")) + QLatin1Char('\n') +
           Run(ns, QStringLiteral("-4 route show table all")) + QLatin1Char('\n') +
           QString::fromLocal8Bit(ns.resolverContent());
}

ino_t Inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

#define CREATE_PAIR(pair, ...)                                                                     \
    Pair pair;                                                                                     \
    QVERIFY2(pair.create(__VA_ARGS__), qPrintable(pair.error))

#define IP(ns, args) QVERIFY2((ns).ip(Words(QStringLiteral(args))), qPrintable((ns).lastError()))

TestAdapterE2e::Probe TestAdapterE2e::probe(AdapterNetns& ns, const QStringList& args,
                                            const QStringList& prefix) {
    Probe result;
    QByteArray out;
    const QStringList command =
        prefix +
        QStringList{QCoreApplication::applicationFilePath(), QStringLiteral("--probe"), ns.name()} +
        args;
    result.exitCode = ns.exec(command, &out, &result.stdErr);
    for (const QByteArray& line : out.split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            result.values.insert(QString::fromLocal8Bit(line.left(eq)),
                                 QString::fromLocal8Bit(line.mid(eq + 1)));
    }
    return result;
}

TestAdapterE2e::Probe TestAdapterE2e::switchTo(AdapterNetns& ns, const QString& localIp,
                                               const QString& mask, const QString& gateway,
                                               const QString& dns1, const QString& dns2,
                                               const QStringList& prefix,
                                               const QString& resolverPath) {
    QStringList args{QStringLiteral("switch"), localIp, mask, gateway, dns1, dns2};
    if (!resolverPath.isEmpty())
        args.append(resolverPath);
    return probe(ns, args, prefix);
}

void TestAdapterE2e::initTestCase() {
    // These tests need root for namespaces; CI runs as root, so missing rights are a failure.
    QVERIFY2(::geteuid() == 0, "the adapter end-to-end tests need root (network namespaces)");
    AdapterNetns::RemoveStale();
    m_hostResolver = HostResolver();
}

void TestAdapterE2e::cleanupTestCase() {
    QCOMPARE(HostResolver(), m_hostResolver);
}

void TestAdapterE2e::inspectShowsAdapterGatewayAndDns_data() {
    QTest::addColumn<QByteArray>("resolver");
    QTest::addColumn<QString>("dns");
    QTest::newRow("two servers") << QByteArray("nameserver 10.9.0.53\nnameserver 10.9.0.54\n")
                                 << QStringLiteral("10.9.0.53,10.9.0.54");
    QTest::newRow("three servers, IPv6 and options")
        << QByteArray("search example.lan\nnameserver 10.9.0.53\nnameserver fd00::53\n"
                      "nameserver 10.9.0.54\n# nameserver 10.9.9.9\nnameserver 10.9.0.55\n"
                      "options ndots:2\n")
        << QStringLiteral("10.9.0.53,10.9.0.54,10.9.0.55");
}

void TestAdapterE2e::inspectShowsAdapterGatewayAndDns() {
    QFETCH(QByteArray, resolver);
    QFETCH(QString, dns);
    CREATE_PAIR(pair, resolver, true);
    // The bridge comes first by ifindex and carries a worse default route; eth0 has two, the
    // lowest metric one is its gateway.
    IP(*pair.a, "route add default via 10.50.0.254 dev br0 metric 500 onlink");
    IP(*pair.a, "route add default via 10.9.0.3 dev eth0 metric 50");
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0 metric 20");

    const Probe result = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.value(QStringLiteral("error")), QStringLiteral("0"));
    QVERIFY(!result.values.value(QStringLiteral("host")).isEmpty());
    QCOMPARE(result.values.value(QStringLiteral("dns")), dns);
    QCOMPARE(result.values.value(QStringLiteral("adapter")), QStringLiteral("eth0"));
    QCOMPARE(result.values.value(QStringLiteral("ip")), QStringLiteral("10.9.0.2"));
    QCOMPARE(result.values.value(QStringLiteral("mask")), QStringLiteral("255.255.255.0"));
    QCOMPARE(result.values.value(QStringLiteral("gateway")), QStringLiteral("10.9.0.1"));
}

void TestAdapterE2e::inspectWithoutIpv4Adapter() {
    AdapterNetns ns(QStringLiteral("lo"), kResolver);
    QVERIFY2(ns.isValid(), qPrintable(ns.lastError()));
    const Probe result = probe(ns, {QStringLiteral("inspect")});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.value(QStringLiteral("error")), QStringLiteral("3"));
    // Host name and DNS are read before the adapters and still reported.
    QVERIFY(!result.values.value(QStringLiteral("host")).isEmpty());
    QCOMPARE(result.values.value(QStringLiteral("dns")), QStringLiteral("10.9.0.53,10.9.0.54"));
    QCOMPARE(result.values.value(QStringLiteral("adapter")), QString());
}

void TestAdapterE2e::withoutDefaultRoute() {
    // No default route at all: the adapter shows without gateway, and a switch adds one. Other
    // routes of unusual shape (an IPv6 next hop, a blackhole) are passed over.
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add 10.77.0.0/24 via inet6 fe80::1 dev eth0");
    IP(*pair.a, "route add blackhole 10.78.0.0/24");
    Probe result = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(result.values.value(QStringLiteral("error")), QStringLiteral("0"));
    QCOMPARE(result.values.value(QStringLiteral("adapter")), QStringLiteral("eth0"));
    QCOMPARE(result.values.value(QStringLiteral("ip")), QStringLiteral("10.9.0.2"));
    QCOMPARE(result.values.value(QStringLiteral("gateway")), QString());

    result = switchTo(*pair.a, QString(), QString(), QStringLiteral("10.9.0.1"),
                      QStringLiteral("1.1.1.1"), QString());
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 route show default")),
             QStringLiteral("default via 10.9.0.1 dev eth0 proto static metric 1"));
}

void TestAdapterE2e::switchKeepsAddressWhenLocalIpEmpty_data() {
    QTest::addColumn<QString>("localIp");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("dns2");
    QTest::addColumn<QByteArray>("expectedResolver");
    const QByteArray both = "# written by the test\nsearch example.lan\nnameserver 1.1.1.1\n"
                            "nameserver 8.8.8.8\noptions timeout:2\n";
    const QByteArray one = "# written by the test\nsearch example.lan\nnameserver 1.1.1.1\n"
                           "options timeout:2\n";
    QTest::newRow("empty local IP") << QString() << QString() << QStringLiteral("8.8.8.8") << both;
    QTest::newRow("blank local IP with a mask")
        << QStringLiteral("  ") << QStringLiteral("255.0.0.0") << QStringLiteral("8.8.8.8") << both;
    QTest::newRow("no secondary DNS") << QString() << QString() << QString() << one;
}

void TestAdapterE2e::switchKeepsAddressWhenLocalIpEmpty() {
    QFETCH(QString, localIp);
    QFETCH(QString, mask);
    QFETCH(QString, dns2);
    QFETCH(QByteArray, expectedResolver);
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");
    IP(*pair.a, "route add default via 10.9.0.3 dev eth0 metric 100");
    const QString addressBefore = Run(*pair.a, QStringLiteral("-4 -o addr show dev eth0"));
    const ino_t inode = Inode(pair.a->resolverPath());

    const Probe result = switchTo(*pair.a, localIp, mask, QStringLiteral("10.9.0.254"),
                                  QStringLiteral("1.1.1.1"), dns2);
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QCOMPARE(result.values.value(QStringLiteral("adapters")), QStringLiteral("eth0"));
    // Only the new default route is left on the link, with metric 1.
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 route show default")),
             QStringLiteral("default via 10.9.0.254 dev eth0 proto static metric 1"));
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 -o addr show dev eth0")), addressBefore);
    // The resolver file is a bind mount inside the namespace: rewritten in place, other lines kept.
    QCOMPARE(pair.a->resolverContent(), expectedResolver);
    QCOMPARE(Inode(pair.a->resolverPath()), inode);

    // What the window reads back after the switch.
    const Probe after = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(after.values.value(QStringLiteral("gateway")), QStringLiteral("10.9.0.254"));
    QCOMPARE(after.values.value(QStringLiteral("ip")), QStringLiteral("10.9.0.2"));
    QCOMPARE(after.values.value(QStringLiteral("dns")).split(QLatin1Char(',')).first(),
             QStringLiteral("1.1.1.1"));
}

void TestAdapterE2e::switchChangesAddressAndMask_data() {
    QTest::addColumn<QString>("localIp");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("cidr");
    QTest::newRow("wider subnet") << QStringLiteral("10.9.1.7") << QStringLiteral("255.255.0.0")
                                  << QStringLiteral("10.9.0.1") << QStringLiteral("10.9.1.7/16");
    // The new address starts as a secondary of the old primary; it must survive its removal.
    QTest::newRow("same subnet") << QStringLiteral("10.9.0.7") << QStringLiteral("255.255.255.0")
                                 << QStringLiteral("10.9.0.1") << QStringLiteral("10.9.0.7/24");
    // The address the adapter already has, with another mask: the old entry goes, not the new.
    QTest::newRow("same address, wider mask")
        << QStringLiteral("10.9.0.2") << QStringLiteral("255.255.0.0") << QStringLiteral("10.9.0.1")
        << QStringLiteral("10.9.0.2/16");
    QTest::newRow("same address and mask")
        << QStringLiteral("10.9.0.2") << QStringLiteral("255.255.255.0")
        << QStringLiteral("10.9.0.1") << QStringLiteral("10.9.0.2/24");
    QTest::newRow("former secondary")
        << QStringLiteral("10.9.0.3") << QStringLiteral("255.255.255.0")
        << QStringLiteral("10.9.0.1") << QStringLiteral("10.9.0.3/24");
    QTest::newRow("other subnet") << QStringLiteral("172.16.5.9") << QStringLiteral("255.255.255.0")
                                  << QStringLiteral("172.16.5.1")
                                  << QStringLiteral("172.16.5.9/24");
}

void TestAdapterE2e::switchChangesAddressAndMask() {
    QFETCH(QString, localIp);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(QString, cidr);
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "addr add 10.9.0.3/24 dev eth0"); // a secondary that goes too
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");

    const Probe result = switchTo(*pair.a, localIp, mask, gateway, QStringLiteral("1.1.1.1"),
                                  QStringLiteral("8.8.8.8"));
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    const QString addresses = Run(*pair.a, QStringLiteral("-4 -o addr show dev eth0"));
    QCOMPARE(addresses.count(QStringLiteral(" inet ")), 1);
    QVERIFY2(addresses.contains(QStringLiteral(" inet ") + cidr + QLatin1Char(' ')),
             qPrintable(addresses));
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 route show default")),
             QStringLiteral("default via %1 dev eth0 proto static metric 1").arg(gateway));

    const Probe after = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(after.values.value(QStringLiteral("ip")), localIp);
    QCOMPARE(after.values.value(QStringLiteral("mask")), mask);
    QCOMPARE(after.values.value(QStringLiteral("gateway")), gateway);
}

void TestAdapterE2e::refusedSwitchChangesNothing_data() {
    QTest::addColumn<QString>("localIp");
    QTest::addColumn<QString>("mask");
    QTest::addColumn<QString>("gateway");
    QTest::addColumn<QString>("dns1");
    QTest::addColumn<QString>("reason");
    QTest::newRow("gateway not on-link")
        << QString() << QString() << QStringLiteral("192.168.77.1") << QStringLiteral("1.1.1.1")
        << QStringLiteral("not on the subnet of any active adapter");
    QTest::newRow("non-contiguous mask")
        << QStringLiteral("10.9.0.7") << QStringLiteral("255.0.255.0") << QStringLiteral("10.9.0.1")
        << QStringLiteral("1.1.1.1") << QStringLiteral("invalid subnet mask");
    QTest::newRow("local IP without mask")
        << QStringLiteral("10.9.0.7") << QString() << QStringLiteral("10.9.0.1")
        << QStringLiteral("1.1.1.1") << QStringLiteral("invalid subnet mask");
    QTest::newRow("gateway outside the new subnet")
        << QStringLiteral("10.9.0.7") << QStringLiteral("255.255.255.0")
        << QStringLiteral("10.9.5.1") << QStringLiteral("1.1.1.1")
        << QStringLiteral("not in the subnet");
    QTest::newRow("garbage DNS") << QString() << QString() << QStringLiteral("10.9.0.1")
                                 << QStringLiteral("1.1.1.1; rm") << QStringLiteral("DNS");
    // A gateway the kernel would take but that can never route: the host itself, the subnet's
    // network or broadcast address; and addresses written with leading zeros.
    QTest::newRow("gateway is this host")
        << QString() << QString() << QStringLiteral("10.9.0.2") << QStringLiteral("1.1.1.1")
        << QStringLiteral("an address of this host (eth0)");
    QTest::newRow("gateway is the network address")
        << QString() << QString() << QStringLiteral("10.9.0.0") << QStringLiteral("1.1.1.1")
        << QStringLiteral("network or broadcast address");
    QTest::newRow("gateway is the broadcast address")
        << QString() << QString() << QStringLiteral("10.9.0.255") << QStringLiteral("1.1.1.1")
        << QStringLiteral("network or broadcast address");
    QTest::newRow("gateway with leading zeros")
        << QString() << QString() << QStringLiteral("10.9.0.01") << QStringLiteral("1.1.1.1")
        << QStringLiteral("leading zero");
    QTest::newRow("DNS with leading zeros")
        << QString() << QString() << QStringLiteral("10.9.0.1") << QStringLiteral("09.09.09.09")
        << QStringLiteral("leading zero");
}

void TestAdapterE2e::refusedSwitchChangesNothing() {
    QFETCH(QString, localIp);
    QFETCH(QString, mask);
    QFETCH(QString, gateway);
    QFETCH(QString, dns1);
    QFETCH(QString, reason);
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");
    const QString before = State(*pair.a);

    const Probe result = switchTo(*pair.a, localIp, mask, gateway, dns1, QStringLiteral("8.8.8.8"));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.value(QStringLiteral("ok")), QStringLiteral("0"));
    QVERIFY2(result.values.value(QStringLiteral("error")).contains(reason),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QCOMPARE(result.values.value(QStringLiteral("adapters")), QString());
    QCOMPARE(State(*pair.a), before);
}

void TestAdapterE2e::virtualAdapterListedFirstDoesNotBlock() {
    CREATE_PAIR(pair, kResolver, true);
    const QString bridgeBefore = Run(*pair.a, QStringLiteral("-4 -o addr show dev br0"));

    Probe result = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(result.values.value(QStringLiteral("adapter")), QStringLiteral("eth0"));

    // The gateway lies only on eth0's subnet: eth0 is switched, the bridge is left alone.
    result = switchTo(*pair.a, QString(), QString(), QStringLiteral("10.9.0.1"),
                      QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8"));
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QCOMPARE(result.values.value(QStringLiteral("adapters")), QStringLiteral("eth0"));
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 route show default")),
             QStringLiteral("default via 10.9.0.1 dev eth0 proto static metric 1"));

    // A new address goes on eth0, not on the bridge listed before it.
    result = switchTo(*pair.a, QStringLiteral("10.9.0.9"), QStringLiteral("255.255.255.0"),
                      QStringLiteral("10.9.0.1"), QStringLiteral("1.1.1.1"), QString());
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QVERIFY(Run(*pair.a, QStringLiteral("-4 -o addr show dev eth0"))
                .contains(QStringLiteral(" inet 10.9.0.9/24 ")));
    QCOMPARE(Run(*pair.a, QStringLiteral("-4 -o addr show dev br0")), bridgeBefore);
}

void TestAdapterE2e::otherAdaptersDefaultRouteSurvives() {
    // Routes are keyed without the link: the new default route with metric 1 must not replace
    // the bridge's one with the same metric, and both must be seen when reading back.
    CREATE_PAIR(pair, kResolver, true);
    IP(*pair.a, "route add default via 10.50.0.254 dev br0 metric 1 onlink");
    IP(*pair.a, "route append default via 10.9.0.3 dev eth0 metric 1");

    const Probe result = switchTo(*pair.a, QString(), QString(), QStringLiteral("10.9.0.1"),
                                  QStringLiteral("1.1.1.1"), QString());
    QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QCOMPARE(result.values.value(QStringLiteral("adapters")), QStringLiteral("eth0"));
    QStringList routes;
    for (const QString& line : Run(*pair.a, QStringLiteral("-4 route show default")).split('\n'))
        routes.append(line.trimmed());
    routes.sort();
    QCOMPARE(routes,
             QStringList({QStringLiteral("default via 10.50.0.254 dev br0 metric 1 onlink"),
                          QStringLiteral("default via 10.9.0.1 dev eth0 proto static metric 1")}));

    // Equal metrics: the namespace's veth uplink is shown before the bridge.
    const Probe after = probe(*pair.a, {QStringLiteral("inspect")});
    QCOMPARE(after.values.value(QStringLiteral("adapter")), QStringLiteral("eth0"));
    QCOMPARE(after.values.value(QStringLiteral("gateway")), QStringLiteral("10.9.0.1"));
}

void TestAdapterE2e::symlinkedResolverFile_data() {
    QTest::addColumn<bool>("mounted");
    QTest::newRow("link to a plain file") << false;
    QTest::newRow("link to a bind-mounted file") << true;
}

void TestAdapterE2e::symlinkedResolverFile() {
    // A resolver file that is a link belongs to another service and is refused; when a file is
    // mounted over its target (`ip netns exec` on hosts whose /etc/resolv.conf is a link), that
    // file is the namespace's own and is rewritten through the link.
    QFETCH(bool, mounted);
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString target = dir.filePath(QStringLiteral("stub-resolv.conf"));
    const QString link = dir.filePath(QStringLiteral("resolv.conf"));
    const QString mountedFile = dir.filePath(QStringLiteral("netns-resolv.conf"));
    const QByteArray stub = "nameserver 127.0.0.53\n";
    QFile stubFile(target);
    QVERIFY(stubFile.open(QIODevice::WriteOnly) && stubFile.write(stub) == stub.size());
    stubFile.close();
    QFile own(mountedFile);
    QVERIFY(own.open(QIODevice::WriteOnly) && own.write(kResolver) == kResolver.size());
    own.close();
    QVERIFY(QFile::link(target, link));
    const QString routesBefore = Run(*pair.a, QStringLiteral("-4 route show"));

    // The mount lives only in the private mount namespace of this one `ip netns exec`.
    const QStringList prefix =
        mounted ? QStringList{QStringLiteral("sh"), QStringLiteral("-c"),
                              QStringLiteral("mount --bind \"$0\" \"$1\" && shift && exec \"$@\""),
                              mountedFile, target}
                : QStringList{};
    const Probe result =
        switchTo(*pair.a, QString(), QString(), QStringLiteral("10.9.0.254"),
                 QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8"), prefix, link);
    QCOMPARE(result.exitCode, 0);
    QVERIFY(QFileInfo(link).isSymLink());
    QFile check(target);
    QVERIFY(check.open(QIODevice::ReadOnly));
    QCOMPARE(check.readAll(), stub);
    QFile checkOwn(mountedFile);
    QVERIFY(checkOwn.open(QIODevice::ReadOnly));
    if (mounted) {
        QVERIFY2(result.values.value(QStringLiteral("ok")) == QLatin1String("1"),
                 qPrintable(result.values.value(QStringLiteral("error"))));
        QCOMPARE(ResolverFile::ParseNameservers(checkOwn.readAll()),
                 QStringList({QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8")}));
    } else {
        QCOMPARE(result.values.value(QStringLiteral("ok")), QStringLiteral("0"));
        QVERIFY2(
            result.values.value(QStringLiteral("error")).contains(QLatin1String("symbolic link")),
            qPrintable(result.values.value(QStringLiteral("error"))));
        QCOMPARE(checkOwn.readAll(), kResolver);
        QCOMPARE(Run(*pair.a, QStringLiteral("-4 route show")), routesBefore);
    }
}

void TestAdapterE2e::failedInPlaceRewriteKeepsOldFile() {
    // A resolver file that is a mount point is rewritten in place. When its file system runs
    // full halfway (here a one-page tmpfs, while the folder beside the mount point has room for
    // the temporary file), the old content must come back rather than a cut-off new one.
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("small")));
    // Just under one page, so the longer new list needs a second one.
    QByteArray old = "search example.lan\n";
    while (old.size() < 4070)
        old += "# padding padding padding padding\n";
    old = old.left(4070) + "\nnameserver 1.1.1.1\n";
    QVERIFY(old.size() < 4096);
    for (const QString& name : {QStringLiteral("resolv.conf"), QStringLiteral("seed")}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(old) == old.size());
    }
    const QStringList prefix{
        QStringLiteral("sh"), QStringLiteral("-c"),
        QStringLiteral("d=$1; shift; mount -t tmpfs -o size=4k tmpfs \"$d/small\" && "
                       "cp \"$d/seed\" \"$d/small/resolv.conf\" && "
                       "mount --bind \"$d/small/resolv.conf\" \"$d/resolv.conf\" && "
                       "\"$@\"; cat \"$d/resolv.conf\" > \"$d/after\""),
        QStringLiteral("sh"), dir.path()};
    const Probe result = switchTo(*pair.a, QString(), QString(), QStringLiteral("10.9.0.254"),
                                  QStringLiteral("10.10.10.10"), QStringLiteral("10.10.10.11"),
                                  prefix, dir.filePath(QStringLiteral("resolv.conf")));
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.value(QStringLiteral("ok")), QStringLiteral("0"));
    QVERIFY2(result.values.value(QStringLiteral("error")).contains(QLatin1String("No space")),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QFile after(dir.filePath(QStringLiteral("after")));
    QVERIFY(after.open(QIODevice::ReadOnly));
    const QByteArray content = after.readAll();
    QVERIFY2(content == old, content.right(60).constData());
}

void TestAdapterE2e::unprivilegedSwitchIsRefused_data() {
    QTest::addColumn<QStringList>("prefix");
    QTest::addColumn<bool>("readOnlyResolver");
    QTest::addColumn<QString>("reason");
    QTest::newRow("root without CAP_NET_ADMIN")
        << QStringList{QStringLiteral("setpriv"), QStringLiteral("--inh-caps=-all"),
                       QStringLiteral("--bounding-set=-net_admin"), QStringLiteral("--")}
        << false << QStringLiteral("CAP_NET_ADMIN");
    QTest::newRow("user nobody") << QStringList{QStringLiteral("setpriv"),
                                                QStringLiteral("--reuid=65534"),
                                                QStringLiteral("--regid=65534"),
                                                QStringLiteral("--clear-groups"),
                                                QStringLiteral("--")}
                                 << false << QStringLiteral("CAP_NET_ADMIN");
    // CAP_NET_ADMIN alone is not enough: the DNS servers could not be written.
    QTest::newRow("read-only resolver file")
        << QStringList{QStringLiteral("setpriv"), QStringLiteral("--inh-caps=-all"),
                       QStringLiteral("--bounding-set=-dac_override"), QStringLiteral("--")}
        << true << QStringLiteral("write access");
}

void TestAdapterE2e::unprivilegedSwitchIsRefused() {
    QFETCH(QStringList, prefix);
    QFETCH(bool, readOnlyResolver);
    QFETCH(QString, reason);
    CREATE_PAIR(pair, kResolver);
    IP(*pair.a, "route add default via 10.9.0.1 dev eth0");
    if (readOnlyResolver)
        QVERIFY(QFile::setPermissions(pair.a->resolverPath(),
                                      QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    const QString before = State(*pair.a);

    const Probe result = switchTo(*pair.a, QStringLiteral("10.9.0.7"),
                                  QStringLiteral("255.255.255.0"), QStringLiteral("10.9.0.254"),
                                  QStringLiteral("1.1.1.1"), QStringLiteral("8.8.8.8"), prefix);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.values.value(QStringLiteral("ok")), QStringLiteral("0"));
    QVERIFY2(result.values.value(QStringLiteral("error")).contains(reason),
             qPrintable(result.values.value(QStringLiteral("error"))));
    QVERIFY2(result.stdErr.contains(reason.toLocal8Bit()), result.stdErr.constData());
    QCOMPARE(State(*pair.a), before);
}
