// Hostile and failing files: a full disk, links, things that are no files, oversize files, file
// modes and the temporary files of interrupted writes.
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/linefilesource.h"
#include "common/messagereader.h"
#include "common/protocol.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

using namespace torvane;

namespace {
const QByteArray kOld("old;;;1.1.1.1;2.2.2.2;;\r\n");
const QString kRecord = QStringLiteral("new;;;3.3.3.3;4.4.4.4;;");
const QList<LineEntry> kRows{{"new", "", "", "3.3.3.3", "4.4.4.4", "5.5.5.5"}};

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

int ModeOf(const QString& path) {
    struct stat st {};
    return ::lstat(Native(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

void PutBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray RawBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void MakeOld(const QString& path) {
    const timespec old[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    QVERIFY(::utimensat(AT_FDCWD, Native(path).constData(), old, AT_SYMLINK_NOFOLLOW) == 0);
}

// Every writer of the line file, as the programs call them.
using Writer = std::function<LineFileResult(const QString&)>;
const QList<QPair<const char*, Writer>>& Writers() {
    static const QList<QPair<const char*, Writer>> writers{
        {"update", [](const QString& p) { return SaveLineFile(p, kRecord + "\r\n"); }},
        {"append", [](const QString& p) { return SaveAppendedLine(p, kRecord); }},
        {"modify",
         [](const QString& p) {
             return SaveRewrittenLines(p, "old;;;1.1.1.1;2.2.2.2;;", kRecord, false);
         }},
        {"server save", [](const QString& p) { return SaveServerLineFile(p, kRows); }},
    };
    return writers;
}

void AddWriterRows() {
    QTest::addColumn<int>("writer");
    for (int i = 0; i < Writers().size(); ++i)
        QTest::newRow(Writers().at(i).first) << i;
}

// A mount namespace of this process alone, so the tiny filesystem never shows in the machine's
// mount table.
QString MountTinyFilesystem(const QString& where) {
    if (::unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("unshare(CLONE_NEWNS): %1").arg(qt_error_string(errno));
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("making / private: %1").arg(qt_error_string(errno));
    if (::mount("torvane-full", Native(where).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                "size=16k,mode=0755") != 0)
        return QStringLiteral("mounting tmpfs: %1").arg(qt_error_string(errno));
    return {};
}

// Takes every free block of the filesystem holding `path`.
void FillUp(const QString& path) {
    QFile filler(path);
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(512, 'x');
    while (filler.write(block) == block.size()) {
    }
    QVERIFY(filler.error() != QFileDevice::NoError); // no space left
}
} // namespace

class TestLineFileSafety : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_path;
    QTemporaryDir m_tinyMount;
    QString m_tinyError;

private slots:
    void initTestCase() {
        QVERIFY(m_dir.isValid());
        m_path = LineFilePath(m_dir.path());
        m_tinyError = MountTinyFilesystem(m_tinyMount.path());
    }

    void cleanupTestCase() {
        if (m_tinyError.isEmpty())
            ::umount2(Native(m_tinyMount.path()).constData(), MNT_DETACH);
    }

    void init() {
        QDir dir(m_dir.path());
        for (const QString& name :
             dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
            if (!dir.remove(name))
                QDir(dir.filePath(name)).removeRecursively();
        }
    }

    void fullDiskKeepsTheOldFile_data() { AddWriterRows(); }
    void fullDiskKeepsTheOldFile() {
        if (!m_tinyError.isEmpty()) {
            const QString why = "needs root for a tiny filesystem: " + m_tinyError;
            if (qEnvironmentVariableIsSet("CI"))
                QFAIL(qPrintable(why)); // CI runs as root: never skip silently there
            QSKIP(qPrintable(why));
        }
        QFETCH(int, writer);
        const QString path = LineFilePath(m_tinyMount.path());
        const QString filler = QDir(m_tinyMount.path()).filePath("filler");
        QFile::remove(filler);
        PutBytes(path, kOld);
        FillUp(filler);

        const LineFileResult result = Writers().at(writer).second(path);
        QCOMPARE(result.status, LineFileStatus::WriteFailed);
        QCOMPARE(result.error, ENOSPC);
        QCOMPARE(RawBytes(path), kOld);
        QCOMPARE(QDir(m_tinyMount.path()).entryList(QDir::Files),
                 (QStringList{"filler", "MainConfig.dat"}));

        // With room again the same write goes through.
        QVERIFY(QFile::remove(filler));
        QVERIFY(Writers().at(writer).second(path).ok());
        QVERIFY(RawBytes(path).contains("new;;;"));
    }

    void symlinkIsNeitherReadNorWrittenThrough_data() { AddWriterRows(); }
    void symlinkIsNeitherReadNorWrittenThrough() {
        QFETCH(int, writer);
        const QString target = m_dir.filePath("elsewhere");
        const QString dangling = m_dir.filePath("nothing-here");
        PutBytes(target, kOld);
        QVERIFY(QFile::link(target, m_path));

        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::Symlink);
        QVERIFY(ReadLineFile(m_path).refused());
        QCOMPARE(ReadLineEntries(m_path).status, LineFileStatus::Symlink);
        QVERIFY(LoadLineEntries(m_path).isEmpty());
        QVERIFY(LoadServerLineTable(m_path).isEmpty());
        QVERIFY(!LineNameExists(m_path, "old"));

        // Refused: the target keeps its bytes and the link stays a link.
        QCOMPARE(Writers().at(writer).second(m_path).status, LineFileStatus::Symlink);
        QCOMPARE(RawBytes(target), kOld);
        QCOMPARE(QFileInfo(m_path).symLinkTarget(), target);
        // A dangling link does not make a file appear at its target.
        QVERIFY(QFile::remove(m_path));
        QVERIFY(QFile::link(dangling, m_path));
        QCOMPARE(Writers().at(writer).second(m_path).status, LineFileStatus::Symlink);
        QVERIFY(!QFile::exists(dangling));
        QCOMPARE(QDir(m_dir.path()).entryList(QDir::Files | QDir::System),
                 (QStringList{"elsewhere", "MainConfig.dat"}));
    }

    void thingsThatAreNoFilesAreRefusedWithoutHanging() {
        // A FIFO with no writer would block an ordinary open for ever.
        QVERIFY(::mkfifo(Native(m_path).constData(), 0644) == 0);
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::NotRegular);
        QCOMPARE(ReadServerLineTable(m_path).status, LineFileStatus::NotRegular);
        for (const auto& writer : Writers())
            QCOMPARE(writer.second(m_path).status, LineFileStatus::NotRegular);
        QVERIFY(QFile::remove(m_path));

        QLocalServer socket;
        QVERIFY(socket.listen(m_path));
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::NotRegular);
        socket.close();

        QVERIFY(QDir().mkpath(m_path));
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::NotRegular);
        QCOMPARE(SaveLineFile(m_path, kRecord).status, LineFileStatus::NotRegular);
        QVERIFY(QFileInfo(m_path).isDir());
    }

