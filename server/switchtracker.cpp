#include "server/switchtracker.h"

#include "server/auditlog.h"

namespace torvane::server {

SwitchTracker::SwitchTracker(ConnectionHub* hub, AuditLog* log, QObject* parent)
    : QObject(parent), m_hub(hub), m_log(log) {
    m_clock.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SwitchTracker::expire);
    connect(hub, &ConnectionHub::clientReported, this,
            [this](ConnectionHub::ClientId id, const QString& gateway, const QString& primaryDns,
                   const QString&) { onReported(id, gateway, primaryDns); });
    connect(hub, &ConnectionHub::clientClosed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &ConnectionHub::clientFailed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &ConnectionHub::allClosed, this, [this] {
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
            onEnded(it.key());
    });
}

void SwitchTracker::attachSecureHub(SecureHub* hub) {
    m_secure = hub;
    connect(hub, &SecureHub::clientReported, this,
            [this](ConnectionHub::ClientId id, const QString& gateway, const QString& primaryDns,
                   const QString&) { onReported(id, gateway, primaryDns); });
    connect(hub, &SecureHub::clientClosed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &SecureHub::clientFailed, this,
            [this](ConnectionHub::ClientId id, const QString&) { onEnded(id); });
    connect(hub, &SecureHub::rollbackReported, this, &SwitchTracker::rollBack);
}

bool SwitchTracker::isConnected(ConnectionHub::ClientId id) const {
    if (SecureHub::Owns(id))
        return m_secure && m_secure->isConnected(id);
    return m_hub->isConnected(id);
}

QString SwitchTracker::SummaryText(const Summary& summary) {
    if (summary == Summary{})
        return QString();
    return QStringLiteral("切换中 %1 台，已完成 %2 台，失败 %3 台")
        .arg(summary.pending)
        .arg(summary.confirmed)
        .arg(summary.failed);
}

void SwitchTracker::startRoundIfIdle() {
    if (m_summary.pending > 0)
        return;
    // The earlier round is over: its rows go back to plain.
    const auto ended = m_entries.keys();
    m_entries.clear();
    m_deadlines.clear();
    m_summary = {};
    for (ConnectionHub::ClientId id : ended)
        emit stateChanged(id, SwitchState::None);
}

bool SwitchTracker::send(ConnectionHub::ClientId id, const QString& fromLine, const QString& toLine,
                         const QString& gateway, const QString& primaryDns,
                         const QString& secondaryDns) {
    if (!isConnected(id))
        return false;
    startRoundIfIdle();
    SwitchCommand command;
    command.address = SecureHub::Owns(id) ? m_secure->addressOf(id) : m_hub->addressOf(id);
    command.fromLine = fromLine;
    command.toLine = toLine;
    command.gateway = gateway.trimmed();
    command.primaryDns = primaryDns.trimmed();
    command.secondaryDns = secondaryDns.trimmed();
    return dispatch(id, std::move(command));
}

bool SwitchTracker::dispatch(ConnectionHub::ClientId id, SwitchCommand command) {
    const bool sent =
        SecureHub::Owns(id)
            ? m_secure && m_secure->sendSwitch(id, command.gateway, command.primaryDns,
                                               command.secondaryDns)
            : m_hub->sendSwitch(id, command.gateway, command.primaryDns, command.secondaryDns);
    if (!sent)
        return false;
    Entry& entry = m_entries[id];
    switch (entry.command.byWorkstation ? SwitchState::None : entry.command.state) {
    case SwitchState::Pending:
        --m_summary.pending; // replaced by the newer command
        break;
    case SwitchState::Confirmed:
        --m_summary.confirmed;
        break;
    case SwitchState::Failed:
        --m_summary.failed;
        break;
    case SwitchState::None:
        break;
    }
    command.state = SwitchState::Pending;
    command.outcome.clear();
    command.reportedGateway.clear();
    command.reportedDns.clear();
    entry.command = std::move(command);
    entry.serial = m_nextSerial++;
    ++m_summary.pending;
    m_deadlines.push_back({m_clock.elapsed() + m_timeoutMs, id, entry.serial});
    armTimer();
    emit stateChanged(id, SwitchState::Pending);
    emit summaryChanged(m_summary);
    return true;
}

int SwitchTracker::resendFailed() {
    // Within the round: the failed rows turn pending again, the confirmed ones stay.
    int sent = 0;
    for (ConnectionHub::ClientId id : failedIds()) {
        if (dispatch(id, m_entries.value(id).command))
            ++sent;
    }
    return sent;
}

SwitchState SwitchTracker::stateOf(ConnectionHub::ClientId id) const {
    const auto it = m_entries.constFind(id);
    return it == m_entries.cend() ? SwitchState::None : it->command.state;
}

const SwitchCommand* SwitchTracker::commandOf(ConnectionHub::ClientId id) const {
    const auto it = m_entries.constFind(id);
    return it == m_entries.cend() ? nullptr : &it->command;
}

