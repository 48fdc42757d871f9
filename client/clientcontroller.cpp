#include "client/clientcontroller.h"

#include "client/adapter/adapterfactory.h"
#include "client/autostart.h"
#include "client/clientlogging.h"
#include "client/cmd5.h"
#include "client/serverlink.h"
#include "client/systemlineprober.h"
#include "client/trimspaces.h"
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/linefilelocation.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "common/securesession.h"
#include "common/settingvalues.h"
#include "common/singleinstance.h"
#include "common/validators.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <utility>

namespace torvane::client {

namespace {
const QString kAppTitle = QStringLiteral("Torvane");
const QString kInstanceName = QStringLiteral("Torvane客");
const QString kPromptTitle = QStringLiteral("程序提示");

QString EmptyPasswordDigest() {
    return Cmd5().md5(QString());
}

// What a switch applies: the address and mask only when a local IP is given.
AdapterSettings ToAdapterSettings(const SelectedLine& line) {
    AdapterSettings settings;
    settings.localIp = line.localIp.trimmed().isEmpty() ? QString() : line.localIp;
    settings.subnetMask = settings.localIp.isEmpty() ? QString() : line.subnetMask;
    settings.gateway = line.gateway;
    settings.primaryDns = line.primaryDns;
    settings.secondaryDns = line.secondaryDns;
    return settings;
}
// "电信 (10.0.0.1, 10.0.0.53)", or without a name when the values match no line.
QString DescribeLine(const QString& name, const QString& gateway, const QString& primaryDns) {
    const QString values = QStringLiteral("(%1, %2)")
                               .arg(gateway.isEmpty() ? QStringLiteral("-") : gateway,
                                    primaryDns.isEmpty() ? QStringLiteral("-") : primaryDns);
    return name.isEmpty() ? values : name + QLatin1Char(' ') + values;
}
} // namespace

ClientController::ClientController(ClientControllerOptions options, QObject* parent)
    : ClientContext(parent), m_programDir(options.programDir), m_programPath(options.programPath),
      m_useInstanceGuard(options.useInstanceGuard),
      m_adapter(options.adapter ? std::move(options.adapter) : CreateNetworkAdapter()),
      m_autostart(options.autostart ? std::move(options.autostart) : CreatePlatformAutostart()) {
    if (m_programDir.isEmpty())
        m_programDir = QCoreApplication::applicationDirPath();
    m_lineFilePath = InstalledLineFilePath(m_programDir, QStringLiteral("Client"));
    if (m_programPath.isEmpty())
        m_programPath = QCoreApplication::applicationFilePath();
    connect(m_adapter.get(), &NetworkAdapter::switchFinished, this,
            &ClientController::onSwitchFinished);
    m_switchSpacing = new QTimer(this);
    m_switchSpacing->setSingleShot(true);
    m_switchSpacing->setInterval(std::max(0, options.switchSpacingMs));
    connect(m_switchSpacing, &QTimer::timeout, this, &ClientController::startPendingSwitch);
    // Changes come in bursts (address, route and DNS one after another): settle, then look once.
    m_outsideChangeSettle = new QTimer(this);
    m_outsideChangeSettle->setSingleShot(true);
    m_outsideChangeSettle->setInterval(std::max(0, options.outsideChangeSettleMs));
    connect(m_adapter.get(), &NetworkAdapter::settingsChangedOutside, m_outsideChangeSettle,
            qOverload<>(&QTimer::start));
    connect(m_outsideChangeSettle, &QTimer::timeout, this,
            &ClientController::refreshAfterOutsideChange);
    m_link = new ServerLink(
        [this] { return std::pair<QString, QString>(m_settings.serverIp, m_settings.serverPort); },
        this);
    m_link->setSecureSource([this] {
        return ServerLink::SecureEndpoint{m_settings.siteKeyBytes(), m_settings.securePort()};
    });
    connect(m_link, &ServerLink::connected, this, &ClientController::sendStatusReport);
    connect(m_link, &ServerLink::messageReceived, this, &ClientController::handleServerMessage);

    m_lineWatch = new LineWatch(options.prober ? std::move(options.prober)
                                               : std::make_unique<SystemLineProber>(),
                                options.lineCheckSecondMs, this);
    connect(m_link, &ServerLink::connected, this, &ClientController::onLinkConnected);
    connect(m_link, &ServerLink::connecting, m_lineWatch, &LineWatch::stopHealth);
    connect(m_link, &ServerLink::connectionLost, m_lineWatch, &LineWatch::stopHealth);
    connect(m_lineWatch, &LineWatch::healthMeasured, this, &ClientController::sendHealth);
    connect(m_lineWatch, &LineWatch::lineConfirmed, this, [this] { m_wayBack.reset(); });
    connect(m_lineWatch, &LineWatch::lineFailed, this, &ClientController::rollBack);
}

ClientController::~ClientController() {
    m_link->disconnect(this);
    m_link->shutdown();
    // A switch that ends now has nobody left to report to.
    m_adapter->disconnect(this);
}

QString ClientController::lineFilePath() const {
    return m_lineFilePath;
}

bool ClientController::serverConnected() const {
    return m_link->isConnected();
}

QString ClientController::ProgramErrorText(int number) {
    const QString contact = ClientSettings::SupportContact();
    if (contact.isEmpty())
        return QStringLiteral("程序错误%1，请联系管理员").arg(number);
    return QStringLiteral("程序错误%1，请联系QQ群：").arg(number) + contact;
}

QString ClientController::SwitchFailureText(SwitchFailure failure) {
    const auto reason = [failure]() -> QString {
        switch (failure) {
        case SwitchFailure::Busy:
            return QStringLiteral("上一次切换还没有完成，请稍后再试。");
        case SwitchFailure::InvalidSettings:
            return QStringLiteral(
                "线路中的地址无效（网关、DNS、内网IP或子网掩码），请检查线路配置。");
        case SwitchFailure::NoPermission:
            return QStringLiteral("没有修改网卡设置的权限，请联系管理员。");
        case SwitchFailure::ResolverManaged:
            return QStringLiteral("DNS设置由系统的其他服务管理，本程序不能修改。");
        case SwitchFailure::ResolverNotWritable:
            return QStringLiteral("没有修改DNS设置的权限，请联系管理员。");
        case SwitchFailure::NoAdapter:
            return QStringLiteral("没有找到已启用并有IP地址的网卡。");
        case SwitchFailure::GatewayIsOwnAddress:
            return QStringLiteral("网关是本机自己的地址，不能作为网关。");
        case SwitchFailure::GatewayOnNoAdapter:
            return QStringLiteral("网关不在任何网卡的网段内。");
        case SwitchFailure::GatewayOutsideNewSubnet:
            return QStringLiteral("网关不在新内网IP的网段内。");
        case SwitchFailure::GatewayNetworkOrBroadcast:
            return QStringLiteral("网关是网段的网络地址或广播地址，不能作为网关。");
        case SwitchFailure::AddressRefused:
            return QStringLiteral("系统拒绝了新的内网IP地址。");
        case SwitchFailure::RouteRefused:
            return QStringLiteral("系统拒绝了新的网关。");
        case SwitchFailure::ResolverWriteFailed:
            return QStringLiteral("无法写入新的DNS设置。");
        case SwitchFailure::ServiceUnavailable:
            return QStringLiteral("无法连接到切换网络设置的系统服务，请联系管理员检查该服务。");
        case SwitchFailure::RateLimited:
            return QStringLiteral("切换过于频繁，请稍后再试。");
        case SwitchFailure::None:
        case SwitchFailure::Other:
            break;
        }
        return QStringLiteral("网络设置无法修改。");
    };
    return QStringLiteral("线路切换失败：") + reason();
}

bool ClientController::claimInstance() {
    m_isPrimaryInstance = true;
    if (!m_useInstanceGuard)
        return true;
    m_guard = new SingleInstanceGuard(kInstanceName, this);
    if (!m_guard->tryAcquire()) {
        m_isPrimaryInstance = false;
        m_guard->notifyPrimary(); // the running copy shows its balloon meanwhile
        emit messageRequested(kAppTitle, QStringLiteral("程序已经运行"));
        return false;
    }
    connect(m_guard, &SingleInstanceGuard::secondInstanceStarted, this,
            [this] { emit balloonRequested(kAppTitle, QStringLiteral("已经在这里启动啦"), 1); });
    return true;
}

bool ClientController::start() {
    if (!claimInstance())
        return false;
    qCInfo(lcStartup) << "adapter backend" << m_adapter->backendName() << "; line file"
                      << lineFilePath();
    // An interrupted write of an earlier run may have left its temporary file beside the list;
    // the settings file holds the password digest: private.
    RemoveStaleLineFileTemps(QFileInfo(m_lineFilePath).absolutePath());
    RestrictRegStoreFile(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey));
    m_lineList = LoadLineList(lineFilePath());
    emit lineListReloaded();
    inspectAdapter();
    findCurrentLine();
    m_settings = ClientSettings::Load();
    passwordStep();
    m_link->start();
    if (!m_settings.serverIp.isEmpty()) {
        m_link->connectToServer();
    } else {
        // The first attempt is the reconnect timer's first tick, one second from now.
        m_settings.serverIp = kDefaultServerIp;
        saveSetting(ClientSettings::Key::FwqIp);
    }
    applyStartupDefaults();
    return true;
}

