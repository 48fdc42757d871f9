// The Server's connection hub with N Clients on loopback, portable (Windows under Wine too): a
// load thread opens N sockets in waves of 500, each sends a report asking for the list and reads
// its update; then the hub sends a switch command to every Client and the thread reads
// them all. Prints the times and the process's memory before and after.
//
// Usage: bench_hub_clients [N]   (default 5000)

#include "common/gbk.h"
#include "common/protocol.h"
#include "server/connectionhub.h"
#include "server/hubsocket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#ifdef Q_OS_WIN
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h.
#include <psapi.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace torvane;
using namespace torvane::server;

namespace {
using Descriptor = hubsocket::Descriptor;
constexpr int kWave = 500; // well inside the listen backlog

double MemoryMiB() {
#ifdef Q_OS_WIN
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return double(counters.WorkingSetSize) / (1024.0 * 1024.0);
    return -1;
#else
    long pages = 0;
    long resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
#endif
}

Descriptor ConnectBlocking(quint16 port) {
#ifdef Q_OS_WIN
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return hubsocket::kInvalid;
#else
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return hubsocket::kInvalid;
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        hubsocket::Close(Descriptor(s));
        return hubsocket::kInvalid;
    }
    return Descriptor(s);
}

// Reads exactly `size` bytes (blocking socket); false when the connection ends first.
bool ReadExactly(Descriptor s, qint64 size) {
    char buffer[4096];
    while (size > 0) {
        hubsocket::Error error = hubsocket::Error::None;
        const qint64 n =
            hubsocket::Receive(s, buffer, std::min<qint64>(size, sizeof buffer), &error);
        if (n <= 0)
            return false;
        size -= n;
    }
    return true;
}

bool SendAll(Descriptor s, const QByteArray& bytes) {
    hubsocket::Error error = hubsocket::Error::None;
    return hubsocket::Send(s, bytes.constData(), bytes.size(), &error) == bytes.size();
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const int clients = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    hubsocket::Initialize();

    QTemporaryDir dir;
    QByteArray lines;
    for (int i = 1; i <= 20; ++i)
        lines += ToGbk(QString::fromUtf8("线路%1;;;10.0.%1.1;192.0.2.%1;;").arg(i)) + "\r\n";
    const QString lineFile = dir.filePath(QStringLiteral("MainConfig.dat"));
    {
        QFile out(lineFile);
        if (!out.open(QIODevice::WriteOnly) || out.write(lines) != lines.size())
            return 1;
    }

    ConnectionHub hub;
    QString errorText;
    if (!hub.listen(0, &errorText)) {
        std::printf("cannot listen: %s\n", qPrintable(errorText));
        return 1;
    }
    hub.setLineFilePath(lineFile);
    hub.setUpdateEnabled(true);
    const double memoryBefore = MemoryMiB();
    std::printf("hub backend %s, %d Clients, memory before %.1f MiB\n",
                qPrintable(hub.backendName()), clients, memoryBefore);
    std::fflush(stdout);

    const QByteArray report =
        Protocol::ComposeReport(QStringLiteral("10.0.1.1"), QStringLiteral("192.0.2.1"),
                                QString::fromUtf8("线路1"), QStringLiteral("1"));
    const qint64 updateSize = Protocol::ComposeLineListUpdate(lines).size();
    const qint64 switchSize = Protocol::ComposeSwitchCommand(QStringLiteral("10.0.2.1"),
                                                             QStringLiteral("192.0.2.2"), QString())
                                  .size();

    std::vector<Descriptor> sockets;
    std::atomic<int> connected{0};
    std::atomic<int> switched{0};
    std::atomic<bool> failed{false};
    std::atomic<bool> switchSent{false};
    QElapsedTimer clock;
    clock.start();
    std::thread load([&] {
        // In waves, as workstations arriving together would: connect and report a wave, then
        // read its updates.
        for (int first = 0; first < clients && !failed; first += kWave) {
            const int last = std::min(clients, first + kWave);
            for (int i = first; i < last; ++i) {
                const Descriptor s = ConnectBlocking(hub.listeningPort());
                if (s == hubsocket::kInvalid || !SendAll(s, report)) {
                    std::printf("client %d failed to connect or report\n", i);
                    failed = true;
                    break;
                }
                sockets.push_back(s);
            }
            for (int i = first; i < last && !failed; ++i) {
                if (!ReadExactly(sockets[size_t(i)], updateSize)) {
                    std::printf("client %d got no update\n", i);
                    failed = true;
                }
                ++connected;
            }
        }
        while (!switchSent && !failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (Descriptor s : sockets) {
            if (!ReadExactly(s, switchSize)) {
                failed = true;
                break;
            }
            ++switched;
        }
    });

    double connectMs = 0;
    double switchMs = 0;
    double memoryConnected = 0;
    QTimer watch;
    watch.setInterval(5);
    QObject::connect(&watch, &QTimer::timeout, &app, [&] {
        if (failed) {
            app.exit(1);
            return;
        }
        if (!switchSent && connected == clients && hub.connectionCount() == clients) {
            connectMs = double(clock.nsecsElapsed()) / 1e6;
            memoryConnected = MemoryMiB();
            clock.restart();
            for (ConnectionHub::ClientId id = 1; id <= ConnectionHub::ClientId(clients); ++id)
                hub.sendSwitch(id, QStringLiteral("10.0.2.1"), QStringLiteral("192.0.2.2"),
                               QString());
            switchSent = true;
        }
        if (switchSent && switched == clients) {
            switchMs = double(clock.nsecsElapsed()) / 1e6;
            app.exit(0);
        }
    });
    watch.start();
    const int status = app.exec();
    load.join();
    for (Descriptor s : sockets)
        hubsocket::Close(s);
    if (status != 0) {
        std::printf("failed after %d connected, %d switched\n", int(connected), int(switched));
        return status;
    }
    std::printf("connect, report and update of %d Clients in waves of %d: %.0f ms (%.2f ms "
                "each)\n",
                clients, kWave, connectMs, connectMs / clients);
    std::printf("switch command to all %d: %.0f ms\n", clients, switchMs);
    std::printf("memory with %d connected: %.1f MiB (%.1f KiB per Client, both ends in one "
                "process)\n",
                clients, memoryConnected, (memoryConnected - memoryBefore) * 1024.0 / clients);
    return 0;
}
