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

namespace {
int SecondsSetting(const char* name, int fallback) {
    bool ok = false;
    const int value =
        ReadRegString(RegRoot::CurrentUser, kSettingsKey, QString::fromLatin1(name)).toInt(&ok);
    return ok && value > 0 && value <= 24 * 3600 ? value : fallback;
}
} // namespace

int ServerSettings::HealthStaleSeconds() {
    return SecondsSetting("HealthStaleSeconds", kDefaultHealthStaleSeconds);
}

int ServerSettings::FailoverSeconds() {
    return SecondsSetting("FailoverSeconds", kDefaultFailoverSeconds);
}

QString ServerSettings::BackupKey(const QString& line) {
    // The store reads "/" and "\" in a name as levels of keys: a line's name keeps them escaped.
    QString name = line;
    name.replace(QLatin1Char('%'), QStringLiteral("%25"))
        .replace(QLatin1Char('/'), QStringLiteral("%2F"))
        .replace(QLatin1Char('\\'), QStringLiteral("%5C"));
    return QStringLiteral("Failover/") + name;
}

QString ServerSettings::BackupLineOf(const QString& line) {
    return ReadRegString(RegRoot::CurrentUser, kSettingsKey, BackupKey(line));
}

bool ServerSettings::SetBackupLine(const QString& line, const QString& backup) {
    if (backup.isEmpty())
        return DeleteRegValue(RegRoot::CurrentUser, kSettingsKey, BackupKey(line));
    return WriteRegString(RegRoot::CurrentUser, kSettingsKey, BackupKey(line), backup);
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
