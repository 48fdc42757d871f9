#pragma once

#include <QLoggingCategory>

namespace torvane {

// One logging category per area, named "torvane.<program or common>.<area>", so that a site can
// turn an area's messages on or off with QT_LOGGING_RULES. The categories of the common code:
Q_DECLARE_LOGGING_CATEGORY(lcLineFile)     // torvane.common.linefile
Q_DECLARE_LOGGING_CATEGORY(lcSettings)     // torvane.common.settings
Q_DECLARE_LOGGING_CATEGORY(lcInstance)     // torvane.common.instance
Q_DECLARE_LOGGING_CATEGORY(lcTranslations) // torvane.common.translations

// Every message on the error output starts with "Torvane:" and names its area, so that a line in
// a desktop session's log can be traced to this program.
void InstallMessageFormat();

} // namespace torvane