void ClientController::passwordStep() {
    const QString emptyDigest = EmptyPasswordDigest();
    if (m_settings.adminPwd.isEmpty())
        m_settings.adminPwd = emptyDigest;
    if (TrimSpaces(m_settings.adminPwd) == emptyDigest) {
        // No password set: the digest of the empty one is stored from the first start on.
        m_settings.adminPwd = emptyDigest;
        saveSetting(ClientSettings::Key::AdminPwd);
        m_adminUnlocked = true;
    } else {
        m_adminUnlocked = false;
    }
}

void ClientController::applyStartupDefaults() {
    if (m_settings.serverPort.isEmpty()) {
        m_settings.serverPort = kDefaultServerPort;
        saveSetting(ClientSettings::Key::FwqDk);
    }
    if (m_settings.autostart.isEmpty())
        m_settings.autostart = FlagText(false); // in memory only: the autostart entry is untouched
    if (m_settings.updateList.isEmpty()) {
        m_settings.updateList = FlagText(true);
        saveSetting(ClientSettings::Key::GengXin);
    }
}

void ClientController::saveSetting(ClientSettings::Key key) {
    m_settings.save(key);
}

void ClientController::shutdown() {
    m_lineWatch->stopHealth();
    m_lineWatch->cancelVerification();
    m_link->shutdown();
}

