#pragma once

#include <QString>

namespace torvane::client {

// The start-with-the-system entry: NetWorkDns.desktop in an XDG autostart folder. Failures are
// silent, as they always were: a workstation without the rights simply keeps no entry.
QString AutostartEntryPath(const QString& folder);
void WriteAutostartEntry(const QString& folder, const QString& programPath);
void RemoveAutostartEntry(const QString& folder);

} // namespace torvane::client
