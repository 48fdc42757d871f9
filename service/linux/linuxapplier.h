#pragma once

#include "client/adapter/linux/netlinkadapter.h"
#include "service/core/switchservicecore.h"

#include <QDBusConnection>

namespace torvane::service {

// Applies a switch on Linux: addresses and routes over rtnetlink, the DNS servers into the
// resolver file, or into systemd-resolved when it runs (asked at every switch, so a resolved
// started later is used from then on).
class LinuxApplier : public SwitchApplier {
public:
    LinuxApplier(const QDBusConnection& bus, const QString& resolverPath);

    AdapterSettings current() override;
    SwitchReply apply(const AdapterSettings& settings) override;

    // Which way the DNS servers go now: "systemd-resolved" or "resolver file".
    QString dnsWay() const;

private:
    QDBusConnection m_bus;
    client::NetlinkAdapter m_netlink;
};

} // namespace torvane::service