    void unreadableFileIsRefusedNotEmpty() {
        PutBytes(m_path, kOld);
        QVERIFY(::chmod(Native(m_path).constData(), 0) == 0);
        QVERIFY(::chmod(Native(m_dir.path()).constData(), 0755) == 0);
        const auto restoreDir =
            qScopeGuard([this] { ::chmod(Native(m_dir.path()).constData(), 0700); });
        // Root reads anything; a file-system identity other than root loses that right.
        const bool root = ::geteuid() == 0;
        if (root)
            ::setfsuid(65534);
        const LineFileRead read = ReadLineFile(m_path);
        const LoadedLines table = ReadServerLineTable(m_path);
        const LineFileResult append = SaveAppendedLine(m_path, kRecord);
        if (root)
            ::setfsuid(0);
        QCOMPARE(read.status, LineFileStatus::Unreadable);
        QCOMPARE(read.error, EACCES);
        QVERIFY(read.refused());
        QCOMPARE(table.status, LineFileStatus::Unreadable);
        QVERIFY(table.entries.isEmpty());
        // An append must not rebuild the list from nothing.
        QCOMPARE(append.status, LineFileStatus::Unreadable);
        QVERIFY(::chmod(Native(m_path).constData(), 0644) == 0);
        QCOMPARE(RawBytes(m_path), kOld);
    }

