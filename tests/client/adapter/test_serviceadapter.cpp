#include "client/adapter/linux/rtnlwatcher.h"
#include "client/adapter/linux/serviceadapter.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace torvane;
using namespace torvane::client;

// The switching service backend without a bus: how a call's end becomes the outcome the window
// shows, which resolver file it reads, and the watcher that tells it to look again.
class TestServiceAdapter : public QObject {
    Q_OBJECT
private slots:
    void callEndsBecomeOutcomes_data();
    void callEndsBecomeOutcomes();
    void resolvedStubIsReadThroughItsUpstreamList();
    void replacedResolverFileIsNoticed();
    void unreachableServiceFailsWithoutHanging();
};

void TestServiceAdapter::callEndsBecomeOutcomes_data() {
    QTest::addColumn<QString>("errorName");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("failure");

    QTest::newRow("switched") << QString()
                              << EncodeSwitchReply({SwitchFailure::None, QStringLiteral("eth0")})
                              << true << int(SwitchFailure::None);
    QTest::newRow("polkit said no")
        << QString() << EncodeSwitchReply({SwitchFailure::NoPermission, QStringLiteral("no")})
        << false << int(SwitchFailure::NoPermission);
    QTest::newRow("rate limited") << QString()
                                  << EncodeSwitchReply(
                                         {SwitchFailure::RateLimited, QStringLiteral("too many")})
                                  << false << int(SwitchFailure::RateLimited);
    QTest::newRow("the service's own check")
        << QString()
        << EncodeSwitchReply({SwitchFailure::GatewayOnNoAdapter, QStringLiteral("no subnet")})
        << false << int(SwitchFailure::GatewayOnNoAdapter);
    QTest::newRow("a reply of another shape")
        << QString() << QByteArray("OK\n") << false << int(SwitchFailure::ServiceUnavailable);
    QTest::newRow("an empty reply")
        << QString() << QByteArray() << false << int(SwitchFailure::ServiceUnavailable);
    QTest::newRow("not installed")
        << QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") << QByteArray() << false
        << int(SwitchFailure::ServiceUnavailable);
    QTest::newRow("no answer") << QStringLiteral("org.freedesktop.DBus.Error.NoReply")
                               << QByteArray() << false << int(SwitchFailure::ServiceUnavailable);
    QTest::newRow("the bus refused the call")
        << QStringLiteral("org.freedesktop.DBus.Error.AccessDenied") << QByteArray() << false
        << int(SwitchFailure::NoPermission);
}

void TestServiceAdapter::callEndsBecomeOutcomes() {
    QFETCH(QString, errorName);
    QFETCH(QByteArray, reply);
    QFETCH(bool, ok);
    QFETCH(int, failure);
    const SwitchOutcome outcome =
        ServiceAdapter::OutcomeOfCall(errorName, QStringLiteral("detail"), reply);
    QCOMPARE(outcome.ok, ok);
    QCOMPARE(int(outcome.failure), failure);
    // A failure always says why, for the log; a success has nothing to say.
    QCOMPARE(outcome.errorText.isEmpty(), ok);
}

void TestServiceAdapter::resolvedStubIsReadThroughItsUpstreamList() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString resolved = dir.filePath("resolve");
    QVERIFY(QDir().mkpath(resolved));
    const auto write = [](const QString& path, const QByteArray& text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    QVERIFY(write(resolved + "/stub-resolv.conf", "nameserver 127.0.0.53\n"));
    const QString system = dir.filePath("resolv.conf");

    // A plain file is the truth, whatever resolved keeps elsewhere.
    QVERIFY(write(system, "nameserver 10.1.1.1\n"));
    QCOMPARE(ServiceAdapter::InspectionResolverPath(system, resolved), system);
    QVERIFY(QFile::remove(system));

    // The stub without resolved's upstream list: keep the file (it still names something).
    QVERIFY(QFile::link(resolved + "/stub-resolv.conf", system));
    QCOMPARE(ServiceAdapter::InspectionResolverPath(system, resolved), system);

    QVERIFY(write(resolved + "/resolv.conf", "nameserver 10.77.9.3\n"));
    QCOMPARE(ServiceAdapter::InspectionResolverPath(system, resolved),
             QFileInfo(resolved + "/resolv.conf").canonicalFilePath());

    // A link elsewhere (another manager's file) is read as it is.
    QVERIFY(QFile::remove(system));
    QVERIFY(write(dir.filePath("other.conf"), "nameserver 10.2.2.2\n"));
    QVERIFY(QFile::link(dir.filePath("other.conf"), system));
    QCOMPARE(ServiceAdapter::InspectionResolverPath(system, resolved), system);
}

void TestServiceAdapter::replacedResolverFileIsNoticed() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("resolv.conf");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("nameserver 10.1.1.1\n");
    file.close();

    RtnlWatcher watcher;
    watcher.watchFile(path);
    QSignalSpy changed(&watcher, &RtnlWatcher::changed);

    // The way resolver managers write it: a new file renamed over the old one, twice, so the
    // second rename hits a file the watcher had to pick up again.
    for (const char* text : {"nameserver 10.2.2.2\n", "nameserver 10.3.3.3\n"}) {
        changed.clear();
        QFile next(dir.filePath("resolv.conf.new"));
        QVERIFY(next.open(QIODevice::WriteOnly));
        next.write(text);
        next.close();
        QVERIFY(::rename(QFile::encodeName(next.fileName()).constData(),
                         QFile::encodeName(path).constData()) == 0);
        QVERIFY(changed.wait(5000));
    }
    // Written in place.
    changed.clear();
    QVERIFY(file.open(QIODevice::Append));
    file.write("nameserver 10.4.4.4\n");
    file.close();
    QVERIFY(changed.wait(5000));
}

void TestServiceAdapter::unreachableServiceFailsWithoutHanging() {
    // A bus on which nobody owns the service's name: a peer-less private connection.
    const QDBusConnection nowhere = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=/nonexistent/bus"), QStringLiteral("nowhere"));
    ServiceAdapter adapter(nowhere, QStringLiteral("/nonexistent/resolv.conf"));
    QSignalSpy finished(&adapter, &NetworkAdapter::switchFinished);
    adapter.startSwitch({"", "", "10.77.0.254", "10.77.9.3", ""});
    QVERIFY(finished.wait(5000));
    const SwitchOutcome outcome = finished.first().first().value<SwitchOutcome>();
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.failure, SwitchFailure::ServiceUnavailable);
    QVERIFY(!adapter.switchRunning());
}

QTEST_GUILESS_MAIN(TestServiceAdapter)
#include "test_serviceadapter.moc"