void ClientController::reloadLineList() {
    m_lineList = LoadLineList(lineFilePath());
    findCurrentLine();
    emit lineListReloaded();
}

void ClientController::findCurrentLine() {
    m_currentLine = FindCurrentLine(m_lineList, m_snapshot.gateway, m_snapshot.primaryDns);
    emit currentLineChanged(m_currentLine);
}

void ClientController::inspectAdapter(bool quiet) {
    const NetworkParams params = m_adapter->inspect();
    const auto fail = [this, quiet](InspectionOutcome outcome) {
        qCWarning(lcAdapter) << "inspection failed with error" << ErrorNumber(outcome);
        if (!quiet)
            emit messageRequested(kPromptTitle, ProgramErrorText(ErrorNumber(outcome)));
    };
    switch (params.outcome) {
    case InspectionOutcome::NetworkParamsUnavailable:
    case InspectionOutcome::NetworkParamsFailed:
        fail(params.outcome);
        return;
    case InspectionOutcome::Ok:
    case InspectionOutcome::NoAdapter:
    case InspectionOutcome::AdapterListFailed:
        break;
    }
    m_snapshot.hostName = params.hostName;
    m_snapshot.primaryDns = params.dnsServers.value(0).trimmed();
    // The secondary is the last server after the first; with a single server it is cleared, so
    // the window never shows a server the resolver no longer has.
    m_snapshot.secondaryDns =
        params.dnsServers.size() >= 2 ? params.dnsServers.constLast().trimmed() : QString();
    if (params.outcome != InspectionOutcome::Ok) {
        emit adapterSnapshotChanged(m_snapshot);
        fail(params.outcome);
        return;
    }
    m_snapshot.localIp = params.localIp.trimmed();
    m_snapshot.subnetMask = params.subnetMask.trimmed();
    m_snapshot.gateway = params.gateway.trimmed();
    m_snapshot.adapterRead = true;
    emit adapterSnapshotChanged(m_snapshot);
}

