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

BudgetedAcceptor::BudgetedAcceptor(int reserve, const QLoggingCategory& (*log)(),
                                   const char* newcomers)
    : m_reserve(reserve), m_log(log), m_newcomers(newcomers) {
    m_spare.take();
}

bool BudgetedAcceptor::acceptBatch(
    hubsocket::Descriptor listener, int count,
    const std::function<bool(hubsocket::Descriptor, QString)>& admit) {
    const qint64 limit = SoftDescriptorLimit();
    const qint64 highestForClients = limit < 0 ? -1 : limit - m_reserve - 1;
    if (!m_spare.isHeld())
        m_spare.take();
    for (int i = 0; i < count; ++i) {
        QString peer;
        hubsocket::Error error = hubsocket::Error::None;
        const hubsocket::Descriptor fd = hubsocket::Accept(listener, &peer, &error);
        if (fd == hubsocket::kInvalid) {
            if (error == hubsocket::Error::Interrupted || error == hubsocket::Error::Aborted)
                continue;
            if (error == hubsocket::Error::NoDescriptors && turnAwayWithSpare(listener)) {
                noteTurnedAway();
                continue;
            }
            return error == hubsocket::Error::NoDescriptors || error == hubsocket::Error::NoMemory;
        }
        if (highestForClients >= 0 && fd > highestForClients) {
            hubsocket::Close(fd);
            noteTurnedAway();
            continue;
        }
        if (m_turningAway) {
            m_turningAway = false;
            qCInfo(m_log) << "accepting connections again;" << m_turnedAway << "turned away so far";
        }
        if (!admit(fd, std::move(peer)))
            return false;
    }
    return false;
}

void BudgetedAcceptor::noteTurnedAway() {
    ++m_turnedAway;
    if (!m_turningAway) {
        m_turningAway = true;
        qCWarning(m_log).nospace()
            << "out of descriptors for Clients (limit " << SoftDescriptorLimit() << "); "
            << m_newcomers << " are closed until some end";
    }
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
