#include "client/runkeyautostart.h"

#include "client/clientlogging.h"

#include <QDir>
#include <QSettings>

namespace torvane::client {

RunKeyAutostart::RunKeyAutostart(const QString& key, const QString& userKey)
    : m_key(key), m_userKey(userKey) {}

QString RunKeyAutostart::RunValue(const QString& programPath) {
    return QDir::toNativeSeparators(programPath);
}

bool RunKeyAutostart::WriteValue(const QString& key, const QString& value) {
    QSettings run(key, QSettings::NativeFormat);
    run.setValue(QString::fromLatin1(kValueName), value);
    run.sync();
    return run.status() == QSettings::NoError;
}

bool RunKeyAutostart::RemoveValue(const QString& key) {
    QSettings run(key, QSettings::NativeFormat);
    if (!run.contains(QString::fromLatin1(kValueName)))
        return true;
    run.remove(QString::fromLatin1(kValueName));
    run.sync();
    return run.status() == QSettings::NoError;
}

void RunKeyAutostart::enable(const QString& programPath) {
    const QString value = RunValue(programPath);
    if (WriteValue(m_key, value)) {
        // One entry is enough: a user's own one would start a second copy at sign-in.
        RemoveValue(m_userKey);
        return;
    }
    if (WriteValue(m_userKey, value)) {
        qCInfo(lcStartup) << "no right to write under" << m_key << "- starts with" << m_userKey
                          << "for this user";
        return;
    }
    qCWarning(lcStartup) << "the autostart value could not be written under" << m_key << "nor"
                         << m_userKey;
}

void RunKeyAutostart::disable() {
    for (const QString& key : {m_key, m_userKey}) {
        if (!RemoveValue(key))
            qCWarning(lcStartup) << "the autostart value could not be removed under" << key;
    }
}

std::unique_ptr<Autostart> CreatePlatformAutostart() {
    return std::make_unique<RunKeyAutostart>();
}

} // namespace torvane::client
