#pragma once

#include "client/lineprober.h"

#include <QElapsedTimer>
#include <QHostAddress>

class QTimer;
class QUdpSocket;

namespace torvane::client {

class GatewayPing;

// The line check of a real workstation: the gateway's echo (GatewayPing) and one A query over
// UDP to the primary DNS server, started together. The query is answered when a datagram from
// that server carries our id, the response flag, no error and at least one answer record.
class SystemLineProber : public LineProber {
    Q_OBJECT
public:
    static constexpr int kGatewayTimeoutMs = 1000;
    static constexpr int kDnsTimeoutMs = 2000;

    explicit SystemLineProber(QObject* parent = nullptr);
    ~SystemLineProber() override;

    void probe(const QString& gateway, const QString& primaryDns, Done done) override;

    GatewayPing& gatewayPing() { return *m_ping; }
    // The DNS server's port (53; tests answer on a port of their own).
    void setDnsPort(quint16 port) { m_dnsPort = port; }

private:
    void startDns();
    void failDnsLater();
    void readDns();
    void dnsFinished(bool ok);
    void gatewayFinished(bool ok);
    void finishIfDone();

    GatewayPing* m_ping = nullptr;
    QUdpSocket* m_udp = nullptr;
    QTimer* m_dnsTimeout = nullptr;
    QElapsedTimer m_dnsClock;
    QHostAddress m_dnsServer;
    quint16 m_dnsPort = 53;
    quint16 m_queryId = 0;
    quint64 m_generation = 0;
    QString m_gateway;
    QString m_primaryDns;
    bool m_gatewayDone = false;
    bool m_dnsDone = false;
    ProbeResult m_result;
    Done m_done;
};

} // namespace torvane::client
