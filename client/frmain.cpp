#include "client/frmain.h"

#include "client/clientcontroller.h"
#include "client/clientlogging.h"
#include "client/fradd.h"
#include "client/frpwd.h"
#include "common/trayicon.h"

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

namespace torvane::client {

namespace {
const QString kWindowTitle = QStringLiteral("Torvane -- 客户端");
const QString kPromptTitle = QStringLiteral("程序提示");
constexpr int kBalloonMs = 10000;
// Without a screen nobody can press OK: a box closes itself after this long.
constexpr int kHeadlessBoxMs = 3000;

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

FrMain::FrMain(ClientController& controller, FrMainOptions options, QWidget* parent)
    : QWidget(parent), m_controller(controller), m_options(std::move(options)) {
    setObjectName(QStringLiteral("FrMain"));
    buildControls();
    connectController();
}

FrMain::~FrMain() {
    RemoveTrayIcon(this);
}

void FrMain::buildControls() {
    m_lineFrame = new QGroupBox(QStringLiteral("选择一条上网线路，然后点击[开始切换]按钮"), this);
    m_lineFrame->setObjectName(QStringLiteral("Frame1"));
    m_lineListView = new QListWidget(m_lineFrame);
    m_lineListView->setObjectName(QStringLiteral("WgList"));
    m_switchButton = MakeButton("QhOk", QStringLiteral("开始切换"), m_lineFrame);
    m_minimizeAfterSwitch = new QCheckBox(QStringLiteral("修改成功后最小化"), m_lineFrame);
    m_minimizeAfterSwitch->setObjectName(QStringLiteral("XgOkClose"));
    auto* frameLayout = new QVBoxLayout(m_lineFrame);
    frameLayout->addWidget(m_lineListView);
    auto* switchRow = new QHBoxLayout;
    switchRow->addWidget(m_switchButton);
    switchRow->addWidget(m_minimizeAfterSwitch);
    frameLayout->addLayout(switchRow);

    m_currentLineLabel = MakeLabel("XuanZe", QStringLiteral("您目前使用的线路是"), this);
    m_hostNameLabel = MakeLabel("JsjName", QStringLiteral("计算机名称："), this);
    m_localIpLabel = MakeLabel("BjIp", QStringLiteral("本机IP："), this);
    m_maskLabel = MakeLabel("ZwYm", QStringLiteral("子网掩码："), this);
    m_gatewayLabel = MakeLabel("WgIp", QStringLiteral("网关IP："), this);
    m_primaryDnsLabel = MakeLabel("FrDns", QStringLiteral("首选DNS："), this);
    m_secondaryDnsLabel = MakeLabel("SeDns", QStringLiteral("备用DNS："), this);
    auto* label2 = MakeLabel("Label2", QStringLiteral("目前支持WIN2000/WIN XP/WIN2003"), this);
    auto* label3 =
        MakeLabel("Label3", QStringLiteral("本软件只为方便网吧多光纤线路切换而设计制作"), this);
    m_settingsButton = MakeButton("SzOk", QStringLiteral("参数设置"), this);
    m_passwordButton = MakeButton("GlMm", QStringLiteral("管理密码"), this);
    m_exitButton = MakeButton("CloseOk", QStringLiteral("退出"), this);

    auto* info = new QVBoxLayout;
    info->addWidget(m_currentLineLabel);
    for (QLabel* label : {m_hostNameLabel, m_localIpLabel, m_maskLabel, m_gatewayLabel,
                          m_primaryDnsLabel, m_secondaryDnsLabel})
        info->addWidget(label);
    info->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_settingsButton);
    buttons->addWidget(m_passwordButton);
    buttons->addWidget(m_exitButton);
    info->addLayout(buttons);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_lineFrame, 0, 0);
    layout->addLayout(info, 0, 1);
    layout->addWidget(label2, 1, 0, 1, 2);
    layout->addWidget(label3, 2, 0, 1, 2);

    // A pick is a selection (click or arrow keys); the current row alone is not one, since
    // focus entering the list makes the first row current without the user choosing it.
    connect(m_lineListView, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem*> selected = m_lineListView->selectedItems();
        if (!selected.isEmpty())
            m_controller.pickLine(m_lineListView->row(selected.constFirst()));
    });
    connect(m_lineListView, &QListWidget::itemClicked, this,
            [this](QListWidgetItem* item) { m_controller.pickLine(m_lineListView->row(item)); });
    connect(m_switchButton, &QPushButton::clicked, this, [this] { m_controller.runSwitch(); });
    connect(m_settingsButton, &QPushButton::clicked, this, &FrMain::onSettingsClicked);
    connect(m_passwordButton, &QPushButton::clicked, this, &FrMain::onPasswordClicked);
    connect(m_exitButton, &QPushButton::clicked, this, &QWidget::close);
}

