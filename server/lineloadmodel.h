#pragma once

#include "server/connectionhub.h"

#include <QAbstractTableModel>
#include <QList>
#include <QTimer>

namespace torvane::server {

class ClientListModel;
class LineTableController;

// How many workstations sit on each line now: one row per line of the line menu, in its order,
// then "未知线路" for reports that match no line. A workstation is on a line when its report's
// gateway and primary DNS are those of the line (the first such line); the name the Client
// reports is its own and may differ between workstations. Counts follow the client list as it
// changes, recounted at most a few times a second.
class LineLoadModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NameColumn, CountColumn, ColumnCount };
    static constexpr int kRecountDelayMs = 200;

    LineLoadModel(LineTableController* lines, ClientListModel* clients, QObject* parent = nullptr);

    // columns: "线路名称", "机子数量"
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Workstations on menu entry `entry` (-1: on no line); unknownCount() for the last row.
    int countOf(int entry) const;
    int unknownCount() const { return m_unknown; }
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
    QTimer m_recountTimer;
};

} // namespace torvane::server
