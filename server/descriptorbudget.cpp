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
