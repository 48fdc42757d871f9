// Load benchmark of the Server's connection hub and client list model.
//
// The hub runs in a forked child process with its own event loop (so that its memory can be
// measured alone); the parent is the load generator: N non-blocking client sockets spread over
// several 127.0.0.x source addresses, driven by one epoll set. The two talk over a pair of pipes.
//
// Usage: bench_server_load [N ...]   (default: 1000 10000)

#include "bench/benchsupport.h"
#include "common/gbk.h"
#include "common/protocol.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
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
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::bench;

namespace {

constexpr int kSourceAddresses = 4; // 127.0.0.2 .. 127.0.0.5
constexpr int kMaxInFlight = 2000;  // stays under the listen backlog: no SYN is dropped
constexpr int kRoundTrips = 2000;
const char* const kSwitchGateway = "10.0.0.1";

double NowUs() {
    using namespace std::chrono;
    return duration<double, std::micro>(steady_clock::now().time_since_epoch()).count();
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

double CpuUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

// ---- The server side (child process) -----------------------------------------------------

int RunServer(int commandFd, int replyFd, const QString& lineFile) {
    int argc = 1;
    char name[] = "bench_server_load";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    ConnectionHub hub;
    ClientListModel model(&hub);
    hub.setLineFilePath(lineFile);
    hub.setUpdateEnabled(true);
    QString error;
    if (!hub.listen(0, &error)) {
        qWarning("listen: %s", qPrintable(error));
        return 1;
    }

    std::vector<ConnectionHub::ClientId> ids;
    QObject::connect(&hub, &ConnectionHub::clientConnected, &hub,
                     [&ids](ConnectionHub::ClientId id, const QString&) { ids.push_back(id); });

    // A view repaints once per loop pass however many model signals came before it: count
    // those passes, as a view would.
    std::vector<qint64> repaints;
    QElapsedTimer clock;
    clock.start();
    bool repaintPending = false;
    auto onModelSignal = [&] {
        if (repaintPending)
            return;
        repaintPending = true;
        repaints.push_back(clock.elapsed());
        QTimer::singleShot(0, &model, [&] { repaintPending = false; });
    };
    QObject::connect(&model, &QAbstractItemModel::rowsInserted, &model, onModelSignal);
    QObject::connect(&model, &QAbstractItemModel::rowsRemoved, &model, onModelSignal);
    QObject::connect(&model, &QAbstractItemModel::dataChanged, &model, onModelSignal);
    QObject::connect(&model, &QAbstractItemModel::modelReset, &model, onModelSignal);

    QSocketNotifier commands(commandFd, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        const std::string command = ReadLine(commandFd);
        if (command == "STATS") {
            // Most repaints in any one-second window, and all of them.
            size_t most = 0;
            for (size_t i = 0, j = 0; i < repaints.size(); ++i) {
                while (repaints[i] - repaints[j] >= 1000)
                    ++j;
                most = std::max(most, i - j + 1);
            }
            const struct mallinfo2 heap = mallinfo2();
            WriteLine(replyFd, std::to_string(ResidentKiB()) + " " + std::to_string(heap.uordblks) +
                                   " " + std::to_string(hub.connectionCount()) + " " +
                                   std::to_string(model.rowCount()) + " " +
                                   std::to_string(repaints.size()) + " " + std::to_string(most) +
                                   " " + std::to_string(CpuUs()));
        } else if (command == "SWITCH") {
            const double start = NowUs();
            int sent = 0;
            for (ConnectionHub::ClientId id : ids)
                sent += hub.sendSwitch(id, kSwitchGateway, "192.0.2.1", "192.0.2.2") ? 1 : 0;
            WriteLine(replyFd, std::to_string(sent) + " " + std::to_string(NowUs() - start));
        } else {
            app.quit();
        }
    });
    WriteLine(replyFd, std::to_string(hub.listeningPort()));
    return app.exec();
}

// ---- The load generator (parent process) ------------------------------------------------

struct Client {
    int fd = -1;
    bool connected = false;
    size_t received = 0;
};

class Generator {
public:
    Generator(quint16 port, QByteArray report, size_t updateSize)
        : m_port(port), m_report(std::move(report)), m_updateSize(updateSize) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
    }
    ~Generator() {
        for (Client& client : m_clients) {
            if (client.fd >= 0)
                ::close(client.fd);
        }
        ::close(m_epoll);
    }

