#pragma once

#include "client/adapter/networkadapter.h"

namespace torvane::client {

// The adapter layer on Linux: links, addresses and routes through rtnetlink (libnl-route-3),
// DNS servers through the resolver file.
class LinuxAdapter : public NetworkAdapter {
public:
    explicit LinuxAdapter(const QString& resolverPath = QStringLiteral("/etc/resolv.conf"));

    NetworkParams inspect() override;
    SwitchOutcome switchTo(const AdapterSettings& settings) override;

    QString resolverPath() const { return m_resolverPath; }

private:
    QString m_resolverPath;
};

} // namespace torvane::client
