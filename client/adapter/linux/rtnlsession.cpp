#include "client/adapter/linux/rtnlsession.h"

#include <QFileInfo>

#include <functional>

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netlink/errno.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>
#include <netlink/route/rtnl.h>

namespace torvane::client {

namespace {

QString NlError(int error) {
    return QString::fromLocal8Bit(nl_geterror(error));
}

nl_addr* BuildAddress(quint32 address, int prefix) {
    const quint32 net = htonl(address);
    nl_addr* addr = nl_addr_build(AF_INET, &net, sizeof(net));
    if (addr)
        nl_addr_set_prefixlen(addr, prefix);
    return addr;
}

bool ReadAddress(nl_addr* addr, quint32* address) {
    if (!addr || nl_addr_get_family(addr) != AF_INET || nl_addr_get_len(addr) != 4)
        return false;
    quint32 net = 0;
    memcpy(&net, nl_addr_get_binary_addr(addr), 4);
    *address = ntohl(net);
    return true;
}

// An IPv4 default route of the main table whose next hops all use one link: that link's index.
int DefaultRouteLink(rtnl_route* route) {
    if (rtnl_route_get_family(route) != AF_INET || rtnl_route_get_table(route) != RT_TABLE_MAIN ||
        rtnl_route_get_type(route) != RTN_UNICAST)
        return 0;
    nl_addr* dst = rtnl_route_get_dst(route);
    if (dst && nl_addr_get_prefixlen(dst) != 0)
        return 0;
    int ifindex = 0;
    const int count = rtnl_route_get_nnexthops(route);
    for (int i = 0; i < count; ++i) {
        const int nhIndex = rtnl_route_nh_get_ifindex(rtnl_route_nexthop_n(route, i));
        if (ifindex != 0 && nhIndex != ifindex)
            return 0;
        ifindex = nhIndex;
    }
    return ifindex;
}

quint32 RouteGateway(rtnl_route* route, bool* has) {
    quint32 gateway = 0;
    *has = rtnl_route_get_nnexthops(route) > 0 &&
           ReadAddress(rtnl_route_nh_get_gateway(rtnl_route_nexthop_n(route, 0)), &gateway);
    return gateway;
}

struct DumpContext {
    std::function<void(rtnl_route*)> visit;
    int error = 0;
};

int OnRouteMessage(nl_msg* msg, void* arg) {
    auto* context = static_cast<DumpContext*>(arg);
    rtnl_route* route = nullptr;
    const int err = rtnl_route_parse(nlmsg_hdr(msg), &route);
    if (err < 0) {
        context->error = err;
        return NL_SKIP;
    }
    context->visit(route);
    rtnl_route_put(route);
    return NL_OK;
}

// Dumps the IPv4 routes message by message: the route cache merges routes that share table,
// destination, tos and metric, and would hide a second default route on another link.
int DumpRoutes(nl_sock* sock, const std::function<void(rtnl_route*)>& visit) {
    int err = nl_rtgen_request(sock, RTM_GETROUTE, AF_INET, NLM_F_DUMP);
    if (err < 0)
        return err;
    nl_cb* cb = nl_cb_alloc(NL_CB_DEFAULT);
    if (!cb)
        return -NLE_NOMEM;
    DumpContext context{visit, 0};
    nl_cb_set(cb, NL_CB_VALID, NL_CB_CUSTOM, OnRouteMessage, &context);
    err = nl_recvmsgs(sock, cb);
    nl_cb_put(cb);
    if (err < 0)
        return err;
    return context.error;
}

} // namespace

RtnlSession::RtnlSession() = default;

RtnlSession::~RtnlSession() {
    if (m_sock)
        nl_socket_free(m_sock);
}

bool RtnlSession::open(QString* errorText) {
    m_sock = nl_socket_alloc();
    if (!m_sock) {
        *errorText = QStringLiteral("cannot allocate a netlink socket");
        return false;
    }
    const int err = nl_connect(m_sock, NETLINK_ROUTE);
    if (err < 0) {
        *errorText = QStringLiteral("cannot open rtnetlink: %1").arg(NlError(err));
        nl_socket_free(m_sock);
        m_sock = nullptr;
        return false;
    }
    return true;
}

bool RtnlSession::readLinks(QList<LinkInfo>* links, QString* errorText) {
    links->clear();
    nl_cache* linkCache = nullptr;
    int err = rtnl_link_alloc_cache(m_sock, AF_UNSPEC, &linkCache);
    if (err < 0) {
        *errorText = QStringLiteral("cannot read the network links: %1").arg(NlError(err));
        return false;
    }
    for (nl_object* obj = nl_cache_get_first(linkCache); obj; obj = nl_cache_get_next(obj)) {
        auto* link = reinterpret_cast<rtnl_link*>(obj);
        LinkInfo info;
        info.ifindex = rtnl_link_get_ifindex(link);
        info.name = QString::fromLocal8Bit(rtnl_link_get_name(link));
        if (const char* kind = rtnl_link_get_type(link))
            info.kind = QString::fromLatin1(kind);
        const unsigned flags = rtnl_link_get_flags(link);
        info.up = flags & IFF_UP;
        info.loopback = flags & IFF_LOOPBACK;
        // Only judge by /sys when it shows this namespace's links.
        const QString sysPath = QStringLiteral("/sys/class/net/") + info.name;
        if (QFileInfo::exists(sysPath))
            info.hasDevice = QFileInfo::exists(sysPath + QStringLiteral("/device"));
        links->append(info);
    }
    nl_cache_free(linkCache);

    nl_cache* addrCache = nullptr;
    err = rtnl_addr_alloc_cache(m_sock, &addrCache);
    if (err < 0) {
        *errorText = QStringLiteral("cannot read the addresses: %1").arg(NlError(err));
        return false;
    }
    for (nl_object* obj = nl_cache_get_first(addrCache); obj; obj = nl_cache_get_next(obj)) {
        auto* addr = reinterpret_cast<rtnl_addr*>(obj);
        Ipv4Address a;
        if (rtnl_addr_get_family(addr) != AF_INET ||
            !ReadAddress(rtnl_addr_get_local(addr), &a.address))
            continue;
        a.prefix = rtnl_addr_get_prefixlen(addr);
        const int ifindex = rtnl_addr_get_ifindex(addr);
        for (LinkInfo& info : *links) {
            if (info.ifindex == ifindex)
                info.addresses.append(a);
        }
    }
    nl_cache_free(addrCache);
    return readDefaultRoutes(links, errorText);
}

bool RtnlSession::readDefaultRoutes(QList<LinkInfo>* links, QString* errorText) {
    const int err = DumpRoutes(m_sock, [links](rtnl_route* route) {
        const int ifindex = DefaultRouteLink(route);
        if (ifindex == 0)
            return;
        DefaultRoute entry;
        entry.gateway = RouteGateway(route, &entry.hasGateway);
        entry.metric = rtnl_route_get_priority(route);
        for (LinkInfo& info : *links) {
            if (info.ifindex == ifindex)
                info.defaultRoutes.append(entry);
        }
    });
    if (err < 0) {
        *errorText = QStringLiteral("cannot read the routes: %1").arg(NlError(err));
        return false;
    }
    return true;
}

bool RtnlSession::addAddress(int ifindex, const Ipv4Address& address, QString* errorText) {
    rtnl_addr* addr = rtnl_addr_alloc();
    nl_addr* local = BuildAddress(address.address, address.prefix);
    const quint32 hostBits = address.prefix >= 32 ? 0 : (0xffffffffu >> address.prefix);
    nl_addr* broadcast = BuildAddress(address.address | hostBits, 32);
    int err = -NLE_NOMEM;
    if (addr && local && broadcast) {
        rtnl_addr_set_ifindex(addr, ifindex);
        rtnl_addr_set_family(addr, AF_INET);
        rtnl_addr_set_local(addr, local);
        rtnl_addr_set_prefixlen(addr, address.prefix);
        if (address.prefix < 31)
            rtnl_addr_set_broadcast(addr, broadcast);
        err = rtnl_addr_add(m_sock, addr, 0);
    }
    if (broadcast)
        nl_addr_put(broadcast);
    if (local)
        nl_addr_put(local);
    if (addr)
        rtnl_addr_put(addr);
    if (err < 0 && err != -NLE_EXIST) {
        *errorText = QStringLiteral("cannot add the address: %1").arg(NlError(err));
        return false;
    }
    return true;
}

bool RtnlSession::deleteOtherAddresses(int ifindex, const Ipv4Address& keep, QString* errorText) {
    nl_cache* cache = nullptr;
    int err = rtnl_addr_alloc_cache(m_sock, &cache);
    if (err < 0) {
        *errorText = QStringLiteral("cannot read the addresses: %1").arg(NlError(err));
        return false;
    }
    bool ok = true;
    for (nl_object* obj = nl_cache_get_first(cache); obj; obj = nl_cache_get_next(obj)) {
        auto* addr = reinterpret_cast<rtnl_addr*>(obj);
        quint32 local = 0;
        if (rtnl_addr_get_ifindex(addr) != ifindex || rtnl_addr_get_family(addr) != AF_INET ||
            !ReadAddress(rtnl_addr_get_local(addr), &local))
            continue;
        if (local == keep.address && rtnl_addr_get_prefixlen(addr) == keep.prefix)
            continue;
        err = rtnl_addr_delete(m_sock, addr, 0);
        // Gone already (removed together with a primary): nothing left to do.
        if (err < 0 && err != -NLE_NOADDR && err != -NLE_OBJ_NOTFOUND) {
            *errorText = QStringLiteral("cannot remove an old address: %1").arg(NlError(err));
            ok = false;
            break;
        }
    }
    nl_cache_free(cache);
    return ok;
}

bool RtnlSession::addDefaultRoute(int ifindex, quint32 gateway, quint32 metric,
                                  QString* errorText) {
    rtnl_route* route = rtnl_route_alloc();
    rtnl_nexthop* nh = rtnl_route_nh_alloc();
    nl_addr* dst = BuildAddress(0, 0);
    nl_addr* gw = BuildAddress(gateway, 32);
    int err = -NLE_NOMEM;
    if (route && nh && dst && gw) {
        rtnl_route_set_family(route, AF_INET);
        rtnl_route_set_table(route, RT_TABLE_MAIN);
        rtnl_route_set_dst(route, dst);
        rtnl_route_set_priority(route, metric);
        rtnl_route_set_protocol(route, RTPROT_STATIC);
        rtnl_route_set_scope(route, RT_SCOPE_UNIVERSE);
        rtnl_route_set_type(route, RTN_UNICAST);
        rtnl_route_nh_set_ifindex(nh, ifindex);
        rtnl_route_nh_set_gateway(nh, gw);
        rtnl_route_add_nexthop(route, nh);
        nh = nullptr; // owned by the route now
        // APPEND, not REPLACE: the route key ignores the link, so a replace could take over
        // another adapter's default route with the same metric.
        err = rtnl_route_add(m_sock, route, NLM_F_APPEND);
    }
    if (nh)
        rtnl_route_nh_free(nh);
    if (gw)
        nl_addr_put(gw);
    if (dst)
        nl_addr_put(dst);
    if (route)
        rtnl_route_put(route);
    if (err < 0 && err != -NLE_EXIST) {
        *errorText = QStringLiteral("cannot add the default route: %1").arg(NlError(err));
        return false;
    }
    return true;
}

bool RtnlSession::deleteOtherDefaultRoutes(int ifindex, quint32 gateway, quint32 metric,
                                           QString* errorText) {
    QList<rtnl_route*> doomed;
    int err = DumpRoutes(m_sock, [&](rtnl_route* route) {
        if (DefaultRouteLink(route) != ifindex)
            return;
        bool hasGateway = false;
        const quint32 via = RouteGateway(route, &hasGateway);
        if (hasGateway && via == gateway && rtnl_route_get_priority(route) == metric)
            return;
        nl_object_get(reinterpret_cast<nl_object*>(route));
        doomed.append(route);
    });
    if (err < 0) {
        *errorText = QStringLiteral("cannot read the routes: %1").arg(NlError(err));
    }
    bool ok = err >= 0;
    for (rtnl_route* route : doomed) {
        if (ok) {
            err = rtnl_route_delete(m_sock, route, 0);
            if (err < 0 && err != -NLE_OBJ_NOTFOUND) {
                *errorText =
                    QStringLiteral("cannot remove an old default route: %1").arg(NlError(err));
                ok = false;
            }
        }
        rtnl_route_put(route);
    }
    return ok;
}

} // namespace torvane::client
