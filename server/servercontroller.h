#pragma once

#include "server/connectionhub.h"
#include "server/securehub.h"
#include "server/serversettings.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace torvane::server {

class AuditLog;
class ClientListModel;
class SwitchTracker;

// Listening, the port and the two options of the Server, without a window: owns the connection
// hub and the client list model, loads and stores the settings, and decides the balloons.
// Whatever the administrator must be told comes out as message(); balloons as balloon().
class ServerController : public QObject {
    Q_OBJECT
public:
    enum class ApplyResult {
        Applied,
        PortNotDigits,  // "你输入的服务器端口错误": nothing stored, listening untouched
        PortOutOfRange, // "请输入1-65535的端口值": likewise
    };

    // lineFilePath: the file whose bytes answer a Client that asks for the list.
    explicit ServerController(const QString& lineFilePath, QObject* parent = nullptr);
    ServerController(const QString& lineFilePath, std::unique_ptr<HubEventBackend> backend,
                     QObject* parent = nullptr);
    ~ServerController() override;

    ConnectionHub* hub() const { return m_hub; }
    SecureHub* secureHub() const { return m_secureHub; }
    ClientListModel* clientModel() const { return m_clientModel; }
    // Every switch command goes through the tracker, which confirms it and writes the audit
    // log ("SwitchLog.txt" beside the line file).
    SwitchTracker* switchTracker() const { return m_switchTracker; }
    AuditLog* auditLog() const { return m_auditLog; }

    // Start: loadSettings(), then startListening().
    void start();
    // The three values from the store; missing ones get their defaults, written back.
    void loadSettings();
    // Raises the descriptor limit to the hard limit and listens on the port setting; says so
    // when it cannot.
    void startListening();
    // End: every connection and the listener closed.
    void stop();

    const ServerSettings& settings() const { return m_settings; }
    // QueDing: checks the typed port; when it is good, stores the three values, drops every
    // Client (they reconnect by themselves) and listens again, even on the same port. A site key
    // text, when given, replaces the stored key (an empty text removes it).
    ApplyResult applySettings(const QString& portText, bool updateOn, bool balloonOn,
                              const std::optional<QString>& siteKeyText = std::nullopt);
    // The secure port's last listen attempt: 0 when there is no site key or it failed.
    quint16 secureListeningPort() const { return m_secureHub->listeningPort(); }
    // The check boxes: in effect at once, stored only by applySettings().
    void setUpdateOption(bool on);
    void setBalloonOption(bool on);

    // The address a workstation would use to reach this machine ("服务器IP：").
    QString serverAddress() const;
    // The port of the last listen attempt (0: none, the stored port is unusable) and its outcome.
    quint16 lastListenPort() const { return m_lastListenPort; }
    bool lastListenSucceeded() const { return m_lastListenOk; }

signals:
    void message(const QString& text);
    void balloon(const QString& text);
    void listeningChanged(); // after every listen attempt, failed ones too

private:
    void startSecureListening();

    ConnectionHub* m_hub = nullptr;
    SecureHub* m_secureHub = nullptr;
    ClientListModel* m_clientModel = nullptr;
    AuditLog* m_auditLog = nullptr;
    SwitchTracker* m_switchTracker = nullptr;
    QString m_lineFilePath;
    ServerSettings m_settings;
    quint16 m_lastListenPort = 0;
    bool m_lastListenOk = false;
};

} // namespace torvane::server
