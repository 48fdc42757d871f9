#pragma once

#include <QString>

namespace torvane {

// Where a program keeps its MainConfig.dat: beside itself, unless its installation put the list
// in a data folder of its own. An installation does so when the program folder is closed to the
// users (who could otherwise replace the program another user runs, or plant a library beside
// it) while the users must still write the list. It names the data folder where only an
// administrator can:
// - Unix: MainConfig.dat in the program folder is a symbolic link to the real file, and both the
//   link and the folder belong to root (or to the user running the program) and the folder is
//   writable by its owner alone. A link anyone else could have placed is not followed; the line
//   file code then refuses it as before.
// - Windows: the value "DataFolder" under HKEY_LOCAL_MACHINE\SOFTWARE\Torvane\<programName>,
//   an absolute folder path.
// programName is "Client" or "Server".
QString InstalledLineFilePath(const QString& programDir, const QString& programName);

} // namespace torvane
