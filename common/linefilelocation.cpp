#include "common/linefilelocation.h"

#include "common/linefile.h"
#include "common/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QSettings>
#else
#include <climits>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace torvane {

namespace {
#ifdef Q_OS_WIN
QString DataFolderFromInstallation(const QString& /*besideProgram*/, const QString& programName) {
    // HKLM\SOFTWARE is writable by administrators only; the 64-bit view is the installer's.
    const QSettings key(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Torvane\\") + programName,
                        QSettings::Registry64Format);
    const QString folder = key.value(QStringLiteral("DataFolder")).toString();
    if (folder.isEmpty())
        return QString();
    if (!QDir::isAbsolutePath(folder)) {
        qCWarning(lcLineFile) << "ignoring the installation's data folder" << folder
                              << "- not an absolute path";
        return QString();
    }
    return LineFilePath(QDir::cleanPath(folder));
}
#else
bool TrustedOwner(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

QString DataFolderFromInstallation(const QString& besideProgram, const QString& /*programName*/) {
    const QByteArray link = QFile::encodeName(besideProgram);
    struct stat linkStat {};
    if (::lstat(link.constData(), &linkStat) != 0 || !S_ISLNK(linkStat.st_mode))
        return QString();
    const QString folder = QFileInfo(besideProgram).absolutePath();
    struct stat folderStat {};
    if (::stat(QFile::encodeName(folder).constData(), &folderStat) != 0)
        return QString();
    // Whoever may write the folder may have placed the link: only its owner, root or we.
    if (!TrustedOwner(linkStat.st_uid) || !TrustedOwner(folderStat.st_uid) ||
        (folderStat.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        qCWarning(lcLineFile) << "not following" << besideProgram
                              << "- the link or its folder may be changed by other users";
        return QString();
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.constData(), target, sizeof target - 1);
    if (length <= 0)
        return QString();
    const QString named = QFile::decodeName(QByteArray(target, static_cast<int>(length)));
    // A relative link is relative to its own folder, as the system reads it.
    return QDir::cleanPath(QDir(folder).absoluteFilePath(named));
}
#endif
} // namespace

QString InstalledLineFilePath(const QString& programDir, const QString& programName) {
    const QString beside = LineFilePath(programDir);
    const QString installed = DataFolderFromInstallation(beside, programName);
    if (installed.isEmpty())
        return beside;
    qCInfo(lcLineFile) << "the line file is" << installed << "as installed";
    return installed;
}

} // namespace torvane
