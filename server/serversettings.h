#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace torvane::server {

// The Server's settings, held as the texts the settings store keeps under "SoftWare\Morlisk"
// (a Client on the same machine shares FwqDk and GengXin). The options are "1"/"0" as written
// by this program; they are read with the one flag rule, the port with the one port rule.
struct ServerSettings {
    QString port = QStringLiteral("15200");      // FwqDk, as typed (leading zeros kept)
    QString updateOption = QStringLiteral("1");  // GengXin: answer a Client that asks for the list
    QString balloonOption = QStringLiteral("1"); // QiQiu: balloons on arrival and departure
    // SiteKey: the derived site key as hex (never the typed text); empty: no secure channel.
    // Not given a default: a missing key is simply no key.
    QString siteKey;

    // Reads the three values; each that is missing or empty gets its default, which is written
    // back at once.
    static ServerSettings Load();
    void save() const;

    quint16 portNumber() const; // 0 when the text is no usable port
    bool updateOn() const;
    bool balloonOn() const;
    QByteArray siteKeyBytes() const;
    // SecurePort when the deployer set one, else the listening port + 1; 0 when there is none.
    quint16 securePort() const;

    // Set by the deployer, not written back: a missing or unusable value is its default.
    // HealthStaleSeconds: a line's health result is forgotten when no newer one came for this
    // long. FailoverSeconds: how long a line with a backup fails before its workstations move.
    static constexpr int kDefaultHealthStaleSeconds = 15;
    static constexpr int kDefaultFailoverSeconds = 30;
    static int HealthStaleSeconds();
    static int FailoverSeconds();
    // Failover/<line name>: the backup line's name (no value: no failover for that line). Kept
    // here, not in the line file, whose bytes the Clients take as they are.
    static QString BackupLineOf(const QString& line);
    static bool SetBackupLine(const QString& line, const QString& backup);
    static QString BackupKey(const QString& line);
};

} // namespace torvane::server
