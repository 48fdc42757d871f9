#pragma once

#include "client/adapter/linux/netlinkadapter.h"

#include <QDBusConnection>
#include <QStringList>

namespace torvane::service {

// systemd-resolved's bus name; whoever owns it keeps the machine's DNS servers per link.
inline constexpr char kResolvedName[] = "org.freedesktop.resolve1";

// DNS servers through systemd-resolved: the servers on each switched link, and that link made
// the route for every domain (".") so that names are asked there and not on another link.
class ResolvedDns : public client::DnsTarget {
public:
    explicit ResolvedDns(const QDBusConnection& bus);

    bool check(SwitchFailure* failure, QString* errorText) override;
    bool apply(const QList<client::LinkInfo>& links, const QStringList& servers,
               QString* errorText) override;

    // The IPv4 servers resolved uses now, link servers and global ones, in its order.
    QStringList servers() const;

    static bool Runs(const QDBusConnection& bus);

private:
    QDBusConnection m_bus;
};

} // namespace torvane::service
