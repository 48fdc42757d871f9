#include "server/servercontroller.h"

#include "common/linefile.h"
#include "common/regstore.h"
#include "common/securesession.h"
#include "common/settingvalues.h"
#include "common/validators.h"
#include "server/auditlog.h"
#include "server/clientlistmodel.h"
#include "server/descriptorbudget.h"
#include "server/serverlogging.h"

#include <QDir>
#include <QFileInfo>

namespace torvane::server {

ServerController::ServerController(const QString& lineFilePath, QObject* parent)
    : ServerController(lineFilePath, CreateHubEventBackend(), parent) {}

ServerController::ServerController(const QString& lineFilePath,
                                   std::unique_ptr<HubEventBackend> backend, QObject* parent)
    : QObject(parent), m_lineFilePath(lineFilePath) {
    m_hub = new ConnectionHub(std::move(backend), this);
    m_clientModel = new ClientListModel(m_hub, this);
    m_hub->setLineFilePath(m_lineFilePath);
    m_auditLog = new AuditLog(
        QFileInfo(m_lineFilePath).absoluteDir().filePath(QStringLiteral("SwitchLog.txt")),
        AuditLog::kDefaultMaxBytes, this);
    m_switchTracker = new SwitchTracker(m_hub, m_auditLog, this);
    m_clientModel->setSwitchTracker(m_switchTracker);
    m_secureHub = new SecureHub(this);
    m_secureHub->setLineFilePath(m_lineFilePath);
    m_clientModel->attachSecureHub(m_secureHub);
    m_switchTracker->attachSecureHub(m_secureHub);
    const auto arrived = [this](ConnectionHub::ClientId, const QString& address) {
        if (m_settings.balloonOn())
            emit balloon(address + QStringLiteral(" 连接到服务器"));
    };
    // Only an orderly close is a Client going away; failed connections leave without a word.
    const auto left = [this](ConnectionHub::ClientId, const QString& address) {
        if (m_settings.balloonOn())
            emit balloon(address + QStringLiteral(" 已断开连接"));
    };
    connect(m_hub, &ConnectionHub::clientConnected, this, arrived);
    connect(m_hub, &ConnectionHub::clientClosed, this, left);
    connect(m_secureHub, &SecureHub::clientConnected, this, arrived);
    connect(m_secureHub, &SecureHub::clientClosed, this, left);
}

ServerController::~ServerController() = default;

void ServerController::start() {
    // An interrupted write of an earlier run may have left its temporary file beside the list;
    // the settings file holds the password digest of a Client sharing it: private.
    RemoveStaleLineFileTemps(QFileInfo(m_lineFilePath).absolutePath());
    RestrictRegStoreFile(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey));
    loadSettings();
    startListening();
}

void ServerController::loadSettings() {
    m_settings = ServerSettings::Load();
    m_hub->setUpdateEnabled(m_settings.updateOn());
    m_secureHub->setUpdateEnabled(m_settings.updateOn());
    m_secureHub->setSiteKey(m_settings.siteKeyBytes());
}

void ServerController::stop() {
    m_secureHub->closeAllConnections();
    m_hub->closeAllConnections();
}

void ServerController::startSecureListening() {
    m_secureHub->closeAllConnections();
    if (!m_secureHub->hasSiteKey())
        return;
    const quint16 port = m_settings.securePort();
    QString reason;
    if (port != 0 && m_secureHub->listen(port, &reason))
        return;
    qCWarning(lcSecure) << "cannot listen on the secure port" << port << reason;
    emit message(QStringLiteral("无法在加密通道端口 %1 上监听：%2\n"
                                "设置了站点密钥的客户端现在连不上服务器。")
                     .arg(port)
                     .arg(reason));
}

void ServerController::startListening() {
    // Each Client is one descriptor: take every descriptor the administrator allows us.
    RaiseDescriptorLimit();
    m_lastListenOk = false;
    m_lastListenPort = m_settings.portNumber();
    if (m_lastListenPort == 0) {
        // A stored value no dialog of ours writes; say so rather than listen on a guess.
        qCWarning(lcHub) << "unusable stored port" << m_settings.port;
        emit listeningChanged();
        emit message(QStringLiteral("服务器端口 \"%1\" 无效，服务器没有开始监听。\n"
                                    "请输入1-65535的端口值后按“确  定”。")
                         .arg(m_settings.port));
        return;
    }
    QString reason;
    m_lastListenOk = m_hub->listen(m_lastListenPort, &reason);
    startSecureListening();
    emit listeningChanged();
    if (!m_lastListenOk) {
        qCWarning(lcHub) << "cannot listen on port" << m_lastListenPort << reason;
        emit message(QStringLiteral("无法在端口 %1 上监听：%2\n"
                                    "客户端现在连不上服务器，请换一个端口后按“确  定”。")
                         .arg(m_lastListenPort)
                         .arg(reason));
    }
}

ServerController::ApplyResult
ServerController::applySettings(const QString& portText, bool updateOn, bool balloonOn,
                                const std::optional<QString>& siteKeyText) {
    const QString port = portText.trimmed();
    if (!IsDigits(port)) {
        emit message(QStringLiteral("你输入的服务器端口错误"));
        return ApplyResult::PortNotDigits;
    }
    if (PortFromText(port) == 0) {
        emit message(QStringLiteral("请输入1-65535的端口值"));
        return ApplyResult::PortOutOfRange;
    }
    m_settings.port = port;
    setUpdateOption(updateOn);
    setBalloonOption(balloonOn);
    if (siteKeyText) {
        m_settings.siteKey = SiteKeyToStored(SiteKeyFromText(*siteKeyText));
        m_secureHub->setSiteKey(m_settings.siteKeyBytes());
    }
    m_settings.save();

    // Clients are dropped even when the port stays; they reconnect by themselves. The secure
    // rows end one by one first; the legacy hub's end clears what is left at once.
    m_secureHub->closeAllConnections();
    m_hub->closeAllConnections();
    startListening();
    return ApplyResult::Applied;
}

void ServerController::setUpdateOption(bool on) {
    m_settings.updateOption = FlagText(on);
    m_hub->setUpdateEnabled(on);
    m_secureHub->setUpdateEnabled(on);
}

void ServerController::setBalloonOption(bool on) {
    m_settings.balloonOption = FlagText(on);
}

QString ServerController::serverAddress() const {
    return m_hub->localAddress();
}

} // namespace torvane::server
