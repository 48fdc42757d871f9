// Idle-socket benchmark of the Server's connection hub: connections that never report, against
// a Server with a 1,024 soft descriptor limit, while real Clients keep arriving.
//
// The Server runs in a forked child (its own descriptor table and limit, a GLib event loop, and
// a thread started every half second, as a name lookup would, so that running out of
// descriptors shows as a dead Server); the parent opens the idle sockets and plays the real
// Clients: connect, report at once, retry every second when turned away, as the Client does.
//
// Two runs: a hard limit above the soft one (the Server raises its limit and holds every idle
// socket), and a hard limit of 1,024 too (the Server keeps its reserve, turns the excess away
// and lets real Clients in once the report deadline has ended the idle ones).
//
// Usage: bench_server_idle [IDLE [CLIENTS [DEADLINE_S]]]   (default: 10000 20 60)

#include "bench/benchsupport.h"
#include "common/gbk.h"
#include "common/protocol.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/descriptorbudget.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QtDebug>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::bench;

namespace {

constexpr rlim_t kSoftLimit = 1024;
constexpr int kSourceAddresses = 4; // 127.0.0.2 .. 127.0.0.5
constexpr int kRetryMs = 1000;      // the Client's reconnect timer

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

// ---- The Server (child process) -----------------------------------------------------------

int RunServer(int commandFd, int replyFd, rlim_t hardLimit, int deadlineMs,
              const QString& lineFile) {
    rlimit limit{kSoftLimit, hardLimit};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        qWarning("setrlimit: %s", std::strerror(errno));
        return 1;
    }
    int argc = 1;
    char name[] = "bench_server_idle";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ConnectionHub hub;
    ClientListModel model(&hub);
    hub.setLineFilePath(lineFile);
    hub.setUpdateEnabled(true);
    hub.setReportDeadline(deadlineMs);
    const qint64 softLimit = RaiseDescriptorLimit(); // as the Server does before listening
    QString error;
    if (!hub.listen(0, &error)) {
        qWarning("listen: %s", qPrintable(error));
        return 1;
    }
    int peak = 0;
    QObject::connect(&hub, &ConnectionHub::clientConnected, &hub,
                     [&] { peak = std::max(peak, hub.connectionCount()); });
    long long failed = 0; // the deadline's, and keepalive or other socket failures
    QObject::connect(&hub, &ConnectionHub::clientFailed, &hub, [&] { ++failed; });
    // A thread with its own event loop needs a wakeup descriptor when it starts.
    int threadsStarted = 0;
    QTimer threads;
    QObject::connect(&threads, &QTimer::timeout, &app, [&] {
        std::unique_ptr<QThread> thread(QThread::create([] {}));
        thread->start();
        thread->wait();
        ++threadsStarted;
    });
    threads.start(500);

    QSocketNotifier commands(commandFd, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        const std::string command = ReadLine(commandFd);
        if (command == "STATS") {
            WriteLine(replyFd, std::to_string(hub.connectionCount()) + " " + std::to_string(peak) +
                                   " " + std::to_string(hub.turnedAwayCount()) + " " +
                                   std::to_string(hub.silentEndedCount()) + " " +
                                   std::to_string(ResidentKiB()) + " " +
                                   std::to_string(threadsStarted) + " " +
                                   std::to_string(softLimit) + " " + std::to_string(failed));
        } else {
            app.quit();
        }
    });
    WriteLine(replyFd, std::to_string(hub.listeningPort()));
    return app.exec();
}

struct Stats {
    int connections = 0;
    int peak = 0;
    long long turnedAway = 0;
    long long silentEnded = 0;
    long rssKiB = 0;
    int threads = 0;
    long long limit = 0;
    long long failed = 0;
};

Stats AskStats(int commandFd, int replyFd) {
    WriteLine(commandFd, "STATS");
    Stats stats;
    std::sscanf(ReadLine(replyFd).c_str(), "%d %d %lld %lld %ld %d %lld %lld", &stats.connections,
                &stats.peak, &stats.turnedAway, &stats.silentEnded, &stats.rssKiB, &stats.threads,
                &stats.limit, &stats.failed);
    return stats;
}

