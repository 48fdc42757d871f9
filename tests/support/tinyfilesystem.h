#pragma once

// A filesystem of a few KiB for full-disk tests, mounted in a mount namespace of the test
// process alone, so the machine's mount table never changes. Needs root; CI runs as root and
// sets CI, where a missing mount fails the test instead of skipping it.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <sched.h>
#include <sys/mount.h>

namespace torvane::testing {

class TinyFilesystem {
public:
    explicit TinyFilesystem(const char* size = "size=16k") {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        const QByteArray where = QFile::encodeName(m_dir.path());
        if (::unshare(CLONE_NEWNS) != 0)
            m_error = QStringLiteral("unshare(CLONE_NEWNS): ") + qt_error_string(errno);
        else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 ::mount("torvane-full", where.constData(), "tmpfs", 0, size) != 0)
            m_error = QStringLiteral("mount: ") + qt_error_string(errno);
        else
            m_mounted = true;
    }
    ~TinyFilesystem() {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    TinyFilesystem(const TinyFilesystem&) = delete;
    TinyFilesystem& operator=(const TinyFilesystem&) = delete;

    bool mounted() const { return m_mounted; }
    QString error() const { return m_error; }
    QString path() const { return m_dir.path(); }

    // Takes every free byte: the next write of anything fails with ENOSPC.
    bool fill() {
        m_filler.setFileName(m_dir.filePath(QStringLiteral("filler")));
        if (!m_filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return false;
        while (m_filler.write(QByteArray(512, 'x')) == 512) {
        }
        return true;
    }
    void release() { m_filler.remove(); }

private:
    QTemporaryDir m_dir;
    QFile m_filler;
    QString m_error;
    bool m_mounted = false;
};

// Skips (outside CI) or fails (in CI) when the tiny filesystem could not be mounted.
#define TORVANE_REQUIRE_TINY_FS(fs)                                                                \
    do {                                                                                           \
        if (!(fs).mounted()) {                                                                     \
            const QString why =                                                                    \
                QStringLiteral("needs root for a tiny filesystem: ") + (fs).error();               \
            if (qEnvironmentVariableIsSet("CI"))                                                   \
                QFAIL(qPrintable(why));                                                            \
            QSKIP(qPrintable(why));                                                                \
        }                                                                                          \
    } while (false)

} // namespace torvane::testing
