#include "client/gatewayping.h"

#include "client/clientlogging.h"

#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_WIN
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
// clang-format on
#include <QThread>

#include <array>
#include <atomic>
#include <memory>
#else
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#endif

namespace torvane::client {

namespace {
#ifndef Q_OS_WIN
constexpr uchar kEchoRequest = 8;
constexpr uchar kEchoReply = 0;
constexpr int kEchoBytes = 24; // header and a small payload

quint16 Checksum(const uchar* data, int size) {
    quint32 sum = 0;
    for (int i = 0; i + 1 < size; i += 2)
        sum += (quint32(data[i]) << 8) | data[i + 1];
    if (size % 2)
        sum += quint32(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint16>(~sum);
}
#endif
} // namespace

GatewayPing::GatewayPing(QObject* parent) : QObject(parent), m_timeout(new QTimer(this)) {
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] { finish(false); });
}

GatewayPing::~GatewayPing() {
    cancel();
}

void GatewayPing::cancel() {
    ++m_generation;
    m_running = false;
    m_timeout->stop();
    if (m_tcp) {
        m_tcp->disconnect(this);
        m_tcp->abort();
        m_tcp->deleteLater();
        m_tcp = nullptr;
    }
#ifndef Q_OS_WIN
    closeIcmp();
#endif
}

void GatewayPing::finish(bool answered) {
    if (!m_running)
        return;
    cancel();
    emit finished(answered);
}

void GatewayPing::finishLater(bool answered) {
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation, answered] {
        if (generation == m_generation)
            finish(answered);
    });
}

void GatewayPing::start(const QHostAddress& gateway, int timeoutMs) {
    cancel();
    m_running = true;
    m_timeout->start(std::max(1, timeoutMs));
    if (gateway.protocol() != QAbstractSocket::IPv4Protocol) {
        finishLater(false);
        return;
    }
    if (m_forceTcp) {
        startTcp(gateway);
        return;
    }
#ifdef Q_OS_WIN
    startIcmpApi(gateway, timeoutMs);
#else
    if (!startIcmp(gateway))
        startTcp(gateway);
#endif
}

void GatewayPing::startTcp(const QHostAddress& gateway) {
    m_method = Method::TcpConnect;
    m_tcp = new QTcpSocket(this);
    // Queued: on Windows a refusal from this very host may be told inside connectToHost().
    const quint64 generation = m_generation;
    connect(
        m_tcp, &QTcpSocket::connected, this,
        [this, generation] {
            if (generation == m_generation)
                finish(true);
        },
        Qt::QueuedConnection);
    connect(
        m_tcp, &QTcpSocket::errorOccurred, this,
        [this, generation](QAbstractSocket::SocketError error) {
            // A refusal is the gateway's own answer; unreachable and silence are not.
            if (generation == m_generation)
                finish(error == QAbstractSocket::ConnectionRefusedError);
        },
        Qt::QueuedConnection);
    m_tcp->connectToHost(gateway, m_tcpPort);
}

#ifdef Q_OS_WIN

void GatewayPing::startIcmpApi(const QHostAddress& gateway, int timeoutMs) {
    m_method = Method::IcmpApi;
    // IcmpSendEcho blocks for up to the timeout: it runs on a thread of its own, which owns
    // nothing of this object, so it may outlive it.
    auto answered = std::make_shared<std::atomic<bool>>(false);
    const IPAddr target = htonl(gateway.toIPv4Address());
    const DWORD wait = static_cast<DWORD>(std::max(1, timeoutMs));
    QThread* worker = QThread::create([answered, target, wait] {
        HANDLE icmp = IcmpCreateFile();
        if (icmp == INVALID_HANDLE_VALUE)
            return;
        char payload[16] = "torvane";
        std::array<char, sizeof(ICMP_ECHO_REPLY) + sizeof(payload) + 8 + 64> reply{};
        const DWORD count = IcmpSendEcho(icmp, target, payload, sizeof(payload), nullptr,
                                         reply.data(), static_cast<DWORD>(reply.size()), wait);
        if (count > 0)
            answered->store(reinterpret_cast<ICMP_ECHO_REPLY*>(reply.data())->Status == IP_SUCCESS);
        IcmpCloseHandle(icmp);
    });
    // The echo's own timeout ends the wait; the timer only backs it up.
    m_timeout->start(static_cast<int>(wait) + 500);
    const quint64 generation = m_generation;
    connect(worker, &QThread::finished, this, [this, answered, generation] {
        if (generation == m_generation)
            finish(answered->load());
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

#else

bool GatewayPing::startIcmp(const QHostAddress& gateway) {
    m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    m_method = Method::PingSocket;
    if (m_fd < 0) {
        const int pingError = errno;
        m_fd = ::socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
        m_method = Method::RawSocket;
        if (m_fd < 0) {
            qCDebug(lcHealth).noquote()
                << QStringLiteral("no ICMP socket (%1), asking the gateway by TCP")
                       .arg(QString::fromLocal8Bit(std::strerror(pingError)));
            return false;
        }
    }
    m_target = gateway.toIPv4Address();
    // The ping socket puts its own identifier in; the raw socket sends ours.
    m_echoId = static_cast<quint16>(QRandomGenerator::global()->generate());
    ++m_echoSeq;
    std::array<uchar, kEchoBytes> echo{};
    echo[0] = kEchoRequest;
    echo[4] = static_cast<uchar>(m_echoId >> 8);
    echo[5] = static_cast<uchar>(m_echoId);
    echo[6] = static_cast<uchar>(m_echoSeq >> 8);
    echo[7] = static_cast<uchar>(m_echoSeq);
    std::memcpy(echo.data() + 8, "torvane line check", 16);
    const quint16 sum = Checksum(echo.data(), kEchoBytes);
    echo[2] = static_cast<uchar>(sum >> 8);
    echo[3] = static_cast<uchar>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(m_target);
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &GatewayPing::readIcmp);
    if (::sendto(m_fd, echo.data(), echo.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof(to)) < 0) {
        // No route or no neighbour: the gateway cannot answer.
        qCDebug(lcHealth) << "echo to" << gateway.toString() << "not sent:" << std::strerror(errno);
        finishLater(false);
    }
    return true;
}

void GatewayPing::readIcmp() {
    std::array<uchar, 1500> buffer{};
    for (;;) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof(from);
        const ssize_t got = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromSize);
        if (got < 0)
            return; // nothing more now; an error is left to the timeout
        if (ntohl(from.sin_addr.s_addr) != m_target)
            continue;
        qsizetype at = 0;
        if (m_method == Method::RawSocket) {
            // The raw socket hands over the IP header too, and sees every ICMP message.
            if (got < 20)
                continue;
            at = (buffer[0] & 0x0f) * 4;
        }
        if (got - at < 8 || buffer[at] != kEchoReply)
            continue;
        const quint16 id = static_cast<quint16>((buffer[at + 4] << 8) | buffer[at + 5]);
        const quint16 seq = static_cast<quint16>((buffer[at + 6] << 8) | buffer[at + 7]);
        if (seq != m_echoSeq || (m_method == Method::RawSocket && id != m_echoId))
            continue;
        finish(true);
        return;
    }
}

void GatewayPing::closeIcmp() {
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

#endif

} // namespace torvane::client
