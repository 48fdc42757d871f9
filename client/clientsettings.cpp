#include "client/clientsettings.h"

#include "client/clientlogging.h"
#include "common/dnsmessage.h"
#include "common/regstore.h"
#include "common/securesession.h"
#include "common/settingvalues.h"
#include "common/validators.h"

#include <algorithm>

namespace torvane::client {

namespace {
QString ReadValue(ClientSettings::Key key) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         ClientSettings::KeyName(key));
}

QString ReadNamed(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QString::fromLatin1(name))
        .trimmed();
}

int BoundedSeconds(const char* name, int fallback, int least, int most) {
    const QString text = ReadNamed(name);
    if (text.isEmpty() || !IsDigits(text))
        return fallback;
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok)
        return most; // more digits than any bound
    return static_cast<int>(std::clamp<qlonglong>(value, least, most));
}
} // namespace

quint16 ClientSettings::port() const {
    return PortFromText(serverPort);
}

bool ClientSettings::autostartOn() const {
    return FlagIsOn(autostart);
}

bool ClientSettings::updateListOn() const {
    return FlagIsOn(updateList);
}

QByteArray ClientSettings::siteKeyBytes() const {
    return SiteKeyFromStored(siteKey.trimmed());
}

bool ClientSettings::ownLinesOnlyOn() const {
    return FlagIsOn(ownLinesOnly);
}

quint16 ClientSettings::securePort() const {
    return SecurePort(port(), ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                                            QStringLiteral("SecurePort")));
}

QString ClientSettings::KeyName(Key key) {
    switch (key) {
    case Key::AdminPwd:
        return QStringLiteral("AdminPwd");
    case Key::FwqIp:
        return QStringLiteral("FwqIp");
    case Key::FwqDk:
        return QStringLiteral("FwqDk");
    case Key::Qd:
        return QStringLiteral("Qd");
    case Key::GengXin:
        return QStringLiteral("GengXin");
    case Key::SiteKey:
        return QStringLiteral("SiteKey");
    case Key::SecureOwnLinesOnly:
        return QStringLiteral("SecureOwnLinesOnly");
    }
    return QString();
}

QString ClientSettings::value(Key key) const {
    switch (key) {
    case Key::AdminPwd:
        return adminPwd;
    case Key::FwqIp:
        return serverIp;
    case Key::FwqDk:
        return serverPort;
    case Key::Qd:
        return autostart;
    case Key::GengXin:
        return updateList;
    case Key::SiteKey:
        return siteKey;
    case Key::SecureOwnLinesOnly:
        return ownLinesOnly;
    }
    return QString();
}

ClientSettings ClientSettings::Load() {
    ClientSettings settings;
    settings.adminPwd = ReadValue(Key::AdminPwd);
    settings.serverIp = ReadValue(Key::FwqIp);
    settings.serverPort = ReadValue(Key::FwqDk);
    settings.autostart = ReadValue(Key::Qd);
    settings.updateList = ReadValue(Key::GengXin);
    settings.siteKey = ReadValue(Key::SiteKey);
    settings.ownLinesOnly = ReadValue(Key::SecureOwnLinesOnly);
    return settings;
}

void ClientSettings::save(Key key) const {
    WriteRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey), KeyName(key),
                   value(key));
}

QString ClientSettings::SupportContact() {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QStringLiteral("SupportContact"))
        .trimmed();
}

QString ClientSettings::HealthProbeName() {
    const QString name = ReadNamed("HealthProbeName");
    if (name.isEmpty())
        return kDefaultHealthProbeName;
    if (DnsQueryName(name).isEmpty()) {
        qCWarning(lcHealth) << "HealthProbeName" << name << "is no name that can be asked; using"
                            << kDefaultHealthProbeName;
        return kDefaultHealthProbeName;
    }
    return name;
}

int ClientSettings::HealthIntervalSeconds() {
    return BoundedSeconds("HealthInterval", 5, 2, 60);
}

int ClientSettings::RollbackSeconds() {
    // 0 turns the check after a switch off: for a site whose gateways or DNS servers do not
    // answer probes, where every switch would otherwise be undone.
    if (ReadNamed("RollbackSeconds") == QLatin1String("0"))
        return 0;
    return BoundedSeconds("RollbackSeconds", 8, 3, 60);
}

ServerSettingsCheck CheckServerSettings(const QString& ipText, const QString& portText) {
    if (!IsIpAddress(ipText))
        return ServerSettingsCheck::BadAddress;
    if (!IsDigits(portText))
        return ServerSettingsCheck::BadPort;
    if (PortFromText(portText) == 0)
        return ServerSettingsCheck::PortOutOfRange;
    return ServerSettingsCheck::Ok;
}

} // namespace torvane::client
