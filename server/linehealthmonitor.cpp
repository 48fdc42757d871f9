#include "server/linehealthmonitor.h"

#include "server/linetablecontroller.h"
#include "server/securehub.h"
#include "server/serverlogging.h"

#include <QElapsedTimer>

#include <algorithm>
#include <memory>
#include <vector>

namespace torvane::server {

namespace {
int Median(std::vector<int>& values) {
    if (values.empty())
        return -1;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1)
        return *middle;
    const int upper = *middle;
    const int lower = *std::max_element(values.begin(), middle);
    return (lower + upper + 1) / 2;
}
} // namespace

LineHealthMonitor::LineHealthMonitor(LineTableController* lines, QObject* parent)
    : QObject(parent), m_lines(lines) {
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    m_clock = [elapsed] { return elapsed->elapsed(); };
    m_sweep.setInterval(kSweepIntervalMs);
    connect(&m_sweep, &QTimer::timeout, this, &LineHealthMonitor::expire);
    // A changed table may put the same gateway and DNS under another entry, or under none.
    connect(lines, &LineTableController::lineMenuRebuilt, this, &LineHealthMonitor::refile);
    refile();
}

void LineHealthMonitor::attach(SecureHub* hub) {
    connect(hub, &SecureHub::healthReported, this, &LineHealthMonitor::record);
    connect(hub, &SecureHub::clientClosed, this,
            [this](ClientId id, const QString&) { forget(id); });
    connect(hub, &SecureHub::clientFailed, this,
            [this](ClientId id, const QString&) { forget(id); });
}

qint64 LineHealthMonitor::now() const {
    return m_clock();
}

LineHealthMonitor::Counts& LineHealthMonitor::countsOf(int entry) {
    return entry >= 0 && entry < m_counts.size() ? m_counts[entry] : m_unknown;
}

const LineHealthMonitor::Counts* LineHealthMonitor::countsOf(int entry) const {
    if (entry < 0)
        return &m_unknown;
    return entry < m_counts.size() ? &m_counts.at(entry) : nullptr;
}

void LineHealthMonitor::add(const Result& result, int sign) {
    Counts& counts = countsOf(result.entry);
    counts.reporting += sign;
    if (!result.healthy)
        counts.unhealthy += sign;
}

void LineHealthMonitor::announce(int entry, bool wasFailing) {
    const Counts* counts = std::as_const(*this).countsOf(entry);
    if (entry < 0 || !counts || counts->failing() == wasFailing)
        return;
    qCInfo(lcHealth).noquote() << "line" << m_lines->menuNames().value(entry)
                               << (counts->failing() ? "failing:" : "working again:")
                               << counts->unhealthy << "of" << counts->reporting
                               << "workstations see it broken";
    emit lineFailingChanged(entry, counts->failing());
}

void LineHealthMonitor::record(ClientId id, const HealthReport& health) {
    Result result;
    result.gateway = health.gateway.trimmed();
    result.primaryDns = health.primaryDns.trimmed();
    result.entry = m_lines->lineOf(result.gateway, result.primaryDns);
    result.healthy = health.healthy();
    result.dnsOk = health.dnsOk;
    result.dnsMs = health.dnsMs;
    result.at = now();
    const int entry = result.entry;
    const bool wasFailing = isFailing(entry);
    // The old result leaves its line before the new one joins: a workstation that moved counts
    // on its new line only.
    const auto it = m_results.find(id);
    const int oldEntry = it == m_results.end() ? entry : it->entry;
    const bool oldWasFailing = isFailing(oldEntry);
    if (it != m_results.end()) {
        add(*it, -1);
        *it = std::move(result);
        add(*it, +1);
    } else {
        add(*m_results.insert(id, std::move(result)), +1);
    }
    if (oldEntry != entry)
        announce(oldEntry, oldWasFailing);
    announce(entry, wasFailing);
    if (!m_sweep.isActive())
        m_sweep.start();
    emit changed();
}

void LineHealthMonitor::forget(ClientId id) {
    const auto it = m_results.find(id);
    if (it == m_results.end())
        return;
    const int entry = it->entry;
    const bool wasFailing = isFailing(entry);
    add(*it, -1);
    m_results.erase(it);
    announce(entry, wasFailing);
    emit changed();
}

void LineHealthMonitor::forgetAll() {
    if (m_results.isEmpty())
        return;
    const QList<ClientId> ids = m_results.keys();
    for (const ClientId id : ids)
        forget(id);
}

void LineHealthMonitor::expire() {
    const qint64 oldest = now() - m_staleMs;
    bool removed = false;
    for (auto it = m_results.begin(); it != m_results.end();) {
        if (it->at > oldest) {
            ++it;
            continue;
        }
        const int entry = it->entry;
        const bool wasFailing = isFailing(entry);
        add(*it, -1);
        it = m_results.erase(it);
        announce(entry, wasFailing);
        removed = true;
    }
    if (m_results.isEmpty())
        m_sweep.stop();
    if (removed)
        emit changed();
}

void LineHealthMonitor::refile() {
    const QList<bool> wasFailing = [this] {
        QList<bool> flags;
        for (const Counts& counts : std::as_const(m_counts))
            flags.append(counts.failing());
        return flags;
    }();
    m_counts = QList<Counts>(m_lines->menuNames().size());
    m_unknown = {};
    for (Result& result : m_results) {
        result.entry = m_lines->lineOf(result.gateway, result.primaryDns);
        Counts& counts = countsOf(result.entry);
        ++counts.reporting;
        if (!result.healthy)
            ++counts.unhealthy;
    }
    for (int k = 0; k < m_counts.size(); ++k) {
        if (m_counts.at(k).failing() != wasFailing.value(k, false))
            emit lineFailingChanged(k, m_counts.at(k).failing());
    }
    emit changed();
}

bool LineHealthMonitor::isFailing(int entry) const {
    const Counts* counts = countsOf(entry);
    return counts && counts->failing();
}

int LineHealthMonitor::reportingCount(int entry) const {
    const Counts* counts = countsOf(entry);
    return counts ? counts->reporting : 0;
}

LineHealthSummary LineHealthMonitor::summaryOf(int entry) const {
    const QList<LineHealthSummary> all = summaries();
    if (entry < 0 || entry >= m_counts.size())
        return entry < 0 ? all.last() : LineHealthSummary{};
    return all.at(entry);
}

QList<LineHealthSummary> LineHealthMonitor::summaries() const {
    const qsizetype lines = m_counts.size();
    QList<LineHealthSummary> out(lines + 1);
    std::vector<std::vector<int>> times(static_cast<size_t>(lines + 1));
    for (const Result& result : m_results) {
        const qsizetype slot = result.entry >= 0 && result.entry < lines ? result.entry : lines;
        LineHealthSummary& summary = out[slot];
        ++summary.reporting;
        if (result.healthy)
            ++summary.healthy;
        if (result.dnsOk)
            times[static_cast<size_t>(slot)].push_back(result.dnsMs);
    }
    for (qsizetype k = 0; k <= lines; ++k)
        out[k].medianDnsMs = Median(times[static_cast<size_t>(k)]);
    return out;
}

} // namespace torvane::server
