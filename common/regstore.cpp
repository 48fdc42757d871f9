#include "common/regstore.h"

#include "common/logging.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <memory>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace torvane {

namespace {
// The store of a key: "SoftWare\Morlisk" is Morlisk.conf. QSettings re-reads the file when it
// is opened and merges only the changed values under its own lock file on sync, so the Client and
// the Server can share one file.
std::unique_ptr<QSettings> OpenStore(RegRoot root, const QString& subKey) {
#ifdef Q_OS_WIN
    // The key itself: the organisation-name form would land in an "OrganizationDefaults" subkey.
    const QString rootName = root == RegRoot::CurrentUser ? QStringLiteral("HKEY_CURRENT_USER\\")
                                                          : QStringLiteral("HKEY_LOCAL_MACHINE\\");
    return std::make_unique<QSettings>(rootName + subKey, QSettings::NativeFormat);
#else
    const QString name = subKey.section(QLatin1Char('\\'), -1, -1, QString::SectionSkipEmpty);
    const QSettings::Scope scope =
        root == RegRoot::CurrentUser ? QSettings::UserScope : QSettings::SystemScope;
    // Native: an INI file named <key>.conf on Linux, the registry key on Windows.
    return std::make_unique<QSettings>(QSettings::NativeFormat, scope,
                                       name.isEmpty() ? QStringLiteral("Default") : name);
#endif
}

// Only a per-user file is private; a machine-wide one is meant to be read by every user.
bool IsPrivateFile(RegRoot root, const QSettings& store) {
#ifdef Q_OS_WIN
    Q_UNUSED(root);
    Q_UNUSED(store);
    return false; // the registry has its own access rules
#else
    return root == RegRoot::CurrentUser && store.format() == QSettings::NativeFormat &&
           !store.fileName().isEmpty() && QDir::isAbsolutePath(store.fileName());
#endif
}

#ifdef Q_OS_UNIX
constexpr mode_t kPrivateMode = 0600;

// QSettings saves through a temporary file that takes the mode of the file it replaces, or 0666
// less the umask when there is none: a file created 0600 first keeps every write private.
void CreatePrivately(const QString& fileName) {
    QDir().mkpath(QFileInfo(fileName).absolutePath());
    const QByteArray native = QFile::encodeName(fileName);
    const int fd =
        ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;                 // there already, or the write itself will fail and say so
    ::fchmod(fd, kPrivateMode); // the umask may have taken bits of the owner's
    ::close(fd);
}

bool MakePrivate(const QString& fileName) {
    const QByteArray native = QFile::encodeName(fileName);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0)
        return errno == ENOENT;
    if (!S_ISREG(st.st_mode))
        return false; // not a file QSettings could have written: left as it is
    if ((st.st_mode & 07777) == kPrivateMode)
        return true;
    if (::chmod(native.constData(), kPrivateMode) == 0)
        return true;
    qCWarning(lcSettings) << "could not make" << fileName << "private:" << std::strerror(errno);
    return false;
}
#else
void CreatePrivately(const QString&) {}
bool MakePrivate(const QString&) {
    return true; // the registry has no file modes
}
#endif
} // namespace

bool RestrictRegStoreFile(RegRoot root, const QString& subKey) {
    const auto store = OpenStore(root, subKey);
    return !IsPrivateFile(root, *store) || MakePrivate(store->fileName());
}

QString RegStoreFilePath(RegRoot root, const QString& subKey) {
    return OpenStore(root, subKey)->fileName();
}

QString ReadRegString(RegRoot root, const QString& subKey, const QString& valueName) {
    const auto store = OpenStore(root, subKey);
    const QVariant value = store->value(valueName);
    // Only text values count; anything else reads as empty, like a missing value.
    if (value.typeId() != QMetaType::QString)
        return {};
    return value.toString();
}

bool WriteRegString(RegRoot root, const QString& subKey, const QString& valueName,
                    const QString& text) {
    const auto store = OpenStore(root, subKey);
    const bool keepPrivate = IsPrivateFile(root, *store);
    if (keepPrivate)
        CreatePrivately(store->fileName());
    store->setValue(valueName, text);
    store->sync();
    const bool written = store->status() == QSettings::NoError;
    return (!keepPrivate || MakePrivate(store->fileName())) && written;
}

bool ClearRegStore(RegRoot root, const QString& subKey) {
    const auto store = OpenStore(root, subKey);
#ifndef Q_OS_WIN
    // A file-backed key is gone with its file, as if never written.
    const QString fileName = store->fileName();
    if (!fileName.isEmpty() && QDir::isAbsolutePath(fileName))
        return !QFile::exists(fileName) || QFile::remove(fileName);
#endif
    store->clear();
    store->sync();
    return store->status() == QSettings::NoError;
}

bool DeleteRegValue(RegRoot root, const QString& subKey, const QString& valueName) {
    const auto store = OpenStore(root, subKey);
    store->remove(valueName);
    store->sync();
    const bool written = store->status() == QSettings::NoError;
    return (!IsPrivateFile(root, *store) || MakePrivate(store->fileName())) && written;
}

} // namespace torvane
