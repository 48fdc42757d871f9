#include "server/linetablemodel.h"

#include "common/gbk.h"
#include "common/linefile.h"
#include "common/validators.h"

namespace torvane::server {

namespace {
const char* const kHeaders[] = {"ID", "名称", "网关", "首选DNS", "备选DNS"};
constexpr int kColumnCount = 5;

const QString kNewLineName = QStringLiteral("配置名称");
const QString kNewLineAddress = QStringLiteral("192.168.0.1");

} // namespace

LineTableModel::LineTableModel(QObject* parent) : QAbstractTableModel(parent) {}

int LineTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int LineTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant LineTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= kColumnCount)
        return {};
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return cellText(index.row(), index.column());
}

bool LineTableModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || index.column() == IdColumn ||
        index.row() >= rowCount())
        return false;
    setCellText(index.row(), index.column(), value.toString());
    return true;
}

QVariant LineTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumnCount)
        return {};
    return QString::fromUtf8(kHeaders[section]);
}

Qt::ItemFlags LineTableModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    // Editing goes through the in-place editor, never through a view's delegate.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QString LineTableModel::cellText(int row, int column) const {
    if (row < 0 || row >= m_rows.size())
        return {};
    const LineEntry& entry = m_rows.at(row);
    switch (column) {
    case IdColumn:
        return QString::number(m_ids.value(row, row + 1));
    case NameColumn:
        return entry.name;
    case GatewayColumn:
        return entry.gateway;
    case PrimaryDnsColumn:
        return entry.primaryDns;
    case SecondaryDnsColumn:
        return entry.secondaryDns;
    default:
        return {};
    }
}

QString* LineTableModel::cell(int row, int column) {
    if (row < 0 || row >= m_rows.size())
        return nullptr;
    LineEntry& entry = m_rows[row];
    switch (column) {
    case NameColumn:
        return &entry.name;
    case GatewayColumn:
        return &entry.gateway;
    case PrimaryDnsColumn:
        return &entry.primaryDns;
    case SecondaryDnsColumn:
        return &entry.secondaryDns;
    default:
        return nullptr;
    }
}

void LineTableModel::setCellText(int row, int column, const QString& text) {
    QString* target = cell(row, column);
    if (!target || *target == text)
        return;
    *target = text;
    const QModelIndex changed = index(row, column);
    emit dataChanged(changed, changed, {Qt::DisplayRole, Qt::EditRole});
}

void LineTableModel::setRows(const QList<LineEntry>& rows) {
    beginResetModel();
    m_rows = rows.mid(0, kMaxLines);
    m_ids.clear();
    for (int r = 1; r <= m_rows.size(); ++r)
        m_ids.append(r);
    for (LineEntry& row : m_rows) {
        // The Server keeps no local address or mask; they are written empty.
        row.localIp.clear();
        row.subnetMask.clear();
    }
    endResetModel();
}

int LineTableModel::load(const QString& path) {
    const LoadedLines loaded = ReadServerLineTable(path);
    m_loadStatus = loaded.status;
    const QList<LineEntry>& records = loaded.entries;
    setRows(records);
    return static_cast<int>(records.size() - m_rows.size());
}

bool LineTableModel::isRowValid(const LineEntry& row) {
    return !row.name.trimmed().isEmpty() && NameSurvivesFile(row.name) &&
           IsIpAddress(row.secondaryDns) && IsIpAddress(row.primaryDns) && IsIpAddress(row.gateway);
}

int LineTableModel::firstInvalidRow() const {
    for (int r = 0; r < m_rows.size(); ++r) {
        if (!isRowValid(m_rows.at(r)))
            return r;
    }
    return -1;
}

LineTableModel::SaveResult LineTableModel::save(const QString& path) const {
    if (firstInvalidRow() >= 0)
        return SaveResult::Invalid;
    return WriteServerLineFile(path, m_rows) ? SaveResult::Saved : SaveResult::WriteFailed;
}

bool LineTableModel::addLine() {
    if (m_rows.size() >= kMaxLines)
        return false;
    const int row = static_cast<int>(m_rows.size());
    beginInsertRows({}, row, row);
    m_rows.append(LineEntry{kNewLineName, QString(), QString(), kNewLineAddress, kNewLineAddress,
                            kNewLineAddress});
    m_ids.append(row + 1);
    endInsertRows();
    return true;
}

bool LineTableModel::removeLine(int row) {
    if (row < 0 || row >= m_rows.size())
        return false;
    beginRemoveRows({}, row, row);
    m_rows.removeAt(row);
    m_ids.removeAt(row);
    endRemoveRows();
    renumber();
    return true;
}

void LineTableModel::renumber() {
    int first = -1;
    int last = -1;
    for (int r = 0; r < m_ids.size(); ++r) {
        if (m_ids.at(r) != r + 1) {
            m_ids[r] = r + 1;
            if (first < 0)
                first = r;
            last = r;
        }
    }
    if (first >= 0)
        emit dataChanged(index(first, IdColumn), index(last, IdColumn), {Qt::DisplayRole});
}

} // namespace torvane::server
