// Prints every Client report that reaches this network namespace, one line per report:
//   source-address TAB gateway TAB primary DNS TAB line name TAB update flag
// The demo runs it on the admin host so that its tables show the line each workstation
// reports, read off the wire exactly as the Server receives it. Needs CAP_NET_RAW.
#include "common/protocol.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace torvane;

namespace {

// Tabs or line breaks inside a field would break the one-line format of the output.
QByteArray Clean(const QString& text) {
    QString out = text;
    out.replace(QLatin1Char('\t'), QLatin1Char(' '));
    out.replace(QLatin1Char('\r'), QLatin1Char(' '));
    out.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return out.toUtf8();
}

} // namespace

int main(int argc, char* argv[]) {
    const int port = argc > 1 ? std::atoi(argv[1]) : 15200;
    // SOCK_DGRAM: the kernel strips the link header, so every frame starts with its IP header.
    const int fd = socket(AF_PACKET, SOCK_DGRAM, htons(ETH_P_IP));
    if (fd < 0) {
        std::fprintf(stderr, "reportwatch: packet socket: %s\n", std::strerror(errno));
        return 1;
    }
    unsigned char frame[65536];
    for (;;) {
        sockaddr_ll from{};
        socklen_t fromLength = sizeof from;
        const ssize_t length =
            recvfrom(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (length < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "reportwatch: receive: %s\n", std::strerror(errno));
            return 1;
        }
        // Loopback frames are seen twice (out and in); keep what arrives.
        if (from.sll_pkttype == PACKET_OUTGOING || length < 20)
            continue;
        const int ipHeader = (frame[0] & 0x0f) * 4;
        const int ipLength = (frame[2] << 8) | frame[3];
        if ((frame[0] >> 4) != 4 || frame[9] != IPPROTO_TCP || ipHeader < 20 || ipLength > length ||
            ipLength < ipHeader + 20)
            continue;
        const unsigned char* tcp = frame + ipHeader;
        const int destinationPort = (tcp[2] << 8) | tcp[3];
        const int tcpHeader = (tcp[12] >> 4) * 4;
        if (destinationPort != port || tcpHeader < 20 || ipHeader + tcpHeader > ipLength)
            continue;
        const QByteArray payload(reinterpret_cast<const char*>(tcp + tcpHeader),
                                 ipLength - ipHeader - tcpHeader);
        const auto report = Protocol::SplitReport(payload);
        if (!report)
            continue;
        char source[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, frame + 12, source, sizeof source);
        std::printf("%s\t%s\t%s\t%s\t%s\n", source, Clean(report->gateway).constData(),
                    Clean(report->primaryDns.trimmed()).constData(),
                    Clean(report->lineName).constData(), Clean(report->updateFlag).constData());
        std::fflush(stdout);
    }
}
