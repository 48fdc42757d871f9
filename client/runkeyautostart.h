#pragma once

#include "client/autostart.h"

namespace torvane::client {

// Windows: the value "NetWorkDns" under HKEY_LOCAL_MACHINE
// "SoftWare\Microsoft\Windows\CurrentVersion\Run", holding the program's full path. Writing there
// needs an administrator; for anyone else the write fails, silently as ever (the log says so).
class RunKeyAutostart : public Autostart {
public:
    static constexpr const char* kRunKey =
        "HKEY_LOCAL_MACHINE\\SoftWare\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* kValueName = "NetWorkDns";

    // key: a full registry path (tests use one under HKEY_CURRENT_USER).
    explicit RunKeyAutostart(const QString& key = QString::fromLatin1(kRunKey));

    void enable(const QString& programPath) override;
    void disable() override;

    QString key() const { return m_key; }
    // The value as Windows will run it: the path with backslashes.
    static QString RunValue(const QString& programPath);

private:
    QString m_key;
};

} // namespace torvane::client
