#include "common/linefile.h"

#include "common/gbk.h"
#include "common/logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QSaveFile>
#endif

namespace torvane {

namespace {
const QString kCrLf = QStringLiteral("\r\n");
const QString kFileName = QStringLiteral("MainConfig.dat");

LineFileRead Refused(LineFileStatus status, int error = 0) {
    LineFileRead read;
    read.status = status;
    read.error = error;
    return read;
}

LineFileResult Failed(LineFileStatus status, int error = 0) {
    return LineFileResult{status, error};
}

#ifdef Q_OS_UNIX
// What the name itself is, without following a link in its place.
LineFileStatus ClassifyName(const QByteArray& native, int* error) {
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        *error = errno;
        return errno == ENOENT || errno == ENOTDIR ? LineFileStatus::Missing
                                                   : LineFileStatus::Unreadable;
    }
    if (S_ISLNK(st.st_mode))
        return LineFileStatus::Symlink;
    if (!S_ISREG(st.st_mode))
        return LineFileStatus::NotRegular;
    return LineFileStatus::Ok;
}

LineFileRead ReadRegularFile(const QString& path, qint64 cap) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        return Refused(LineFileStatus::Missing);
    // Classify before opening: opening a device or a FIFO can itself have effects.
    int error = 0;
    const LineFileStatus kind = ClassifyName(native, &error);
    if (kind != LineFileStatus::Ok)
        return Refused(kind, error);
    // O_NOFOLLOW and the check of the opened file close the gap in which the name could be
    // swapped for a link or something else after the look above.
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int openError = errno;
        if (openError == ENOENT)
            return Refused(LineFileStatus::Missing, openError);
        return Refused(openError == ELOOP ? LineFileStatus::Symlink : LineFileStatus::Unreadable,
                       openError);
    }
    LineFileRead read;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        read = Refused(LineFileStatus::Unreadable, errno);
    } else if (!S_ISREG(st.st_mode)) {
        read = Refused(LineFileStatus::NotRegular);
    } else if (st.st_size > cap) {
        read = Refused(LineFileStatus::TooLarge);
    } else {
        // Never more than cap + 1 bytes: a file that grew since fstat is caught by the extra one.
        QByteArray bytes(static_cast<qsizetype>(cap + 1), Qt::Uninitialized);
        qsizetype got = 0;
        read.status = LineFileStatus::Ok;
        while (got < bytes.size()) {
            const ssize_t n =
                ::read(fd, bytes.data() + got, static_cast<size_t>(bytes.size() - got));
            if (n > 0) {
                got += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                read = Refused(LineFileStatus::Unreadable, errno);
            break;
        }
        if (read.status == LineFileStatus::Ok) {
            if (got > cap) {
                read = Refused(LineFileStatus::TooLarge);
            } else {
                bytes.truncate(got);
                read.bytes = bytes;
                read.status = got == 0 ? LineFileStatus::Empty : LineFileStatus::Ok;
            }
        }
    }
    ::close(fd);
    return read;
}

// A write the caller will see fail: the temporary file is removed and errno kept.
LineFileResult AbandonTemp(int fd, const QByteArray& temp, int error) {
    if (fd >= 0)
        ::close(fd);
    ::unlink(temp.constData());
    return Failed(LineFileStatus::WriteFailed, error);
}