void FrMain::connectController() {
    connect(&m_controller, &ClientContext::lineListReloaded, this, &FrMain::showLineList);
    connect(&m_controller, &ClientController::adapterSnapshotChanged, this, &FrMain::showAdapter);
    connect(&m_controller, &ClientController::currentLineChanged, this, &FrMain::showCurrentLine);
    connect(&m_controller, &ClientController::switchFinished, this,
            [this](bool ok) { onSwitchFinished(ok); });
    connect(&m_controller, &ClientController::messageRequested, this, &FrMain::showMessage);
    connect(&m_controller, &ClientController::switchFailed, this, &FrMain::showSwitchFailure);
    connect(&m_controller, &ClientController::balloonRequested, this,
            [this](const QString& tip, const QString& text, int icon) {
                ShowTrayIcon(this, tip, text, icon, kBalloonMs);
            });
}

bool FrMain::start() {
    setWindowTitle(kWindowTitle);
    if (!m_controller.start())
        return false;
    ShowTrayIcon(this, kWindowTitle, QString(), 0, kBalloonMs);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    show();
    setWindowState(windowState() | Qt::WindowMinimized);
    return true;
}

void FrMain::showLineList() {
    m_lineListView->clear();
    for (const LineEntry& line : m_controller.lineList())
        m_lineListView->addItem(line.name);
}

void FrMain::showAdapter(const AdapterSnapshot& snapshot) {
    m_hostNameLabel->setText(QStringLiteral("计算机名称：") + snapshot.hostName);
    m_primaryDnsLabel->setText(QStringLiteral("首选DNS：") + snapshot.primaryDns);
    m_secondaryDnsLabel->setText(QStringLiteral("备用DNS：") + snapshot.secondaryDns);
    // Until the adapter itself was read, its labels keep their captions.
    if (!snapshot.adapterRead)
        return;
    m_localIpLabel->setText(QStringLiteral("内网IP：") + snapshot.localIp);
    m_maskLabel->setText(QStringLiteral("子网掩码：") + snapshot.subnetMask);
    m_gatewayLabel->setText(QStringLiteral("网关IP：") + snapshot.gateway);
}

void FrMain::showCurrentLine(const CurrentLine& current) {
    QFont font = m_currentLineLabel->font();
    font.setBold(true);
    m_currentLineLabel->setFont(font);
    m_currentLineLabel->setText(current.labelText);
}

void FrMain::onSwitchFinished(bool ok) {
    // The caption promises "minimise after a successful change": a failed switch stays in view.
    if (ok && m_minimizeAfterSwitch->isChecked())
        setWindowState(windowState() | Qt::WindowMinimized);
}

void FrMain::showMessage(const QString& title, const QString& text) {
    if (m_options.messageHook) {
        m_options.messageHook(title, text);
        return;
    }
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok,
                    isVisible() ? this : nullptr);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
        qCInfo(lcWindow).noquote() << title + QStringLiteral(": ") + text;
        QTimer::singleShot(kHeadlessBoxMs, &box, &QMessageBox::accept);
    }
    box.exec();
}

void FrMain::showSwitchFailure(const QString& text) {
    if (m_options.messageHook) {
        m_options.messageHook(kPromptTitle, text);
        return;
    }
    // Not modal: the Server may command switches that fail one after another, and each modal box
    // would wait inside the one before it. The latest reason is the one that holds.
    if (m_switchFailureBox) {
        m_switchFailureBox->setText(text);
    } else {
        m_switchFailureBox =
            new QMessageBox(QMessageBox::Information, kPromptTitle, text, QMessageBox::Ok, this);
        m_switchFailureBox->setObjectName(QStringLiteral("switchFailureBox"));
        m_switchFailureBox->setAttribute(Qt::WA_DeleteOnClose);
        m_switchFailureBox->setWindowModality(Qt::NonModal);
    }
    qCInfo(lcWindow).noquote() << kPromptTitle + QStringLiteral(": ") + text;
    m_switchFailureBox->show();
    m_switchFailureBox->raise();
    m_switchFailureBox->activateWindow();
}

void FrMain::onSettingsClicked() {
    if (!m_controller.adminUnlocked()) {
        showMessage(kPromptTitle, QStringLiteral("请先解锁后再进行参数设置"));
        return;
    }
    FrAdd dialog(m_controller, this);
    dialog.exec();
}

void FrMain::onPasswordClicked() {
    FrPwd dialog(m_controller, this);
    dialog.exec();
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
    if (m_controller.isPrimaryInstance()) {
        RemoveTrayIcon(this);
        m_controller.shutdown();
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