    // Connects n clients; each reports as soon as it is connected and is done when its whole
    // update has arrived. Returns false on a socket error.
    bool connectAll(int n) {
        m_clients.resize(static_cast<size_t>(n));
        int next = 0;
        int done = 0;
        int inFlight = 0;
        std::vector<epoll_event> events(1024);
        while (done < n) {
            while (next < n && inFlight < kMaxInFlight) {
                if (!open(next))
                    return false;
                ++next;
                ++inFlight;
            }
            const int count =
                epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 1000);
            if (count == 0) {
                qWarning("stalled at %d of %d", done, n);
                return false;
            }
            for (int i = 0; i < count; ++i) {
                Client& client = m_clients[events[i].data.u32];
                if (!client.connected && (events[i].events & EPOLLOUT)) {
                    int error = 0;
                    socklen_t length = sizeof error;
                    getsockopt(client.fd, SOL_SOCKET, SO_ERROR, &error, &length);
                    if (error != 0) {
                        qWarning("connect: %s", std::strerror(error));
                        return false;
                    }
                    client.connected = true;
                    watch(events[i].data.u32, EPOLLIN, EPOLL_CTL_MOD);
                    if (::send(client.fd, m_report.constData(), m_report.size(), MSG_NOSIGNAL) !=
                        m_report.size())
                        return false;
                    continue;
                }
                const size_t before = client.received;
                if (!drain(client))
                    return false;
                if (before < m_updateSize && client.received >= m_updateSize) {
                    ++done;
                    --inFlight;
                }
            }
        }
        return true;
    }

    // One report, then wait for its whole update: microseconds.
    double roundTrip(size_t index) {
        Client& client = m_clients[index];
        client.received = 0;
        const double start = NowUs();
        if (::send(client.fd, m_report.constData(), m_report.size(), MSG_NOSIGNAL) !=
            m_report.size())
            return -1;
        char buffer[65536];
        while (client.received < m_updateSize) {
            const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
            if (n > 0)
                client.received += static_cast<size_t>(n);
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                return -1;
            else {
                pollfd wait{client.fd, POLLIN, 0}; // sleep like a real Client would
                ::poll(&wait, 1, 1000);
            }
        }
        return NowUs() - start;
    }

    // Waits until every client has `size` more bytes: microseconds from `start`.
    double waitAll(size_t size, double start) {
        for (Client& client : m_clients)
            client.received = 0;
        size_t done = 0;
        std::vector<epoll_event> events(1024);
        while (done < m_clients.size()) {
            const int count =
                epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 2000);
            if (count <= 0)
                return -1;
            for (int i = 0; i < count; ++i) {
                Client& client = m_clients[events[i].data.u32];
                const size_t before = client.received;
                if (!drain(client))
                    return -1;
                if (before < size && client.received >= size)
                    ++done;
            }
        }
        return NowUs() - start;
    }

