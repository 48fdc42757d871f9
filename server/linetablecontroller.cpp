#include "server/linetablecontroller.h"

#include "common/linefile.h"
#include "server/linetablemodel.h"
#include "server/serverlogging.h"
#include "server/switchtracker.h"

#include <QSet>

namespace torvane::server {

LineTableController::LineTableController(const QString& lineFilePath, ConnectionHub* hub,
                                         QObject* parent)
    : QObject(parent), m_hub(hub), m_lineFilePath(lineFilePath) {
    m_model = new LineTableModel(this);
}

QString LineTableController::RefusalText(const QString& path, LineFileStatus status) {
    QString reason;
    switch (status) {
    case LineFileStatus::Symlink:
        reason = QStringLiteral("是一个符号链接");
        break;
    case LineFileStatus::NotRegular:
        reason = QStringLiteral("不是普通文件");
        break;
    case LineFileStatus::TooLarge:
        reason = QStringLiteral("超过 %1 字节").arg(kMaxLineFileBytes);
        break;
    default:
        reason = QStringLiteral("无法读取");
        break;
    }
    return QStringLiteral("线路文件 %1 %2，没有读入，也不会发送给客户端。").arg(path, reason);
}

void LineTableController::load() {
    refreshTable();
}

bool LineTableController::addLine() {
    if (!m_model->addLine()) {
        emit message(QStringLiteral("只能设置20条线路"));
        return false;
    }
    emit lineCountChanged(m_model->rowCount());
    rebuildLineMenu();
    return true;
}

bool LineTableController::deleteLine(int row) {
    bool removed = false;
    if (m_model->rowCount() >= 1 && m_model->removeLine(row)) {
        removed = true;
        emit lineCountChanged(m_model->rowCount());
    }
    rebuildLineMenu();
    return removed;
}

bool LineTableController::saveTable() {
    switch (m_model->save(m_lineFilePath)) {
    case LineTableModel::SaveResult::Invalid:
        emit message(QStringLiteral("请将所有内容填写完整并正确"));
        return false;
    case LineTableModel::SaveResult::WriteFailed:
        // The file is replaced atomically, so it still holds its previous content.
        qCWarning(lcLines) << "could not write" << m_lineFilePath;
        emit message(QStringLiteral("无法写入 %1，配置没有保存。").arg(m_lineFilePath));
        rebuildLineMenu();
        return false;
    case LineTableModel::SaveResult::Saved:
        break;
    }
    rebuildLineMenu();
    return true;
}

void LineTableController::refreshTable() {
    const int dropped = m_model->load(m_lineFilePath);
    if (IsRefusal(m_model->loadStatus())) {
        // The Clients get no list either while the file stays so (the hub never sends it).
        qCWarning(lcLines) << "line file refused:" << m_lineFilePath
                           << DescribeLineFileStatus(m_model->loadStatus());
        emit message(RefusalText(m_lineFilePath, m_model->loadStatus()));
    }
    if (dropped > 0)
        qCWarning(lcLines) << "the line file holds" << dropped << "records past the 20th; dropped";
    rebuildLineMenu();
}

void LineTableController::rebuildLineMenu() {
    const int n = std::min(m_model->rowCount(), kMaxLines);
    m_menuNames.clear();
    // Entries are overwritten, never cleared: the table only grows.
    m_switchTable.resize(std::max<qsizetype>(m_switchTable.size(), n));
    for (int k = 0; k < n; ++k) {
        m_menuNames.append(m_model->cellText(k, LineTableModel::NameColumn));
        m_switchTable[k] = SwitchEntry{m_model->cellText(k, LineTableModel::GatewayColumn),
                                       m_model->cellText(k, LineTableModel::PrimaryDnsColumn),
                                       m_model->cellText(k, LineTableModel::SecondaryDnsColumn)};
    }
    m_menuBuilt = true;
    emit lineMenuRebuilt();
}

int LineTableController::lineOf(const QString& gateway, const QString& primaryDns) const {
    const QString gw = gateway.trimmed();
    const QString dns = primaryDns.trimmed();
    if (gw.isEmpty())
        return -1;
    const int n = static_cast<int>(std::min(m_switchTable.size(), m_menuNames.size()));
    for (int k = 0; k < n; ++k) {
        if (m_switchTable.at(k).gateway.trimmed() == gw &&
            m_switchTable.at(k).primaryDns.trimmed() == dns)
            return k;
    }
    return -1;
}

void LineTableController::setSwitchTracker(
    SwitchTracker* tracker, std::function<QString(ConnectionHub::ClientId)> currentLineOf) {
    m_tracker = tracker;
    m_currentLineOf = std::move(currentLineOf);
}

int LineTableController::switchClients(int entry, const QList<ConnectionHub::ClientId>& ids) {
    if (!m_menuBuilt || entry < 0 || entry >= m_menuNames.size())
        return 0;
    const SwitchEntry& line = m_switchTable.at(entry);
    QSet<ConnectionHub::ClientId> done;
    int sent = 0;
    for (const ConnectionHub::ClientId id : ids) {
        if (id == 0 || done.contains(id))
            continue;
        done.insert(id);
        // The hub sends only on a connection that is still connected.
        const bool ok =
            m_tracker ? m_tracker->send(id, m_currentLineOf ? m_currentLineOf(id) : QString(),
                                        m_menuNames.at(entry), line.gateway, line.primaryDns,
                                        line.secondaryDns)
                      : m_hub->sendSwitch(id, line.gateway, line.primaryDns, line.secondaryDns);
        if (ok)
            ++sent;
    }
    return sent;
}

} // namespace torvane::server
