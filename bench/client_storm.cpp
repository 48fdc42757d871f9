// Switch storm against the Client's core, in a network and mount namespace of its own (root).
//
// Usage: bench_client_storm [COMMANDS [INTERVAL_US]]   (defaults: 2000 commands, one per 1000 us)
//
// The process moves into new network and mount namespaces, so nothing it does reaches the
// machine: an adapter "eth0" 10.9.0.2/24 (one end of a veth pair) with a default route via
// 10.9.0.1, and resolver
// files in a temporary folder. The Client's controller runs with the real netlink backend; a
// thread plays the server and sends COMMANDS switch commands, alternating between two lines,
// one every INTERVAL_US. Two series: the resolver file replaced by a rename (a workstation), and
// rewritten in place (a bind mount, as inside `ip netns exec`).
//
// Printed per series: commands sent and how fast the Client absorbed them, switches applied and
// default-route changes made, reports sent, the longest stall of the controller's event loop
// (a 1 ms timer on it), and how a reader beside the storm saw the resolver file.

#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/linux/resolverfile.h"
#include "client/clientcontroller.h"
#include "client/fakeautostart.h"
#include "common/gbk.h"
#include "common/regstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace torvane;
using namespace torvane::client;

namespace {

struct Line {
    const char* name;
    const char* gateway;
    const char* primaryDns;
    const char* secondaryDns;
};
// Two lines whose resolver texts differ in length, so an in-place rewrite grows and shrinks.
// Each command ends with an address that cannot grow ("…54", "…154"), so the Client takes it
// as soon as it arrives instead of waiting for the next one or for quiet on the line.
constexpr Line kLines[2] = {{"甲", "10.9.0.1", "10.9.0.53", "10.9.0.54"},
                            {"乙", "10.9.0.254", "10.9.0.153", "10.9.0.154"}};

bool Run(const char* command) {
    if (std::system(command) == 0)
        return true;
    std::fprintf(stderr, "client_storm: \"%s\" failed\n", command);
    return false;
}

bool EnterNamespaces() {
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) {
        std::fprintf(stderr, "client_storm: unshare: %s (run as root)\n", std::strerror(errno));
        return false;
    }
    // Mounts made from here on stay in this process's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "client_storm: private mounts: %s\n", std::strerror(errno));
        return false;
    }
    return Run("ip link set lo up") && Run("ip link add eth0 type veth peer name peer0") &&
           Run("ip addr add 10.9.0.2/24 dev eth0") && Run("ip link set peer0 up") &&
           Run("ip link set eth0 up") && Run("ip route add default via 10.9.0.1 dev eth0");
}

// Counts the default-route changes of the main table while it runs.
class RouteMonitor {
public:
    RouteMonitor() {
        m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_IPV4_ROUTE;
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            std::fprintf(stderr, "client_storm: route monitor: %s\n", std::strerror(errno));
        m_thread = std::thread([this] { loop(); });
    }
    ~RouteMonitor() {
        m_stop = true;
        m_thread.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int changes() const { return m_changes; }

private:
    void loop() {
        alignas(nlmsghdr) char buffer[32768];
        while (!m_stop) {
            pollfd pfd{m_fd, POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            int length = int(n);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
                 header = NLMSG_NEXT(header, length)) {
                if (header->nlmsg_type != RTM_NEWROUTE && header->nlmsg_type != RTM_DELROUTE)
                    continue;
                const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(header));
                if (route->rtm_dst_len == 0 && route->rtm_table == RT_TABLE_MAIN)
                    ++m_changes;
            }
        }
    }

    int m_fd = -1;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_changes = 0;
    std::thread m_thread;
};

