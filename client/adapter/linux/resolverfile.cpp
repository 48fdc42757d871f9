#include "client/adapter/linux/resolverfile.h"

#include "common/ipv4.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvane::client {

namespace {

QString ErrnoText(int error) {
    return QString::fromLocal8Bit(strerror(error));
}

// The keyword and the value of a resolver line, or an empty keyword for blank and comment lines.
QList<QByteArray> Tokens(const QByteArray& line) {
    const QByteArray trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith('#') || trimmed.startsWith(';'))
        return {};
    return trimmed.simplified().split(' ');
}

// Whether path (canonical) is a mount point of this process, such as a file bind-mounted over
// another one.
bool IsMountPoint(const QByteArray& path) {
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // procfs reports size 0, so read to the end rather than asking atEnd().
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 5)
            continue;
        // Spaces and the like in mount points are written as octal escapes.
        QByteArray mountPoint = fields.at(4);
        mountPoint.replace("\\040", " ").replace("\\011", "\t").replace("\\012", "\n");
        mountPoint.replace("\\134", "\\");
        if (mountPoint == path)
            return true;
    }
    return false;
}

// The whole file, refusing anything larger than a resolver file can sensibly be, and anything
// that is no regular file: a pipe or a terminal would block the window for good.
bool ReadCapped(const QString& path, QByteArray* content, QString* errorText) {
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *errorText = QStringLiteral("cannot read %1: %2").arg(path, ErrnoText(errno));
        return false;
    }
    QFile file;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *errorText = QStringLiteral("cannot read %1: not a regular file").arg(path);
        return false;
    }
    *content = file.read(ResolverFile::kMaxSize + 1);
    if (file.error() != QFileDevice::NoError) {
        *errorText = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (content->size() > ResolverFile::kMaxSize) {
        *errorText = QStringLiteral("%1 is too large for a resolver file").arg(path);
        return false;
    }
    return true;
}

bool WriteAll(int fd, const QByteArray& content) {
    qsizetype done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.constData() + done, size_t(content.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

// Replaces the whole file in place with one write at its start and a cut after it. The file
// keeps its length while the new text goes in: a longer text first gets room as blank lines
// after the old one, a shorter one is padded with blank lines up to the old length. A reader
// between the steps sees the old lines or the new ones followed by blank lines, never a tail of
// the old text after the new or the new text cut at the old end.
bool RewriteWhole(int fd, const QByteArray& content) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size > ResolverFile::kMaxSize)
        return false;
    const qsizetype oldSize = qsizetype(st.st_size);
    const auto writeAt = [fd](const QByteArray& bytes, qsizetype offset) {
        const ssize_t written =
            ::pwrite(fd, bytes.constData(), size_t(bytes.size()), off_t(offset));
        if (written == bytes.size())
            return true;
        if (written >= 0)
            errno = ENOSPC; // a short write to a regular file: the disk is full
        return false;
    };
    if (content.size() > oldSize && !writeAt(QByteArray(content.size() - oldSize, '\n'), oldSize))
        return false;
    QByteArray padded = content;
    if (oldSize > content.size())
        padded.append(QByteArray(oldSize - content.size(), '\n'));
    return writeAt(padded, 0) && ::ftruncate(fd, off_t(content.size())) == 0;
}

} // namespace

ResolverFile::ResolverFile(const QString& path) : m_path(path) {}

QStringList ResolverFile::ParseNameservers(const QByteArray& content) {
    QStringList servers;
    for (const QByteArray& line : content.split('\n')) {
        const QList<QByteArray> tokens = Tokens(line);
        if (tokens.size() < 2 || tokens.first() != "nameserver")
            continue;
        const QString server = QString::fromLatin1(tokens.at(1));
        // IPv6 servers are not part of the adapter's IPv4 view.
        if (Ipv4::Parse(server, nullptr))
            servers.append(server);
    }
    return servers;
}

QByteArray ResolverFile::ReplaceNameservers(const QByteArray& content, const QStringList& servers) {
    QByteArray block;
    for (const QString& server : servers) {
        if (!server.isEmpty())
            block += "nameserver " + server.toLatin1() + '\n';
    }
    QList<QByteArray> lines = content.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the final newline, not an empty line
    QByteArray result;
    bool placed = false;
    for (const QByteArray& line : lines) {
        const QList<QByteArray> tokens = Tokens(line);
        if (!tokens.isEmpty() && tokens.first() == "nameserver") {
            // The new list takes the place of the first old entry; every old entry goes, IPv6
            // ones included, so the order written is the order the resolver uses.
            if (!placed)
                result += block;
            placed = true;
            continue;
        }
        result += line + '\n';
    }
    if (!placed)
        result += block;
    return result;
}

ResolverFile::ReadStatus ResolverFile::read(QStringList* servers, QString* errorText) const {
    if (!QFile::exists(m_path)) {
        *errorText = QStringLiteral("resolver file %1 does not exist").arg(m_path);
        return ReadStatus::Missing;
    }
    QByteArray content;
    if (!ReadCapped(m_path, &content, errorText))
        return ReadStatus::Failed;
    *servers = ParseNameservers(content);
    return ReadStatus::Ok;
}

