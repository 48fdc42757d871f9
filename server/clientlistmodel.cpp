#include "server/clientlistmodel.h"

#include <algorithm>

namespace torvane::server {

namespace {
// Past this many separate blocks of removed rows one reset is cheaper than the signals.
constexpr int kMaxRemovalRuns = 64;

template <typename Rows> auto LowerBound(Rows& rows, ConnectionHub::ClientId id) {
    return std::lower_bound(
        rows.begin(), rows.end(), id,
        [](const auto& row, ConnectionHub::ClientId key) { return row.id < key; });
}
} // namespace

ClientListModel::ClientListModel(ConnectionHub* hub, QObject* parent)
    : QAbstractTableModel(parent) {
    // Precise: a coarse timer may fire up to 5 % early, which would allow an eleventh repaint.
    m_flushTimer.setSingleShot(true);
    m_flushTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_flushTimer, &QTimer::timeout, this, [this] {
        const qint64 early = kFlushIntervalMs - m_sinceFlush.elapsed();
        if (early > 0)
            m_flushTimer.start(static_cast<int>(early));
        else
            flush();
    });
    m_sinceFlush.start();
    connect(hub, &ConnectionHub::clientConnected, this, &ClientListModel::onConnected);
    connect(hub, &ConnectionHub::clientReported, this, &ClientListModel::onReported);
    connect(hub, &ConnectionHub::clientClosed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &ConnectionHub::clientFailed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &ConnectionHub::allClosed, this, &ClientListModel::onAllClosed);
}

void ClientListModel::attachSecureHub(SecureHub* hub) {
    connect(hub, &SecureHub::clientConnected, this, &ClientListModel::onConnected);
    connect(hub, &SecureHub::clientReported, this, &ClientListModel::onReported);
    connect(hub, &SecureHub::clientClosed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &SecureHub::clientFailed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
}

int ClientListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int ClientListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ClientListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows[static_cast<size_t>(index.row())];
    if (role == SwitchStateRole || role == Qt::ToolTipRole)
        return switchStateData(row.id, role);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case AddressColumn:
        return row.address;
    case GatewayColumn:
        return row.gateway;
    case DnsColumn:
        return row.primaryDns;
    case LineNameColumn:
        return row.lineName;
    default:
        return {};
    }
}

QVariant ClientListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case AddressColumn:
        return QStringLiteral("客户机IP");
    case GatewayColumn:
        return QStringLiteral("当前网关");
    case DnsColumn:
        return QStringLiteral("当前DNS");
    case LineNameColumn:
        return QStringLiteral("对应配置名称");
    default:
        return {};
    }
}

ConnectionHub::ClientId ClientListModel::clientIdAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return 0;
    return m_rows[static_cast<size_t>(row)].id;
}

QString ClientListModel::addressAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    return m_rows[static_cast<size_t>(row)].address;
}

QString ClientListModel::gatewayAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    return m_rows[static_cast<size_t>(row)].gateway;
}

QString ClientListModel::primaryDnsAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    return m_rows[static_cast<size_t>(row)].primaryDns;
}

QString ClientListModel::lineNameAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return {};
    return m_rows[static_cast<size_t>(row)].lineName;
}

void ClientListModel::setSwitchTracker(SwitchTracker* tracker) {
    m_tracker = tracker;
    connect(tracker, &SwitchTracker::stateChanged, this,
            [this](ConnectionHub::ClientId id, SwitchState) {
                if (find(m_rows, id)) {
                    m_stateChanged.insert(id);
                    schedule();
                }
            });
}

QVariant ClientListModel::switchStateData(ConnectionHub::ClientId id, int role) const {
    const SwitchCommand* command = m_tracker ? m_tracker->commandOf(id) : nullptr;
    const SwitchState state = command ? command->state : SwitchState::None;
    if (role == SwitchStateRole)
        return static_cast<int>(state);
    if (state == SwitchState::None)
        return {};
    const QString target = QStringLiteral("%1 → %2").arg(
        command->fromLine.isEmpty() ? QStringLiteral("?") : command->fromLine, command->toLine);
    if (state == SwitchState::Pending)
        return QStringLiteral("切换中：%1").arg(target);
    return QStringLiteral("%1：%2").arg(target, command->outcome);
}

int ClientListModel::rowOf(ConnectionHub::ClientId id) const {
    const auto it = LowerBound(m_rows, id);
    if (it == m_rows.end() || it->id != id)
        return -1;
    return static_cast<int>(it - m_rows.begin());
}

int ClientListModel::clientCount() const {
    return m_count;
}

ClientListModel::Row* ClientListModel::find(std::vector<Row>& rows, ConnectionHub::ClientId id) {
    const auto it = LowerBound(rows, id);
    return it != rows.end() && it->id == id ? &*it : nullptr;
}

const ClientListModel::Row* ClientListModel::find(const std::vector<Row>& rows,
                                                  ConnectionHub::ClientId id) {
    const auto it = LowerBound(rows, id);
    return it != rows.end() && it->id == id ? &*it : nullptr;
}

void ClientListModel::onConnected(ConnectionHub::ClientId id, const QString& address) {
    Row row;
    row.id = id;
    row.address = address;
    // Ids of one hub only grow; the secure hub's come from a higher range, so an arrival may
    // belong before rows already waiting.
    m_arrived.insert(LowerBound(m_arrived, id), std::move(row));
    ++m_count;
    emit countChanged(m_count);
    schedule();
}