LineFileResult ReplaceRegularFile(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    int error = 0;
    const LineFileStatus kind = ClassifyName(native, &error);
    if (kind == LineFileStatus::Symlink || kind == LineFileStatus::NotRegular)
        return Failed(kind);

    // Beside the file, so that the rename stays on one filesystem; the name is what the start-up
    // sweep looks for.
    QByteArray temp = native + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return Failed(LineFileStatus::WriteFailed, errno);
    // mkostemp creates the file 0600; the list is no secret and others may read it, whatever
    // the umask says. A filesystem without modes keeps what it has.
    if (::fchmod(fd, 0644) != 0)
        qCWarning(lcLineFile) << "could not set the mode of" << path << ":" << std::strerror(errno);
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // write() returning 0 for a non-empty buffer means no progress: treat it as no space.
        return AbandonTemp(fd, temp, n < 0 ? errno : ENOSPC);
    }
    // A full disk may only show here (delayed allocation, network filesystems).
    if (::fsync(fd) != 0)
        return AbandonTemp(fd, temp, errno);
    const int closed = ::close(fd);
    if (closed != 0)
        return AbandonTemp(-1, temp, errno);
    if (::rename(temp.constData(), native.constData()) != 0)
        return AbandonTemp(-1, temp, errno);
    // Make the rename itself durable; the data is already safe, so a failure here is no failure.
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());
    const int dirFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return LineFileResult{};
}
#else
LineFileRead ReadRegularFile(const QString& path, qint64 cap) {
    const QFileInfo info(path);
    if (info.isSymbolicLink() || info.isJunction())
        return Refused(LineFileStatus::Symlink);
    if (!info.exists())
        return Refused(LineFileStatus::Missing);
    if (!info.isFile())
        return Refused(LineFileStatus::NotRegular);
    if (info.size() > cap)
        return Refused(LineFileStatus::TooLarge);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Refused(LineFileStatus::Unreadable);
    LineFileRead read;
    read.bytes = file.read(cap + 1);
    if (file.error() != QFileDevice::NoError)
        return Refused(LineFileStatus::Unreadable);
    if (read.bytes.size() > cap)
        return Refused(LineFileStatus::TooLarge);
    read.status = read.bytes.isEmpty() ? LineFileStatus::Empty : LineFileStatus::Ok;
    return read;
}

LineFileResult ReplaceRegularFile(const QString& path, const QByteArray& bytes) {
    const QFileInfo info(path);
    if (info.isSymbolicLink() || info.isJunction())
        return Failed(LineFileStatus::Symlink);
    if (info.exists() && !info.isFile())
        return Failed(LineFileStatus::NotRegular);
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return Failed(LineFileStatus::WriteFailed);
    // The write is buffered: a full disk may only show at the flush, which must not be missed.
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.cancelWriting();
        file.commit(); // discards the temporary file
        return Failed(LineFileStatus::WriteFailed);
    }
    return file.commit() ? LineFileResult{} : Failed(LineFileStatus::WriteFailed);
}
#endif

// Writes the whole file through a temporary file beside it and a rename, so a crash or a full
// disk leaves the old content whole instead of a deleted or truncated file.
LineFileResult ReplaceFileAtomically(const QString& path, const QByteArray& bytes) {
    // A file the Clients would drop and this program would refuse to read is not written.
    const LineFileResult result = bytes.size() > kMaxLineFileBytes
                                      ? Failed(LineFileStatus::TooLarge)
                                      : ReplaceRegularFile(path, bytes);
    if (!result.ok())
        qCWarning(lcLineFile).noquote() << "could not replace" << path << "-"
                                        << DescribeLineFileStatus(result.status, result.error);
    return result;
}

LineFileRead ReadForUse(const QString& path) {
    const LineFileRead read = ReadRegularFile(path, kMaxLineFileBytes);
    if (read.refused())
        qCWarning(lcLineFile).noquote()
            << "not using" << path << "-" << DescribeLineFileStatus(read.status, read.error);
    return read;
}

QString Field(const QStringList& fields, int index) {
    return index < fields.size() ? fields.at(index) : QString();
}

// A temporary file of an interrupted write: the file name, a dot and six letters or digits (the
// pattern of mkostemp and of Qt's own save files alike).
bool IsTempName(const QString& name) {
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("MainConfig\\.dat\\.[A-Za-z0-9]{6}")));
    return pattern.match(name).hasMatch();
}
} // namespace

bool IsRefusal(LineFileStatus status) {
    switch (status) {
    case LineFileStatus::Symlink:
    case LineFileStatus::NotRegular:
    case LineFileStatus::TooLarge:
    case LineFileStatus::Unreadable:
        return true;
    default:
        return false;
    }
}

