#include "client/frmain.h"

#include "client/fradd.h"
#include "client/frmaincontext.h"
#include "client/frpwd.h"
#include "client/linelist.h"
#include "client/serverlink.h"
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/protocol.h"
#include "common/regstore.h"
#include "common/singleinstance.h"
#include "common/trayicon.h"
#include "common/validators.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace torvane::client {

namespace {
const QString kAppTitle = QStringLiteral("Torvane");
const QString kMutexName = QStringLiteral("Torvane客");
const QString kWindowTitle = QStringLiteral("Torvane -- 客户端");
const QString kPromptTitle = QStringLiteral("程序提示");
const QString kDefaultServerIp = QStringLiteral("192.168.0.1");
const QString kDefaultServerPort = QStringLiteral("15200");
constexpr int kBalloonMs = 10000;
// Without a screen nobody can press OK: a box closes itself after this long.
constexpr int kHeadlessBoxMs = 3000;

void Trace(const QString& text) {
    std::fprintf(stderr, "Torvane: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

QString Setting(const char* name) {
    return ReadRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                         QString::fromLatin1(name));
}

void WriteSetting(const char* name, const QString& text) {
    WriteRegString(RegRoot::CurrentUser, QString::fromLatin1(kSettingsKey),
                   QString::fromLatin1(name), text);
}

QLabel* MakeLabel(const char* objectName, const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(objectName));
    return label;
}

QPushButton* MakeButton(const char* objectName, const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(objectName));
    return button;
}
} // namespace

FrMain::FrMain(FrMainOptions options, QWidget* parent)
    : QWidget(parent), m_options(std::move(options)) {
    m_adapter = m_options.adapter ? std::move(m_options.adapter) : CreatePlatformAdapter();
    setObjectName(QStringLiteral("FrMain"));
    buildControls();
    m_context = new FrMainContext(*this);
    m_link = new ServerLink(
        [this] { return std::pair<QString, QString>(m_settings.fwqIp, m_settings.fwqDk); }, this);
    connect(m_link, &ServerLink::connected, this, &FrMain::sendStatusReport);
    connect(m_link, &ServerLink::messageReceived, this, &FrMain::handleServerMessage);
}

FrMain::~FrMain() {
    m_link->disconnect(this);
    m_link->shutdown();
    if (m_isPrimaryInstance)
        RemoveTrayIcon(this);
}

