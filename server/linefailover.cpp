#include "server/linefailover.h"

#include "server/auditlog.h"
#include "server/linehealthmonitor.h"
#include "server/linetablecontroller.h"
#include "server/serverlogging.h"
#include "server/serversettings.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QScopedValueRollback>

#include <memory>
#include <utility>

namespace torvane::server {

LineFailover::LineFailover(LineHealthMonitor* health, LineTableController* lines,
                           ClientsOnLine clientsOnLine, AuditLog* log, QObject* parent)
    : QObject(parent), m_health(health), m_lines(lines), m_clientsOnLine(std::move(clientsOnLine)),
      m_log(log), m_failoverMs(ServerSettings::kDefaultFailoverSeconds * 1000) {
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    m_clock = [elapsed] { return elapsed->elapsed(); };
    // Results arrive every few seconds per workstation; the timer sees the time pass between.
    m_timer.setInterval(kCheckIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &LineFailover::check);
    m_timer.start();
    connect(health, &LineHealthMonitor::changed, this, &LineFailover::check);
    connect(lines, &LineTableController::lineMenuRebuilt, this, &LineFailover::loadBackups);
    loadBackups();
}

void LineFailover::loadBackups() {
    m_backups.clear();
    for (const QString& line : m_lines->menuNames()) {
        const QString backup = ServerSettings::BackupLineOf(line);
        if (!backup.isEmpty() && backup != line)
            m_backups.insert(line, backup);
    }
    emit stateChanged();
}

void LineFailover::setBackup(const QString& line, const QString& backup) {
    const QString chosen = backup == line ? QString() : backup;
    if (!ServerSettings::SetBackupLine(line, chosen))
        qCWarning(lcHealth) << "could not store the backup line of" << line;
    if (chosen.isEmpty())
        m_backups.remove(line);
    else
        m_backups.insert(line, chosen);
    qCInfo(lcHealth).noquote() << "backup line of" << line << "is now"
                               << (chosen.isEmpty() ? QStringLiteral("none") : chosen);
    check();
}

QString LineFailover::stateText(int entry) const {
    const QString line = m_lines->menuNames().value(entry);
    const auto episode = m_episodes.constFind(line);
    const QString movedTo = episode == m_episodes.cend() ? QString() : episode->movedTo;
    const QString failing = movedTo.isEmpty() ? QStringLiteral("故障")
                                              : QStringLiteral("故障，已切换到 %1").arg(movedTo);
    if (m_health->isFailing(entry))
        return failing;
    if (m_health->reportingCount(entry) > 0)
        return QStringLiteral("正常");
    // Nobody reports from it any more (they were moved): the last word on it stands.
    return movedTo.isEmpty() ? QString() : failing;
}

void LineFailover::check() {
    // A command sent below may end a connection, whose results go, which brings us back here.
    if (m_checking) {
        m_checkAgain = true;
        return;
    }
    const QScopedValueRollback<bool> checking(m_checking, true);
    bool changed = false;
    const QStringList names = m_lines->menuNames();
    for (auto it = m_episodes.begin(); it != m_episodes.end();) {
        if (names.contains(it.key())) {
            ++it;
        } else {
            it = m_episodes.erase(it);
            changed = true;
        }
    }
    for (int entry = 0; entry < names.size(); ++entry) {
        const QString& line = names.at(entry);
        const bool failing = m_health->isFailing(entry);
        auto it = m_episodes.find(line);
        if (!failing) {
            if (it == m_episodes.end())
                continue;
            // Seen working again: the episode is over. No results: not failing now, but the
            // move of this episode is remembered until the line is seen working.
            if (m_health->reportingCount(entry) > 0 || it->movedTo.isEmpty()) {
                m_episodes.erase(it);
                changed = true;
            } else if (it->failingSince >= 0) {
                it->failingSince = -1;
            }
            continue;
        }
        if (it == m_episodes.end()) {
            it = m_episodes.insert(line, Episode{});
            changed = true;
        }
        if (it->failingSince < 0)
            it->failingSince = now();
        if (!it->movedTo.isEmpty() || !m_backups.contains(line) ||
            now() - it->failingSince < m_failoverMs)
            continue;
        failOver(entry, line, *it);
        changed = true;
    }
    if (changed)
        emit stateChanged();
    if (std::exchange(m_checkAgain, false))
        QTimer::singleShot(0, this, &LineFailover::check);
}

void LineFailover::failOver(int entry, const QString& line, Episode& episode) {
    const QString backup = m_backups.value(line);
    const int target = static_cast<int>(m_lines->menuNames().indexOf(backup));
    const int seconds = static_cast<int>((now() - episode.failingSince) / 1000);
    QString refusal;
    if (target < 0)
        refusal = QStringLiteral("备用线路 %1 不在线路表中").arg(backup);
    else if (m_health->isFailing(target))
        refusal = QStringLiteral("备用线路 %1 也在故障").arg(backup);
    if (!refusal.isEmpty()) {
        // Tried again on every check (the backup may recover), told once per episode.
        if (!std::exchange(episode.refusalLogged, true))
            log(QStringLiteral("%1\t-\t%2\t%3\t未自动切换：线路 %2 已故障 %4 秒，%5")
                    .arg(QDateTime::currentDateTime().toString(Qt::ISODate), line, backup,
                         QString::number(seconds), refusal));
        return;
    }
    episode.movedTo = backup; // before sending: the episode's one move
    const int moved = m_clientsOnLine ? m_lines->switchClients(target, m_clientsOnLine(entry)) : 0;
    log(QStringLiteral("%1\t-\t%2\t%3\t自动切换：线路 %2 已故障 %4 秒，%5 台机子切换到 %3")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODate), line, backup,
                 QString::number(seconds), QString::number(moved)));
    emit failedOver(line, backup, moved, seconds);
}

void LineFailover::log(const QString& text) {
    qCWarning(lcHealth).noquote() << text;
    if (m_log)
        m_log->append(text);
}

} // namespace torvane::server
