// Health benchmark of the Server's secure port: N keyed Clients that shake hands, report once and
// then send a health result every 5 s, against the secure hub, the client list, the health
// monitor and the per-line view, as the Server runs them.
//
// The Server side runs in a forked child with its own event loop, so that its CPU time and memory
// are its own; the parent simulates the Clients with the real session code over non-blocking
// loopback sockets in one epoll loop. The two talk over a pair of pipes.
//
// Usage: build/bench/bench_server_health [N [SECONDS]]   (default: 1000 Clients, 60 s measured)

#include "bench/benchsupport.h"
#include "common/gbk.h"
#include "common/linehealth.h"
#include "common/protocol.h"
#include "common/securesession.h"
#include "server/clientlistmodel.h"
#include "server/connectionhub.h"
#include "server/linehealthmonitor.h"
#include "server/lineloadmodel.h"
#include "server/linetablecontroller.h"
#include "server/securehub.h"
#include "server/switchtracker.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QtDebug>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
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

constexpr int kHealthIntervalMs = 5000;
constexpr int kMaxHandshaking = 32; // the listener's backlog is Qt's default, 50
constexpr int kUnhealthyPercent = 10;
const QString kTypedKey = QStringLiteral("bench site key");

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double CpuUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// ---- The Server side (child process) -----------------------------------------------------

int RunServer(int commandFd, int replyFd, const QString& lineFile) {
    int argc = 1;
    char name[] = "bench_server_health";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    // One warning per dropped peer would be measured too; the figures say what matters.
    QLoggingCategory::setFilterRules(QStringLiteral("torvane.*.info=false"));

    ConnectionHub hub;
    ClientListModel clients(&hub);
    SecureHub secure;
    secure.setSiteKey(SiteKeyFromText(kTypedKey));
    secure.setLineFilePath(lineFile);
    clients.attachSecureHub(&secure);
    SwitchTracker tracker(&hub);
    tracker.attachSecureHub(&secure);
    clients.setSwitchTracker(&tracker);
    LineTableController lines(lineFile, &hub);
    lines.load();
    LineHealthMonitor health(&lines);
    health.attach(&secure);
    LineLoadModel load(&lines, &clients);
    load.setHealth(&health, nullptr);
    long results = 0;
    QObject::connect(&secure, &SecureHub::healthReported, &secure,
                     [&results](ConnectionHub::ClientId, const HealthReport&) { ++results; });
    if (!secure.listen(0)) {
        qWarning("cannot listen");
        return 1;
    }

    QSocketNotifier commands(commandFd, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        const std::string command = ReadLine(commandFd);
        if (command == "STATS") {
            load.recount();
            int failing = 0;
            for (int k = 0; k < lines.menuNames().size(); ++k)
                failing += health.isFailing(k) ? 1 : 0;
            WriteLine(replyFd, std::to_string(ResidentKiB()) + " " + std::to_string(CpuUs()) + " " +
                                   std::to_string(secure.connectionCount()) + " " +
                                   std::to_string(health.resultCount()) + " " +
                                   std::to_string(results) + " " + std::to_string(failing));
        } else {
            app.quit();
        }
    });
    WriteLine(replyFd, std::to_string(secure.listeningPort()));
    return app.exec();
}

struct Stats {
    long rssKiB = 0;
    double cpuUs = 0;
    int connections = 0;
    int results = 0;
    long received = 0;
    int failingLines = 0;
};

Stats AskStats(int commandFd, int replyFd) {
    WriteLine(commandFd, "STATS");
    Stats stats;
    std::sscanf(ReadLine(replyFd).c_str(), "%ld %lf %d %d %ld %d", &stats.rssKiB, &stats.cpuUs,
                &stats.connections, &stats.results, &stats.received, &stats.failingLines);
    return stats;
}

// ---- The Clients (parent process) --------------------------------------------------------

struct Client {
    int fd = -1;
    std::unique_ptr<SecureSession> session;
    QByteArray out; // what the socket did not take yet
    bool open = false;
    int line = 1; // 1..20, as in the bench's line file
    double nextHealthMs = 0;
};