// Reads the resolver file to its end, as the resolver library does, while the storm runs.
class ResolverReader {
public:
    ResolverReader(const QString& path, const QList<QByteArray>& whole)
        : m_path(QFile::encodeName(path)), m_whole(whole) {
        m_thread = std::thread([this] { loop(); });
    }
    ~ResolverReader() { stop(); }
    void stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    int reads() const { return m_reads; }
    int padded() const { return m_padded; }
    int torn() const { return m_torn; }

private:
    void loop() {
        char buffer[4096];
        while (!m_stop) {
            QByteArray content;
            const int fd = ::open(m_path.constData(), O_RDONLY | O_CLOEXEC);
            ssize_t n = 0;
            while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
                content.append(buffer, n);
            if (fd >= 0)
                ::close(fd);
            ++m_reads;
            if (m_whole.contains(content))
                continue;
            while (content.endsWith("\n\n"))
                content.chop(1);
            ++(m_whole.contains(content) ? m_padded : m_torn);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }

    QByteArray m_path;
    QList<QByteArray> m_whole;
    std::atomic<bool> m_stop = false;
    std::atomic<int> m_reads = 0, m_padded = 0, m_torn = 0;
    std::thread m_thread;
};

QByteArray Command(int i) {
    const Line& line = kLines[i % 2];
    return ToGbk(QStringLiteral("切换%1;%2;%3")
                     .arg(QLatin1String(line.gateway), QLatin1String(line.primaryDns),
                          QLatin1String(line.secondaryDns)));
}

QByteArray Report(int i) {
    const Line& line = kLines[i % 2];
    return ToGbk(QStringLiteral("计算机信息%1; %2;%3;0")
                     .arg(QLatin1String(line.gateway), QLatin1String(line.primaryDns),
                          QString::fromUtf8(line.name)));
}

// The server's side: accepts the Client, waits for its first report, sends the storm and reads
// reports until the one for the last command arrives.
struct ServerResult {
    bool ok = false;
    double sendSeconds = 0;
    double absorbSeconds = 0;
    int reports = 0;
    int gatewayChanges = 0; // reports whose gateway differs from the one before
};

ServerResult PlayServer(int listener, int commands, int intervalUs) {
    ServerResult result;
    const int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
        return result;
    const int one = 1;
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    QByteArray received;
    const QByteArray reportWord = ToGbk(QStringLiteral("计算机信息"));
    const auto drain = [&](int waitMs) {
        pollfd pfd{conn, POLLIN, 0};
        char buffer[65536];
        while (::poll(&pfd, 1, waitMs) > 0) {
            const ssize_t n = ::recv(conn, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return;
            received.append(buffer, n);
            waitMs = 0;
        }
    };
    const auto start = std::chrono::steady_clock::now();
    while (!received.contains(reportWord) &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
        drain(100);
    received.clear();

    const auto first = std::chrono::steady_clock::now();
    for (int i = 0; i < commands; ++i) {
        const QByteArray command = Command(i);
        if (::send(conn, command.constData(), size_t(command.size()), MSG_NOSIGNAL) !=
            command.size())
            break;
        std::this_thread::sleep_for(std::chrono::microseconds(intervalUs));
        drain(0);
    }
    const auto sent = std::chrono::steady_clock::now();
    const QByteArray last = Report(commands - 1);
    while (!received.endsWith(last) &&
           std::chrono::steady_clock::now() - sent < std::chrono::seconds(30))
        drain(100);
    const auto done = std::chrono::steady_clock::now();
    ::close(conn);
    result.ok = received.endsWith(last);
    result.sendSeconds = std::chrono::duration<double>(sent - first).count();
    result.absorbSeconds = std::chrono::duration<double>(done - first).count();
    result.reports = int(received.count(reportWord));
    QByteArray previous = kLines[0].gateway;
    for (const QByteArray& report : received.split(reportWord.at(0))) {
        const QByteArray gateway = report.mid(reportWord.size() - 1).split(';').value(0);
        if (gateway.isEmpty() || gateway == previous)
            continue;
        ++result.gatewayChanges;
        previous = gateway;
    }
    return result;
}

bool RunSeries(const QString& title, bool inPlace, int commands, int intervalUs) {
    QTemporaryDir dir;
    const QString resolver = dir.filePath(QStringLiteral("resolv.conf"));
    const QByteArray initial = "search lan\nnameserver 10.9.0.53\nnameserver 10.9.0.54\n";
    {
        QFile file(resolver);
        if (!file.open(QIODevice::WriteOnly) || file.write(initial) != initial.size())
            return false;
    }
    // A file mounted over itself cannot be renamed over: the in-place path, as in a namespace.
    const QByteArray resolverPath = QFile::encodeName(resolver);
    if (inPlace && ::mount(resolverPath.constData(), resolverPath.constData(), nullptr, MS_BIND,
                           nullptr) != 0) {
        std::fprintf(stderr, "client_storm: bind mount: %s\n", std::strerror(errno));
        return false;
    }

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) ||
        ::listen(listener, 4) ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length))
        return false;

