#include "server/linefilecache.h"

#include <QFile>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane::server {

struct LineFileCache::Snapshot {
    struct stat status {};
    bool sameFile(const struct stat& now) const {
        return status.st_dev == now.st_dev && status.st_ino == now.st_ino &&
               status.st_size == now.st_size && status.st_mtim.tv_sec == now.st_mtim.tv_sec &&
               status.st_mtim.tv_nsec == now.st_mtim.tv_nsec &&
               status.st_ctim.tv_sec == now.st_ctim.tv_sec &&
               status.st_ctim.tv_nsec == now.st_ctim.tv_nsec;
    }
};

LineFileCache::LineFileCache() = default;
LineFileCache::~LineFileCache() = default;

void LineFileCache::setPath(const QString& path) {
    m_path = path;
    m_nativePath = QFile::encodeName(path);
    m_snapshot.reset();
    m_bytes.clear();
}

QByteArray LineFileCache::read() {
    struct stat now {};
    if (m_nativePath.isEmpty() || ::stat(m_nativePath.constData(), &now) != 0) {
        m_snapshot.reset();
        m_bytes.clear();
        return {}; // a missing file is an empty list
    }
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    const bool settled = clock.tv_sec - now.st_ctim.tv_sec > 2;
    if (settled && m_snapshot && m_snapshot->sameFile(now))
        return m_bytes;

    m_snapshot.reset();
    m_bytes.clear();
    const int fd = ::open(m_nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    struct stat opened {};
    QByteArray bytes;
    if (::fstat(fd, &opened) == 0 && opened.st_size > 0 && opened.st_size < (1 << 24))
        bytes.reserve(static_cast<qsizetype>(opened.st_size));
    char chunk[8192];
    while (true) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            bytes.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    ::close(fd);
    if (settled) {
        m_snapshot = std::make_unique<Snapshot>();
        m_snapshot->status = opened;
        m_bytes = bytes;
    }
    return bytes;
}

} // namespace torvane::server
