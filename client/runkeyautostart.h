#pragma once

#include "client/autostart.h"

namespace torvane::client {

// Windows: the value "NetWorkDns" holding the program's full path, under
// HKEY_LOCAL_MACHINE "SoftWare\Microsoft\Windows\CurrentVersion\Run" (every account of the
// workstation) when this user may write there, which needs an administrator's elevated right;
// otherwise under the same key of HKEY_CURRENT_USER, so that the setting works for a normal user
// too (for that user alone). Disabling removes both.
class RunKeyAutostart : public Autostart {
public:
    static constexpr const char* kRunKey =
        "HKEY_LOCAL_MACHINE\\SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* kUserRunKey =
        "HKEY_CURRENT_USER\\SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* kValueName = "NetWorkDns";

    // Full registry paths (tests use others).
    explicit RunKeyAutostart(const QString& key = QString::fromLatin1(kRunKey),
                             const QString& userKey = QString::fromLatin1(kUserRunKey));

    void enable(const QString& programPath) override;
    void disable() override;

    QString key() const { return m_key; }
    // The value as Windows will run it: the path with backslashes.
    static QString RunValue(const QString& programPath);

private:
    static bool WriteValue(const QString& key, const QString& value);
    static bool RemoveValue(const QString& key);

    QString m_key;
    QString m_userKey;
};

} // namespace torvane::client
