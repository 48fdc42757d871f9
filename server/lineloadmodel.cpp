#include "server/lineloadmodel.h"

#include "server/clientlistmodel.h"
#include "server/linefailover.h"
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

void LineLoadModel::setHealth(LineHealthMonitor* health, LineFailover* failover) {
    m_health = health;
    m_failover = failover;
    if (health)
        connect(health, &LineHealthMonitor::changed, this, &LineLoadModel::scheduleRecount);
    if (failover)
        connect(failover, &LineFailover::stateChanged, this, &LineLoadModel::scheduleRecount);
    recount();
}

LineHealthSummary LineLoadModel::healthOf(int entry) const {
    if (entry < 0 || entry >= m_names.size())
        return m_summaries.value(m_names.size());
    return m_summaries.value(entry);
}

QString LineLoadModel::stateTextOf(int entry) const {
    return m_states.value(entry);
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
    const int row = index.row();
    const bool unknownRow = row == m_names.size();
    const LineHealthSummary health = m_summaries.value(row);
    if (role == LineStateRole) {
        if (unknownRow || health.reporting == 0)
            return static_cast<int>(LineState::Unknown);
        return static_cast<int>(health.failing() ? LineState::Failing : LineState::Working);
    }
    if (role == Qt::TextAlignmentRole && index.column() != NameColumn &&
        index.column() != StateColumn)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case NameColumn:
        return unknownRow ? QStringLiteral("未知线路") : m_names.at(row);
    case CountColumn:
        return unknownRow ? m_unknown : m_counts.at(row);
    case ReportingColumn:
        return health.reporting;
    case HealthyColumn:
        return health.reporting > 0 ? QStringLiteral("%1%").arg(health.healthyPercent())
                                    : QString();
    case DnsTimeColumn:
        return health.medianDnsMs >= 0 ? QString::number(health.medianDnsMs) : QString();
    case StateColumn:
        return m_states.value(row);
    default:
        return {};
    }
}

QVariant LineLoadModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case NameColumn:
        return QStringLiteral("线路名称");
    case CountColumn:
        return QStringLiteral("机子数量");
    case ReportingColumn:
        return QStringLiteral("报告健康");
    case HealthyColumn:
        return QStringLiteral("健康比例");
    case DnsTimeColumn:
        return QStringLiteral("DNS 中位时间(ms)");
    case StateColumn:
        return QStringLiteral("状态");
    default:
        return {};
    }
}

int LineLoadModel::countOf(int entry) const {
    if (entry < 0)
        return m_unknown;
    return entry < m_counts.size() ? m_counts.at(entry) : 0;
}

int LineLoadModel::lineOf(const QString& gateway, const QString& primaryDns) const {
    return m_lines->lineOf(gateway, primaryDns);
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
    // The monitor and the failover follow the same menu build as the names above.
    QList<LineHealthSummary> summaries =
        m_health ? m_health->summaries() : QList<LineHealthSummary>(names.size() + 1);
    if (summaries.size() != names.size() + 1)
        summaries = QList<LineHealthSummary>(names.size() + 1);
    QStringList states;
    for (int k = 0; k < names.size(); ++k) {
        if (m_failover)
            states.append(m_failover->stateText(k));
        else if (summaries.at(k).reporting > 0)
            states.append(summaries.at(k).failing() ? QStringLiteral("故障")
                                                    : QStringLiteral("正常"));
        else
            states.append(QString());
    }
    if (names != m_names) {
        beginResetModel();
        m_names = names;
        m_counts = counts;
        m_unknown = unknown;
        m_summaries = summaries;
        m_states = states;
        endResetModel();
        return;
    }
    if (counts == m_counts && unknown == m_unknown && summaries == m_summaries &&
        states == m_states)
        return;
    m_counts = counts;
    m_unknown = unknown;
    m_summaries = summaries;
    m_states = states;
    emit dataChanged(index(0, CountColumn),
                     index(static_cast<int>(m_names.size()), ColumnCount - 1),
                     {Qt::DisplayRole, LineStateRole});
}

} // namespace torvane::server