QList<ConnectionHub::ClientId> SwitchTracker::failedIds() const {
    QList<ConnectionHub::ClientId> ids;
    for (auto it = m_entries.cbegin(); it != m_entries.cend(); ++it) {
        if (it->command.state == SwitchState::Failed && !it->command.byWorkstation)
            ids.append(it.key());
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

void SwitchTracker::onReported(ConnectionHub::ClientId id, const QString& gateway,
                               const QString& primaryDns) {
    const auto it = m_entries.find(id);
    if (it == m_entries.end() || it->command.state != SwitchState::Pending)
        return;
    if (gateway.trimmed() == it->command.gateway &&
        primaryDns.trimmed() == it->command.primaryDns) {
        finish(id, *it, SwitchState::Confirmed, QStringLiteral("已完成"));
    } else {
        it->command.reportedGateway = gateway.trimmed();
        it->command.reportedDns = primaryDns.trimmed();
    }
}

void SwitchTracker::onEnded(ConnectionHub::ClientId id) {
    const auto it = m_entries.find(id);
    if (it != m_entries.end() && it->command.state == SwitchState::Pending)
        finish(id, *it, SwitchState::Failed, QStringLiteral("失败：连接已断开"));
}

void SwitchTracker::finish(ConnectionHub::ClientId id, Entry& entry, SwitchState state,
                           const QString& outcome) {
    entry.command.state = state;
    entry.command.outcome = outcome;
    --m_summary.pending;
    ++(state == SwitchState::Confirmed ? m_summary.confirmed : m_summary.failed);
    const SwitchCommand& c = entry.command;
    log(c.address, c.fromLine, c.toLine, outcome);
    emit stateChanged(id, state);
    emit summaryChanged(m_summary);
}

void SwitchTracker::log(const QString& address, const QString& fromLine, const QString& toLine,
                        const QString& outcome) {
    if (!m_log)
        return;
    m_log->append(QStringLiteral("%1\t%2\t%3\t%4\t%5")
                      .arg(QDateTime::currentDateTime().toString(Qt::ISODate), address,
                           fromLine.isEmpty() ? QStringLiteral("-") : fromLine,
                           toLine.isEmpty() ? QStringLiteral("-") : toLine, outcome));
}

void SwitchTracker::rollBack(ConnectionHub::ClientId id, const RollbackReport& rollback) {
    if (!isConnected(id))
        return;
    const QString outcome = QStringLiteral("已回退：%1").arg(rollback.reason);
    const QString address = SecureHub::Owns(id) ? m_secure->addressOf(id) : m_hub->addressOf(id);
    // The log line is the rollback's own move: from the line tried back to the one restored.
    log(address, rollback.from, rollback.to, outcome);
    const auto it = m_entries.find(id);
    if (it != m_entries.end() && !it->command.byWorkstation &&
        it->command.state != SwitchState::None) {
        SwitchCommand& command = it->command;
        if (command.state == SwitchState::Pending)
            --m_summary.pending;
        else if (command.state == SwitchState::Confirmed)
            --m_summary.confirmed;
        else
            --m_summary.failed;
        ++m_summary.failed;
        command.state = SwitchState::Failed;
        command.outcome = outcome;
        emit stateChanged(id, SwitchState::Failed);
        emit summaryChanged(m_summary);
        return;
    }
    // A switch of the workstation's own: the row says which, from the line it went back to.
    Entry& entry = m_entries[id];
    entry.command = SwitchCommand{};
    entry.command.address = address;
    entry.command.fromLine = rollback.to;
    entry.command.toLine = rollback.from;
    entry.command.state = SwitchState::Failed;
    entry.command.outcome = outcome;
    entry.command.byWorkstation = true;
    entry.serial = m_nextSerial++;
    emit stateChanged(id, SwitchState::Failed);
}

void SwitchTracker::expire() {
    const qint64 now = m_clock.elapsed();
    while (!m_deadlines.empty() && m_deadlines.front().at <= now) {
        const Deadline due = m_deadlines.front();
        m_deadlines.pop_front();
        const auto it = m_entries.find(due.id);
        if (it == m_entries.end() || it->serial != due.serial ||
            it->command.state != SwitchState::Pending)
            continue;
        QString outcome = QStringLiteral("失败：%1 秒内没有报告新线路").arg(m_timeoutMs / 1000.0);
        if (!it->command.reportedGateway.isEmpty() || !it->command.reportedDns.isEmpty())
            outcome += QStringLiteral("（报告的网关 %1，DNS %2）")
                           .arg(it->command.reportedGateway, it->command.reportedDns);
        finish(due.id, *it, SwitchState::Failed, outcome);
    }
    armTimer();
}

void SwitchTracker::armTimer() {
    if (m_deadlines.empty()) {
        m_timer.stop();
        return;
    }
    if (!m_timer.isActive())
        m_timer.start(
            static_cast<int>(std::max<qint64>(0, m_deadlines.front().at - m_clock.elapsed())));
}

} // namespace torvane::server