// ---- The load (parent process) ------------------------------------------------------------

int OpenNonBlocking(quint16 port, int index) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7f000002u + static_cast<quint32>(index % kSourceAddresses));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A real Client: connects, reports at once, is served when the whole update has come; turned
// away (closed, refused) it tries again a second later.
struct RealClient {
    int fd = -1;
    bool sent = false;
    bool served = false;
    int attempts = 0;
    double nextTryMs = 0;
    double servedAtMs = 0;
    size_t received = 0;
};

void Drop(RealClient& client, double now) {
    ::close(client.fd);
    client.fd = -1;
    client.sent = false;
    client.received = 0;
    client.nextTryMs = now + kRetryMs;
}

// Runs the real Clients until all are served or the time is up; true when all were.
bool ServeRealClients(std::vector<RealClient>& clients, quint16 port, const QByteArray& report,
                      size_t updateSize, double start, double untilMs) {
    std::vector<pollfd> waits;
    while (NowMs() < untilMs) {
        const double now = NowMs();
        waits.clear();
        bool allServed = true;
        for (size_t i = 0; i < clients.size(); ++i) {
            RealClient& client = clients[i];
            allServed = allServed && client.served;
            if (client.served)
                continue;
            if (client.fd < 0 && now >= client.nextTryMs) {
                client.fd = OpenNonBlocking(port, static_cast<int>(i));
                ++client.attempts;
                if (client.fd < 0)
                    client.nextTryMs = now + kRetryMs;
            }
            if (client.fd >= 0)
                waits.push_back({client.fd, short(client.sent ? POLLIN : POLLOUT), 0});
        }
        if (allServed)
            return true;
        ::poll(waits.data(), waits.size(), 10);
        for (RealClient& client : clients) {
            if (client.fd < 0 || client.served)
                continue;
            if (!client.sent) {
                const ssize_t n =
                    ::send(client.fd, report.constData(), report.size(), MSG_NOSIGNAL);
                if (n == report.size())
                    client.sent = true;
                else if (n < 0 && errno != EAGAIN && errno != ENOTCONN)
                    Drop(client, NowMs());
                continue;
            }
            char buffer[8192];
            const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) {
                client.received += static_cast<size_t>(n);
                if (client.received >= updateSize) {
                    client.served = true;
                    client.servedAtMs = NowMs() - start;
                }
            } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                Drop(client, NowMs());
            }
        }
    }
    return false;
}

// Served Clients whose connection is still open.
int StillConnected(const std::vector<RealClient>& clients) {
    int open = 0;
    for (const RealClient& client : clients) {
        if (client.fd < 0)
            continue;
        char byte = 0;
        const ssize_t n = ::recv(client.fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)))
            ++open;
    }
    return open;
}

