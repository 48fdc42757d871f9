#pragma once

#include <QString>

namespace torvane {

// Per-user store of named text values. On Windows it is the registry key itself, values as text
// (REG_SZ). On Linux HKEY_CURRENT_USER "SoftWare\Morlisk" is the
// INI file $XDG_CONFIG_HOME/Morlisk.conf, values under [General]; another sub-key maps to a file
// named after its last component.
enum class RegRoot { CurrentUser, LocalMachine };

inline constexpr const char* kSettingsKey = "SoftWare\\Morlisk";

QString ReadRegString(RegRoot root, const QString& subKey, const QString& valueName);
bool WriteRegString(RegRoot root, const QString& subKey, const QString& valueName,
                    const QString& text);
bool DeleteRegValue(RegRoot root, const QString& subKey, const QString& valueName);

// Removes every value of the key (tests start from an empty store this way on every OS).
bool ClearRegStore(RegRoot root, const QString& subKey);

// Path of the file that backs a key (for tests and the README).
QString RegStoreFilePath(RegRoot root, const QString& subKey);

// The current user's store holds the administrator password's digest, so its file is kept to
// mode 0600 whatever the umask: created so before the first write and set so after every write
// and delete. This sets it on a file left by an older version; programs call it at start. True
// when the file is missing or private now (always true where the store is no file).
bool RestrictRegStoreFile(RegRoot root, const QString& subKey);

} // namespace torvane
