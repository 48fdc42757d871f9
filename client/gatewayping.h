#pragma once

#include <QHostAddress>
#include <QObject>

class QSocketNotifier;
class QTcpSocket;
class QTimer;

namespace torvane::client {

// Asks whether a gateway answers: one ICMP echo, or where ICMP is closed to this process, a TCP
// connection to the gateway's DNS port. The outcome always comes later, never from inside start().
//
// Linux: the unprivileged ping socket (allowed by net.ipv4.ping_group_range), else a raw ICMP
// socket where the process may open one, else the TCP connection, which counts an accept and a
// refusal alike as an answer, and only silence as none. Windows: the IP Helper's echo, on a
// worker thread.
class GatewayPing : public QObject {
    Q_OBJECT
public:
    enum class Method { PingSocket, RawSocket, TcpConnect, IcmpApi };

    explicit GatewayPing(QObject* parent = nullptr);
    ~GatewayPing() override;

    // Starts one check; a check still running is dropped without its outcome.
    void start(const QHostAddress& gateway, int timeoutMs);
    void cancel();
    bool running() const { return m_running; }
    // How the last check asked.
    Method method() const { return m_method; }

    // Skip ICMP and use the TCP connection, on this port (tests, and hosts that drop echoes).
    void forceTcp(quint16 port) {
        m_forceTcp = true;
        m_tcpPort = port;
    }

signals:
    void finished(bool answered);

private:
    void finish(bool answered);
    void finishLater(bool answered);
    void startTcp(const QHostAddress& gateway);
#ifdef Q_OS_WIN
    void startIcmpApi(const QHostAddress& gateway, int timeoutMs);
#else
    bool startIcmp(const QHostAddress& gateway);
    void readIcmp();
    void closeIcmp();
#endif

    Method m_method = Method::PingSocket;
    bool m_running = false;
    bool m_forceTcp = false;
    quint16 m_tcpPort = 53;
    quint64 m_generation = 0;
    QTimer* m_timeout = nullptr;
    QTcpSocket* m_tcp = nullptr;
#ifndef Q_OS_WIN
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    quint32 m_target = 0;
    quint16 m_echoId = 0;
    quint16 m_echoSeq = 0;
#endif
};

} // namespace torvane::client