QString DescribeLineFileStatus(LineFileStatus status, int error) {
    QString text;
    switch (status) {
    case LineFileStatus::Ok:
        text = QStringLiteral("ok");
        break;
    case LineFileStatus::Missing:
        text = QStringLiteral("no such file");
        break;
    case LineFileStatus::Empty:
        text = QStringLiteral("empty file");
        break;
    case LineFileStatus::Symlink:
        text = QStringLiteral("is a symbolic link");
        break;
    case LineFileStatus::NotRegular:
        text = QStringLiteral("is not a regular file");
        break;
    case LineFileStatus::TooLarge:
        text = QStringLiteral("larger than %1 bytes").arg(kMaxLineFileBytes);
        break;
    case LineFileStatus::Unreadable:
        text = QStringLiteral("cannot be read");
        break;
    case LineFileStatus::WriteFailed:
        text = QStringLiteral("could not be written");
        break;
    }
    if (error != 0 && status != LineFileStatus::Missing)
        text += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    return text;
}

QString LineFilePath(const QString& directory) {
    return QDir(directory).filePath(kFileName);
}

LineFileRead ReadLineFile(const QString& path, qint64 cap) {
    return ReadRegularFile(path, cap);
}

QByteArray ReadFileBytes(const QString& path) {
    return ReadRegularFile(path, kMaxLineFileBytes).bytes;
}

int RemoveStaleLineFileTemps(const QString& directory, int minAgeSecs) {
    const QDateTime settledBefore = QDateTime::currentDateTimeUtc().addSecs(-minAgeSecs);
    const QFileInfoList candidates = QDir(directory).entryInfoList(
        {kFileName + QStringLiteral(".*")}, QDir::Files | QDir::Hidden | QDir::System);
    int removed = 0;
    for (const QFileInfo& info : candidates) {
        if (!IsTempName(info.fileName()) || info.isSymLink() || !info.isFile())
            continue;
        if (info.lastModified().toUTC() > settledBefore)
            continue;
        if (QFile::remove(info.filePath())) {
            ++removed;
            qCInfo(lcLineFile) << "removed" << info.filePath() << "left by an interrupted write";
        }
    }
    return removed;
}

QList<RawRecord> SplitLineRecords(const QString& text) {
    QList<RawRecord> records;
    QStringList pieces = text.split(kCrLf);
    pieces.removeLast(); // the piece after the last CR LF is never a record
    records.reserve(pieces.size());
    for (const QString& piece : pieces) {
        RawRecord record;
        record.blank = piece.isEmpty();
        record.fields = piece.split(QLatin1Char(';'));
        records.append(record);
    }
    return records;
}

LoadedLines ReadLineEntries(const QString& path, int capacity) {
    const LineFileRead file = ReadForUse(path);
    LoadedLines loaded{file.status, file.error, {}};
    for (const RawRecord& record : SplitLineRecords(FromGbk(file.bytes))) {
        if (record.blank)
            continue;
        if (loaded.entries.size() >= capacity)
            break;
        const QStringList& f = record.fields;
        loaded.entries.append(LineEntry{Field(f, 0), Field(f, 1), Field(f, 2), Field(f, 3),
                                        Field(f, 4), Field(f, 5)});
    }
    return loaded;
}

QList<LineEntry> LoadLineEntries(const QString& path, int capacity) {
    return ReadLineEntries(path, capacity).entries;
}

QString ComposeLine(const LineEntry& entry) {
    const QChar sep(QLatin1Char(';'));
    return entry.name + sep + entry.localIp + sep + entry.subnetMask + sep + entry.gateway + sep +
           entry.primaryDns + sep + entry.secondaryDns + sep;
}

LineFileResult SaveAppendedLine(const QString& path, const QString& text) {
    // The file is rewritten whole with the record after its bytes as they are, so a full disk
    // can never leave half a record at its end.
    const LineFileRead file = ReadForUse(path);
    if (file.refused())
        return LineFileResult{file.status, file.error};
    return ReplaceFileAtomically(path, file.bytes + ToGbk(text + kCrLf));
}

