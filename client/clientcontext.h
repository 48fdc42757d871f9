#pragma once

#include <QObject>
#include <QString>

namespace torvane::client {

// The Client's settings as held in memory: the texts read from the settings store.
struct ClientSettings {
    QString adminPwd;
    QString fwqIp;
    QString fwqDk;
    QString qd;
    QString gengXin;
    bool adminUnlocked = false;
};

// Local IP, mask, gateway, primary and secondary DNS to apply on the next switch.
struct SelectedLine {
    QString localIp;
    QString subnetMask;
    QString gateway;
    QString primaryDns;
    QString secondaryDns;
};

// What the Client's dialogs need from the main window, so that they can be driven by tests
// with a stand-in.
class ClientContext : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ClientContext() override = default;

    virtual QString lineFilePath() const = 0; // MainConfig.dat beside the program
    virtual ClientSettings& settings() = 0;
    virtual SelectedLine& selectedLine() = 0;
    // Clear WgList, load MainConfig.dat into it and find the current line again.
    virtual void reloadLineList() = 0;
    // Close the server link and connect again to FwqIp:FwqDk.
    virtual void reconnect() = 0;
    // Folder of the system autostart entries (/etc/xdg/autostart; tests pass their own).
    virtual QString autostartFolder() const = 0;

signals:
    // The line list was reloaded (after an update from the server, among others).
    void lineListReloaded();
};

} // namespace torvane::client
