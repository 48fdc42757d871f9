#pragma once

#include "common/linefilesource.h"
#include "server/hubeventbackend.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>

#include <array>
#include <deque>
#include <memory>
#include <vector>

class QTimer;

namespace torvane::server {

class BudgetedAcceptor;
struct HubConnection;
class ConnectionTable;

// The Server's end of the Client connections: one readiness set (an event backend: epoll on
// Linux, a WSAPoll set in a thread of its own on Windows) holds the listener and every client
// socket and is watched by a single notifier in the GUI loop, so that ten thousand idle Clients
// cost nothing per loop pass and a few hundred bytes each. Every connection has its own id; rows,
// reports, closes and switch commands go by that id, never by the address.
//
// What arrives on a connection is cut into reports by the message reader (split reports are
// joined, merged ones separated). A report with fewer than four pieces or a U that does not read
// as a number is ignored whole: no row change, no update. Other data is dropped. A connection
// that sends more than kGarbageLimit bytes without one good report, or that stops reading while
// more than kOutQueueLimit bytes wait for it, is ended as failed. An orderly close from the
// Client is clientClosed (the balloon); a reset, a keepalive or user timeout, or any other socket
// error is clientFailed (no balloon).
//
// Connections no real Client makes are bounded too: one that has not completed a report within
// the report deadline (60 s) of connecting is ended as failed, and client sockets never take
// the top kDescriptorReserve descriptors below the soft limit: a connection beyond that is
// accepted and closed at once (turned away), so the program's own needs are always met and the
// backlog never fills with connections nobody takes.
class ConnectionHub : public QObject {
    Q_OBJECT
public:
    using ClientId = quint64; // one per accepted connection, never reused until closeAll

    // The OS's best event backend.
    explicit ConnectionHub(QObject* parent = nullptr);
    // A given backend (tests run the hub on each one).
    explicit ConnectionHub(std::unique_ptr<HubEventBackend> backend, QObject* parent = nullptr);
    ~ConnectionHub() override;

    // Listens on all local addresses (backlog 4096). Returns false with a readable reason
    // (port in use, ...) when it cannot; the previous listener, if any, is closed first.
    bool listen(quint16 port, QString* errorText = nullptr);
    bool isListening() const;
    quint16 listeningPort() const; // the bound port (useful after listen(0))
    QString localAddress() const;  // text for the read-only "服务器IP：" box
    // Closes every client connection and the listener; ids start again; emits allClosed().
    void closeAllConnections();
    // The line-list update answers a report whose U reads as 1 while this is on (GengXin).
    void setUpdateEnabled(bool on);
    bool updateEnabled() const { return m_updateEnabled; }
    // File whose bytes, as on disk at the moment of sending, follow "更新".
    void setLineFilePath(const QString& path);
    // Sends "切换" W;P;S on that connection only if it is connected; false otherwise.
    bool sendSwitch(ClientId id, const QString& gateway, const QString& primaryDns,
                    const QString& secondaryDns);
    int connectionCount() const;
    bool isConnected(ClientId id) const;
    QString addressOf(ClientId id) const; // empty when the id is not connected
    QString backendName() const;
    // A connection that has not completed a report this long after connecting is ended as
    // failed; applies to connections accepted afterwards.
    void setReportDeadline(int ms);
    int reportDeadline() const { return m_reportDeadlineMs; }
    qint64 turnedAwayCount() const;                           // closed at once: no descriptors
    qint64 silentEndedCount() const { return m_silentEnded; } // ended by the report deadline

    // Limits, public so that tests and the benchmark can see what the hub enforces.
    static constexpr int kBacklog = 4096;
    static constexpr int kEventsPerActivation = 512; // keeps the window responsive under load
    static constexpr int kAcceptsPerActivation = 256;
    static constexpr int kReadBytesPerEvent = 16 * 1024;
    // A Client never sends anything but reports; past this much non-report data since its last
    // good report the connection is closed as failed.
    static constexpr qint64 kGarbageLimit = qint64{64} * 1024;
    // Unsent bytes allowed for a Client that stops reading (a line-list update is a few KiB).
    static constexpr qint64 kOutQueueLimit = qint64{1024} * 1024;
    static constexpr int kSweepIntervalMs = 5000;
    static constexpr int kReportDeadlineMs = 60 * 1000;
    // Descriptors below the soft limit that client sockets never take. A GLib event loop makes a
    // wakeup descriptor for every thread that starts one (Qt's own threads, a lookup); message
    // boxes load fonts; the line file, the address lookup for "服务器IP：" and the tray's
    // session bus each need one now and then. They add up to a few dozen at most: 64 leaves them
    // room and still leaves Clients some 950 descriptors of a 1,024 limit.
    static constexpr int kDescriptorReserve = 64;

signals:
    void clientConnected(ConnectionHub::ClientId id, const QString& address);
    void clientReported(ConnectionHub::ClientId id, const QString& gateway,
                        const QString& primaryDns, const QString& lineName);
    void clientClosed(ConnectionHub::ClientId id, const QString& address); // peer closed: balloon
    void clientFailed(ConnectionHub::ClientId id, const QString& address); // error/dead: no balloon
    void allClosed();

private:
    enum class EndKind { Closed, Failed };

    void onReady();
    void acceptPending();
    void armListener(bool on);
    bool isCurrent(qintptr fd, quint64 serial) const;
    void handleEvent(HubConnection* conn, quint32 readiness);
    void readFrom(HubConnection* conn);
    void handleMessage(HubConnection* conn, const QByteArray& message);
    bool sendBytes(HubConnection* conn, const QByteArray& bytes);
    void flushQueue(HubConnection* conn);
    void updateWriteInterest(HubConnection* conn, bool wantWrite);
    void endConnection(HubConnection* conn, EndKind kind);
    void markBroken(HubConnection* conn);
    void sweep();
    void closeListener();
    void endSilentConnections();
    qint64 nowMs() const { return m_clock.elapsed(); }

    std::unique_ptr<HubEventBackend> m_events;
    LineFileSource m_lineFile;
    std::unique_ptr<BudgetedAcceptor> m_acceptor; // the descriptor rules for newcomers
    qintptr m_listenFd = -1;
    quint16 m_port = 0;
    bool m_listenerArmed = false;
    bool m_reapPosted = false;
    QTimer* m_sweepTimer = nullptr;
    QTimer* m_rearmTimer = nullptr;    // resumes accepting after the descriptor limit was hit
    QTimer* m_deadlineTimer = nullptr; // the first report deadline to come
    struct Deadline {
        qint64 atMs;
        ClientId id;
        quint64 serial;
    };
    std::deque<Deadline> m_deadlines; // in acceptance order, so in deadline order
    int m_reportDeadlineMs = kReportDeadlineMs;
    qint64 m_silentEnded = 0;
    QElapsedTimer m_clock; // monotonic time for the message readers
    bool m_updateEnabled = false;
    std::array<QString, 3> m_switchFields;
    QByteArray m_switchBytes;
    ClientId m_lastId = 0;
    quint64 m_lastSerial = 0; // not restarted by closeAll
    // By descriptor (a vector indexed by it where descriptors are small integers); the id table
    // finds a connection by id.
    std::unique_ptr<ConnectionTable> m_byFd;
    QHash<ClientId, HubConnection*> m_byId;
};

} // namespace torvane::server
