#pragma once

#include "client/adapter/linkinfo.h"

#include <QString>

struct nl_sock;

namespace torvane::client {

// One rtnetlink socket of the current network namespace: reads the links with their IPv4
// addresses and default routes, and makes the changes a switch needs.
class RtnlSession {
public:
    RtnlSession();
    ~RtnlSession();
    RtnlSession(const RtnlSession&) = delete;
    RtnlSession& operator=(const RtnlSession&) = delete;

    bool open(QString* errorText);
    bool readLinks(QList<LinkInfo>* links, QString* errorText);

    // An address that already exists counts as added.
    bool addAddress(int ifindex, const Ipv4Address& address, QString* errorText);
    // Removes every IPv4 address of the link except `keep`.
    bool deleteOtherAddresses(int ifindex, const Ipv4Address& keep, QString* errorText);
    // Appends a default route; one that already exists counts as added.
    bool addDefaultRoute(int ifindex, quint32 gateway, quint32 metric, QString* errorText);
    // Removes the link's default routes other than the one via `gateway` with `metric`.
    bool deleteOtherDefaultRoutes(int ifindex, quint32 gateway, quint32 metric, QString* errorText);

private:
    bool readDefaultRoutes(QList<LinkInfo>* links, QString* errorText);

    nl_sock* m_sock = nullptr;
};

} // namespace torvane::client
