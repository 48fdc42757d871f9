#include "server/serversettings.h"

#include "common/regstore.h"
#include "common/securesession.h"
#include "common/settingvalues.h"
#include "server/serverlogging.h"

namespace torvane::server {

namespace {
// Value names and defaults in one table.
struct Field {
    const char* name;
    QString ServerSettings::*text;
};
constexpr Field kFields[] = {
    {"FwqDk", &ServerSettings::port},
    {"GengXin", &ServerSettings::updateOption},
    {"QiQiu", &ServerSettings::balloonOption},
};
} // namespace

ServerSettings ServerSettings::Load() {
    const ServerSettings defaults;
    ServerSettings settings;
    for (const Field& field : kFields) {
        const QString name = QString::fromLatin1(field.name);
        QString value = ReadRegString(RegRoot::CurrentUser, kSettingsKey, name);
        if (value.isEmpty()) {
            value = defaults.*field.text;
            if (!WriteRegString(RegRoot::CurrentUser, kSettingsKey, name, value))
                qCWarning(lcSettings) << "could not write the default of" << name;
        }
        settings.*field.text = value;
    }
    settings.siteKey = ReadRegString(RegRoot::CurrentUser, kSettingsKey, QStringLiteral("SiteKey"));
    return settings;
}

void ServerSettings::save() const {
    for (const Field& field : kFields) {
        const QString name = QString::fromLatin1(field.name);
        if (!WriteRegString(RegRoot::CurrentUser, kSettingsKey, name, this->*field.text))
            qCWarning(lcSettings) << "could not store" << name;
    }
    if (!WriteRegString(RegRoot::CurrentUser, kSettingsKey, QStringLiteral("SiteKey"), siteKey))
        qCWarning(lcSettings) << "could not store SiteKey";
}

QByteArray ServerSettings::siteKeyBytes() const {
    return SiteKeyFromStored(siteKey.trimmed());
}

quint16 ServerSettings::securePort() const {
    return SecurePort(portNumber(), ReadRegString(RegRoot::CurrentUser, kSettingsKey,
                                                  QStringLiteral("SecurePort")));
}

quint16 ServerSettings::portNumber() const {
    return PortFromText(port);
}

bool ServerSettings::updateOn() const {
    return FlagIsOn(updateOption);
}

bool ServerSettings::balloonOn() const {
    return FlagIsOn(balloonOption);
}

} // namespace torvane::server