void FrMain::buildControls() {
    m_frame1 = new QGroupBox(QStringLiteral("选择一条上网线路，然后点击[开始切换]按钮"), this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_wgList = new QListWidget(m_frame1);
    m_wgList->setObjectName(QStringLiteral("WgList"));
    m_qhOk = MakeButton("QhOk", QStringLiteral("开始切换"), m_frame1);
    m_xgOkClose = new QCheckBox(QStringLiteral("修改成功后最小化"), m_frame1);
    m_xgOkClose->setObjectName(QStringLiteral("XgOkClose"));
    auto* frameLayout = new QVBoxLayout(m_frame1);
    frameLayout->addWidget(m_wgList);
    auto* switchRow = new QHBoxLayout;
    switchRow->addWidget(m_qhOk);
    switchRow->addWidget(m_xgOkClose);
    frameLayout->addLayout(switchRow);

    m_xuanZe = MakeLabel("XuanZe", QStringLiteral("您目前使用的线路是"), this);
    m_jsjName = MakeLabel("JsjName", QStringLiteral("计算机名称："), this);
    m_bjIp = MakeLabel("BjIp", QStringLiteral("本机IP："), this);
    m_zwYm = MakeLabel("ZwYm", QStringLiteral("子网掩码："), this);
    m_wgIp = MakeLabel("WgIp", QStringLiteral("网关IP："), this);
    m_frDns = MakeLabel("FrDns", QStringLiteral("首选DNS："), this);
    m_seDns = MakeLabel("SeDns", QStringLiteral("备用DNS："), this);
    auto* label2 = MakeLabel("Label2", QStringLiteral("目前支持WIN2000/WIN XP/WIN2003"), this);
    auto* label3 =
        MakeLabel("Label3", QStringLiteral("本软件只为方便网吧多光纤线路切换而设计制作"), this);
    m_szOk = MakeButton("SzOk", QStringLiteral("参数设置"), this);
    m_glMm = MakeButton("GlMm", QStringLiteral("管理密码"), this);
    m_closeOk = MakeButton("CloseOk", QStringLiteral("退出"), this);

    auto* info = new QVBoxLayout;
    info->addWidget(m_xuanZe);
    for (QLabel* label : {m_jsjName, m_bjIp, m_zwYm, m_wgIp, m_frDns, m_seDns})
        info->addWidget(label);
    info->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_szOk);
    buttons->addWidget(m_glMm);
    buttons->addWidget(m_closeOk);
    info->addLayout(buttons);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_frame1, 0, 0);
    layout->addLayout(info, 0, 1);
    layout->addWidget(label2, 1, 0, 1, 2);
    layout->addWidget(label3, 2, 0, 1, 2);

    // A pick is a selection (click or arrow keys); the current row alone is not one, since
    // focus entering the list makes the first row current without the user choosing it.
    connect(m_wgList, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = m_wgList->selectedItems();
        if (!selected.isEmpty())
            onPick(m_wgList->row(selected.constFirst()));
    });
    connect(m_wgList, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { onPick(m_wgList->row(item)); });
    connect(m_qhOk, &QPushButton::clicked, this, &FrMain::runSwitch);
    connect(m_szOk, &QPushButton::clicked, this, &FrMain::onSettingsClicked);
    connect(m_glMm, &QPushButton::clicked, this, &FrMain::onPasswordClicked);
    connect(m_closeOk, &QPushButton::clicked, this, &QWidget::close);
}

ClientContext& FrMain::context() {
    return *m_context;
}

QString FrMain::lineFilePath() const {
    const QString dir = m_options.programDir.isEmpty() ? QCoreApplication::applicationDirPath()
                                                       : m_options.programDir;
    return LineFilePath(dir);
}

QString FrMain::autostartFolder() const {
    return m_options.autostartFolder.isEmpty() ? QStringLiteral("/etc/xdg/autostart")
                                               : m_options.autostartFolder;
}

bool FrMain::serverConnected() const {
    return m_link->isConnected();
}

QString FrMain::SupportGroup() {
    return QStringLiteral("83915207");
}

void FrMain::showMessage(const QString& title, const QString& text) {
    if (m_options.messageHook) {
        m_options.messageHook(title, text);
        return;
    }
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        Trace(title + QStringLiteral(": ") + text);
        QTimer::singleShot(kHeadlessBoxMs, &box, &QMessageBox::accept);
    }
    box.exec();
}

bool FrMain::checkSingleInstance() {
    m_isPrimaryInstance = true;
    if (!m_options.useInstanceGuard)
        return true;
    m_guard = new SingleInstanceGuard(kMutexName, this);
    if (!m_guard->tryAcquire()) {
        m_isPrimaryInstance = false;
        m_guard->notifyPrimary(); // the running copy shows its balloon meanwhile
        showMessage(kAppTitle, QStringLiteral("程序已经运行"));
        return false;
    }
    connect(m_guard, &SingleInstanceGuard::secondInstanceStarted, this, &FrMain::onSecondInstance);
    return true;
}

bool FrMain::start() {
    if (!checkSingleInstance())
        return false;
    setWindowTitle(kWindowTitle);
    m_lineList = LoadLineList(lineFilePath(), m_wgList);
    inspectAdapter();
    findCurrentLine();
    readSettings();
    passwordStep();
    m_link->start();
    if (!m_settings.fwqIp.isEmpty()) {
        m_link->connectToServer();
    } else {
        // The first attempt is the first Timer2 tick, one second from now.
        m_settings.fwqIp = kDefaultServerIp;
        WriteSetting("FwqIp", m_settings.fwqIp);
    }
    applyDefaults();
    ShowTrayIcon(this, kWindowTitle, QString(), 0, kBalloonMs);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    show();
    setWindowState(windowState() | Qt::WindowMinimized);
    return true;
}

