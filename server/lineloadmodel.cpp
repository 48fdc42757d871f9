#include "server/lineloadmodel.h"

#include "server/clientlistmodel.h"
#include "server/linetablecontroller.h"

namespace torvane::server {

LineLoadModel::LineLoadModel(LineTableController* lines, ClientListModel* clients, QObject* parent)
    : QAbstractTableModel(parent), m_lines(lines), m_clients(clients) {
    m_recountTimer.setSingleShot(true);
    m_recountTimer.setInterval(kRecountDelayMs);
    connect(&m_recountTimer, &QTimer::timeout, this, &LineLoadModel::recount);
    connect(lines, &LineTableController::lineMenuRebuilt, this, &LineLoadModel::scheduleRecount);
    connect(clients, &QAbstractItemModel::rowsInserted, this, &LineLoadModel::scheduleRecount);
    connect(clients, &QAbstractItemModel::rowsRemoved, this, &LineLoadModel::scheduleRecount);
    connect(clients, &QAbstractItemModel::modelReset, this, &LineLoadModel::scheduleRecount);
    connect(clients, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex&, const QModelIndex&, const QList<int>& roles) {
                if (roles.isEmpty() || roles.contains(Qt::DisplayRole))
                    scheduleRecount();
            });
    recount();
}

int LineLoadModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_names.size()) + 1;
}

int LineLoadModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant LineLoadModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const bool unknownRow = index.row() == m_names.size();
    if (role == Qt::TextAlignmentRole && index.column() == CountColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    if (index.column() == NameColumn)
        return unknownRow ? QStringLiteral("未知线路") : m_names.at(index.row());
    return unknownRow ? m_unknown : m_counts.at(index.row());
}

QVariant LineLoadModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return section == NameColumn ? QStringLiteral("线路名称") : QStringLiteral("机子数量");
}

int LineLoadModel::countOf(int entry) const {
    if (entry < 0)
        return m_unknown;
    return entry < m_counts.size() ? m_counts.at(entry) : 0;
}

int LineLoadModel::lineOf(const QString& gateway, const QString& primaryDns) const {
    const QString gw = gateway.trimmed();
    const QString dns = primaryDns.trimmed();
    if (gw.isEmpty())
        return -1;
    const QList<SwitchEntry>& table = m_lines->switchTable();
    const int n = static_cast<int>(std::min(table.size(), m_lines->menuNames().size()));
    for (int k = 0; k < n; ++k) {
        if (table.at(k).gateway.trimmed() == gw && table.at(k).primaryDns.trimmed() == dns)
            return k;
    }
    return -1;
}

QList<ConnectionHub::ClientId> LineLoadModel::clientsOnLine(int entry) const {
    QList<ConnectionHub::ClientId> ids;
    const int rows = m_clients->rowCount();
    for (int r = 0; r < rows; ++r) {
        if (lineOf(m_clients->gatewayAt(r), m_clients->primaryDnsAt(r)) == entry)
            ids.append(m_clients->clientIdAt(r));
    }
    return ids;
}

void LineLoadModel::scheduleRecount() {
    if (!m_recountTimer.isActive())
        m_recountTimer.start();
}

void LineLoadModel::recount() {
    m_recountTimer.stop();
    const QStringList names = m_lines->menuNames();
    QList<int> counts(names.size(), 0);
    int unknown = 0;
    // One pass over the rows with a lookup of (gateway, DNS) pairs: thousands of rows stay cheap.
    QHash<QString, int> lineByKey;
    const QList<SwitchEntry>& table = m_lines->switchTable();
    for (int k = static_cast<int>(names.size()) - 1; k >= 0 && k < table.size(); --k)
        lineByKey.insert(table.at(k).gateway.trimmed() + QLatin1Char('\n') +
                             table.at(k).primaryDns.trimmed(),
                         k); // backwards: the first line wins
    const int rows = m_clients->rowCount();
    for (int r = 0; r < rows; ++r) {
        const QString gw = m_clients->gatewayAt(r).trimmed();
        const auto it = gw.isEmpty() ? lineByKey.cend()
                                     : lineByKey.constFind(gw + QLatin1Char('\n') +
                                                           m_clients->primaryDnsAt(r).trimmed());
        if (it == lineByKey.cend())
            ++unknown;
        else
            ++counts[*it];
    }
    if (names != m_names) {
        beginResetModel();
        m_names = names;
        m_counts = counts;
        m_unknown = unknown;
        endResetModel();
        return;
    }
    if (counts == m_counts && unknown == m_unknown)
        return;
    m_counts = counts;
    m_unknown = unknown;
    emit dataChanged(index(0, CountColumn), index(static_cast<int>(m_names.size()), CountColumn),
                     {Qt::DisplayRole});
}

} // namespace torvane::server
