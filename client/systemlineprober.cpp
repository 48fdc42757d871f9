#include "client/systemlineprober.h"

#include "client/clientlogging.h"
#include "client/gatewayping.h"
#include "common/dnsmessage.h"
#include "common/validators.h"

#include <QNetworkDatagram>
#include <QRandomGenerator>
#include <QTimer>
#include <QUdpSocket>

namespace torvane::client {

namespace {
// Plain dotted quads only: the check never resolves a name to find the server it checks.
QHostAddress Address(const QString& text) {
    const QString trimmed = text.trimmed();
    if (!IsIpAddress(trimmed))
        return QHostAddress();
    return QHostAddress(trimmed);
}
} // namespace

SystemLineProber::SystemLineProber(QObject* parent)
    : LineProber(parent), m_ping(new GatewayPing(this)), m_dnsTimeout(new QTimer(this)) {
    m_dnsTimeout->setSingleShot(true);
    m_dnsTimeout->setInterval(kDnsTimeoutMs);
    connect(m_dnsTimeout, &QTimer::timeout, this, [this] { dnsFinished(false); });
    connect(m_ping, &GatewayPing::finished, this, &SystemLineProber::gatewayFinished);
}

SystemLineProber::~SystemLineProber() = default;

void SystemLineProber::probe(const QString& gateway, const QString& primaryDns, Done done) {
    // A probe still running is given up: its caller learns nothing more of it.
    ++m_generation;
    m_ping->cancel();
    m_dnsTimeout->stop();
    m_done = std::move(done);
    m_gateway = gateway.trimmed();
    m_primaryDns = primaryDns.trimmed();
    m_result = ProbeResult();
    m_gatewayDone = false;
    m_dnsDone = false;
    m_ping->start(Address(m_gateway), kGatewayTimeoutMs);
    startDns();
}

void SystemLineProber::startDns() {
    if (m_udp) {
        m_udp->disconnect(this);
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    m_dnsServer = Address(m_primaryDns);
    // A fresh id and a fresh socket (so a fresh source port) per query: a late answer to the
    // one before, or a guess from outside, does not pass for this one.
    m_queryId = static_cast<quint16>(QRandomGenerator::system()->generate());
    const QByteArray query = EncodeDnsQuery(m_queryId, probeName());
    m_dnsClock.start();
    if (m_dnsServer.isNull() || query.isEmpty()) {
        if (query.isEmpty())
            qCWarning(lcHealth) << "the probe name" << probeName() << "cannot be asked";
        failDnsLater();
        return;
    }
    m_udp = new QUdpSocket(this);
    connect(m_udp, &QUdpSocket::readyRead, this, &SystemLineProber::readDns);
    m_dnsTimeout->start();
    if (m_udp->writeDatagram(query, m_dnsServer, m_dnsPort) != query.size()) {
        qCDebug(lcHealth) << "query to" << m_primaryDns << "not sent:" << m_udp->errorString();
        failDnsLater();
    }
}

void SystemLineProber::failDnsLater() {
    const quint64 generation = m_generation;
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == m_generation)
            dnsFinished(false);
    });
}

void SystemLineProber::readDns() {
    while (m_udp && m_udp->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram(4096);
        if (m_dnsDone || datagram.senderPort() != m_dnsPort ||
            datagram.senderAddress().toIPv4Address() != m_dnsServer.toIPv4Address())
            continue;
        const DnsAnswer answer = ReadDnsAnswer(datagram.data(), m_queryId);
        switch (answer.status) {
        case DnsAnswerStatus::OtherId:
        case DnsAnswerStatus::NotResponse:
            continue; // not ours: keep waiting
        case DnsAnswerStatus::Resolved:
            dnsFinished(true);
            return;
        case DnsAnswerStatus::ServerError:
        case DnsAnswerStatus::NoRecords:
        case DnsAnswerStatus::Malformed:
            qCDebug(lcHealth) << "DNS" << m_primaryDns << "answered" << probeName()
                              << "without an address, status" << int(answer.status) << "rcode"
                              << answer.rcode;
            dnsFinished(false);
            return;
        }
    }
}

void SystemLineProber::dnsFinished(bool ok) {
    if (m_dnsDone)
        return;
    m_dnsDone = true;
    m_dnsTimeout->stop();
    m_result.dnsOk = ok;
    m_result.dnsMs = static_cast<int>(std::min<qint64>(m_dnsClock.elapsed(), 60000));
    finishIfDone();
}

void SystemLineProber::gatewayFinished(bool ok) {
    m_gatewayDone = true;
    m_result.gatewayOk = ok;
    finishIfDone();
}

void SystemLineProber::finishIfDone() {
    if (!m_gatewayDone || !m_dnsDone || !m_done)
        return;
    if (!m_result.healthy())
        m_result.reason = ProbeFailureText(m_gateway, m_result.gatewayOk, m_primaryDns,
                                           m_result.dnsOk, probeName());
    Done done = std::move(m_done);
    m_done = nullptr;
    done(m_result);
}

} // namespace torvane::client