class Clients {
public:
    Clients(quint16 port, int n) : m_port(port), m_clients(static_cast<size_t>(n)) {
        m_epoll = epoll_create1(EPOLL_CLOEXEC);
        m_key = SiteKeyFromText(kTypedKey);
    }
    ~Clients() {
        for (Client& client : m_clients) {
            if (client.fd >= 0)
                ::close(client.fd);
        }
        ::close(m_epoll);
    }

    // Every Client connected, through the handshake and its report; false when one failed.
    bool openAll(double deadlineMs) {
        size_t next = 0;
        while (m_opened < m_clients.size()) {
            while (next < m_clients.size() && next - m_opened < kMaxHandshaking) {
                if (!connectOne(next))
                    return false;
                ++next;
            }
            if (!pump(10) || NowMs() > deadlineMs)
                return false;
        }
        return true;
    }

    // Health every 5 s per Client, each at its own phase, until the time is up.
    bool run(double untilMs) {
        while (NowMs() < untilMs) {
            const double now = NowMs();
            for (size_t i = 0; i < m_clients.size(); ++i) {
                Client& client = m_clients[i];
                if (client.open && client.nextHealthMs <= now) {
                    sendHealth(i);
                    client.nextHealthMs += kHealthIntervalMs;
                }
            }
            if (!pump(5))
                return false;
        }
        return true;
    }
    long healthSent() const { return m_healthSent; }

private:
    bool connectOne(size_t i) {
        Client& client = m_clients[i];
        client.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (client.fd < 0)
            return false;
        const int one = 1;
        setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(m_port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(client.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 &&
            errno != EINPROGRESS)
            return false;
        client.session = std::make_unique<SecureSession>(SecureSession::Role::Client, m_key);
        client.line = static_cast<int>(i % 20) + 1;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u64 = i;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, client.fd, &event);
        send(i, client.session->start());
        return true;
    }

