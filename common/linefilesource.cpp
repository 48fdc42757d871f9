#include "common/linefilesource.h"

#include "common/logging.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <time.h>
#endif

namespace torvane {

LineFileSource::LineFileSource(const QString& path) {
    setPath(path);
}

void LineFileSource::setPath(const QString& path) {
    m_path = path;
    m_native = QFile::encodeName(path);
    m_cachedStamp.reset();
    m_cached = LineFileRead{};
}

std::optional<LineFileSource::Stamp> LineFileSource::stampNow() const {
#ifdef Q_OS_UNIX
    // Seconds after its last change before a file's stamp is trusted to show the next change.
    constexpr qint64 kSettleSecs = 2;
    struct stat st {};
    if (m_native.isEmpty() || ::lstat(m_native.constData(), &st) != 0)
        return std::nullopt;
    timespec clock{};
    clock_gettime(CLOCK_REALTIME, &clock);
    if (clock.tv_sec - st.st_ctim.tv_sec <= kSettleSecs)
        return std::nullopt; // young: read it every time
    return Stamp{static_cast<quint64>(st.st_dev), static_cast<quint64>(st.st_ino),
                 static_cast<qint64>(st.st_size),
                 qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
#else
    return std::nullopt; // no cheap identity here: read it every time
#endif
}

LineFileRead LineFileSource::read() {
    if (m_native.isEmpty())
        return LineFileRead{};
    const std::optional<Stamp> before = stampNow();
    if (before && m_cachedStamp == before)
        return m_cached;
    m_cachedStamp.reset();
    const LineFileRead file = ReadLineFile(m_path);
    noteStatus(file);
    // Kept only when the file did not change while it was read.
    if (before && stampNow() == before) {
        m_cachedStamp = before;
        m_cached = file;
    }
    return file;
}

void LineFileSource::noteStatus(const LineFileRead& read) {
    const bool wasRefused = m_lastStatus && IsRefusal(*m_lastStatus);
    if (m_lastStatus == read.status)
        return;
    m_lastStatus = read.status;
    if (read.refused())
        qCWarning(lcLineFile).noquote() << "not sending" << m_path << "to the Clients -"
                                        << DescribeLineFileStatus(read.status, read.error);
    else if (wasRefused)
        qCInfo(lcLineFile).noquote() << "sending" << m_path << "to the Clients again -"
                                     << DescribeLineFileStatus(read.status);
}

} // namespace torvane
