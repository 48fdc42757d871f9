#pragma once

#include "server/connectionhub.h"
#include "server/linehealthmonitor.h"

#include <QAbstractTableModel>
#include <QList>
#include <QTimer>

namespace torvane::server {

class ClientListModel;
class LineFailover;
class LineTableController;

// How many workstations sit on each line now: one row per line of the line menu, in its order,
// then "未知线路" for reports that match no line. A workstation is on a line when its report's
// gateway and primary DNS are those of the line (the first such line); the name the Client
// reports is its own and may differ between workstations. Counts follow the client list as it
// changes, recounted at most a few times a second. With a health monitor beside it, each line
// also shows what its workstations measured of it and its state.
class LineLoadModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        NameColumn,
        CountColumn,
        ReportingColumn,
        HealthyColumn,
        DnsTimeColumn,
        StateColumn,
        ColumnCount
    };
    enum class LineState { Unknown, Working, Failing };
    static constexpr int kRecountDelayMs = 200;
    // The line's state (a LineState as int): the window colours failing lines by it.
    static constexpr int LineStateRole = Qt::UserRole + 1;

    LineLoadModel(LineTableController* lines, ClientListModel* clients, QObject* parent = nullptr);
    // Health columns from the monitor, the state text from the failover (either may be null).
    void setHealth(LineHealthMonitor* health, LineFailover* failover);

    // columns: "线路名称", "机子数量", "报告健康", "健康比例", "DNS 中位时间", "状态"
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Workstations on menu entry `entry` (-1: on no line); unknownCount() for the last row.
    int countOf(int entry) const;
    int unknownCount() const { return m_unknown; }
    // As last recounted; entry -1 for results that match no line.
    LineHealthSummary healthOf(int entry) const;
    QString stateTextOf(int entry) const;
    // The line (menu entry) a report belongs to, -1 for none.
    int lineOf(const QString& gateway, const QString& primaryDns) const;
    // The connections shown in the client list whose report puts them on menu entry `entry`.
    QList<ConnectionHub::ClientId> clientsOnLine(int entry) const;
    // Counts again now (tests; the model does it by itself after changes).
    void recount();

private:
    void scheduleRecount();

    LineTableController* m_lines;
    ClientListModel* m_clients;
    QStringList m_names;
    QList<int> m_counts;
    int m_unknown = 0;
    LineHealthMonitor* m_health = nullptr;
    LineFailover* m_failover = nullptr;
    QList<LineHealthSummary> m_summaries; // per line, then the unknown row
    QStringList m_states;                 // per line
    QTimer m_recountTimer;
};

} // namespace torvane::server
