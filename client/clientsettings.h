#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace torvane::client {

// The Client's settings in the per-user store (key "SoftWare\Morlisk"), held as the texts stored
// there: flags "1"/"0", the port as typed (leading zeros stay). What a text means is decided by
// the common flag and port rules, here and nowhere else in the Client.
struct ClientSettings {
    enum class Key { AdminPwd, FwqIp, FwqDk, Qd, GengXin, SiteKey, SecureOwnLinesOnly };

    QString adminPwd;   // AdminPwd: digest of the administrator password
    QString serverIp;   // FwqIp
    QString serverPort; // FwqDk
    QString autostart;  // Qd: start with the system
    QString updateList; // GengXin: ask for the server's line list in every report
    // SiteKey: the derived site key as hex, never the typed text; empty: the secure channel is
    // off and the Client talks to the server as it always did.
    QString siteKey;
    QString ownLinesOnly; // SecureOwnLinesOnly: commanded switches only to lines of the own list

    quint16 port() const;            // 0 when the text is no usable port
    bool autostartOn() const;        // Qd reads as 1
    bool updateListOn() const;       // GengXin reads as 1
    QByteArray siteKeyBytes() const; // empty when no usable key is stored
    bool ownLinesOnlyOn() const;
    // The port of the secure channel: SecurePort when the deployer set one, else FwqDk + 1;
    // 0 when there is none.
    quint16 securePort() const;

    QString value(Key key) const;
    static QString KeyName(Key key);

    // Reads AdminPwd, FwqIp, FwqDk, Qd, GengXin, SiteKey and SecureOwnLinesOnly, in that order; a
    // missing value is empty.
    static ClientSettings Load();
    // Writes one value as it is held; a failing store is silent.
    void save(Key key) const;

    // SupportContact: the support group the error messages name, set by whoever deploys the
    // Client (the program never writes it); empty when there is none. Read when a message needs
    // it, since the adapter is inspected before the other settings are loaded.
    static QString SupportContact();

    // The line checks of the secure channel, set by whoever deploys the Client (never written
    // here) and read when they are used. A number that is no number gives the default, one out
    // of bounds the nearest bound.
    // HealthProbeName: the name each check asks the line's primary DNS server for.
    static QString HealthProbeName();
    // HealthInterval: seconds between two health reports, 2..60, 5 by default.
    static int HealthIntervalSeconds();
    // RollbackSeconds: how long a new line may fail its checks before the switch is undone,
    // 3..60, 8 by default; 0 (written so) turns the check after a switch off.
    static int RollbackSeconds();
};

inline const QString kDefaultHealthProbeName = QStringLiteral("www.baidu.com");

inline const QString kDefaultServerIp = QStringLiteral("192.168.0.1");
inline const QString kDefaultServerPort = QStringLiteral("15200");

// The server address and port as typed in the settings window, checked in this order: the
// address as typed (not trimmed), the port as digits only, the port's range.
enum class ServerSettingsCheck { Ok, BadAddress, BadPort, PortOutOfRange };
ServerSettingsCheck CheckServerSettings(const QString& ipText, const QString& portText);

} // namespace torvane::client
