#include "server/epolleventbackend.h"

#include "server/serverlogging.h"

#include <QSocketNotifier>
#include <QVarLengthArray>

#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

namespace torvane::server {

namespace {
quint32 EpollMask(quint32 interest) {
    // A peer's close is always of interest; it needs no request.
    quint32 mask = EPOLLRDHUP;
    if (interest & HubEventBackend::WantRead)
        mask |= EPOLLIN;
    if (interest & HubEventBackend::WantWrite)
        mask |= EPOLLOUT;
    return mask;
}
} // namespace

EpollEventBackend::EpollEventBackend(QObject* parent) : HubEventBackend(parent) {
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epollFd < 0) {
        qCWarning(lcHub, "epoll_create1 failed: %s", std::strerror(errno));
        return;
    }
    m_notifier = new QSocketNotifier(m_epollFd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HubEventBackend::ready);
}

EpollEventBackend::~EpollEventBackend() {
    delete m_notifier;
    if (m_epollFd >= 0)
        ::close(m_epollFd);
}

bool EpollEventBackend::control(int operation, qintptr descriptor, quint32 interest) {
    if (m_epollFd < 0)
        return false;
    epoll_event event{};
    event.events = EpollMask(interest);
    event.data.u64 = static_cast<quint64>(descriptor);
    return epoll_ctl(m_epollFd, operation, static_cast<int>(descriptor), &event) == 0;
}

bool EpollEventBackend::watch(qintptr descriptor, quint32 interest) {
    return control(EPOLL_CTL_ADD, descriptor, interest);
}

bool EpollEventBackend::change(qintptr descriptor, quint32 interest) {
    return control(EPOLL_CTL_MOD, descriptor, interest);
}

void EpollEventBackend::unwatch(qintptr descriptor) {
    if (m_epollFd >= 0)
        epoll_ctl(m_epollFd, EPOLL_CTL_DEL, static_cast<int>(descriptor), nullptr);
}

int EpollEventBackend::collect(Event* events, int max) {
    if (m_epollFd < 0 || max <= 0)
        return 0;
    QVarLengthArray<epoll_event, 512> ready(max);
    int count = 0;
    do {
        count = epoll_wait(m_epollFd, ready.data(), max, 0);
    } while (count < 0 && errno == EINTR);
    for (int i = 0; i < count; ++i) {
        const quint32 mask = ready[i].events;
        quint32 readiness = 0;
        if (mask & EPOLLIN)
            readiness |= Readable;
        if (mask & EPOLLOUT)
            readiness |= Writable;
        if (mask & (EPOLLRDHUP | EPOLLHUP))
            readiness |= PeerClosed;
        if (mask & EPOLLERR)
            readiness |= Failed;
        events[i] = Event{static_cast<qintptr>(ready[i].data.u64), readiness};
    }
    return std::max(count, 0);
}

} // namespace torvane::server
