#pragma once

#include "common/linehealth.h"
#include "common/messagereader.h"
#include "common/securesession.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <utility>

class QTcpSocket;
class QTimer;

namespace torvane::client {

// The Client's link to the server: its socket, the reconnect timer (once a second) and the reader
// that cuts the byte stream into whole server messages.
//
// With a site key the link goes to the secure port instead and never to the legacy one (a
// fallback would let whoever blocks the secure port take the workstation back to unauthenticated
// commands): connected() follows the handshake, reports are sent sealed, and only messages whose
// tag, counter and type check out are handed on.
class ServerLink : public QObject {
    Q_OBJECT
public:
    // Server address and port texts (FwqIp, FwqDk), read at every connect so that new settings
    // take effect on the next attempt.
    using Endpoint = std::function<std::pair<QString, QString>()>;
    // The site key and the secure port, read at every connect like the endpoint. An empty key
    // means the legacy channel.
    struct SecureEndpoint {
        QByteArray siteKey;
        quint16 port = 0;
    };
    using SecureSource = std::function<SecureEndpoint()>;

    explicit ServerLink(Endpoint endpoint, QObject* parent = nullptr);
    void setSecureSource(SecureSource source) { m_secureSource = std::move(source); }
    ~ServerLink() override;

    // Enables the reconnect timer (a second copy of the program never calls this).
    void start();
    // Drops the current connection or attempt and connects to the endpoint again.
    void connectToServer();
    // Closes the socket for good (program exit); the reconnect timer stops.
    void shutdown();

    bool isConnected() const { return m_serverConnected; }
    // Writes one report; false (nothing written) while not connected. On the secure channel
    // the report goes sealed.
    bool send(const QByteArray& message);
    // Writes one message of the secure channel; false while not connected over it.
    bool sendSecure(SecureFrame::Type type, const QByteArray& body);
    // What this workstation measured of its line, and a switch it undid; secure channel only.
    bool sendHealth(const HealthReport& report);
    bool sendRollback(const RollbackReport& report);
    // The current connection is the authenticated one.
    bool isAuthenticated() const { return m_serverConnected && m_session && m_session->isOpen(); }
    static constexpr int kHandshakeMs = 10000;

    QTcpSocket* socket() const { return m_socket; }
    int reconnectIntervalMs() const;

signals:
    // A connection attempt starts (at start-up, on the reconnect timer, after new settings).
    void connecting();
    void connected();
    void connectionLost();
    // One whole server message (an update or a switch command, as bytes).
    void messageReceived(const QByteArray& message);

private:
    void onConnected();
    void onLost();
    void onReadyRead();
    void onReconnectTick();
    void pollReader();
    void armPoll();
    void deliver(const QList<QByteArray>& messages);
    void deliverSome();
    void enableKeepAlive();
    void readSecure(const QByteArray& bytes);
    void dropSecure(const QString& reason);
    bool write(const QByteArray& bytes);

    Endpoint m_endpoint;
    SecureSource m_secureSource;
    std::unique_ptr<SecureSession> m_session; // set while the link is on the secure channel
    QTimer* m_handshakeTimer = nullptr;
    QTcpSocket* m_socket = nullptr;
    QTimer* m_reconnectTimer = nullptr;
    QTimer* m_pollTimer = nullptr;
    QTimer* m_sliceTimer = nullptr;
    MessageReader m_reader{MessageReader::Side::Client};
    QElapsedTimer m_clock;
    QList<QByteArray> m_inbox;
    bool m_delivering = false;
    bool m_serverConnected = false;
    bool m_shutDown = false;
    bool m_started = false;
};

} // namespace torvane::client