void FrMain::readSettings() {
    m_settings.adminPwd = Setting("AdminPwd");
    m_settings.fwqIp = Setting("FwqIp");
    m_settings.fwqDk = Setting("FwqDk");
    m_settings.qd = Setting("Qd");
    m_settings.gengXin = Setting("GengXin");
}

void FrMain::passwordStep() {
    ApplyStartupPasswordStep(*m_context);
}

void FrMain::applyDefaults() {
    if (m_settings.fwqDk.isEmpty()) {
        m_settings.fwqDk = kDefaultServerPort;
        WriteSetting("FwqDk", m_settings.fwqDk);
    }
    if (m_settings.qd.isEmpty())
        m_settings.qd = QStringLiteral("0"); // in memory only: the autostart entry is untouched
    if (m_settings.gengXin.isEmpty()) {
        m_settings.gengXin = QStringLiteral("1");
        WriteSetting("GengXin", m_settings.gengXin);
    }
}

void FrMain::reloadLineList() {
    m_lineList = LoadLineList(lineFilePath(), m_wgList);
    findCurrentLine();
    emit lineListReloaded();
}

void FrMain::findCurrentLine() {
    QFont font = m_xuanZe->font();
    font.setBold(true);
    m_xuanZe->setFont(font);
    const CurrentLine current =
        FindCurrentLine(m_lineList, m_snapshot.gateway, m_snapshot.primaryDns);
    m_xuanZe->setText(current.labelText);
    m_currentLineName = current.name;
}

void FrMain::inspectAdapter() {
    const NetworkParams params = m_adapter->inspect();
    const auto fail = [this](int code) {
        showMessage(kPromptTitle,
                    QStringLiteral("程序错误%1，请联系QQ群：").arg(code) + SupportGroup());
    };
    if (params.error == 1 || params.error == 2) {
        fail(params.error);
        return;
    }
    m_snapshot.hostName = params.hostName;
    m_jsjName->setText(QStringLiteral("计算机名称：") + params.hostName);
    m_snapshot.primaryDns = params.dnsServers.value(0).trimmed();
    m_frDns->setText(QStringLiteral("首选DNS：") + params.dnsServers.value(0));
    // The secondary is the last server after the first; with a single server it is cleared, so
    // the window never shows a server the resolver no longer has.
    const QString secondary =
        params.dnsServers.size() >= 2 ? params.dnsServers.constLast() : QString();
    m_snapshot.secondaryDns = secondary.trimmed();
    m_seDns->setText(QStringLiteral("备用DNS：") + secondary);
    if (params.error == 3 || params.error == 4) {
        fail(params.error);
        return;
    }
    if (params.error != 0) {
        fail(4);
        return;
    }
    m_snapshot.localIp = params.localIp.trimmed();
    m_bjIp->setText(QStringLiteral("内网IP：") + params.localIp);
    m_snapshot.subnetMask = params.subnetMask.trimmed();
    m_zwYm->setText(QStringLiteral("子网掩码：") + params.subnetMask);
    m_snapshot.gateway = params.gateway.trimmed();
    m_wgIp->setText(QStringLiteral("网关IP：") + params.gateway);
}

void FrMain::onPick(int row) {
    if (row < 0 || row >= m_lineList.size())
        return;
    const LineEntry& line = m_lineList.at(row);
    m_selectedLine = SelectedLine{line.localIp, line.subnetMask, line.gateway, line.primaryDns,
                                  line.secondaryDns};
}

