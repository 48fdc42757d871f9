// Bulk switch benchmark: the Server's real window (offscreen) in a forked child, N simulated
// Clients in the parent that answer a switch command with a matching report. The administrator
// moves every workstation of line 1 to line 2; measured: the time from the command until every
// row is confirmed, the Server's CPU for it, and the window's longest event-loop stall meanwhile.
//
// Usage: bench_server_bulk [N ...]   (default: 1000 10000)

#include "bench/benchsupport.h"
#include "common/gbk.h"
#include "common/protocol.h"
#include "server/clientlistmodel.h"
#include "server/frmain.h"
#include "server/lineloadmodel.h"
#include "server/servercontroller.h"
#include "server/switchtracker.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace torvane;
using namespace torvane::server;
using namespace torvane::bench;

namespace {

constexpr int kSourceAddresses = 4;
constexpr int kStallTickMs = 2;

double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// ---- The Server (child process) -----------------------------------------------------------

int RunServer(int commandFd, int replyFd, const QString& programDir, quint16 port) {
    const QByteArray config = programDir.toLocal8Bit() + "/config";
    ::mkdir(config.constData(), 0700);
    ::setenv("XDG_CONFIG_HOME", config.constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    FILE* settings = std::fopen((config + "/Morlisk.conf").constData(), "w");
    std::fprintf(settings, "[General]\nFwqDk=%u\nGengXin=0\nQiQiu=0\n", port);
    std::fclose(settings);

    int argc = 1;
    char name[] = "bench_server_bulk";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    FrMainOptions options;
    options.singleInstance = false;
    options.programDirectory = programDir;
    options.messageHook = [](const QString&, const QString& text, QMessageBox::Icon) {
        qWarning("Server: %s", qPrintable(text));
    };
    FrMain window(options);
    if (!window.start() || !window.lastListenSucceeded())
        return 1;
    SwitchTracker* tracker = window.serverController()->switchTracker();

    // The longest gap between two ticks of a short timer is the longest time the window could
    // not paint or react.
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longestStall = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestStall = std::max(longestStall, now - lastTick - kStallTickMs);
        lastTick = now;
    });

    double bulkStartMs = 0;
    double bulkCpuMs = 0;
    QObject::connect(tracker, &SwitchTracker::summaryChanged, &app,
                     [&](const SwitchTracker::Summary& summary) {
                         if (bulkStartMs == 0 || summary.pending > 0)
                             return;
                         ticker.stop();
                         WriteLine(replyFd, std::to_string(clock.elapsed() - bulkStartMs) + " " +
                                                std::to_string(CpuMs() - bulkCpuMs) + " " +
                                                std::to_string(longestStall) + " " +
                                                std::to_string(summary.confirmed) + " " +
                                                std::to_string(summary.failed));
                         bulkStartMs = 0;
                     });

    QSocketNotifier commands(commandFd, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        const std::string command = ReadLine(commandFd);
        if (command == "ROWS") {
            // Rows that have reported line 1.
            window.clientModel()->flush();
            window.lineLoad()->recount();
            WriteLine(replyFd, std::to_string(window.lineLoad()->countOf(0)));
        } else if (command == "MOVE") {
            window.lineLoad()->recount();
            lastTick = clock.elapsed();
            longestStall = 0;
            ticker.start(kStallTickMs);
            bulkStartMs = std::max<double>(1, clock.elapsed());
            bulkCpuMs = CpuMs();
            window.moveLine(0, 1);
        } else {
            app.quit();
        }
    });
    WriteLine(replyFd, "ready");
    return app.exec();
}

// ---- The simulated Clients (parent process) -----------------------------------------------

class Workstations {
public:
    Workstations() { m_epoll = epoll_create1(EPOLL_CLOEXEC); }
    ~Workstations() {
        for (int fd : m_fds)
            ::close(fd);
        ::close(m_epoll);
    }

    bool connectAll(int n, quint16 port, const QByteArray& report) {
        for (int i = 0; i < n; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int on = 1;
            setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            from.sin_addr.s_addr = htonl(0x7f000002u + static_cast<quint32>(i % kSourceAddresses));
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(port);
            if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
                ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
                ::send(fd, report.constData(), report.size(), MSG_NOSIGNAL) != report.size()) {
                std::fprintf(stderr, "client %d: %s\n", i, std::strerror(errno));
                return false;
            }
            fcntl(fd, F_SETFL, O_NONBLOCK);
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = static_cast<quint32>(m_fds.size());
            epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
            m_fds.push_back(fd);
        }
        return true;
    }

    // Answers every switch command with the report of the new line, until `done` says so.
    int answerSwitches(const QByteArray& answer, int replyFd) {
        int answered = 0;
        std::vector<epoll_event> events(1024);
        while (true) {
            pollfd done{replyFd, POLLIN, 0};
            if (::poll(&done, 1, 0) > 0)
                return answered;
            const int count = epoll_wait(m_epoll, events.data(), int(events.size()), 100);
            for (int i = 0; i < count; ++i) {
                char buffer[4096];
                const int fd = m_fds[events[i].data.u32];
                while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
                }
                if (::send(fd, answer.constData(), answer.size(), MSG_NOSIGNAL) == answer.size())
                    ++answered;
            }
        }
    }

private:
    int m_epoll = -1;
    std::vector<int> m_fds;
};

quint16 FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

bool RunOnce(int n, const QString& programDir) {
    const quint16 port = FreePort();
    const auto server = ForkServerChild([&](int commandFd, int replyFd) {
        return RunServer(commandFd, replyFd, programDir, port);
    });
    if (!server)
        return false;
    const pid_t child = server->pid;
    const int commandFd = server->commandFd;
    const int replyFd = server->replyFd;
    bool ok = ReadLine(replyFd) == "ready";
    {
        Workstations clients;
        // Line 1 of the bench's list, then line 2 after the command.
        const QByteArray onLine1 =
            Protocol::ComposeReport("10.0.1.1", "192.0.2.1", QStringLiteral("线路1"), "0");
        const QByteArray onLine2 =
            Protocol::ComposeReport("10.0.2.1", "192.0.2.2", QStringLiteral("线路2"), "0");
        ok = ok && clients.connectAll(n, port, onLine1);
        for (int tries = 0; ok && tries < 600; ++tries) {
            WriteLine(commandFd, "ROWS");
            if (std::atoi(ReadLine(replyFd).c_str()) == n)
                break;
            usleep(100 * 1000);
        }
        if (ok) {
            WriteLine(commandFd, "MOVE");
            const int answered = clients.answerSwitches(onLine2, replyFd);
            double ms = 0, cpu = 0;
            long stall = 0;
            int confirmed = 0, failed = 0;
            std::sscanf(ReadLine(replyFd).c_str(), "%lf %lf %ld %d %d", &ms, &cpu, &stall,
                        &confirmed, &failed);
            std::printf("N = %d workstations on line 1, all moved to line 2 from the window\n", n);
            std::printf("  every row confirmed after %.0f ms (%d confirmed, %d failed, %d "
                        "answers)\n",
                        ms, confirmed, failed, answered);
            std::printf("  Server CPU for it: %.0f ms; longest event-loop stall: %ld ms\n", cpu,
                        stall);
            ok = confirmed == n && failed == 0;
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
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::atoi(argv[i]));
    if (sizes.empty())
        sizes = {1000, 10000};
    const BenchLineFile lines;
    if (!lines.ok())
        return 1;
    const QString programDir = QFileInfo(lines.path()).absolutePath();
    bool ok = true;
    for (int n : sizes)
        ok = RunOnce(n, programDir) && ok;
    return ok ? 0 : 1;
}