bool ResolverFile::checkWritable(QString* errorText) const {
    const QByteArray path = QFile::encodeName(m_path);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT) {
            *errorText = QStringLiteral("cannot examine %1: %2").arg(m_path, ErrnoText(errno));
            return false;
        }
        const QByteArray folder = QFile::encodeName(QFileInfo(m_path).absolutePath());
        if (::faccessat(AT_FDCWD, folder.constData(), W_OK, AT_EACCESS) != 0) {
            *errorText = QStringLiteral("need write access to %1 to create the resolver file %2")
                             .arg(QString::fromLocal8Bit(folder), m_path);
            return false;
        }
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        // A file mounted over the link's target (what `ip netns exec` does with its own
        // resolver file) belongs to this context: it is written in place through the link.
        const QByteArray target = QFile::encodeName(QFileInfo(m_path).canonicalFilePath());
        if (!target.isEmpty() && IsMountPoint(target) &&
            ::faccessat(AT_FDCWD, target.constData(), W_OK, AT_EACCESS) == 0)
            return true;
        *errorText = QStringLiteral("%1 is a symbolic link, so another service manages the DNS "
                                    "servers; refusing to replace it")
                         .arg(m_path);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *errorText = QStringLiteral("%1 is not a regular file").arg(m_path);
        return false;
    }
    if (::faccessat(AT_FDCWD, path.constData(), W_OK, AT_EACCESS) != 0) {
        *errorText = QStringLiteral("need write access to %1 to set the DNS servers").arg(m_path);
        return false;
    }
    return true;
}

bool ResolverFile::writeNameservers(const QStringList& servers, QString* errorText) const {
    if (!checkWritable(errorText))
        return false;
    const QByteArray path = QFile::encodeName(m_path);
    QByteArray old;
    mode_t mode = 0644;
    if (QFileInfo(m_path).isSymLink()) {
        // checkWritable() let a link through only to a mount point, which is rewritten in place.
        const QString target = QFileInfo(m_path).canonicalFilePath();
        if (!ReadCapped(target, &old, errorText))
            return false;
        return writeInPlace(target, ReplaceNameservers(old, servers), old, errorText);
    }
    uid_t owner = uid_t(-1);
    gid_t group = gid_t(-1);
    struct stat st {};
    const bool exists = ::lstat(path.constData(), &st) == 0;
    if (exists) {
        mode = st.st_mode & 07777;
        owner = st.st_uid;
        group = st.st_gid;
        if (!ReadCapped(m_path, &old, errorText))
            return false;
    }
    const QByteArray content = ReplaceNameservers(old, servers);

    // A temporary file beside the target, so the rename replaces it in one step.
    QByteArray tmpl = QFile::encodeName(QFileInfo(m_path).absolutePath()) + "/.resolv.tvXXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0) {
        const int error = errno;
        // A read-only folder may still hold a writable (bind-mounted) file.
        if (exists)
            return writeInPlace(m_path, content, old, errorText);
        *errorText =
            QStringLiteral("cannot create the resolver file %1: %2").arg(m_path, ErrnoText(error));
        return false;
    }
    bool written = WriteAll(fd, content) && ::fchmod(fd, mode) == 0;
    if (written && exists && ::geteuid() == 0)
        (void)!::fchown(fd, owner, group); // keep the owner; failing that is harmless
    written = written && ::fsync(fd) == 0;
    const int writeError = errno;
    ::close(fd);
    if (!written) {
        ::unlink(tmpl.constData());
        *errorText = QStringLiteral("cannot write %1: %2").arg(m_path, ErrnoText(writeError));
        return false;
    }
    if (::rename(tmpl.constData(), path.constData()) == 0)
        return true;
    const int renameError = errno;
    ::unlink(tmpl.constData());
    if (exists && (renameError == EBUSY || renameError == EXDEV))
        return writeInPlace(m_path, content, old, errorText);
    *errorText = QStringLiteral("cannot replace %1: %2").arg(m_path, ErrnoText(renameError));
    return false;
}

bool ResolverFile::writeInPlace(const QString& target, const QByteArray& content,
                                const QByteArray& old, QString* errorText) const {
    const QByteArray path = QFile::encodeName(target);
    const int fd = ::open(path.constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *errorText = QStringLiteral("cannot open %1: %2").arg(target, ErrnoText(errno));
        return false;
    }
    // Overwrite, then cut: the file never reads as empty or as a mix of old and new lines.
    const bool ok = RewriteWhole(fd, content) && ::fsync(fd) == 0;
    const int error = errno;
    if (!ok) {
        // A rewrite cut short (a full disk) leaves part new, part old: put the old one back,
        // which fits where it stood before.
        const bool restored = RewriteWhole(fd, old) && ::fsync(fd) == 0;
        ::close(fd);
        *errorText = QStringLiteral("cannot rewrite %1: %2; %3")
                         .arg(target, ErrnoText(error),
                              restored ? QStringLiteral("its old content is kept")
                                       : QStringLiteral("its old content could not be put back"));
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace torvane::client
