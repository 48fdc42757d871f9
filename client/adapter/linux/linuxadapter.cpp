#include "linuxadapter.h"

LinuxAdapter::LinuxAdapter(const QString& resolverPath) : m_resolverPath(resolverPath) {}

NetworkParams LinuxAdapter::inspect() {
    NetworkParams params;
    params.error = 4;
    return params;
}

SwitchOutcome LinuxAdapter::switchTo(const AdapterSettings&) {
    SwitchOutcome outcome;
    outcome.errorText = QStringLiteral("switching is not available yet");
    return outcome;
}

std::unique_ptr<NetworkAdapter> CreatePlatformAdapter() {
    return std::make_unique<LinuxAdapter>();
}
