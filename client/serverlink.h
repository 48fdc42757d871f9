#pragma once

#include "common/messagereader.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <utility>

class QTcpSocket;
class QTimer;

namespace torvane::client {

// The Client's link to the server: its socket, the reconnect timer (once a second) and the reader
// that cuts the byte stream into whole server messages.
class ServerLink : public QObject {
    Q_OBJECT
public:
    // Server address and port texts (FwqIp, FwqDk), read at every connect so that new settings
    // take effect on the next attempt.
    using Endpoint = std::function<std::pair<QString, QString>()>;

    explicit ServerLink(Endpoint endpoint, QObject* parent = nullptr);
    ~ServerLink() override;

    // Enables the reconnect timer (a second copy of the program never calls this).
    void start();
    // Drops the current connection or attempt and connects to the endpoint again.
    void connectToServer();
    // Closes the socket for good (program exit); the reconnect timer stops.
    void shutdown();

    bool isConnected() const { return m_serverConnected; }
    // Writes one message; false (nothing written) while not connected.
    bool send(const QByteArray& message);

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

    Endpoint m_endpoint;
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