void ClientController::pickLine(int index) {
    if (index < 0 || index >= m_lineList.size())
        return;
    const LineEntry& line = m_lineList.at(index);
    m_selectedLine = SelectedLine{line.localIp, line.subnetMask, line.gateway, line.primaryDns,
                                  line.secondaryDns};
}

void ClientController::selectLine(const SelectedLine& line) {
    m_selectedLine = line;
}

void ClientController::runSwitch(SwitchSource source) {
    if (m_selectedLine.gateway.isEmpty() || m_selectedLine.primaryDns.isEmpty())
        return;
    startSwitch(ToAdapterSettings(m_selectedLine), source);
}

void ClientController::startSwitch(const AdapterSettings& settings, SwitchSource source) {
    // A new switch ends the check of the one before: it gets its own when it is done.
    m_lineWatch->cancelVerification();
    m_wayBack.reset();
    if (source != SwitchSource::Rollback)
        m_rollbackNotice.clear();
    if (m_switching || m_switchSpacing->isActive()) {
        // One switch at a time, and a breath between two; what is asked for meanwhile waits,
        // the latest request winning.
        m_pendingSwitch = std::pair(settings, source);
        return;
    }
    m_switching = true;
    m_switchSource = source;
    m_switchTarget = settings;
    m_switchFrom = DescribeLine(m_currentLine.name, m_snapshot.gateway, m_snapshot.primaryDns);
    m_switchPrevious =
        AdapterSettings{m_snapshot.localIp, m_snapshot.subnetMask, m_snapshot.gateway,
                        m_snapshot.primaryDns, m_snapshot.secondaryDns};
    m_switchPreviousName = m_currentLine.name;
    qCDebug(lcSwitch) << "switching to gateway" << settings.gateway << "DNS" << settings.primaryDns
                      << settings.secondaryDns;
    emit switchStarted();
    m_adapter->startSwitch(settings);
}

void ClientController::onSwitchFinished(const SwitchOutcome& outcome) {
    // The switch log: when, who asked, from what, to what, and how it ended.
    const QString entry =
        QStringLiteral("%1 switch by %2 from %3 to %4: %5")
            .arg(QDateTime::currentDateTime().toString(Qt::ISODate),
                 m_switchSource == SwitchSource::Server     ? QStringLiteral("server")
                 : m_switchSource == SwitchSource::Rollback ? QStringLiteral("rollback")
                                                            : QStringLiteral("user"),
                 m_switchFrom,
                 DescribeLine(FindCurrentLine(m_lineList, m_switchTarget.gateway.trimmed(),
                                              m_switchTarget.primaryDns.trimmed())
                                  .name,
                              m_switchTarget.gateway.trimmed(),
                              m_switchTarget.primaryDns.trimmed()),
                 outcome.ok ? QStringLiteral("done")
                            : QStringLiteral("failed, ") + outcome.errorText);
    if (outcome.ok)
        qCInfo(lcSwitch).noquote() << entry;
    else
        qCWarning(lcSwitch).noquote() << entry;
    if (m_switchSource == SwitchSource::Rollback && m_rollbackReport) {
        // Before the report of the line in force, which the Server then reads as its result.
        if (!outcome.ok)
            m_rollbackReport->reason +=
                QStringLiteral("；恢复失败：") + SwitchFailureText(outcome.failure);
        m_unsentRollback = std::exchange(m_rollbackReport, std::nullopt);
        sendPendingRollback();
    }
    // Whatever the outcome, the window and the server learn what the system has now.
    inspectAdapter();
    findCurrentLine();
    sendStatusReport();
    m_switching = false;
    if (m_switchSpacing->interval() > 0)
        m_switchSpacing->start();
    emit switchFinished(outcome.ok, outcome.errorText);
    if (!outcome.ok)
        emit switchFailed(SwitchFailureText(outcome.failure));
    if (m_switchSource == SwitchSource::Rollback) {
        if (outcome.ok && !m_rollbackNotice.isEmpty()) {
            emit balloonRequested(kAppTitle, m_rollbackNotice, 1);
            emit switchFailed(m_rollbackNotice);
        }
        m_rollbackNotice.clear();
    } else if (outcome.ok) {
        checkNewLine();
    }
    if (m_switchSpacing->interval() == 0)
        startPendingSwitch();
}