    // The Client's own files: its settings (no list updates asked for) and its line list.
    const QString key = QString::fromLatin1(kSettingsKey);
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("FwqIp"), QStringLiteral("127.0.0.1"));
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("FwqDk"),
                   QString::number(ntohs(address.sin_port)));
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("GengXin"), QStringLiteral("0"));
    {
        QFile lines(dir.filePath(QStringLiteral("MainConfig.dat")));
        lines.open(QIODevice::WriteOnly);
        for (const Line& line : kLines)
            lines.write(
                ToGbk(QStringLiteral("%1;;;%2;%3;%4;\r\n")
                          .arg(QString::fromUtf8(line.name), QLatin1String(line.gateway),
                               QLatin1String(line.primaryDns), QLatin1String(line.secondaryDns))));
    }

    ClientControllerOptions options;
    options.useInstanceGuard = false;
    options.adapter = std::make_unique<NetlinkAdapter>(resolver);
    options.autostart = std::make_unique<FakeAutostart>();
    options.programDir = dir.path();
    ClientController controller(std::move(options));
    int switches = 0;
    int failed = 0;
    QObject::connect(&controller, &ClientController::switchFinished, [&](bool ok) {
        ++switches;
        failed += ok ? 0 : 1;
    });

    // The event loop's pulse: a 1 ms timer whose longest gap is the longest stall.
    QElapsedTimer clock;
    qint64 lastTick = -1;
    qint64 longestGap = 0;
    QTimer pulse;
    pulse.setTimerType(Qt::PreciseTimer);
    pulse.setInterval(1);
    QObject::connect(&pulse, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        if (lastTick >= 0)
            longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });

    const QList<QByteArray> whole{
        initial,
        ResolverFile::ReplaceNameservers(
            initial, {QStringLiteral("10.9.0.53"), QStringLiteral("10.9.0.54")}),
        ResolverFile::ReplaceNameservers(
            initial, {QStringLiteral("10.9.0.153"), QStringLiteral("10.9.0.154")})};
    RouteMonitor routes;
    std::atomic<bool> serverDone = false;
    ServerResult server;
    std::thread serverThread([&] {
        server = PlayServer(listener, commands, intervalUs);
        serverDone = true;
    });
    ResolverReader reader(resolver, whole);

    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (serverDone && !controller.switchRunning())
            loop.quit();
    });
    watch.start(20);
    clock.start();
    pulse.start();
    if (!controller.start())
        return false;
    loop.exec();
    pulse.stop();
    serverThread.join();
    reader.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last route notices
    controller.shutdown();
    ::close(listener);
    if (inPlace)
        ::umount2(resolverPath.constData(), MNT_DETACH);

    std::printf("client_storm: %d switch commands, one every %d us, resolver file %s\n", commands,
                intervalUs, qPrintable(title));
    if (!server.ok) {
        std::printf("  the report for the last command never came (%d switches, %d reports; the "
                    "Client shows gateway %s)\n",
                    switches, server.reports, qPrintable(controller.adapterSnapshot().gateway));
        return false;
    }
    std::printf("  commands sent in %.2f s; the last one's report came %.2f s after the first "
                "command: %.0f commands/s absorbed\n",
                server.sendSeconds, server.absorbSeconds, commands / server.absorbSeconds);
    std::printf("  switches applied: %d (%d failed); default-route changes: %d; reports: %d, "
                "%d of them with a new gateway\n",
                switches, failed, routes.changes(), server.reports, server.gatewayChanges);
    std::printf("  longest event-loop stall: %.1f ms (timer every 1 ms)\n", longestGap / 1e6);
    std::printf("  resolver file read %d times beside the storm: %d whole, %d whole with blank "
                "lines at the end, %d torn\n",
                reader.reads(), reader.reads() - reader.padded() - reader.torn(), reader.padded(),
                reader.torn());
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // Before any thread exists: namespaces are per thread until then.
    if (!EnterNamespaces())
        return 1;
    // The settings store of this run only.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("torvane.*.info=false\n"
                                                    "torvane.*.debug=false"));
    const int commands = argc > 1 ? std::max(2, std::atoi(argv[1])) : 2000;
    const int intervalUs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 1000;
    bool ok = RunSeries(QStringLiteral("replaced by a rename"), false, commands, intervalUs);
    ok = RunSeries(QStringLiteral("rewritten in place (bind mount)"), true, commands, intervalUs) &&
         ok;
    return ok ? 0 : 1;
}
