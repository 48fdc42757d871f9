#include "client/adapter/linux/netlinkadapter.h"
#include "client/adapter/linux/resolverfile.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace torvane;
using namespace torvane::client;

// The resolver file: which lines are name servers, how a new list replaces them, and how the
// file is written (never through a symlink).
class TestResolverFile : public QObject {
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void replace_data();
    void replace();
    void writeReplacesFileAndKeepsMode();
    void writeCreatesMissingFile();
    void readersSeeTheOldFileOrTheNew();
    void symlinkIsRefusedAndLeftAlone();
    void unreadableInputs();
    void specialFilesAreNotRead();
    void inspectReportsResolverErrors();

private:
    static bool WriteFile(const QString& path, const QByteArray& content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }
    static QByteArray ReadFile(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

void TestResolverFile::parse_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("servers");
    QTest::newRow("order kept") << QByteArray("nameserver 10.0.0.2\nnameserver 10.0.0.1\n")
                                << QStringList{"10.0.0.2", "10.0.0.1"};
    QTest::newRow("comments, search and options skipped")
        << QByteArray("# nameserver 1.1.1.1\n; nameserver 2.2.2.2\nsearch lan\n"
                      "nameserver 3.3.3.3\noptions edns0\n")
        << QStringList{"3.3.3.3"};
    QTest::newRow("IPv6 skipped") << QByteArray("nameserver ::1\nnameserver 4.4.4.4\n")
                                  << QStringList{"4.4.4.4"};
    QTest::newRow("tabs, CRLF, no final newline")
        << QByteArray("nameserver\t5.5.5.5\r\n  nameserver 6.6.6.6")
        << QStringList{"5.5.5.5", "6.6.6.6"};
    QTest::newRow("malformed entries skipped")
        << QByteArray("nameserver\nnameserver 1.2.3\nnameserver 256.1.1.1\nnameservers 7.7.7.7\n"
                      "nameserver 1.2.3.4.5\nnameserver 8.8.8.8 trailing\n")
        << QStringList{"8.8.8.8"};
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe nameserver\x00 1.1.1.1\n", 22)
                                 << QStringList{};
    QTest::newRow("empty") << QByteArray() << QStringList{};
}

void TestResolverFile::parse() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, servers);
    QCOMPARE(ResolverFile::ParseNameservers(content), servers);
}

void TestResolverFile::replace_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("servers");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("other lines kept, list where the first entry was")
        << QByteArray("# head\nsearch lan\nnameserver 1.1.1.1\noptions edns0\n"
                      "nameserver fd00::1\nnameserver 2.2.2.2\n")
        << QStringList{"10.0.0.1", "10.0.0.2"}
        << QByteArray("# head\nsearch lan\nnameserver 10.0.0.1\nnameserver 10.0.0.2\n"
                      "options edns0\n");
    QTest::newRow("empty secondary writes the primary alone")
        << QByteArray("nameserver 1.1.1.1\nnameserver 2.2.2.2\n") << QStringList{"9.9.9.9", ""}
        << QByteArray("nameserver 9.9.9.9\n");
    QTest::newRow("no entries: appended")
        << QByteArray("search lan") << QStringList{"9.9.9.9", "8.8.8.8"}
        << QByteArray("search lan\nnameserver 9.9.9.9\nnameserver 8.8.8.8\n");
    QTest::newRow("empty file") << QByteArray() << QStringList{"9.9.9.9"}
                                << QByteArray("nameserver 9.9.9.9\n");
    QTest::newRow("commented entries stay comments")
        << QByteArray("# nameserver 1.1.1.1\nnameserver 2.2.2.2\n") << QStringList{"9.9.9.9"}
        << QByteArray("# nameserver 1.1.1.1\nnameserver 9.9.9.9\n");
}

void TestResolverFile::replace() {
    QFETCH(QByteArray, content);
    QFETCH(QStringList, servers);
    QFETCH(QByteArray, expected);
    const QByteArray result = ResolverFile::ReplaceNameservers(content, servers);
    QCOMPARE(result, expected);
    QStringList written = servers;
    written.removeAll(QString());
    QCOMPARE(ResolverFile::ParseNameservers(result), written);
}

