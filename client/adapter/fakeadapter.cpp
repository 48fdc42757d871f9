#include "client/adapter/fakeadapter.h"

namespace torvane::client {

NetworkParams FakeAdapter::inspect() {
    ++m_inspectCount;
    return m_params;
}

SwitchOutcome FakeAdapter::switchTo(const AdapterSettings& settings) {
    m_switchCalls.append(settings);
    SwitchOutcome outcome;
    if (!m_failure.isEmpty()) {
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
    outcome.adapters = QStringList{m_params.adapterName};
    return outcome;
}

} // namespace torvane::client
