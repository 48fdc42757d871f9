#include "common/logging.h"

namespace torvane {

Q_LOGGING_CATEGORY(lcLineFile, "torvane.common.linefile")
Q_LOGGING_CATEGORY(lcSettings, "torvane.common.settings")
Q_LOGGING_CATEGORY(lcInstance, "torvane.common.instance")
Q_LOGGING_CATEGORY(lcTranslations, "torvane.common.translations")

void InstallMessageFormat() {
    qSetMessagePattern(QStringLiteral("Torvane: %{if-category}[%{category}] %{endif}%{message}"));
}

} // namespace torvane
