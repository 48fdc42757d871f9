#pragma once

// What the Server's controller and window tests share: two line records, the settings store as
// the Server reads it, and a port nobody listens on.

#include "common/regstore.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpServer>

namespace torvane::server::testing {

inline const QByteArray kTwoRecords =
    "A;;;1.1.1.1;2.2.2.2;3.3.3.3;\r\nB;;;4.4.4.4;5.5.5.5;6.6.6.6;\r\n";

inline QString Setting(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, kSettingsKey, QString::fromLatin1(name));
}

inline void SetSetting(const char* name, const QString& value) {
    WriteRegString(RegRoot::CurrentUser, kSettingsKey, QString::fromLatin1(name), value);
}

inline quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

} // namespace torvane::server::testing
