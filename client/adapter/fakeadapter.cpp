#include "client/adapter/fakeadapter.h"

#include <QTimer>

namespace torvane::client {

NetworkParams FakeAdapter::inspect() {
    ++m_inspectCount;
    return m_params;
}

void FakeAdapter::startSwitch(const AdapterSettings& settings) {
    if (m_running)
        ++m_overlapping;
    m_switchCalls.append(settings);
    m_running = settings;
    if (m_hold)
        return;
    const quint64 generation = ++m_generation;
    QTimer::singleShot(m_durationMs, this, [this, generation] {
        if (generation == m_generation && m_running)
            completeSwitch();
    });
}

bool FakeAdapter::completeSwitch() {
    if (!m_running)
        return false;
    const AdapterSettings settings = *m_running;
    m_running.reset();
    ++m_generation;
    emit switchFinished(apply(settings));
    return true;
}

SwitchOutcome FakeAdapter::apply(const AdapterSettings& settings) {
    SwitchOutcome outcome;
    if (!m_failure.isEmpty()) {
        outcome.failure = m_failureKind;
        outcome.errorText = m_failure;
        return outcome;
    }
    if (!settings.localIp.trimmed().isEmpty()) {
        m_params.localIp = settings.localIp.trimmed();
        m_params.subnetMask = settings.subnetMask.trimmed();
    }
    m_params.gateway = settings.gateway.trimmed();
    QStringList dns{settings.primaryDns.trimmed()};
    if (!settings.secondaryDns.trimmed().isEmpty())
        dns.append(settings.secondaryDns.trimmed());
    m_params.dnsServers = dns;
    outcome.ok = true;
    outcome.failure = SwitchFailure::None;
    outcome.adapters = QStringList{m_params.adapterName};
    return outcome;
}

} // namespace torvane::client
