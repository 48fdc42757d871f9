#include "client/adapter/windows/iphelperadapter.h"
#include "client/adapter/windows/switchpipe.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <string>

using namespace torvane;
using namespace torvane::client;

Q_DECLARE_METATYPE(torvane::client::SwitchOutcome)

namespace {

// An address no adapter of a test machine holds (TEST-NET-3).
const AdapterSettings kUnreachableLine{{}, {}, "203.0.113.77", "8.8.8.8", {}};

QString ServiceExecutable() {
    QString path = QStringLiteral(TORVANE_SWITCH_EXE);
    // A path of the build machine: under Wine its root is drive Z:.
    if (!QFile::exists(path) && path.startsWith(QLatin1Char('/')))
        path.prepend(QStringLiteral("Z:"));
    return path;
}

bool PipeExists(const QString& name) {
    return ::WaitNamedPipeW(name.toStdWString().c_str(), 50) ||
           ::GetLastError() == ERROR_SEM_TIMEOUT;
}

} // namespace

// The switching service in its console mode and the Client's backend, talking over the pipe.
// The service reads this machine's real adapters; every request here is one it refuses before
// changing anything, so the test never touches the network.
class TestSwitchPipe : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void refusesWhatIsNoRequest();
    void answersTheClientsSwitch();
    void withoutTheServiceTheSwitchFailsClearly();
    void installsAsAServiceThatAnswersOnItsPipe();

private:
    QString log() const;

    QTemporaryDir m_dir;
    QProcess m_service;
    QString m_pipe;
};

