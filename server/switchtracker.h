#pragma once

#include "common/linehealth.h"
#include "server/connectionhub.h"
#include "server/securehub.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>

namespace torvane::server {

class AuditLog;

enum class SwitchState { None, Pending, Confirmed, Failed };

// One switch command and how it went.
struct SwitchCommand {
    QString address;
    QString fromLine; // the line the row showed when the command went out
    QString toLine;   // the line of the menu entry
    QString gateway, primaryDns, secondaryDns;
    SwitchState state = SwitchState::None;
    QString outcome;                      // how it ended, in the words of the log and the tooltip
    QString reportedGateway, reportedDns; // a report with other values while pending
    // A rollback of a switch this Server did not command (the user's own): shown on the row,
    // never counted in the summary nor sent again.
    bool byWorkstation = false;
};

// Follows every switch command until the workstation confirms it: a command is pending until
// that connection's next report carries the commanded gateway and primary DNS (confirmed); no
// such report within the timeout, or the connection ending first, fails it. A report with other
// values leaves it pending (the row shows those values). Each command that ends is written to
// the audit log. A new command while none is pending starts a new round: the summary counts the
// commands of the current round.
class SwitchTracker : public QObject {
    Q_OBJECT
public:
    static constexpr int kConfirmTimeoutMs = 5000;
    struct Summary {
        int pending = 0, confirmed = 0, failed = 0;
        bool operator==(const Summary&) const = default;
    };

    explicit SwitchTracker(ConnectionHub* hub, AuditLog* log = nullptr, QObject* parent = nullptr);
    // Commands to rows of the secure channel go sealed through that hub; confirmations and ends
    // are followed the same way.
    void attachSecureHub(SecureHub* hub);

    void setConfirmTimeout(int ms) { m_timeoutMs = ms; }

    // Sends the command through the hub and follows it; false (nothing followed) when the
    // connection is gone.
    bool send(ConnectionHub::ClientId id, const QString& fromLine, const QString& toLine,
              const QString& gateway, const QString& primaryDns, const QString& secondaryDns);
    // The failed commands of this round sent again to the connections still there.
    int resendFailed();
    // The workstation undid a switch because the new line did not work: a pending or confirmed
    // command of this connection ends as failed with that reason; without one the row shows the
    // rollback all the same. Each is one line of the audit log.
    void rollBack(ConnectionHub::ClientId id, const RollbackReport& rollback);

    SwitchState stateOf(ConnectionHub::ClientId id) const;
    const SwitchCommand* commandOf(ConnectionHub::ClientId id) const; // nullptr: none
    Summary summary() const { return m_summary; }
    QList<ConnectionHub::ClientId> failedIds() const;
    // "切换中 N 台，已完成 M 台，失败 K 台"; empty before the first command.
    static QString SummaryText(const Summary& summary);

signals:
    void stateChanged(ConnectionHub::ClientId id, torvane::server::SwitchState state);
    void summaryChanged(const torvane::server::SwitchTracker::Summary& summary);

private:
    struct Deadline {
        qint64 at;
        ConnectionHub::ClientId id;
        quint64 serial;
    };
    struct Entry {
        SwitchCommand command;
        quint64 serial = 0;
    };

    bool dispatch(ConnectionHub::ClientId id, SwitchCommand command);
    bool isConnected(ConnectionHub::ClientId id) const;
    void onReported(ConnectionHub::ClientId id, const QString& gateway, const QString& primaryDns);
    void onEnded(ConnectionHub::ClientId id);
    void finish(ConnectionHub::ClientId id, Entry& entry, SwitchState state,
                const QString& outcome);
    void log(const QString& address, const QString& fromLine, const QString& toLine,
             const QString& outcome);
    void expire();
    void armTimer();
    void startRoundIfIdle();

    ConnectionHub* m_hub;
    SecureHub* m_secure = nullptr;
    AuditLog* m_log;
    int m_timeoutMs = kConfirmTimeoutMs;
    QHash<ConnectionHub::ClientId, Entry> m_entries;
    std::deque<Deadline> m_deadlines; // in sending order, so in deadline order
    quint64 m_nextSerial = 1;
    Summary m_summary;
    QTimer m_timer;
    QElapsedTimer m_clock;
};

} // namespace torvane::server
