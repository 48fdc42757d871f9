// The Windows platform layer for real (under Wine in CI): the settings key and its value types,
// the Run value, the named mutexes, code page 936, and the hub's poll thread on loopback.
#include "client/runkeyautostart.h"
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/linefilelocation.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "common/singleinstance.h"
#include "server/connectionhub.h"
#include "server/hubeventbackend.h"
#include "server/hubsocket.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

#include <winsock2.h>

#include <windows.h>

using namespace torvane;
using namespace torvane::client;
using namespace torvane::server;

namespace {
// A value read straight from the registry: its type and text, or type REG_NONE when missing.
struct RawValue {
    DWORD type = REG_NONE;
    QString text;
};

RawValue ReadRaw(HKEY root, const QString& key, const QString& name) {
    RawValue value;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof buffer;
    DWORD type = REG_NONE;
    if (RegGetValueW(root, reinterpret_cast<LPCWSTR>(key.utf16()),
                     reinterpret_cast<LPCWSTR>(name.utf16()), RRF_RT_ANY | RRF_NOEXPAND, &type,
                     buffer, &size) != ERROR_SUCCESS)
        return value;
    value.type = type;
    if (type == REG_SZ)
        value.text = QString::fromWCharArray(buffer);
    return value;
}

bool MutexExists(const QString& name) {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, reinterpret_cast<LPCWSTR>(name.utf16()));
    if (!mutex)
        return false;
    CloseHandle(mutex);
    return true;
}

const QString kMorlisk = QStringLiteral("SoftWare\\Morlisk");
} // namespace

class TestWindowsPlatform : public QObject {
    Q_OBJECT

private slots:
    void init() { QVERIFY(ClearRegStore(RegRoot::CurrentUser, kSettingsKey)); }