    void missingAndEmptyAreAnEmptyListNotARefusal() {
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::Missing);
        QVERIFY(!ReadLineFile(m_path).refused());
        PutBytes(m_path, QByteArray());
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::Empty);
        QVERIFY(!ReadLineFile(m_path).refused());
        QCOMPARE(ReadLineEntries(m_path).status, LineFileStatus::Empty);
    }

    void sizeCapMatchesWhatAClientTakes() {
        // The largest file whose update a Client still takes, and one byte more.
        QCOMPARE(qint64(ToGbk(Protocol::kUpdateWord).size()), kUpdateWordBytes);
        const QByteArray record("a;;;1.1.1.1;2.2.2.2;;\r\n");
        QByteArray largest = record.repeated(kMaxLineFileBytes / record.size());
        largest.prepend(QByteArray(kMaxLineFileBytes - largest.size(), 'n'));
        QCOMPARE(qint64(largest.size()), kMaxLineFileBytes);
        for (const QByteArray& file : {largest, largest + "b;;;1.1.1.1;2.2.2.2;;\r\n"}) {
            MessageReader reader(MessageReader::Side::Client);
            QList<QByteArray> got = reader.feed(Protocol::ComposeLineListUpdate(file), 0);
            got += reader.poll(10000);
            QCOMPARE(got.size(), file == largest ? 1 : 0);
        }

        PutBytes(m_path, largest);
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::Ok);
        QCOMPARE(ReadLineFile(m_path).bytes, largest);
        PutBytes(m_path, largest + "x");
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::TooLarge);
        QVERIFY(ReadLineFile(m_path).bytes.isEmpty());
        QCOMPARE(ReadLineEntries(m_path).status, LineFileStatus::TooLarge);
        QVERIFY(LoadLineEntries(m_path).isEmpty());

        // A huge (sparse) file is refused at once, never read.
        QVERIFY(::truncate(Native(m_path).constData(), 100 << 20) == 0);
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::TooLarge);
        // Nor is a content written that would be refused on reading.
        PutBytes(m_path, kOld);
        QCOMPARE(SaveLineFile(m_path, QString::fromLatin1(largest + "x")).status,
                 LineFileStatus::TooLarge);
        QCOMPARE(SaveAppendedLine(m_path, QString::fromLatin1(largest)).status,
                 LineFileStatus::TooLarge);
        QCOMPARE(RawBytes(m_path), kOld);
    }

    void pushSourceTellsRefusalFromMissingAndSeesEveryChange() {
        LineFileSource source(m_path);
        QCOMPARE(source.read().status, LineFileStatus::Missing);
        PutBytes(m_path, kOld);
        QCOMPARE(source.read().bytes, kOld);
        // A same-size rewrite right after the read is seen, not served from the cache.
        const QByteArray same("new;;;1.1.1.1;2.2.2.2;;\r\n");
        PutBytes(m_path, same);
        QCOMPARE(source.read().bytes, same);
        QVERIFY(QFile::remove(m_path));
        QVERIFY(QFile::link(m_dir.filePath("elsewhere"), m_path));
        QCOMPARE(source.read().status, LineFileStatus::Symlink);
        QVERIFY(source.read().bytes.isEmpty());
        QVERIFY(QFile::remove(m_path));
        PutBytes(m_path, QByteArray(kMaxLineFileBytes + 1, 'x'));
        QCOMPARE(source.read().status, LineFileStatus::TooLarge);
    }

    void appendKeepsTheStoredBytesAsTheyAre() {
        // Bytes GBK cannot decode, and a last record without CR LF, are left exactly as found.
        const QByteArray odd("\x80\xff;;;1.1.1.1;2.2.2.2;;\r\ntail");
        PutBytes(m_path, odd);
        QVERIFY(AppendLine(m_path, kRecord));
        QCOMPARE(RawBytes(m_path), odd + kRecord.toLatin1() + "\r\n");
    }

    void writtenFilesHaveTheirModeWhateverTheUmask_data() { AddWriterRows(); }
    void writtenFilesHaveTheirModeWhateverTheUmask() {
        QFETCH(int, writer);
        const mode_t oldMask = ::umask(0);
        const auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
        PutBytes(m_path, kOld);
        QVERIFY(::chmod(Native(m_path).constData(), 0666) == 0);
        QVERIFY(Writers().at(writer).second(m_path).ok());
        QCOMPARE(ModeOf(m_path), 0644);
        QVERIFY(QFile::remove(m_path));
        QVERIFY(Writers().at(writer).second(m_path).ok());
        QCOMPARE(ModeOf(m_path), 0644);
    }

    void staleTempFilesAreRemovedAtStart() {
        // The name the writer gives its temporary file is the one the sweep looks for.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        const auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(::inotify_add_watch(watch, Native(m_dir.path()).constData(), IN_CREATE) >= 0);
        QVERIFY(SaveLineFile(m_path, kRecord).ok());
        alignas(inotify_event) char events[4096];
        const ssize_t got = ::read(watch, events, sizeof events);
        QVERIFY(got > 0);
        const auto* event = reinterpret_cast<const inotify_event*>(events);
        const QString tempName = QString::fromLocal8Bit(event->name);
        QVERIFY(tempName.startsWith("MainConfig.dat."));

        const QStringList stale{tempName, "MainConfig.dat.Ab3xY9"};
        const QStringList kept{"MainConfig.dat.tmp", "MainConfig.dat.Ab3xY",
                               "MainConfig.dat.bak1234", "Other.dat.Ab3xY9"};
        for (const QString& name : stale + kept) {
            PutBytes(m_dir.filePath(name), "x");
            MakeOld(m_dir.filePath(name));
        }
        PutBytes(m_dir.filePath("MainConfig.dat.Fresh1"), "x"); // a write running now
        QVERIFY(QDir().mkpath(m_dir.filePath("MainConfig.dat.Dir123")));
        QVERIFY(QFile::link(m_dir.filePath("MainConfig.dat.Fresh1"),
                            m_dir.filePath("MainConfig.dat.Link12")));
        MakeOld(m_dir.filePath("MainConfig.dat.Link12"));

        QCOMPARE(RemoveStaleLineFileTemps(m_dir.path()), 2);
        for (const QString& name : stale)
            QVERIFY2(!QFileInfo::exists(m_dir.filePath(name)), qPrintable(name));
        for (const QString& name :
             kept + QStringList{"MainConfig.dat", "MainConfig.dat.Fresh1", "MainConfig.dat.Dir123"})
            QVERIFY2(QFileInfo::exists(m_dir.filePath(name)), qPrintable(name));
        QVERIFY(QFileInfo(m_dir.filePath("MainConfig.dat.Link12")).isSymLink());
        QCOMPARE(RemoveStaleLineFileTemps(m_dir.path(), 0), 1); // the fresh one, when asked
    }
};

QTEST_GUILESS_MAIN(TestLineFileSafety)
#include "test_linefilesafety.moc"
