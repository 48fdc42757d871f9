#include "common/socketoptions.h"

#ifdef Q_OS_WIN
// winsock2.h must come first: mstcpip.h builds on its types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mstcpip.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace torvane {

#ifdef Q_OS_WIN
void ApplyKeepAlive(qintptr socket, const KeepAlivePolicy& policy) {
    tcp_keepalive settings{};
    settings.onoff = 1;
    settings.keepalivetime = static_cast<ULONG>(policy.idleS) * 1000;
    settings.keepaliveinterval = static_cast<ULONG>(policy.probeIntervalS) * 1000;
    DWORD returned = 0;
    WSAIoctl(static_cast<SOCKET>(socket), SIO_KEEPALIVE_VALS, &settings, sizeof settings, nullptr,
             0, &returned, nullptr, nullptr);
}

void DisableNagle(qintptr socket) {
    const BOOL on = TRUE;
    setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&on), sizeof on);
}
#else
void ApplyKeepAlive(qintptr socket, const KeepAlivePolicy& policy) {
    const int fd = static_cast<int>(socket);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &policy.idleS, sizeof policy.idleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &policy.probeIntervalS,
               sizeof policy.probeIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &policy.probeCount, sizeof policy.probeCount);
#ifdef TCP_USER_TIMEOUT
    if (policy.userTimeoutMs != 0)
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &policy.userTimeoutMs,
                   sizeof policy.userTimeoutMs);
#endif
}

void DisableNagle(qintptr socket) {
    const int on = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}
#endif

} // namespace torvane