void TestResolverFile::writeReplacesFileAndKeepsMode() {
    QTemporaryDir dir;
    const QString path = dir.filePath("resolv.conf");
    QVERIFY(WriteFile(path, "search lan\nnameserver 1.1.1.1\n"));
    QVERIFY(::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    QString error;
    QVERIFY2(ResolverFile(path).writeNameservers({"10.0.0.1", "10.0.0.2"}, &error),
             qPrintable(error));
    QCOMPARE(ReadFile(path), QByteArray("search lan\nnameserver 10.0.0.1\nnameserver 10.0.0.2\n"));
    struct stat st {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    // No temporary file is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"resolv.conf"});
}

void TestResolverFile::writeCreatesMissingFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("resolv.conf");
    QString error;
    QVERIFY2(ResolverFile(path).writeNameservers({"10.0.0.1", ""}, &error), qPrintable(error));
    QCOMPARE(ReadFile(path), QByteArray("nameserver 10.0.0.1\n"));
    QStringList servers;
    QCOMPARE(ResolverFile(path).read(&servers, &error), ResolverFile::ReadStatus::Ok);
    QCOMPARE(servers, QStringList{"10.0.0.1"});
}

void TestResolverFile::readersSeeTheOldFileOrTheNew() {
    // Where the folder allows it the file is replaced by a rename: a reader beside a storm of
    // rewrites (two lists of different lengths) reads one whole file or the other, never a mix.
    QTemporaryDir dir;
    const QString path = dir.filePath("resolv.conf");
    const QByteArray initial = "search lan\nnameserver 1.1.1.1\noptions timeout:2\n";
    QVERIFY(WriteFile(path, initial));
    const QByteArray two = ResolverFile::ReplaceNameservers(initial, {"10.0.0.53", "10.0.0.54"});
    const QByteArray one = ResolverFile::ReplaceNameservers(initial, {"10.0.0.153"});
    std::atomic<bool> done = false;
    std::atomic<int> reads = 0;
    QByteArray odd;
    std::thread reader([&] {
        const QByteArray file = QFile::encodeName(path);
        while (!done) {
            QByteArray content;
            const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
            char buffer[4096];
            ssize_t n = 0;
            while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
                content.append(buffer, n);
            if (fd >= 0)
                ::close(fd);
            ++reads;
            if (content != initial && content != one && content != two && odd.isEmpty())
                odd = content.isEmpty() ? QByteArray("<empty or missing>") : content;
        }
    });
    QString error;
    bool written = true;
    for (int i = 0; i < 200 && written; ++i)
        written = ResolverFile(path).writeNameservers(
            i % 2 ? QStringList{"10.0.0.153"} : QStringList{"10.0.0.53", "10.0.0.54"}, &error);
    done = true;
    reader.join();
    QVERIFY2(written, qPrintable(error));
    QVERIFY2(odd.isEmpty(), odd.constData());
    QVERIFY(reads > 0);
    QCOMPARE(ReadFile(path), one);
}

void TestResolverFile::symlinkIsRefusedAndLeftAlone() {
    QTemporaryDir dir;
    const QString target = dir.filePath("stub-resolv.conf");
    const QString link = dir.filePath("resolv.conf");
    QVERIFY(WriteFile(target, "nameserver 127.0.0.53\n"));
    QVERIFY(QFile::link(target, link));

    // Reading follows the link: that is what the resolver uses.
    QStringList servers;
    QString error;
    QCOMPARE(ResolverFile(link).read(&servers, &error), ResolverFile::ReadStatus::Ok);
    QCOMPARE(servers, QStringList{"127.0.0.53"});

    QVERIFY(!ResolverFile(link).checkWritable(&error));
    QVERIFY2(error.contains("symbolic link"), qPrintable(error));
    error.clear();
    QVERIFY(!ResolverFile(link).writeNameservers({"10.0.0.1"}, &error));
    QVERIFY(error.contains("symbolic link"));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(ReadFile(target), QByteArray("nameserver 127.0.0.53\n"));
}

void TestResolverFile::unreadableInputs() {
    QTemporaryDir dir;
    QStringList servers{"untouched"};
    QString error;
    QCOMPARE(ResolverFile(dir.filePath("missing")).read(&servers, &error),
             ResolverFile::ReadStatus::Missing);
    QCOMPARE(ResolverFile(dir.path()).read(&servers, &error), ResolverFile::ReadStatus::Failed);
    QVERIFY(!ResolverFile(dir.path()).checkWritable(&error));

    // Something far larger than any resolver file is refused, not parsed.
    const QString big = dir.filePath("big");
    QVERIFY(WriteFile(big, QByteArray(ResolverFile::kMaxSize + 1, 'x')));
    QCOMPARE(ResolverFile(big).read(&servers, &error), ResolverFile::ReadStatus::Failed);
    QVERIFY(!ResolverFile(big).writeNameservers({"10.0.0.1"}, &error));
    QCOMPARE(QFileInfo(big).size(), ResolverFile::kMaxSize + 1);
    QCOMPARE(servers, QStringList{"untouched"});
}

void TestResolverFile::specialFilesAreNotRead() {
    // A pipe named like the resolver file must not block the window: it is refused at once.
    QTemporaryDir dir;
    const QString fifo = dir.filePath("resolv.conf");
    const QByteArray fifoPath = QFile::encodeName(fifo);
    QVERIFY(::mkfifo(fifoPath.constData(), 0644) == 0);
    auto reading = std::async(std::launch::async, [fifo] {
        QStringList servers;
        QString error;
        return ResolverFile(fifo).read(&servers, &error);
    });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Let the blocked reader go (a writer that comes and leaves ends its read) and fail.
        const int fd = ::open(fifoPath.constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
        reading.wait();
        QFAIL("reading a named pipe as the resolver file blocked");
    }
    QCOMPARE(reading.get(), ResolverFile::ReadStatus::Failed);

    // A device is no resolver file either, however it reads.
    QStringList servers{"untouched"};
    QString error;
    QCOMPARE(ResolverFile("/dev/zero").read(&servers, &error), ResolverFile::ReadStatus::Failed);
    QCOMPARE(servers, QStringList{"untouched"});
}

void TestResolverFile::inspectReportsResolverErrors() {
    // Only reads: the resolver file fails before any adapter is looked at.
    QTemporaryDir dir;
    NetworkParams params = NetlinkAdapter(dir.filePath("missing")).inspect();
    QCOMPARE(params.outcome, InspectionOutcome::NetworkParamsUnavailable);
    QCOMPARE(ErrorNumber(params.outcome), 1);
    params = NetlinkAdapter(dir.path()).inspect();
    QCOMPARE(params.outcome, InspectionOutcome::NetworkParamsFailed);
    QCOMPARE(ErrorNumber(params.outcome), 2);
}

QTEST_GUILESS_MAIN(TestResolverFile)
#include "test_resolverfile.moc"