void TestSwitchPipe::initTestCase() {
    QVERIFY(m_dir.isValid());
    m_pipe =
        QStringLiteral("\\\\.\\pipe\\TorvaneSwitchTest%1").arg(QCoreApplication::applicationPid());
    m_service.setProcessChannelMode(QProcess::ForwardedChannels);
    m_service.start(ServiceExecutable(),
                    {QStringLiteral("--console"), QStringLiteral("--pipe"), m_pipe,
                     QStringLiteral("--log"), m_dir.filePath(QStringLiteral("switch.log"))});
    QVERIFY2(m_service.waitForStarted(10000), qPrintable(m_service.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(PipeExists(m_pipe), 10000);
}

void TestSwitchPipe::cleanupTestCase() {
    m_service.kill();
    m_service.waitForFinished(5000);
}

QString TestSwitchPipe::log() const {
    QFile file(m_dir.filePath(QStringLiteral("switch.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestSwitchPipe::refusesWhatIsNoRequest() {
    const QByteArray oversized = EncodeSwitchRequest(kUnreachableLine) + QByteArray(300, '1');
    for (const QByteArray& request :
         {QByteArray("GET / HTTP/1.0\r\n\r\n"), QByteArray(), oversized,
          EncodeSwitchRequest(kUnreachableLine).replace("203.0.113.77", "203.0.113.777")}) {
        const SwitchReply reply = AskSwitchService(m_pipe, request);
        QCOMPARE(reply.failure, SwitchFailure::InvalidSettings);
    }
    QTRY_VERIFY(log().count(QLatin1String("refused a malformed request")) >= 3);
    QVERIFY(log().contains(QLatin1String("refused a switch to gateway 203.0.113.777")));

    // A caller that connects and says nothing is dropped; the next one is still served.
    const std::wstring name = m_pipe.toStdWString();
    QVERIFY(::WaitNamedPipeW(name.c_str(), 10000));
    const HANDLE silent = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    QVERIFY2(silent != INVALID_HANDLE_VALUE, qPrintable(QString::number(::GetLastError())));
    const SwitchReply afterSilence = AskSwitchService(m_pipe, QByteArray("x"), {20000, 20000});
    ::CloseHandle(silent);
    QCOMPARE(afterSilence.failure, SwitchFailure::InvalidSettings);
}

void TestSwitchPipe::answersTheClientsSwitch() {
    IpHelperAdapter adapter(SystemIpHelperApi(), m_pipe);
    QSignalSpy finished(&adapter, &NetworkAdapter::switchFinished);
    adapter.startSwitch(kUnreachableLine);
    QVERIFY(adapter.switchRunning());
    // The window's thread is free while the service works.
    QCOMPARE(finished.size(), 0);
    QVERIFY(finished.wait(20000));
    QVERIFY(!adapter.switchRunning());
    const auto outcome = finished.first().first().value<SwitchOutcome>();
    QVERIFY(!outcome.ok);
    QCOMPARE(outcome.failure, SwitchFailure::GatewayOnNoAdapter);
    QVERIFY2(outcome.errorText.contains(QLatin1String("203.0.113.77")),
             qPrintable(outcome.errorText));
    // The service names the caller's process in its log.
    QTRY_VERIFY(
        log().contains(QStringLiteral("pid %1, pipe").arg(QCoreApplication::applicationPid())));
}

void TestSwitchPipe::withoutTheServiceTheSwitchFailsClearly() {
    IpHelperAdapter adapter(SystemIpHelperApi(), m_pipe + QStringLiteral("Gone"));
    QSignalSpy finished(&adapter, &NetworkAdapter::switchFinished);
    adapter.startSwitch(kUnreachableLine);
    QVERIFY(finished.wait(10000));
    const auto outcome = finished.first().first().value<SwitchOutcome>();
    QCOMPARE(outcome.failure, SwitchFailure::ServiceUnavailable);
    QVERIFY2(outcome.errorText.contains(QLatin1String("not running")),
             qPrintable(outcome.errorText));

    // A pipe that takes the request but never answers: the caller gives up, it does not hang.
    const QString mute = m_pipe + QStringLiteral("Mute");
    HANDLE server = ::CreateNamedPipeW(mute.toStdWString().c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                       1024, 1024, 0, nullptr);
    QVERIFY(server != INVALID_HANDLE_VALUE);
    const SwitchReply reply =
        AskSwitchService(mute, EncodeSwitchRequest(kUnreachableLine), {1000, 300});
    ::CloseHandle(server);
    QCOMPARE(reply.failure, SwitchFailure::ServiceUnavailable);
    QVERIFY2(reply.text.contains(QLatin1String("no answer")), qPrintable(reply.text));
}

void TestSwitchPipe::installsAsAServiceThatAnswersOnItsPipe() {
    const SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager)
        QSKIP("installing a service needs an administrator (Wine's user is one)");
    ::CloseServiceHandle(manager);
    const QString pipe = QString::fromWCharArray(kSwitchPipeName);
    if (PipeExists(pipe))
        QSKIP("a switching service already runs on this machine");

    const auto run = [](const QString& option) {
        QProcess process;
        process.start(ServiceExecutable(), {option});
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
                   ? process.exitCode()
                   : -1;
    };
    QCOMPARE(run(QStringLiteral("--install")), 0);
    // Installed twice (a second copy of the programs) is no error.
    QCOMPARE(run(QStringLiteral("--install")), 0);
    IpHelperAdapter adapter; // the Client's own backend, on the service's own pipe
    QSignalSpy finished(&adapter, &NetworkAdapter::switchFinished);
    adapter.startSwitch(kUnreachableLine);
    const bool answered = finished.wait(20000);
    QCOMPARE(run(QStringLiteral("--uninstall")), 0);
    QVERIFY(answered);
    QCOMPARE(finished.first().first().value<SwitchOutcome>().failure,
             SwitchFailure::GatewayOnNoAdapter);
    QTRY_VERIFY_WITH_TIMEOUT(!PipeExists(pipe), 10000);
    QCOMPARE(run(QStringLiteral("--uninstall")), 0);
}

QTEST_GUILESS_MAIN(TestSwitchPipe)
#include "test_switchpipe.moc"