    void settingsAreTextValuesOfTheKeyItself() {
        // HKEY_CURRENT_USER\SoftWare\Morlisk exactly: no organisation subkey, values as REG_SZ.
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqDk", "15200"));
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "FwqIp",
                               QString::fromUtf8("192.168.0.1")));
        const RawValue port = ReadRaw(HKEY_CURRENT_USER, kMorlisk, "FwqDk");
        QCOMPARE(port.type, DWORD(REG_SZ));
        QCOMPARE(port.text, QStringLiteral("15200"));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "FwqIp"),
                 QStringLiteral("192.168.0.1"));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, kMorlisk + "\\OrganizationDefaults", "FwqDk").type,
                 DWORD(REG_NONE));

        // Chinese text stays text; a value of another type (set by hand) reads as empty.
        const QString name = QString::fromUtf8("电信 线路");
        QVERIFY(WriteRegString(RegRoot::CurrentUser, kSettingsKey, "Name", name));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, kMorlisk, "Name").text, name);
        const DWORD number = 1;
        QCOMPARE(RegSetKeyValueW(HKEY_CURRENT_USER, L"SoftWare\\Morlisk", L"Qd", REG_DWORD, &number,
                                 sizeof number),
                 LSTATUS(ERROR_SUCCESS));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "Qd"), QString());

        QVERIFY(DeleteRegValue(RegRoot::CurrentUser, kSettingsKey, "FwqDk"));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, kMorlisk, "FwqDk").type, DWORD(REG_NONE));
        QCOMPARE(ReadRegString(RegRoot::CurrentUser, kSettingsKey, "FwqIp"),
                 QStringLiteral("192.168.0.1"));
        QVERIFY(ClearRegStore(RegRoot::CurrentUser, kSettingsKey));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, kMorlisk, "FwqIp").type, DWORD(REG_NONE));
    }

    void runValueHoldsTheProgramPathAndGoesAgain() {
        // The real key (Wine runs as an administrator), then a key nobody may write.
        RunKeyAutostart autostart;
        QCOMPARE(autostart.key(),
                 QStringLiteral(
                     "HKEY_LOCAL_MACHINE\\SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run"));
        autostart.enable(QStringLiteral("C:/Program Files/Torvane/Client.exe"));
        const QString run = QStringLiteral("SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run");
        const RawValue value = ReadRaw(HKEY_LOCAL_MACHINE, run, "NetWorkDns");
        QCOMPARE(value.type, DWORD(REG_SZ));
        QCOMPARE(value.text, QStringLiteral("C:\\Program Files\\Torvane\\Client.exe"));
        autostart.disable();
        QCOMPARE(ReadRaw(HKEY_LOCAL_MACHINE, run, "NetWorkDns").type, DWORD(REG_NONE));
        autostart.disable(); // nothing there: silent

        // Neither key can be opened for writing: nothing is written, nothing is thrown.
        const QString closed = QStringLiteral("HKEY_LOCAL_MACHINE\\\\Torvane\\Run");
        RunKeyAutostart nowhere(closed, closed);
        nowhere.enable(QStringLiteral("C:/Torvane/Client.exe"));
        nowhere.disable();
    }

    void aUserWhoMayNotWriteTheMachinesKeyStartsWithTheirOwn() {
        const QString userRun = QStringLiteral("SoftWare\\Torvane\\TestRun");
        const QString userKey = QStringLiteral("HKEY_CURRENT_USER\\") + userRun;
        const QString machineRun = QStringLiteral("SoftWare\\Torvane\\TestRun");
        const QString machineKey = QStringLiteral("HKEY_LOCAL_MACHINE\\") + machineRun;
        const auto clean = qScopeGuard([&] {
            RegDeleteKeyW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(userRun.utf16()));
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(machineRun.utf16()));
        });
        RunKeyAutostart user(QStringLiteral("HKEY_LOCAL_MACHINE\\\\Torvane\\Run"), userKey);
        user.enable(QStringLiteral("C:/Torvane/Client.exe"));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, userRun, "NetWorkDns").text,
                 QStringLiteral("C:\\Torvane\\Client.exe"));
        user.disable();
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, userRun, "NetWorkDns").type, DWORD(REG_NONE));

        // Where the machine's key may be written, that entry replaces the user's own: one start
        // at sign-in, not two; disabling removes whichever is there.
        user.enable(QStringLiteral("C:/Torvane/Client.exe"));
        RunKeyAutostart machine(machineKey, userKey);
        machine.enable(QStringLiteral("C:/Torvane/Client.exe"));
        QCOMPARE(ReadRaw(HKEY_LOCAL_MACHINE, machineRun, "NetWorkDns").type, DWORD(REG_SZ));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, userRun, "NetWorkDns").type, DWORD(REG_NONE));
        user.enable(QStringLiteral("C:/Torvane/Client.exe"));
        machine.disable();
        QCOMPARE(ReadRaw(HKEY_LOCAL_MACHINE, machineRun, "NetWorkDns").type, DWORD(REG_NONE));
        QCOMPARE(ReadRaw(HKEY_CURRENT_USER, userRun, "NetWorkDns").type, DWORD(REG_NONE));
    }

    void installerNamesTheDataFolderUnderTheMachinesKey() {
        // The installer keeps the program folder closed and names a data folder in HKLM.
        const QString key = QStringLiteral("SOFTWARE\\Torvane\\TorvaneTest");
        const auto setFolder = [&](const QString& folder) {
            QCOMPARE(RegSetKeyValueW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(key.utf16()),
                                     L"DataFolder", REG_SZ, folder.utf16(),
                                     DWORD((folder.size() + 1) * sizeof(wchar_t))),
                     LONG(ERROR_SUCCESS));
        };
        const auto removeKey = qScopeGuard(
            [&] { RegDeleteKeyW(HKEY_LOCAL_MACHINE, reinterpret_cast<LPCWSTR>(key.utf16())); });
        QTemporaryDir program, data;
        const QString beside = LineFilePath(program.path());
        QCOMPARE(InstalledLineFilePath(program.path(), "TorvaneTest"), beside); // no key

        setFolder(QDir::toNativeSeparators(data.path()));
        const QString installed = InstalledLineFilePath(program.path(), "TorvaneTest");
        QCOMPARE(installed, LineFilePath(data.path()));
        QVERIFY(SaveLineFile(installed, QStringLiteral("a;;;1.1.1.1;2.2.2.2;;\r\n")).ok());
        QVERIFY(QFileInfo::exists(installed));
        QVERIFY(!QFileInfo::exists(beside));

        // A relative folder would depend on the working folder: ignored, as an empty one.
        for (const QString& odd : {QStringLiteral("Torvane\\Client"), QString()}) {
            setFolder(odd);
            QCOMPARE(InstalledLineFilePath(program.path(), "TorvaneTest"), beside);
        }
    }

    void namedMutexDecidesTheRunningCopy() {
        const QString name = QStringLiteral("Torvane客");
        QVERIFY(!MutexExists(name));
        {
            SingleInstanceGuard first(name);
            QVERIFY(first.tryAcquire());
            QVERIFY(MutexExists(name));
            SingleInstanceGuard second(name);
            QVERIFY(!second.tryAcquire());
            // The Server's own name is another program: both may run.
            SingleInstanceGuard server(QStringLiteral("Torvane服"));
            QVERIFY(server.tryAcquire());

            // The second copy's knock reaches the first (its balloon).
            QSignalSpy knocked(&first, &SingleInstanceGuard::secondInstanceStarted);
            second.notifyPrimary();
            QTRY_COMPARE(knocked.size(), 1);
        }
        QVERIFY(!MutexExists(name));
        SingleInstanceGuard later(name);
        QVERIFY(later.tryAcquire());
    }

    void gbkIsCodePage936() {
        const QString text = QString::fromUtf8("电信;网通 A1");
        const QByteArray bytes = ToGbk(text);
        QCOMPARE(bytes, QByteArray("\xB5\xE7\xD0\xC5;\xCD\xF8\xCD\xA8 A1"));
        QCOMPARE(FromGbk(bytes), text);
        QCOMPARE(ToGbk(QString()), QByteArray());
        QCOMPARE(FromGbk(QByteArray()), QString());
        // What GBK cannot hold becomes '?'; broken bytes decode to something, never a crash.
        QCOMPARE(ToGbk(QString::fromUtf8("a😀b")).front(), 'a');
        QVERIFY(ToGbk(QString::fromUtf8("a😀b")).contains('?'));
        QVERIFY(!FromGbk(QByteArray("\xB5", 1)).isEmpty());
        QCOMPARE(FromGbk(QByteArray("x\0y", 3)).size(), 3);
    }

    void pollThreadBackendReportsLevelTriggered() {
        // The seam on loopback connections: ready again while unread, write interest, unwatch.
        auto backend = CreateHubEventBackend(HubBackendKind::Default);
        QVERIFY(backend && backend->isValid());
        QCOMPARE(backend->name(), QStringLiteral("pollthread"));
        // Raw sockets of the hub's own socket layer: no Qt notifier reads behind its back.
        hubsocket::Error error = hubsocket::Error::None;
        QString errorText;
        const qintptr listener = hubsocket::Listen(0, 16, &error, &errorText);
        QVERIFY2(listener != hubsocket::kInvalid, qPrintable(errorText));
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        std::vector<qintptr> fds;
        for (int i = 0; i < 3; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            clients.back()->connectToHost(QHostAddress::LocalHost, hubsocket::LocalPort(listener));
            QVERIFY(clients.back()->waitForConnected(5000));
            qintptr fd = hubsocket::kInvalid;
            QString peer;
            QVERIFY(QTest::qWaitFor(
                [&] {
                    fd = hubsocket::Accept(listener, &peer, &error);
                    return fd != hubsocket::kInvalid;
                },
                5000));
            QCOMPARE(peer, QStringLiteral("127.0.0.1"));
            fds.push_back(fd);
            QVERIFY(backend->watch(fd, HubEventBackend::WantRead));
        }
        char byte = 0;
        QCOMPARE(hubsocket::Receive(fds[0], &byte, 1, &error), qint64(-1));
        QCOMPARE(error, hubsocket::Error::WouldBlock); // non-blocking, nothing there yet
        QVERIFY(!backend->watch(fds[0], HubEventBackend::WantRead)); // already watched
        QVERIFY(!backend->change(12345, HubEventBackend::WantRead)); // never watched
        HubEventBackend::Event events[8];
        QTest::qWait(50);
        QCOMPARE(backend->collect(events, 8), 0);

        QSignalSpy ready(backend.get(), &HubEventBackend::ready);
        for (auto& client : clients) {
            client->write("x");
            QVERIFY(client->waitForBytesWritten(2000));
        }
        QSet<qintptr> seen;
        QVERIFY(QTest::qWaitFor(
            [&] {
                const int n = backend->collect(events, 2);
                for (int i = 0; i < n; ++i) {
                    if (events[i].readiness & HubEventBackend::Readable)
                        seen.insert(events[i].descriptor);
                }
                return seen.size() == 3;
            },
            5000));
        QVERIFY(!ready.isEmpty());

        backend->unwatch(fds[2]);
        QVERIFY(backend->change(fds[1], 0));
        QVERIFY(backend->change(fds[0], HubEventBackend::WantWrite));
        QVERIFY(QTest::qWaitFor(
            [&] {
                const int n = backend->collect(events, 8);
                return n == 1 && events[0].descriptor == fds[0] &&
                       events[0].readiness == HubEventBackend::Writable;
            },
            5000));
        for (qintptr fd : fds) {
            backend->unwatch(fd);
            hubsocket::Close(fd);
        }
        hubsocket::Close(listener);
    }

    void pollThreadSeesANewSocketAfterUnwatchesInARow() {
        // What the hub does when it drops every Client and listens again: unwatches in a row,
        // each ending the thread's wait, then a new socket that is ready at once. Were one of
        // those wake-ups lost, the thread would go on waiting on its old set and never look at
        // the new socket. Idle sockets: UDP on loopback with nothing to read.
        auto backend = CreateHubEventBackend(HubBackendKind::Default);
        QVERIFY(backend && backend->isValid());
        const auto udp = [] {
            const SOCKET socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            int length = sizeof address;
            ::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
            ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
            ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address);
            return static_cast<qintptr>(socket);
        };
        HubEventBackend::Event events[8];
        for (int round = 0; round < 30; ++round) {
            qintptr idle[3];
            for (qintptr& socket : idle) {
                socket = udp();
                QVERIFY(backend->watch(socket, HubEventBackend::WantRead));
            }
            QTest::qWait(5); // the thread waits on them
            for (qintptr socket : idle) {
                backend->unwatch(socket);
                hubsocket::Close(socket);
            }
            const qintptr fresh = udp();
            QCOMPARE(::send(SOCKET(fresh), "x", 1, 0), 1);
            QVERIFY(backend->watch(fresh, HubEventBackend::WantRead));
            const bool seen = QTest::qWaitFor(
                [&] {
                    const int n = backend->collect(events, 8);
                    return n == 1 && events[0].descriptor == fresh;
                },
                2000);
            backend->unwatch(fresh);
            hubsocket::Close(fresh);
            QVERIFY2(seen, qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    void hubServesManyClientsOnThePollThread() {
        // Reports from many loopback Clients each fill their row and get the update at once.
        QTemporaryDir dir;
        const QString file = dir.filePath("MainConfig.dat");
        const QByteArray lines = ToGbk(QString::fromUtf8("电信;;;10.0.0.1;10.0.0.53;;")) + "\r\n";
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(lines);
        }
        ConnectionHub hub;
        QCOMPARE(hub.backendName(), QStringLiteral("pollthread"));
        QString error;
        QVERIFY2(hub.listen(0, &error), qPrintable(error));
        hub.setLineFilePath(file);
        hub.setUpdateEnabled(true);
        QSignalSpy reported(&hub, &ConnectionHub::clientReported);
        QSignalSpy closed(&hub, &ConnectionHub::clientClosed);

        constexpr int kClients = 200;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        std::vector<QByteArray> received(kClients);
        for (int i = 0; i < kClients; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QTcpSocket* raw = socket.get();
            connect(raw, &QTcpSocket::readyRead, raw,
                    [raw, &received, i] { received[size_t(i)] += raw->readAll(); });
            connect(raw, &QTcpSocket::connected, raw, [raw, i] {
                raw->write(Protocol::ComposeReport(
                    QStringLiteral("10.0.0.1"), QStringLiteral("10.0.0.53"),
                    QString::fromUtf8("电信%1").arg(i), QStringLiteral("1")));
            });
            raw->connectToHost(QHostAddress::LocalHost, hub.listeningPort());
            clients.push_back(std::move(socket));
        }
        QTRY_COMPARE_WITH_TIMEOUT(reported.size(), kClients, 30000);
        QCOMPARE(hub.connectionCount(), kClients);
        const QByteArray update = Protocol::ComposeLineListUpdate(lines);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(received.begin(), received.end(),
                                             [&](const QByteArray& got) { return got == update; }),
                                 30000);
        for (auto& client : clients)
            client->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(closed.size(), kClients, 30000);
        QCOMPARE(hub.connectionCount(), 0);
    }

    void listenerIsExclusive() {
        // Another program cannot take the Server's port while it listens.
        ConnectionHub first;
        QVERIFY(first.listen(0));
        ConnectionHub second;
        QString error;
        QVERIFY(!second.listen(first.listeningPort(), &error));
        QCOMPARE(error, QStringLiteral("端口已被占用"));
    }
};

QTEST_GUILESS_MAIN(TestWindowsPlatform)
#include "test_windowsplatform.moc"