bool ClientController::siteKeySet() const {
    return !m_settings.siteKeyBytes().isEmpty();
}

void ClientController::onLinkConnected() {
    if (!m_link->isAuthenticated())
        return;
    sendPendingRollback();
    m_lineWatch->prober().setProbeName(ClientSettings::HealthProbeName());
    m_lineWatch->startHealth(
        ClientSettings::HealthIntervalSeconds(), [this]() -> std::optional<LineWatch::Target> {
            // Mid-switch the adapter is neither the old line nor the new one yet; without a
            // gateway or a DNS server there is no line to measure.
            if (m_switching || !m_link->isAuthenticated() ||
                (m_snapshot.gateway.isEmpty() && m_snapshot.primaryDns.isEmpty()))
                return std::nullopt;
            return LineWatch::Target{m_currentLine.name, m_snapshot.gateway, m_snapshot.primaryDns};
        });
}

void ClientController::sendHealth(const LineWatch::Target& line, const ProbeResult& result) {
    m_link->sendHealth(HealthReport{line.name, line.gateway, line.primaryDns, result.gatewayOk,
                                    result.dnsOk, result.dnsMs});
}

void ClientController::checkNewLine() {
    // Only with a site key, and not when another switch waits to replace this one.
    if (!siteKeySet() || m_pendingSwitch || ClientSettings::RollbackSeconds() == 0)
        return;
    AdapterSettings previous = m_switchPrevious;
    // The address goes back only when the switch changed it.
    if (m_switchTarget.localIp.isEmpty()) {
        previous.localIp.clear();
        previous.subnetMask.clear();
    }
    const QString gateway = m_switchTarget.gateway.trimmed();
    const QString primaryDns = m_switchTarget.primaryDns.trimmed();
    if (previous.gateway.isEmpty() || previous.primaryDns.isEmpty() ||
        (previous.gateway == gateway && previous.primaryDns == primaryDns &&
         previous.localIp == m_switchTarget.localIp.trimmed())) {
        qCDebug(lcHealth) << "no other line to go back to: the new one is not checked";
        return;
    }
    const QString triedName = FindCurrentLine(m_lineList, gateway, primaryDns).name;
    m_wayBack = WayBack{previous, m_switchPreviousName, triedName};
    m_lineWatch->prober().setProbeName(ClientSettings::HealthProbeName());
    m_lineWatch->verify(LineWatch::Target{triedName, gateway, primaryDns},
                        ClientSettings::RollbackSeconds());
}

void ClientController::rollBack(const LineWatch::Target& tried, const ProbeResult& last) {
    if (!m_wayBack)
        return;
    const WayBack wayBack = *m_wayBack;
    m_wayBack.reset();
    qCWarning(lcSwitch).noquote() << QStringLiteral("rolling back from %1 to %2: %3")
                                         .arg(DescribeLine(wayBack.triedName, tried.gateway,
                                                           tried.primaryDns),
                                              DescribeLine(wayBack.previousName,
                                                           wayBack.previous.gateway,
                                                           wayBack.previous.primaryDns),
                                              last.reason);
    // Told to the Server once the way back is taken, so that it learns whether it worked.
    m_rollbackReport = RollbackReport{wayBack.triedName, wayBack.previousName, last.reason};
    const auto shown = [](const QString& name, const QString& gateway) {
        return name.isEmpty() ? gateway : name;
    };
    m_rollbackNotice = QStringLiteral("切换到线路%1后网络不通（%2），已恢复到线路%3")
                           .arg(shown(wayBack.triedName, tried.gateway), last.reason,
                                shown(wayBack.previousName, wayBack.previous.gateway));
    startSwitch(wayBack.previous, SwitchSource::Rollback);
}

void ClientController::sendPendingRollback() {
    if (m_unsentRollback && m_link->sendRollback(*m_unsentRollback))
        m_unsentRollback.reset();
}

