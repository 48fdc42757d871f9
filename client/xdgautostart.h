#pragma once

#include "client/autostart.h"

namespace torvane::client {

// The autostart entry of a Linux desktop: NetWorkDns.desktop in the system's autostart folder,
// or in the user's when the system one cannot be written (a workstation user without root).
class XdgAutostart : public Autostart {
public:
    // Empty folders: /etc/xdg/autostart and $XDG_CONFIG_HOME/autostart.
    explicit XdgAutostart(const QString& systemFolder = QString(),
                          const QString& userFolder = QString());

    void enable(const QString& programPath) override;
    // Removes the entry from both folders, so no copy of it starts the program any more.
    void disable() override;

    QString systemFolder() const { return m_systemFolder; }
    QString userFolder() const { return m_userFolder; }

    static QString EntryPath(const QString& folder);
    static bool WriteEntry(const QString& folder, const QString& programPath);
    static bool RemoveEntry(const QString& folder);

private:
    QString m_systemFolder;
    QString m_userFolder;
};

} // namespace torvane::client