bool AppendLine(const QString& path, const QString& text) {
    return SaveAppendedLine(path, text).ok();
}

LineFileResult SaveRewrittenLines(const QString& path, const QString& oldText,
                                  const QString& newText, bool deleteMode) {
    // A missing file reads as empty; a file that is there but may not be read must not be
    // rewritten from nothing, which would lose every line in it.
    const LineFileRead file = ReadForUse(path);
    if (file.refused())
        return LineFileResult{file.status, file.error};
    const QStringList pieces = FromGbk(file.bytes).split(kCrLf);
    QString result;
    // Every piece but the last was followed by CR LF; whole records are compared, never parts.
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const bool lastPiece = i == pieces.size() - 1;
        const QString& piece = pieces.at(i);
        if (!lastPiece && piece == oldText) {
            result += newText;
            if (!deleteMode)
                result += kCrLf;
            continue;
        }
        result += piece;
        if (!lastPiece)
            result += kCrLf;
    }
    return SaveLineFile(path, result);
}

bool RewriteLineFile(const QString& path, const QString& oldText, const QString& newText,
                     bool deleteMode) {
    return SaveRewrittenLines(path, oldText, newText, deleteMode).ok();
}

LineFileResult SaveLineFile(const QString& path, const QString& text) {
    // The stored list ends with exactly one CR LF: a final CR LF of the text is taken off (the
    // "|" stand-in for CR LF is the file format's own rule, kept so stored bytes match).
    QString body = text;
    body.replace(kCrLf, QStringLiteral("|"));
    body.chop(1);
    body.replace(QStringLiteral("|"), kCrLf);
    return ReplaceFileAtomically(path, ToGbk(body + kCrLf));
}

bool WriteLineFile(const QString& path, const QString& text) {
    return SaveLineFile(path, text).ok();
}

bool NameBreaksRecord(const QString& name) {
    for (const QChar c : name) {
        if (c == QLatin1Char(';') || c == QLatin1Char('|') || c == QLatin1Char('\r') ||
            c == QLatin1Char('\n'))
            return true;
    }
    return false;
}

bool NameStorableInGbk(const QString& name) {
    return FromGbk(ToGbk(name)) == name;
}

bool LineNameExists(const QString& path, const QString& name) {
    const LineFileRead file = ReadForUse(path);
    for (const RawRecord& record : SplitLineRecords(FromGbk(file.bytes))) {
        if (!record.blank && Field(record.fields, 0) == name)
            return true;
    }
    return false;
}

LoadedLines ReadServerLineTable(const QString& path) {
    const LineFileRead file = ReadForUse(path);
    LoadedLines loaded{file.status, file.error, {}};
    for (const RawRecord& record : SplitLineRecords(FromGbk(file.bytes))) {
        const QStringList& f = record.fields;
        loaded.entries.append(
            LineEntry{Field(f, 0), QString(), QString(), Field(f, 3), Field(f, 4), Field(f, 5)});
    }
    return loaded;
}

QList<LineEntry> LoadServerLineTable(const QString& path) {
    return ReadServerLineTable(path).entries;
}

QString ComposeServerLine(const LineEntry& entry) {
    return entry.name + QStringLiteral(";;;") + entry.gateway + QLatin1Char(';') +
           entry.primaryDns + QLatin1Char(';') + entry.secondaryDns + QLatin1Char(';');
}

LineFileResult SaveServerLineFile(const QString& path, const QList<LineEntry>& rows) {
    if (rows.isEmpty())
        return LineFileResult{};
    QString text;
    for (const LineEntry& row : rows)
        text += ComposeServerLine(row) + kCrLf;
    return ReplaceFileAtomically(path, ToGbk(text));
}

bool WriteServerLineFile(const QString& path, const QList<LineEntry>& rows) {
    return SaveServerLineFile(path, rows).ok();
}

} // namespace torvane