void ClientController::refreshAfterOutsideChange() {
    // A running switch inspects and reports when it ends.
    if (m_switching)
        return;
    const AdapterSnapshot before = m_snapshot;
    const QString lineBefore = m_currentLine.name;
    inspectAdapter(/*quiet=*/true);
    if (m_snapshot.gateway == before.gateway && m_snapshot.primaryDns == before.primaryDns &&
        m_snapshot.secondaryDns == before.secondaryDns && m_snapshot.localIp == before.localIp &&
        m_snapshot.subnetMask == before.subnetMask)
        return;
    qCInfo(lcAdapter).noquote() << QStringLiteral(
                                       "settings changed outside: gateway %1 -> %2, DNS %3 -> %4")
                                       .arg(before.gateway, m_snapshot.gateway, before.primaryDns,
                                            m_snapshot.primaryDns);
    findCurrentLine();
    // The server's row shows gateway, primary DNS and line: only those make a new report.
    if (m_snapshot.gateway != before.gateway || m_snapshot.primaryDns != before.primaryDns ||
        m_currentLine.name != lineBefore)
        sendStatusReport();
}

void ClientController::startPendingSwitch() {
    if (!m_pendingSwitch || m_switching)
        return;
    const auto [next, source] = *m_pendingSwitch;
    m_pendingSwitch.reset();
    startSwitch(next, source);
}

void ClientController::sendStatusReport() {
    m_link->send(Protocol::ComposeReport(m_snapshot.gateway, m_snapshot.primaryDns,
                                         m_currentLine.name, m_settings.updateList));
}

void ClientController::reconnect() {
    m_link->connectToServer();
}

void ClientController::handleServerMessage(const QByteArray& message) {
    const Protocol::ServerMessage parsed = Protocol::ClassifyServerMessage(message);
    switch (parsed.kind) {
    case Protocol::ServerMessage::Kind::Update:
        applyLineListUpdate(parsed.fileBytes);
        break;
    case Protocol::ServerMessage::Kind::Switch:
        if (!switchCommandAllowed(parsed.gateway, parsed.primaryDns))
            break;
        applySwitchCommand(parsed.gateway, parsed.primaryDns, parsed.secondaryDns,
                           parsed.pieceCount);
        break;
    case Protocol::ServerMessage::Kind::None:
        break;
    }
}

bool ClientController::switchCommandAllowed(const QString& gateway,
                                            const QString& primaryDns) const {
    // With a site key only the authenticated channel may move this workstation.
    if (m_settings.siteKeyBytes().isEmpty())
        return true;
    if (!m_link->isAuthenticated()) {
        qCWarning(lcSecure) << "ignored a switch command that did not come over the secure channel";
        return false;
    }
    if (!m_settings.ownLinesOnlyOn())
        return true;
    for (const LineEntry& line : m_lineList) {
        if (TrimSpaces(line.gateway) == TrimSpaces(gateway) &&
            TrimSpaces(line.primaryDns) == TrimSpaces(primaryDns))
            return true;
    }
    qCWarning(lcSecure) << "ignored a switch command to" << gateway << primaryDns
                        << "- not a line of the own list";
    return false;
}

void ClientController::applyLineListUpdate(const QByteArray& fileBytes) {
    const std::optional<QByteArray> records = CompleteRecords(fileBytes);
    if (!records) {
        qCWarning(lcLink) << "ignored an update of" << fileBytes.size()
                          << "bytes without one complete record; the old list stays";
        return;
    }
    if (records->size() < fileBytes.size())
        qCWarning(lcLink) << "dropped the unfinished last record of an update ("
                          << fileBytes.size() - records->size() << "bytes)";
    const LineFileResult saved = SaveLineFile(lineFilePath(), FromGbk(*records));
    if (!saved.ok()) {
        // The write is whole or nothing: the file and the list in use stay the old ones.
        qCWarning(lcLink) << "could not replace" << lineFilePath() << "-"
                          << DescribeLineFileStatus(saved.status, saved.error)
                          << "; the old list stays";
        return;
    }
    // The Server's row shows the line name of the last report: a new list that renames the line
    // in use is told once. Only a change is told, so the answer to this report cannot start an
    // exchange that never ends.
    const QString nameBefore = m_currentLine.name;
    reloadLineList();
    if (m_currentLine.name != nameBefore)
        sendStatusReport();
}