bool RunOnce(rlim_t hardLimit, int idle, int realCount, int deadlineS, const QString& lineFile,
             size_t fileSize) {
    const auto server = ForkServerChild([&](int commandFd, int replyFd) {
        return RunServer(commandFd, replyFd, hardLimit, deadlineS * 1000, lineFile);
    });
    if (!server)
        return false;
    const pid_t child = server->pid;
    const int commandFd = server->commandFd;
    const int replyFd = server->replyFd;
    const quint16 port = static_cast<quint16>(std::atoi(ReadLine(replyFd).c_str()));
    if (port == 0) {
        waitpid(child, nullptr, 0);
        return false;
    }
    const Stats idleServer = AskStats(commandFd, replyFd);

    // The idle crowd: connects and never says a word.
    const double crowdStart = NowMs();
    std::vector<int> crowd;
    crowd.reserve(static_cast<size_t>(idle));
    for (int i = 0; i < idle; ++i) {
        const int fd = OpenNonBlocking(port, i);
        if (fd >= 0)
            crowd.push_back(fd);
        if (i % 2000 == 1999)
            usleep(100 * 1000); // stay within the listen backlog
    }
    // Until the Server has taken or turned away every one of them.
    Stats crowded = AskStats(commandFd, replyFd);
    for (int wait = 0; wait < 100 && crowded.connections + crowded.turnedAway < idle; ++wait) {
        usleep(100 * 1000);
        crowded = AskStats(commandFd, replyFd);
    }
    const double crowdMs = NowMs() - crowdStart;

    // Real Clients arrive while the crowd is there.
    const QByteArray report =
        Protocol::ComposeReport("192.168.0.1", "192.0.2.53", QStringLiteral("电信"), "1");
    const size_t updateSize = Protocol::ComposeLineListUpdate({}).size() + fileSize;
    std::vector<RealClient> clients(static_cast<size_t>(realCount));
    const double start = NowMs();
    const bool allServed = ServeRealClients(clients, port, report, updateSize, start,
                                            start + (deadlineS + 30) * 1000.0);
    const Stats whileServed = AskStats(commandFd, replyFd);

    // Past the report deadline of every idle socket: only the real Clients are left.
    const double pastDeadline = crowdStart + (deadlineS + 3) * 1000.0;
    while (NowMs() < pastDeadline)
        usleep(100 * 1000);
    const Stats after = AskStats(commandFd, replyFd);
    const int stillConnected = StillConnected(clients);

    WriteLine(commandFd, "QUIT");
    int status = 0;
    waitpid(child, &status, 0);
    const bool alive = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    for (int fd : crowd)
        ::close(fd);
    for (RealClient& client : clients) {
        if (client.fd >= 0)
            ::close(client.fd);
    }
    ::close(commandFd);
    ::close(replyFd);

    std::vector<double> times;
    int attempts = 0;
    for (const RealClient& client : clients) {
        attempts += client.attempts;
        if (client.served)
            times.push_back(client.servedAtMs);
    }
    std::sort(times.begin(), times.end());
    std::printf("Server soft limit %llu, hard limit %llu (after raising: %lld); %d idle sockets, "
                "%d real Clients, report deadline %d s\n",
                static_cast<unsigned long long>(kSoftLimit),
                static_cast<unsigned long long>(hardLimit), idleServer.limit, idle, realCount,
                deadlineS);
    std::printf("  idle sockets: %d held at most, %lld turned away at once (%.0f ms to take or "
                "turn away all), %lld ended by the deadline, %lld failed before it\n",
                crowded.peak, crowded.turnedAway, crowdMs, after.silentEnded,
                after.failed - after.silentEnded);
    if (!times.empty()) {
        std::printf("  real Clients served: %zu of %d in %d attempts; time to the update: "
                    "first %.0f ms, median %.0f ms, last %.0f ms\n",
                    times.size(), realCount, attempts, times.front(), times[times.size() / 2],
                    times.back());
    } else {
        std::printf("  real Clients served: none of %d in %d attempts\n", realCount, attempts);
    }
    std::printf("  held while the Clients were served: %d; after the deadline: %d (real Clients "
                "still connected: %d)\n",
                whileServed.connections, after.connections, stillConnected);
    std::printf("  Server: resident %ld KiB with the crowd (%ld KiB idle), %d threads started "
                "meanwhile, %s\n",
                crowded.rssKiB, idleServer.rssKiB, after.threads,
                alive ? "alive at the end" : "DIED");
    return allServed && alive;
}

} // namespace

int main(int argc, char* argv[]) {
    const int idle = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int realCount = argc > 2 ? std::atoi(argv[2]) : 20;
    const int deadlineS = argc > 3 ? std::atoi(argv[3]) : 60;

    // The load itself needs a descriptor per idle socket.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < rlim_t(idle + realCount + 64)) {
        qWarning("this process may open only %llu descriptors; %d idle sockets need more",
                 static_cast<unsigned long long>(limit.rlim_cur), idle);
        return 1;
    }

    const BenchLineFile lines;
    if (!lines.ok())
        return 1;
    const QString lineFile = lines.path();
    const QByteArray& file = lines.bytes();

    const rlim_t raised =
        std::max<rlim_t>(limit.rlim_max == RLIM_INFINITY ? 65536 : limit.rlim_max, kSoftLimit);
    bool ok = RunOnce(raised, idle, realCount, deadlineS, lineFile, file.size());
    ok = RunOnce(kSoftLimit, idle, realCount, deadlineS, lineFile, file.size()) && ok;
    return ok ? 0 : 1;
}
