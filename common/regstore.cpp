#include "common/regstore.h"

#include <QSettings>

#include <memory>

namespace torvane {

namespace {
// The store of a key: "SoftWare\Morlisk" is Morlisk.conf. QSettings re-reads the file when it
// is opened and merges only the changed values under its own lock file on sync, so the Client and
// the Server can share one file.
std::unique_ptr<QSettings> OpenStore(RegRoot root, const QString& subKey) {
    const QString name = subKey.section(QLatin1Char('\\'), -1, -1, QString::SectionSkipEmpty);
    const QSettings::Scope scope =
        root == RegRoot::CurrentUser ? QSettings::UserScope : QSettings::SystemScope;
    // Native: an INI file named <key>.conf on Linux, the registry key on Windows.
    return std::make_unique<QSettings>(QSettings::NativeFormat, scope,
                                       name.isEmpty() ? QStringLiteral("Default") : name);
}
} // namespace

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
    store->setValue(valueName, text);
    store->sync();
    return store->status() == QSettings::NoError;
}

bool DeleteRegValue(RegRoot root, const QString& subKey, const QString& valueName) {
    const auto store = OpenStore(root, subKey);
    store->remove(valueName);
    store->sync();
    return store->status() == QSettings::NoError;
}

} // namespace torvane