void ClientController::applySwitchCommand(const QString& gateway, const QString& primaryDns,
                                          const QString& secondaryDns, int pieceCount) {
    // Only a well-formed command reaches the adapter: three pieces, valid addresses (the
    // secondary may be empty).
    if (pieceCount < 3 || !IsIpAddress(gateway) || !IsIpAddress(primaryDns) ||
        (!secondaryDns.isEmpty() && !IsIpAddress(secondaryDns))) {
        qCWarning(lcLink) << "ignored a malformed switch command";
        return;
    }
    // A commanded switch never touches the address or the mask.
    m_selectedLine = SelectedLine{QString(), QString(), gateway, primaryDns, secondaryDns};
    runSwitch(SwitchSource::Server);
}

LineChange ClientController::finishLineChange(bool saved) {
    // The main window's switch does nothing until a line of the new list is picked there.
    m_selectedLine.gateway.clear();
    m_selectedLine.primaryDns.clear();
    m_selectedLine.secondaryDns.clear();
    reloadLineList();
    return saved ? LineChange::Saved : LineChange::NotSaved;
}

LineChange ClientController::addLine(const LineEntry& entry) {
    if (m_lineList.size() >= kMaxLines)
        return LineChange::ListFull;
    if (LineNameExists(lineFilePath(), entry.name))
        return LineChange::NameTaken;
    return finishLineChange(AppendLine(lineFilePath(), ComposeLine(entry)));
}

LineChange ClientController::modifyLine(const LineEntry& stored, const LineEntry& changed) {
    // A modified line may take another line's name: no name test here.
    return finishLineChange(
        RewriteLineFile(lineFilePath(), ComposeLine(stored), ComposeLine(changed), false));
}

LineChange ClientController::deleteLine(const LineEntry& stored) {
    return finishLineChange(RewriteLineFile(lineFilePath(), ComposeLine(stored), QString(), true));
}

ServerSettingsCheck ClientController::applyServerSettings(const ServerSettingsInput& input) {
    const ServerSettingsCheck check = CheckServerSettings(input.serverIp, input.serverPort);
    if (check != ServerSettingsCheck::Ok)
        return check;
    m_settings.serverIp = TrimSpaces(input.serverIp);
    m_settings.serverPort = TrimSpaces(input.serverPort); // leading zeros stay as typed
    m_settings.autostart = FlagText(input.autostart);
    m_settings.updateList = FlagText(input.updateList);
    m_settings.ownLinesOnly = FlagText(input.ownLinesOnly);
    if (input.siteKeyText)
        m_settings.siteKey = SiteKeyToStored(SiteKeyFromText(*input.siteKeyText));
    if (!siteKeySet()) {
        // Without a key the Client checks nothing and undoes nothing.
        m_lineWatch->cancelVerification();
        m_wayBack.reset();
        m_unsentRollback.reset();
        m_rollbackReport.reset();
    }
    for (ClientSettings::Key key :
         {ClientSettings::Key::FwqIp, ClientSettings::Key::FwqDk, ClientSettings::Key::Qd,
          ClientSettings::Key::GengXin, ClientSettings::Key::SiteKey,
          ClientSettings::Key::SecureOwnLinesOnly})
        saveSetting(key);
    if (m_settings.autostartOn())
        m_autostart->enable(m_programPath);
    else
        m_autostart->disable();
    // Always a fresh attempt, also when nothing changed: the new address holds at once.
    reconnect();
    return ServerSettingsCheck::Ok;
}

bool ClientController::unlock(const QString& typedPassword) {
    m_adminUnlocked = Cmd5().md5(TrimSpaces(typedPassword)) == TrimSpaces(m_settings.adminPwd);
    return m_adminUnlocked;
}

bool ClientController::changePassword(const QString& typedOld, const QString& typedNew) {
    if (Cmd5().md5(TrimSpaces(typedOld)) != TrimSpaces(m_settings.adminPwd))
        return false;
    m_settings.adminPwd = Cmd5().md5(TrimSpaces(typedNew));
    saveSetting(ClientSettings::Key::AdminPwd);
    return true;
}

} // namespace torvane::client