void FrMain::runSwitch() {
    if (m_selectedLine.gateway.isEmpty() || m_selectedLine.primaryDns.isEmpty())
        return;
    // Should anything run the event loop during a switch (a message box, say), a switch asked
    // for meanwhile runs after this one, with what SelectedLine holds then.
    if (m_switching) {
        m_switchAgain = true;
        return;
    }
    m_switching = true;
    const SelectedLine line = m_selectedLine;
    AdapterSettings settings;
    settings.localIp = line.localIp.trimmed().isEmpty() ? QString() : line.localIp;
    settings.subnetMask = settings.localIp.isEmpty() ? QString() : line.subnetMask;
    settings.gateway = line.gateway;
    settings.primaryDns = line.primaryDns;
    settings.secondaryDns = line.secondaryDns;
    const SwitchOutcome outcome = m_adapter->switchTo(settings);
    if (!outcome.ok)
        Trace(
            QStringLiteral("switch to gateway %1 failed: %2").arg(line.gateway, outcome.errorText));
    // The caption promises "minimise after a successful change": a failed switch stays in view.
    if (outcome.ok && m_xgOkClose->isChecked())
        setWindowState(windowState() | Qt::WindowMinimized);
    inspectAdapter();
    findCurrentLine();
    sendStatusReport();
    m_switching = false;
    emit switchFinished(outcome.ok);
    if (m_switchAgain) {
        m_switchAgain = false;
        runSwitch();
    }
}

void FrMain::sendStatusReport() {
    m_link->send(Protocol::ComposeReport(m_snapshot.gateway, m_snapshot.primaryDns,
                                         m_currentLineName, m_settings.gengXin));
}

void FrMain::reconnect() {
    m_link->connectToServer();
}

void FrMain::handleServerMessage(const QByteArray& message) {
    const Protocol::ServerMessage parsed = Protocol::ClassifyServerMessage(message);
    switch (parsed.kind) {
    case Protocol::ServerMessage::Kind::Update:
        applyLineListUpdate(parsed.fileBytes);
        break;
    case Protocol::ServerMessage::Kind::Switch:
        applySwitchCommand(parsed.gateway, parsed.primaryDns, parsed.secondaryDns,
                           parsed.pieceCount);
        break;
    case Protocol::ServerMessage::Kind::None:
        break;
    }
}

void FrMain::applyLineListUpdate(const QByteArray& fileBytes) {
    if (!WriteLineFile(lineFilePath(), FromGbk(fileBytes)))
        Trace(QStringLiteral("could not replace %1; the old list stays").arg(lineFilePath()));
    reloadLineList();
}

void FrMain::applySwitchCommand(const QString& gateway, const QString& primaryDns,
                                const QString& secondaryDns, int pieceCount) {
    // Only a well-formed command reaches the adapter: three pieces, valid addresses (the
    // secondary may be empty).
    if (pieceCount < 3 || !IsIpAddress(gateway) || !IsIpAddress(primaryDns) ||
        (!secondaryDns.isEmpty() && !IsIpAddress(secondaryDns))) {
        Trace(QStringLiteral("ignored a malformed switch command"));
        return;
    }
    m_selectedLine = SelectedLine{QString(), QString(), gateway, primaryDns, secondaryDns};
    runSwitch();
}

void FrMain::onSettingsClicked() {
    if (!m_settings.adminUnlocked) {
        showMessage(kPromptTitle, QStringLiteral("请先解锁后再进行参数设置"));
        return;
    }
    FrAdd dialog(*m_context, this);
    dialog.exec();
}

void FrMain::onPasswordClicked() {
    FrPwd dialog(*m_context, this);
    dialog.exec();
}

void FrMain::onSecondInstance() {
    ShowTrayIcon(this, kAppTitle, QStringLiteral("已经在这里启动啦"), 1, kBalloonMs);
}

void FrMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Hidden in the notification area; without one the window stays reachable.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && TrayAvailable() &&
        HasTrayIcon(this))
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
}

void FrMain::closeEvent(QCloseEvent* event) {
    if (m_isPrimaryInstance) {
        RemoveTrayIcon(this);
        m_link->shutdown();
    }
    event->accept();
    emit closed();
}

void FrMain::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F4 && (event->modifiers() & Qt::AltModifier)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace torvane::client