void ClientListModel::onReported(ConnectionHub::ClientId id, const QString& gateway,
                                 const QString& primaryDns, const QString& lineName) {
    if (Row* row = find(m_arrived, id)) {
        row->gateway = gateway;
        row->primaryDns = primaryDns;
        row->lineName = lineName;
        return; // shown with its report when it is inserted
    }
    const Row* row = find(m_rows, id);
    if (!row || row->leaving)
        return;
    m_changed.insert(id, Fields{gateway, primaryDns, lineName});
    schedule();
}

void ClientListModel::onEnded(ConnectionHub::ClientId id) {
    const auto arrived = LowerBound(m_arrived, id);
    if (arrived != m_arrived.end() && arrived->id == id) {
        m_arrived.erase(arrived);
    } else if (Row* row = find(m_rows, id); row && !row->leaving) {
        row->leaving = true;
        m_departures = true;
        m_changed.remove(id);
        schedule();
    } else {
        return;
    }
    --m_count;
    emit countChanged(m_count);
}

void ClientListModel::onAllClosed() {
    m_flushTimer.stop();
    m_arrived.clear();
    m_departures = false;
    m_changed.clear();
    m_stateChanged.clear();
    if (!m_rows.empty()) {
        beginResetModel();
        m_rows.clear();
        m_rows.shrink_to_fit();
        endResetModel();
    }
    m_count = 0;
    emit countChanged(0);
}

void ClientListModel::schedule() {
    // The first change of a batch waits a tenth of a second for the others.
    if (!m_flushTimer.isActive())
        m_flushTimer.start(kFlushIntervalMs);
}

void ClientListModel::flush() {
    m_flushTimer.stop();
    if (!m_departures && m_changed.isEmpty() && m_arrived.empty() && m_stateChanged.isEmpty())
        return;
    applyRemovals();
    applyFieldChanges();
    applyStateChanges();
    applyInsertions();
    m_sinceFlush.restart();
}

void ClientListModel::applyRemovals() {
    if (!m_departures)
        return;
    auto leaving = [](const Row& row) { return row.leaving; };
    // Blocks of consecutive leaving rows, bottom first so that earlier row numbers stay valid.
    std::vector<std::pair<int, int>> runs;
    for (int r = static_cast<int>(m_rows.size()) - 1; r >= 0;) {
        if (!leaving(m_rows[static_cast<size_t>(r)])) {
            --r;
            continue;
        }
        const int last = r;
        while (r >= 0 && leaving(m_rows[static_cast<size_t>(r)]))
            --r;
        runs.emplace_back(r + 1, last);
    }
    if (static_cast<int>(runs.size()) > kMaxRemovalRuns) {
        beginResetModel();
        std::erase_if(m_rows, leaving);
        endResetModel();
    } else {
        for (const auto& [first, last] : runs) {
            beginRemoveRows({}, first, last);
            m_rows.erase(m_rows.begin() + first, m_rows.begin() + last + 1);
            endRemoveRows();
        }
    }
    m_departures = false;
    if (m_rows.capacity() > 64 && m_rows.size() < m_rows.capacity() / 4)
        m_rows.shrink_to_fit(); // a server that once had many Clients gives the memory back
}

void ClientListModel::applyFieldChanges() {
    if (m_changed.isEmpty())
        return;
    int top = -1;
    int bottom = -1;
    for (auto it = m_changed.cbegin(); it != m_changed.cend(); ++it) {
        const int r = rowOf(it.key());
        if (r < 0)
            continue;
        Row& row = m_rows[static_cast<size_t>(r)];
        row.gateway = it->gateway;
        row.primaryDns = it->primaryDns;
        row.lineName = it->lineName;
        top = top < 0 ? r : std::min(top, r);
        bottom = std::max(bottom, r);
    }
    m_changed.clear();
    if (top >= 0)
        emit dataChanged(index(top, GatewayColumn), index(bottom, LineNameColumn),
                         {Qt::DisplayRole});
}

void ClientListModel::applyStateChanges() {
    if (m_stateChanged.isEmpty())
        return;
    int top = -1;
    int bottom = -1;
    for (ConnectionHub::ClientId id : std::as_const(m_stateChanged)) {
        const int r = rowOf(id);
        if (r < 0)
            continue;
        top = top < 0 ? r : std::min(top, r);
        bottom = std::max(bottom, r);
    }
    m_stateChanged.clear();
    if (top >= 0)
        emit dataChanged(index(top, AddressColumn), index(bottom, LineNameColumn),
                         {Qt::ToolTipRole, SwitchStateRole});
}

void ClientListModel::applyInsertions() {
    if (m_arrived.empty())
        return;
    // Rows stay sorted by id (lookups depend on it): arrivals go in as blocks, each at the place
    // its ids belong. With one hub that is a single block at the end; the secure hub's rows keep
    // to the bottom, so a legacy arrival goes just above them.
    auto next = m_arrived.begin();
    while (next != m_arrived.end()) {
        const auto at = LowerBound(m_rows, next->id);
        const bool atEnd = at == m_rows.end();
        auto blockEnd = atEnd ? m_arrived.end()
                              : std::lower_bound(next, m_arrived.end(), at->id,
                                                 [](const Row& row, ConnectionHub::ClientId key) {
                                                     return row.id < key;
                                                 });
        const int first = static_cast<int>(at - m_rows.begin());
        beginInsertRows({}, first, first + static_cast<int>(blockEnd - next) - 1);
        m_rows.insert(at, std::make_move_iterator(next), std::make_move_iterator(blockEnd));
        endInsertRows();
        next = blockEnd;
    }
    m_arrived.clear();
    if (m_arrived.capacity() > 1024)
        m_arrived.shrink_to_fit();
}

} // namespace torvane::server