private:
    bool open(int index) {
        Client& client = m_clients[static_cast<size_t>(index)];
        client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (client.fd < 0) {
            qWarning("socket: %s", std::strerror(errno));
            return false;
        }
        // Each source address has its own ~60k ports; the port is picked at connect.
        const int on = 1;
        setsockopt(client.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = htonl(0x7f000002u + static_cast<quint32>(index % kSourceAddresses));
        if (::bind(client.fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
            qWarning("bind: %s", std::strerror(errno));
            return false;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(m_port);
        if (::connect(client.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS) {
            qWarning("connect: %s", std::strerror(errno));
            return false;
        }
        // On loopback the handshake is usually done when connect returns: report at once and
        // only wait for writability when it is not.
        if (::send(client.fd, m_report.constData(), m_report.size(), MSG_NOSIGNAL) ==
            m_report.size()) {
            client.connected = true;
            watch(static_cast<quint32>(index), EPOLLIN, EPOLL_CTL_ADD);
        } else {
            watch(static_cast<quint32>(index), EPOLLOUT, EPOLL_CTL_ADD);
        }
        return true;
    }

    void watch(quint32 index, quint32 events, int op) {
        epoll_event event{};
        event.events = events;
        event.data.u32 = index;
        epoll_ctl(m_epoll, op, m_clients[index].fd, &event);
    }

    bool drain(Client& client) {
        char buffer[65536];
        while (true) {
            const ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                client.received += static_cast<size_t>(n);
                if (n < static_cast<ssize_t>(sizeof buffer))
                    return true; // drained; level-triggered epoll reports anything later
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                return true;
            qWarning("client connection ended: %s", n == 0 ? "closed" : std::strerror(errno));
            return false;
        }
    }

    quint16 m_port;
    QByteArray m_report;
    size_t m_updateSize;
    int m_epoll = -1;
    std::vector<Client> m_clients;
};

struct Stats {
    long rssKiB = 0;
    long long heapBytes = 0;
    int connections = 0;
    int rows = 0;
    long repaints = 0;
    long mostPerSecond = 0;
    double cpuUs = 0;
};

Stats AskStats(int commandFd, int replyFd) {
    WriteLine(commandFd, "STATS");
    Stats stats;
    std::sscanf(ReadLine(replyFd).c_str(), "%ld %lld %d %d %ld %ld %lf", &stats.rssKiB,
                &stats.heapBytes, &stats.connections, &stats.rows, &stats.repaints,
                &stats.mostPerSecond, &stats.cpuUs);
    return stats;
}

bool RunOnce(int n, const QString& lineFile, size_t fileSize) {
    const auto server = ForkServerChild(
        [&](int commandFd, int replyFd) { return RunServer(commandFd, replyFd, lineFile); });
    if (!server)
        return false;
    const pid_t child = server->pid;
    const int commandFd = server->commandFd;
    const int replyFd = server->replyFd;

    const int port = std::atoi(ReadLine(replyFd).c_str());
    const Stats idle = AskStats(commandFd, replyFd);
    const QByteArray report =
        Protocol::ComposeReport("192.168.0.1", "192.0.2.53", QStringLiteral("电信"), "1");
    const size_t updateSize = Protocol::ComposeLineListUpdate({}).size() + fileSize;
    const size_t switchSize =
        Protocol::ComposeSwitchCommand(kSwitchGateway, "192.0.2.1", "192.0.2.2").size();
    bool ok = true;
    {
        Generator generator(static_cast<quint16>(port), report, updateSize);
        const double start = NowUs();
        const double generatorCpu = CpuUs();
        ok = generator.connectAll(n);
        const double servedUs = NowUs() - start;
        const double generatorCpuUs = CpuUs() - generatorCpu;
        if (ok) {
            usleep(300 * 1000); // let the last batch reach the list
            const Stats full = AskStats(commandFd, replyFd);

            std::vector<double> trips;
            for (int i = 0; i < kRoundTrips && ok; ++i) {
                trips.push_back(generator.roundTrip(static_cast<size_t>(i % n)));
                ok = trips.back() >= 0;
            }
            std::sort(trips.begin(), trips.end());

            const Stats beforeSwitch = AskStats(commandFd, replyFd);
            WriteLine(commandFd, "SWITCH");
            const double fanStart = NowUs();
            const double fanUs = generator.waitAll(switchSize, fanStart);
            const std::string sent = ReadLine(replyFd);
            usleep(300 * 1000);
            const Stats after = AskStats(commandFd, replyFd);

            std::printf("N = %d clients (%d source addresses, at most %d connecting at once)\n", n,
                        kSourceAddresses, kMaxInFlight);
            std::printf("  connected, reported, got a %zu-byte update: %.1f ms "
                        "(CPU: server %.1f ms, load generator %.1f ms)\n",
                        updateSize, servedUs / 1000.0, (full.cpuUs - idle.cpuUs) / 1000.0,
                        generatorCpuUs / 1000.0);
            std::printf("  rows in the list: %d, hub connections: %d\n", full.rows,
                        full.connections);
            if (ok) {
                std::printf("  idle round trip (report -> update), %d samples: p50 %.1f us, "
                            "p99 %.1f us\n",
                            kRoundTrips, trips[trips.size() / 2], trips[trips.size() * 99 / 100]);
            }
            int sentCount = 0;
            double loopUs = 0;
            std::sscanf(sent.c_str(), "%d %lf", &sentCount, &loopUs);
            std::printf("  switch to every client: %.1f ms until all received (server sent %d in "
                        "%.1f ms, server CPU %.1f ms)\n",
                        fanUs / 1000.0, sentCount, loopUs / 1000.0,
                        (after.cpuUs - beforeSwitch.cpuUs) / 1000.0);
            std::printf("  server memory per client: RSS %.0f B, heap in use %.0f B\n",
                        (full.rssKiB - idle.rssKiB) * 1024.0 / n,
                        static_cast<double>(full.heapBytes - idle.heapBytes) / n);
            std::printf("  list repaints: %ld in all, at most %ld in any one second\n",
                        after.repaints, after.mostPerSecond);
            ok = ok && fanUs >= 0;
        }
    }
    WriteLine(commandFd, "QUIT");
    int status = 0;
    waitpid(child, &status, 0);
    ::close(commandFd);
    ::close(replyFd);
    return ok;
}

} // namespace

int main(int argc, char* argv[]) {
    RaiseDescriptorLimit();
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {1000, 10000};

    const BenchLineFile lines;
    if (!lines.ok())
        return 1;
    const QString lineFile = lines.path();
    const QByteArray& file = lines.bytes();

    // A server's line file is normally old: the hub re-reads a file changed in the last two
    // seconds on every update (timestamps are coarse) and keeps a copy of an older one.
    sleep(3);
    bool ok = true;
    for (int n : sizes)
        ok = RunOnce(n, lineFile, static_cast<size_t>(file.size())) && ok;
    return ok ? 0 : 1;
}
