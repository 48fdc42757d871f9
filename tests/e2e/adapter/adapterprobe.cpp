#include "tests/e2e/adapter/adapterprobe.h"

#include "client/adapter/linux/netlinkadapter.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

using namespace torvane;
using namespace torvane::client;

namespace {

bool SameFile(const char* a, const char* b) {
    struct stat sa {
    }, sb{};
    return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void Print(const char* key, const QString& value) {
    std::printf("%s=%s\n", key, value.toLocal8Bit().constData());
}

} // namespace

int RunAdapterProbe(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const QByteArray ns = argv[2];
    // Never touch the machine's own network or resolver: only run inside the test namespace,
    // with its resolver file mounted over /etc/resolv.conf.
    if (!SameFile("/proc/self/ns/net", ("/run/netns/" + ns).constData()) ||
        !SameFile("/etc/resolv.conf", ("/etc/netns/" + ns + "/resolv.conf").constData())) {
        std::fprintf(stderr, "probe: not inside namespace %s, refusing\n", ns.constData());
        return 3;
    }
    // A switch may name another resolver file (inside the namespace's private mounts).
    NetlinkAdapter adapter(argc == 10 ? QString::fromLocal8Bit(argv[9])
                                      : QStringLiteral("/etc/resolv.conf"));
    if (std::strcmp(argv[3], "inspect") == 0) {
        const NetworkParams params = adapter.inspect();
        Print("error", QString::number(ErrorNumber(params.outcome)));
        Print("host", params.hostName);
        Print("dns", params.dnsServers.join(QLatin1Char(',')));
        Print("adapter", params.adapterName);
        Print("ip", params.localIp);
        Print("mask", params.subnetMask);
        Print("gateway", params.gateway);
        return 0;
    }
    if (std::strcmp(argv[3], "switch") == 0 && (argc == 9 || argc == 10)) {
        AdapterSettings settings;
        settings.localIp = QString::fromLocal8Bit(argv[4]);
        settings.subnetMask = QString::fromLocal8Bit(argv[5]);
        settings.gateway = QString::fromLocal8Bit(argv[6]);
        settings.primaryDns = QString::fromLocal8Bit(argv[7]);
        settings.secondaryDns = QString::fromLocal8Bit(argv[8]);
        const SwitchOutcome outcome = adapter.switchNow(settings);
        Print("ok", outcome.ok ? QStringLiteral("1") : QStringLiteral("0"));
        Print("error", outcome.errorText);
        Print("adapters", outcome.adapters.join(QLatin1Char(',')));
        std::fflush(stdout);
        return 0;
    }
    return 2;
}
