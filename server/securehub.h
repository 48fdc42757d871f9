#pragma once

#include "common/linefilesource.h"
#include "common/linehealth.h"
#include "server/connectionhub.h"
#include "server/hubsocket.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>

class QSocketNotifier;
class QTcpSocket;
class QTimer;

namespace torvane::server {

struct SecurePeer;

// The Server's end of the secure channel, on a port of its own beside the legacy hub. Only
// Clients with the site key get in: a connection becomes a row only after both sides have proved
// the key, and is dropped (and logged) on its first bad frame. Reports, updates and switch
// commands carry the same bytes as on the legacy port, sealed.
//
// Its connection ids come from a range the legacy hub never reaches, so the client list and the
// switch tracker can take rows and commands from both hubs by id alone. Sites with a key have a
// few hundred workstations, not the legacy hub's ten thousand: plain sockets are enough here.
//
// Anybody may open the port, key or not, so a crowd of connections that never finish the
// handshake must not lock out the Clients or starve the program: at most kMaxHandshakes (and at
// most a quarter of the descriptors left for Clients) wait for their handshake at once; a
// newcomer beyond that ends the oldest of them, so a real Client, whose handshake takes a round
// trip, still gets in. The listener keeps the legacy hub's
// rules for descriptors (the top kDescriptorReserve stay the program's; a full table is met with
// the spare descriptor, never by spinning on a listener that stays ready).
class SecureHub : public QObject {
    Q_OBJECT
public:
    using ClientId = ConnectionHub::ClientId;
    static constexpr ClientId kFirstId = ClientId{1} << 48;
    static constexpr int kHandshakeMs = 10000;
    static constexpr int kReportDeadlineMs = 60 * 1000;
    static constexpr int kMaxHandshakes = 256;
    static constexpr int kBacklog = 1024;
    static constexpr int kAcceptsPerActivation = 64;

    explicit SecureHub(QObject* parent = nullptr);
    ~SecureHub() override;

    // An empty key closes the hub: no key, no secure channel.
    void setSiteKey(const QByteArray& key) { m_siteKey = key; }
    bool hasSiteKey() const { return !m_siteKey.isEmpty(); }
    bool listen(quint16 port, QString* errorText = nullptr);
    bool isListening() const;
    quint16 listeningPort() const;
    // Ends every connection (each as failed: no balloon) and the listener.
    void closeAllConnections();

    void setUpdateEnabled(bool on) { m_updateEnabled = on; }
    void setLineFilePath(const QString& path) { m_lineFile.setPath(path); }

    static bool Owns(ClientId id) { return id >= kFirstId; }
    bool sendSwitch(ClientId id, const QString& gateway, const QString& primaryDns,
                    const QString& secondaryDns);
    bool isConnected(ClientId id) const;
    QString addressOf(ClientId id) const;
    int connectionCount() const;
    qint64 refusedCount() const { return m_refused; } // dropped for a bad frame or a wrong key
    qint64 turnedAwayCount() const;                   // closed at once: no descriptors
    void setMaxHandshakes(int count) { m_maxHandshakes = qMax(1, count); }

signals:
    void clientConnected(ConnectionHub::ClientId id, const QString& address);
    void clientReported(ConnectionHub::ClientId id, const QString& gateway,
                        const QString& primaryDns, const QString& lineName);
    void clientClosed(ConnectionHub::ClientId id, const QString& address);
    void clientFailed(ConnectionHub::ClientId id, const QString& address);
    // What a workstation measured of its line, and a switch it undid; only well-formed bodies
    // get here (a body that does not decode drops the connection).
    void healthReported(ConnectionHub::ClientId id, const torvane::HealthReport& health);
    void rollbackReported(ConnectionHub::ClientId id, const torvane::RollbackReport& rollback);

private:
    void acceptPending();
    void admit(hubsocket::Descriptor fd, const QString& address);
    void makeRoomForAHandshake();
    void armListener(bool on);
    void closeListener();
    void readFrom(SecurePeer* peer);
    void handleReport(SecurePeer* peer, const QByteArray& body);
    void handleHealth(SecurePeer* peer, const QByteArray& body);
    void handleRollback(SecurePeer* peer, const QByteArray& body);
    void refuse(SecurePeer* peer, const QString& reason);
    bool write(SecurePeer* peer, const QByteArray& bytes);
    void end(SecurePeer* peer, bool closedByPeer);

    hubsocket::Descriptor m_listenFd = hubsocket::kInvalid;
    quint16 m_port = 0;
    QSocketNotifier* m_acceptNotifier = nullptr;
    QTimer* m_rearmTimer = nullptr; // resumes accepting after the table of descriptors was full
    std::unique_ptr<BudgetedAcceptor> m_acceptor; // the descriptor rules for newcomers
    QByteArray m_siteKey;
    LineFileSource m_lineFile;
    bool m_updateEnabled = false;
    ClientId m_lastId = kFirstId - 1;
    qint64 m_refused = 0;
    bool m_crowded = false; // handshakes are being ended to make room (logged once)
    int m_maxHandshakes = kMaxHandshakes;
    int m_handshaking = 0;                 // connections that have not proved the key yet
    std::deque<ClientId> m_handshakeOrder; // their ids by arrival; ended or opened ones skipped
    QHash<ClientId, SecurePeer*> m_peers;
};

} // namespace torvane::server
