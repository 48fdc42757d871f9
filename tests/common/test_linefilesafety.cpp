// Hostile and failing files: a full disk, links, FIFOs, unreadable and oversize files, file modes
// and the temporary files of interrupted writes.
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/linefilelocation.h"
#include "common/linefilesource.h"
#include "common/messagereader.h"
#include "common/protocol.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/fsuid.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace torvane;

namespace {
const QByteArray kOld("old;;;1.1.1.1;2.2.2.2;;\r\n");
const QString kRecord = QStringLiteral("new;;;3.3.3.3;4.4.4.4;;");

QByteArray Native(const QString& path) {
    return QFile::encodeName(path);
}

void PutBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

int ModeOf(const QString& path) {
    struct stat st {};
    return ::stat(Native(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QByteArray RawBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every writer of the line file, as the programs call them.
LineFileResult Write(int writer, const QString& path) {
    switch (writer) {
    case 0:
        return SaveLineFile(path, kRecord + "\r\n"); // the Client's update
    case 1:
        return SaveAppendedLine(path, kRecord);
    case 2:
        return SaveRewrittenLines(path, QString::fromLatin1(kOld.chopped(2)), kRecord, false);
    default:
        return SaveServerLineFile(path, {{"new", "", "", "3.3.3.3", "4.4.4.4", "5.5.5.5"}});
    }
}

void AddWriterRows() {
    QTest::addColumn<int>("writer");
    const char* names[] = {"update", "append", "modify", "server save"};
    for (int i = 0; i < 4; ++i)
        QTest::newRow(names[i]) << i;
}

// A mount namespace of this process alone: the machine's mount table never changes.
QString MountTinyFilesystem(const QString& where) {
    if (::unshare(CLONE_NEWNS) != 0)
        return QStringLiteral("unshare(CLONE_NEWNS): ") + qt_error_string(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("torvane-full", Native(where).constData(), "tmpfs", 0, "size=16k") != 0)
        return QStringLiteral("mount: ") + qt_error_string(errno);
    return {};
}
} // namespace

class TestLineFileSafety : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QTemporaryDir m_tinyMount;
    QString m_tinyError;

private slots:
    void initTestCase() { m_tinyError = MountTinyFilesystem(m_tinyMount.path()); }
    void cleanupTestCase() { ::umount2(Native(m_tinyMount.path()).constData(), MNT_DETACH); }
    void init() {
        m_dir = std::make_unique<QTemporaryDir>();
        m_path = LineFilePath(m_dir->path());
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
        PutBytes(path, kOld);
        QFile filler(m_tinyMount.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        while (filler.write(QByteArray(512, 'x')) == 512) {
        }

        const LineFileResult result = Write(writer, path);
        QCOMPARE(result.status, LineFileStatus::WriteFailed);
        QCOMPARE(result.error, ENOSPC);
        QCOMPARE(RawBytes(path), kOld);
        QCOMPARE(QDir(m_tinyMount.path()).entryList(QDir::Files),
                 (QStringList{"filler", "MainConfig.dat"})); // no temporary file left
        QVERIFY(filler.remove());
        QVERIFY(Write(writer, path).ok()); // with room again it goes through
    }

    void symlinkIsNeitherReadNorWrittenThrough_data() { AddWriterRows(); }
    void symlinkIsNeitherReadNorWrittenThrough() {
        QFETCH(int, writer);
        const QString target = m_dir->filePath("elsewhere");
        PutBytes(target, kOld);
        QVERIFY(QFile::link(target, m_path));
        QCOMPARE(ReadLineEntries(m_path).status, LineFileStatus::Symlink);

        QCOMPARE(Write(writer, m_path).status, LineFileStatus::Symlink);
        QCOMPARE(RawBytes(target), kOld);
        QCOMPARE(QFileInfo(m_path).symLinkTarget(), target); // still the link
        // A dangling link does not make a file appear at its target either.
        QVERIFY(QFile::remove(target));
        QCOMPARE(Write(writer, m_path).status, LineFileStatus::Symlink);
        QVERIFY(!QFile::exists(target));
    }

    void fifoIsRefusedWithoutHanging() {
        // A FIFO with no writer would block an ordinary open for ever.
        QVERIFY(::mkfifo(Native(m_path).constData(), 0644) == 0);
        QCOMPARE(ReadServerLineTable(m_path).status, LineFileStatus::NotRegular);
        for (int writer = 0; writer < 4; ++writer)
            QCOMPARE(Write(writer, m_path).status, LineFileStatus::NotRegular);
    }

    void unreadableFileIsRefusedNotEmpty() {
        PutBytes(m_path, kOld);
        QVERIFY(::chmod(Native(m_path).constData(), 0) == 0);
        QVERIFY(::chmod(Native(m_dir->path()).constData(), 0755) == 0);
        // Root reads anything; a file-system identity other than root loses that right.
        const bool root = ::geteuid() == 0;
        if (root)
            ::setfsuid(65534);
        const LineFileRead read = ReadLineFile(m_path);
        const LineFileResult append = SaveAppendedLine(m_path, kRecord);
        if (root)
            ::setfsuid(0);
        QCOMPARE(read.status, LineFileStatus::Unreadable);
        QCOMPARE(read.error, EACCES);
        QCOMPARE(append.status, LineFileStatus::Unreadable); // not rebuilt from nothing
        QVERIFY(::chmod(Native(m_path).constData(), 0644) == 0);
        QCOMPARE(RawBytes(m_path), kOld);
    }

    void sizeCapMatchesWhatAClientTakes() {
        // The largest file whose update a Client still takes, and one record more.
        QCOMPARE(qint64(ToGbk(Protocol::kUpdateWord).size()), kUpdateWordBytes);
        const QByteArray record("a;;;1.1.1.1;2.2.2.2;;\r\n");
        QByteArray largest = record.repeated(kMaxLineFileBytes / record.size());
        largest.prepend(QByteArray(kMaxLineFileBytes - largest.size(), 'n'));
        for (const QByteArray& file : {largest, largest + record}) {
            MessageReader reader(MessageReader::Side::Client);
            QList<QByteArray> got = reader.feed(Protocol::ComposeLineListUpdate(file), 0);
            got += reader.poll(10000);
            QCOMPARE(got.size(), file == largest ? 1 : 0);
        }
        PutBytes(m_path, largest);
        QCOMPARE(ReadLineFile(m_path).bytes, largest);
        PutBytes(m_path, largest + "x");
        QCOMPARE(ReadLineEntries(m_path).status, LineFileStatus::TooLarge);
        // A huge (sparse) file is refused at once, never read.
        QVERIFY(::truncate(Native(m_path).constData(), 100 << 20) == 0);
        QCOMPARE(ReadLineFile(m_path).status, LineFileStatus::TooLarge);
        // Nor is a content written that reading would refuse.
        QCOMPARE(SaveLineFile(m_path, QString::fromLatin1(largest + "x")).status,
                 LineFileStatus::TooLarge);
    }

    void pushSourceTellsRefusalFromEmptyAndSeesEveryChange() {
        LineFileSource source(m_path);
        QCOMPARE(source.read().status, LineFileStatus::Missing);
        PutBytes(m_path, QByteArray());
        QCOMPARE(source.read().status, LineFileStatus::Empty);
        QVERIFY(!source.read().refused()); // both send the bare update word
        PutBytes(m_path, kOld);
        QCOMPARE(source.read().bytes, kOld);
        // A same-size rewrite right after the read is seen, not served from the cache.
        const QByteArray same("new;;;1.1.1.1;2.2.2.2;;\r\n");
        PutBytes(m_path, same);
        QCOMPARE(source.read().bytes, same);
        PutBytes(m_path, QByteArray(kMaxLineFileBytes + 1, 'x'));
        QCOMPARE(source.read().status, LineFileStatus::TooLarge);
        QVERIFY(source.read().bytes.isEmpty());
    }

    void appendKeepsTheStoredBytesAsTheyAre() {
        // Bytes GBK cannot decode, and a last record without CR LF, are left exactly as found.
        const QByteArray odd("\x80\xff;;;1.1.1.1;2.2.2.2;;\r\ntail");
        PutBytes(m_path, odd);
        QVERIFY(AppendLine(m_path, kRecord));
        QCOMPARE(RawBytes(m_path), odd + kRecord.toLatin1() + "\r\n");
    }

    void writtenFileIsWorldReadableWhateverTheUmask_data() { AddWriterRows(); }
    void writtenFileIsWorldReadableWhateverTheUmask() {
        QFETCH(int, writer);
        const mode_t oldMask = ::umask(0);
        const auto restoreMask = qScopeGuard([oldMask] { ::umask(oldMask); });
        PutBytes(m_path, kOld);
        QVERIFY(::chmod(Native(m_path).constData(), 0666) == 0);
        QVERIFY(Write(writer, m_path).ok());
        QCOMPARE(ModeOf(m_path), 0644);
    }

    void staleTempFilesAreRemovedAtStart() {
        // The name the writer gives its temporary file is one the sweep looks for.
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(::inotify_add_watch(watch, Native(m_dir->path()).constData(), IN_CREATE) >= 0);
        QVERIFY(SaveLineFile(m_path, kRecord).ok());
        alignas(inotify_event) char events[4096];
        QVERIFY(::read(watch, events, sizeof events) > 0);
        ::close(watch);
        const QString tempName = reinterpret_cast<const inotify_event*>(events)->name;

        const QStringList temps{tempName, "MainConfig.dat.Ab3xY9"};
        const QStringList others{"MainConfig.dat.Ab3xY", "MainConfig.dat.bak1234",
                                 "Other.dat.Ab3xY9"};
        for (const QString& name : temps + others)
            PutBytes(m_dir->filePath(name), "x");
        QVERIFY(QFile::link(m_path, m_dir->filePath("MainConfig.dat.Link12")));
        // Fresh ones may belong to a write running now.
        QCOMPARE(RemoveStaleLineFileTemps(m_dir->path()), 0);
        QCOMPARE(RemoveStaleLineFileTemps(m_dir->path(), 0), 2);
        for (const QString& name : temps)
            QVERIFY2(!QFileInfo::exists(m_dir->filePath(name)), qPrintable(name));
        for (const QString& name : others + QStringList{"MainConfig.dat", "MainConfig.dat.Link12"})
            QVERIFY2(QFileInfo::exists(m_dir->filePath(name)), qPrintable(name));
    }

    void installedLinkIsFollowedOnlyWhereNobodyElseCouldPlaceIt() {
        // A package closes the program folder and links MainConfig.dat to a data folder.
        const QString program = m_dir->filePath("program");
        const QString data = m_dir->filePath("data");
        QVERIFY(QDir().mkpath(program) && QDir().mkpath(data));
        QVERIFY(::chmod(Native(program).constData(), 0755) == 0);
        const QString beside = LineFilePath(program);
        QCOMPARE(InstalledLineFilePath(program, "Client"), beside); // no link: beside
        PutBytes(LineFilePath(data), kOld);
        QVERIFY(::symlink("../data/MainConfig.dat", Native(beside).constData()) == 0);
        const QString installed = InstalledLineFilePath(program, "Client");
        QCOMPARE(installed, LineFilePath(data)); // relative to the link's folder

        // Writes land in the data folder, temporary file included; the link stays a link.
        for (int writer = 0; writer < 4; ++writer)
            QVERIFY(Write(writer, installed).ok());
        QCOMPARE(ReadServerLineTable(installed).entries.size(), 1);
        QVERIFY(QFileInfo(beside).isSymLink());
        QCOMPARE(QDir(program).entryList(QDir::Files | QDir::System),
                 QStringList{"MainConfig.dat"});

        // A folder others may write: whoever placed the link is unknown, so it is not followed
        // and the line file code refuses it as any link.
        for (const mode_t open : {mode_t(0775), mode_t(0757), mode_t(01777)}) {
            QVERIFY(::chmod(Native(program).constData(), open) == 0);
            QCOMPARE(InstalledLineFilePath(program, "Client"), beside);
            QCOMPARE(ReadLineFile(beside).status, LineFileStatus::Symlink);
        }
        QVERIFY(::chmod(Native(program).constData(), 0755) == 0);

        // The data folder is the users': a link they put there in the file's place is refused.
        QVERIFY(QFile::remove(installed));
        QVERIFY(QFile::link(m_dir->filePath("secret"), installed));
        QCOMPARE(Write(0, InstalledLineFilePath(program, "Client")).status,
                 LineFileStatus::Symlink);
        QVERIFY(!QFileInfo::exists(m_dir->filePath("secret")));

        // A link owned by another user in our closed folder is not ours to trust either.
        if (::geteuid() == 0) {
            QVERIFY(::lchown(Native(beside).constData(), 65534, 65534) == 0);
            QCOMPARE(InstalledLineFilePath(program, "Client"), beside);
        } else if (qEnvironmentVariableIsSet("CI")) {
            QFAIL("needs root to give the link another owner"); // CI runs as root
        }
    }
};

QTEST_GUILESS_MAIN(TestLineFileSafety)
#include "test_linefilesafety.moc"
