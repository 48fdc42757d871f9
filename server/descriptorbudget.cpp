#include "server/descriptorbudget.h"

#include "server/serverlogging.h"

#ifdef Q_OS_WIN
// Sockets are no C runtime descriptors there: no limit to raise, nothing to hold.
namespace torvane::server {
qint64 RaiseDescriptorLimit() {
    return -1;
}
qint64 SoftDescriptorLimit() {
    return -1;
}
SpareDescriptor::~SpareDescriptor() = default;
bool SpareDescriptor::take() {
    return false;
}
void SpareDescriptor::release() {}
} // namespace torvane::server
#else

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace torvane::server {

namespace {
qint64 AsLimit(rlim_t value) {
    return value == RLIM_INFINITY ? -1 : static_cast<qint64>(value);
}
} // namespace

qint64 RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            qCWarning(lcHub, "cannot raise the descriptor limit: %s", std::strerror(errno));
            limit.rlim_cur = before;
        }
    }
    qCInfo(lcHub) << "open descriptor limit:" << AsLimit(limit.rlim_cur);
    return AsLimit(limit.rlim_cur);
}

qint64 SoftDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return AsLimit(limit.rlim_cur);
}

SpareDescriptor::~SpareDescriptor() {
    release();
}

bool SpareDescriptor::take() {
    if (m_fd < 0)
        m_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return m_fd >= 0;
}

void SpareDescriptor::release() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

} // namespace torvane::server
#endif

namespace torvane::server {

BudgetedAcceptor::BudgetedAcceptor(int reserve) : m_reserve(reserve) {
    m_spare.take();
}

void BudgetedAcceptor::beginBatch() {
    const qint64 limit = SoftDescriptorLimit();
    m_highestForClients = limit < 0 ? -1 : limit - m_reserve - 1;
    if (!m_spare.isHeld())
        m_spare.take();
}

BudgetedAcceptor::Result BudgetedAcceptor::next(hubsocket::Descriptor listener) {
    Result result;
    hubsocket::Error error = hubsocket::Error::None;
    result.fd = hubsocket::Accept(listener, &result.peer, &error);
    if (result.fd == hubsocket::kInvalid) {
        if (error == hubsocket::Error::Interrupted || error == hubsocket::Error::Aborted)
            result.step = Step::Retry;
        else if (error == hubsocket::Error::NoDescriptors && turnAwayWithSpare(listener))
            result.step = Step::TurnedAway;
        else if (error == hubsocket::Error::NoDescriptors || error == hubsocket::Error::NoMemory)
            result.step = Step::Pause;
        else
            result.step = Step::Drained;
        return result;
    }
    if (m_highestForClients >= 0 && result.fd > m_highestForClients) {
        hubsocket::Close(result.fd);
        result.fd = hubsocket::kInvalid;
        result.step = Step::TurnedAway;
        return result;
    }
    result.step = Step::Accepted;
    return result;
}

bool BudgetedAcceptor::turnAwayWithSpare(hubsocket::Descriptor listener) {
    if (!m_spare.isHeld())
        return false;
    m_spare.release();
    hubsocket::Error error = hubsocket::Error::None;
    const hubsocket::Descriptor fd = hubsocket::Accept(listener, nullptr, &error);
    if (fd != hubsocket::kInvalid)
        hubsocket::Close(fd);
    // Taken back at once; should someone else have got it first, the next batch tries again.
    m_spare.take();
    return fd != hubsocket::kInvalid;
}

} // namespace torvane::server
