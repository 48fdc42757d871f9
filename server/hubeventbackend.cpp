#include "server/hubeventbackend.h"

#include "server/polleventbackend.h"
#include "server/threadpolleventbackend.h"
#ifdef Q_OS_LINUX
#include "server/epolleventbackend.h"
#endif

namespace torvane::server {

QList<HubBackendKind> AvailableHubBackends() {
#ifdef Q_OS_LINUX
    return {HubBackendKind::Epoll, HubBackendKind::Poll, HubBackendKind::PollThread};
#else
    return {HubBackendKind::PollThread, HubBackendKind::Poll};
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
    case HubBackendKind::PollThread:
        return QStringLiteral("pollthread");
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
    case HubBackendKind::PollThread:
        return std::make_unique<ThreadPollEventBackend>(parent);
    case HubBackendKind::Default:
        break;
    }
    return nullptr;
}

} // namespace torvane::server
