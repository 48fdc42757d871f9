#include "client/runkeyautostart.h"

#include "client/clientlogging.h"

#include <QDir>
#include <QSettings>

namespace torvane::client {

RunKeyAutostart::RunKeyAutostart(const QString& key) : m_key(key) {}

QString RunKeyAutostart::RunValue(const QString& programPath) {
    return QDir::toNativeSeparators(programPath);
}

void RunKeyAutostart::enable(const QString& programPath) {
    QSettings run(m_key, QSettings::NativeFormat);
    run.setValue(QString::fromLatin1(kValueName), RunValue(programPath));
    run.sync();
    if (run.status() != QSettings::NoError)
        qCWarning(lcStartup) << "the autostart value could not be written under" << m_key;
}

void RunKeyAutostart::disable() {
    QSettings run(m_key, QSettings::NativeFormat);
    if (!run.contains(QString::fromLatin1(kValueName)))
        return;
    run.remove(QString::fromLatin1(kValueName));
    run.sync();
    if (run.status() != QSettings::NoError)
        qCWarning(lcStartup) << "the autostart value could not be removed under" << m_key;
}

std::unique_ptr<Autostart> CreatePlatformAutostart() {
    return std::make_unique<RunKeyAutostart>();
}

} // namespace torvane::client