    void send(size_t i, const QByteArray& bytes) {
        Client& client = m_clients[i];
        client.out += bytes;
        while (!client.out.isEmpty()) {
            const ssize_t n = ::send(client.fd, client.out.constData(),
                                     static_cast<size_t>(client.out.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break; // EAGAIN, or not connected yet: EPOLLOUT brings us back
            client.out.remove(0, n);
        }
    }

    void sendHealth(size_t i) {
        Client& client = m_clients[i];
        const bool healthy = m_random() % 100 >= kUnhealthyPercent;
        const HealthReport health{QStringLiteral("线路%1").arg(client.line),
                                  QStringLiteral("10.0.%1.1").arg(client.line),
                                  QStringLiteral("192.0.2.%1").arg(client.line),
                                  healthy,
                                  healthy,
                                  healthy ? 5 + static_cast<int>(m_random() % 75) : 2000};
        send(i, client.session->seal(SecureFrame::Type::HealthReport, EncodeHealthReport(health)));
        ++m_healthSent;
    }

    bool pump(int timeoutMs) {
        epoll_event events[256];
        const int n = epoll_wait(m_epoll, events, 256, timeoutMs);
        for (int k = 0; k < n; ++k) {
            const size_t i = events[k].data.u64;
            Client& client = m_clients[i];
            if (events[k].events & (EPOLLERR | EPOLLHUP)) {
                qWarning("client %zu dropped", i);
                return false;
            }
            if (events[k].events & EPOLLOUT)
                send(i, {});
            if (!(events[k].events & EPOLLIN))
                continue;
            char buffer[4096];
            const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
            if (got == 0) {
                qWarning("client %zu closed by the Server", i);
                return false;
            }
            if (got < 0)
                continue;
            const SecureSession::Result result =
                client.session->receive(QByteArray(buffer, static_cast<int>(got)));
            if (!result.error.isEmpty())
                return false;
            send(i, result.toSend);
            if (result.opened) {
                client.open = true;
                ++m_opened;
                // Stop asking for EPOLLOUT: writes are tried at once, the queue is rare.
                epoll_event event{};
                event.events = EPOLLIN;
                event.data.u64 = i;
                epoll_ctl(m_epoll, EPOLL_CTL_MOD, client.fd, &event);
                const QString line = QStringLiteral("线路%1").arg(client.line);
                send(i, client.session->seal(
                            SecureFrame::Type::Report,
                            Protocol::ComposeReport(QStringLiteral("10.0.%1.1").arg(client.line),
                                                    QStringLiteral("192.0.2.%1").arg(client.line),
                                                    line, QStringLiteral("0"))));
                client.nextHealthMs = NowMs() + m_random() % kHealthIntervalMs;
            }
        }
        return true;
    }

    quint16 m_port;
    std::vector<Client> m_clients;
    QByteArray m_key;
    int m_epoll = -1;
    size_t m_opened = 0;
    long m_healthSent = 0;
    std::mt19937 m_random{15};
};

bool Run(int n, int seconds, const QString& lineFile) {
    const auto server = ForkServerChild(
        [&](int commandFd, int replyFd) { return RunServer(commandFd, replyFd, lineFile); });
    if (!server)
        return false;
    const pid_t child = server->pid;
    const int commandFd = server->commandFd;
    const int replyFd = server->replyFd;
    const int port = std::atoi(ReadLine(replyFd).c_str());
    bool ok = port > 0;
    if (ok) {
        const Stats idle = AskStats(commandFd, replyFd);
        Clients clients(static_cast<quint16>(port), n);
        const double start = NowMs();
        ok = clients.openAll(start + 120000);
        const double openedMs = NowMs() - start;
        // One full interval so that every Client has sent a first result.
        ok = ok && clients.run(NowMs() + kHealthIntervalMs + 500);
        const Stats warm = AskStats(commandFd, replyFd);
        const long sentBefore = clients.healthSent();
        const double runStart = NowMs();
        ok = ok && clients.run(runStart + seconds * 1000.0);
        const double runMs = NowMs() - runStart;
        const Stats end = AskStats(commandFd, replyFd);
        if (ok) {
            const double minutes = runMs / 60000.0;
            std::printf("N = %d keyed Clients, a health result every %d s each, %.0f s measured\n",
                        n, kHealthIntervalMs / 1000, runMs / 1000.0);
            std::printf("  handshake + report of all: %.0f ms (server CPU %.1f ms, %.1f us per "
                        "Client)\n",
                        openedMs, (warm.cpuUs - idle.cpuUs) / 1000.0,
                        (warm.cpuUs - idle.cpuUs) / n);
            std::printf("  server connections %d, current results %d, lines failing %d\n",
                        end.connections, end.results, end.failingLines);
            std::printf("  health results: sent %ld, received %ld (%.0f per second)\n",
                        clients.healthSent() - sentBefore, end.received - warm.received,
                        (end.received - warm.received) / (runMs / 1000.0));
            std::printf("  server CPU: %.1f ms per minute in all, %.3f ms per Client per minute "
                        "(%.1f us per result)\n",
                        (end.cpuUs - warm.cpuUs) / 1000.0 / minutes,
                        (end.cpuUs - warm.cpuUs) / 1000.0 / minutes / n,
                        (end.cpuUs - warm.cpuUs) /
                            std::max<double>(1, double(end.received - warm.received)));
            std::printf("  server memory per Client: %.1f KiB (resident %ld KiB idle, %ld KiB "
                        "with the Clients)\n",
                        double(end.rssKiB - idle.rssKiB) / n, idle.rssKiB, end.rssKiB);
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
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 60;
    if (n <= 0 || seconds <= 0) {
        qWarning("usage: bench_server_health [N [SECONDS]]");
        return 2;
    }
    const BenchLineFile lines;
    if (!lines.ok())
        return 1;
    const bool ok = Run(n, seconds, lines.path());
    if (!ok)
        qWarning("bench_server_health: the run failed");
    return ok ? 0 : 1;
}
