#pragma once

#include "server/connectionhub.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

namespace torvane::server {

class AuditLog;
class LineHealthMonitor;
class LineTableController;

// Automatic failover, off unless a line is given a backup line: when most workstations of a line
// have seen it broken for the failover time without a break, every workstation on it gets the
// backup line's switch command (the bulk path, so each is followed and logged), once per failing
// episode. An episode ends only when the line is seen working again; nothing ever moves the
// workstations back by itself. A backup that is failing too is not used.
//
// Lines are known by name here, as the settings store keeps their backups: entries move when the
// table changes, names stay.
class LineFailover : public QObject {
    Q_OBJECT
public:
    using ClientId = ConnectionHub::ClientId;
    using Clock = std::function<qint64()>; // milliseconds, never going back
    using ClientsOnLine = std::function<QList<ClientId>(int entry)>;
    static constexpr int kCheckIntervalMs = 1000;

    LineFailover(LineHealthMonitor* health, LineTableController* lines, ClientsOnLine clientsOnLine,
                 AuditLog* log = nullptr, QObject* parent = nullptr);

    void setClock(Clock clock) { m_clock = std::move(clock); }
    void setFailoverAfter(int ms) { m_failoverMs = ms; }
    int failoverAfter() const { return m_failoverMs; }

    // The backups as the settings store holds them, for the lines of the table now.
    void loadBackups();
    // Stores the choice at once; an empty backup (or the line itself) turns failover off.
    void setBackup(const QString& line, const QString& backup);
    QString backupOf(const QString& line) const { return m_backups.value(line); }

    // "正常", "故障", "故障，已切换到 X" or "" (no result) for menu entry `entry`.
    QString stateText(int entry) const;
    // Looks at every line now (the timer and each health change do it).
    void check();

signals:
    void failedOver(const QString& line, const QString& backup, int moved, int failingSeconds);
    void stateChanged();

private:
    struct Episode {
        qint64 failingSince = -1; // -1: not failing now
        QString movedTo;          // the backup used in this episode
        bool refusalLogged = false;
    };

    void failOver(int entry, const QString& line, Episode& episode);
    void log(const QString& text);
    qint64 now() const { return m_clock(); }

    LineHealthMonitor* m_health;
    LineTableController* m_lines;
    ClientsOnLine m_clientsOnLine;
    AuditLog* m_log;
    Clock m_clock;
    int m_failoverMs;
    QHash<QString, QString> m_backups;
    QHash<QString, Episode> m_episodes;
    QTimer m_timer;
    bool m_checking = false;
    bool m_checkAgain = false;
};

} // namespace torvane::server
