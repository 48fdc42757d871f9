#pragma once

#include <QString>

namespace torvane {

// Loads Qt's own Chinese texts, so that the standard buttons of message boxes and dialogs read
// "确定", "是", "否" like the rest of the program. The file comes from the folder given, by
// default Qt's translations folder. True when a translator was installed; false when the file
// is missing or unreadable, and the buttons then keep Qt's English.
bool InstallQtTranslation(const QString& folder = QString());

} // namespace torvane
