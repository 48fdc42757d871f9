#include "server/hubeventbackend.h"

#include "server/polleventbackend.h"
#ifdef Q_OS_LINUX
#include "server/epolleventbackend.h"
#endif

namespace torvane::server {

QList<HubBackendKind> AvailableHubBackends() {
#ifdef Q_OS_LINUX
    return {HubBackendKind::Epoll, HubBackendKind::Poll};
#else
    return {HubBackendKind::Poll};
#endif
}

QString HubBackendName(HubBackendKind kind) {
    switch (kind) {
    case HubBackendKind::Default:
        return HubBackendName(AvailableHubBackends().constFirst());
    case HubBackendKind::Epoll:
        return QStringLiteral("epoll");
    case HubBackendKind::Poll:
        return QStringLiteral("poll");
    }
    return {};
}

std::unique_ptr<HubEventBackend> CreateHubEventBackend(HubBackendKind kind, QObject* parent) {
    if (kind == HubBackendKind::Default)
        kind = AvailableHubBackends().constFirst();
    switch (kind) {
    case HubBackendKind::Epoll:
#ifdef Q_OS_LINUX
        return std::make_unique<EpollEventBackend>(parent);
#else
        return nullptr;
#endif
    case HubBackendKind::Poll:
        return std::make_unique<PollEventBackend>(parent);
    case HubBackendKind::Default:
        break;
    }
    return nullptr;
}

} // namespace torvane::server
