#include "common/settingvalues.h"

#include "common/validators.h"

namespace torvane {

bool FlagIsOn(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok && value == 1;
}

QString FlagText(bool on) {
    return on ? QStringLiteral("1") : QStringLiteral("0");
}

quint16 PortFromText(const QString& text) {
    const QString trimmed = text.trimmed();
    if (!IsDigits(trimmed))
        return 0;
    bool ok = false;
    const qulonglong value = trimmed.toULongLong(&ok);
    return ok && value >= 1 && value <= 65535 ? static_cast<quint16>(value) : 0;
}

} // namespace torvane
