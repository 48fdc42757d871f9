#include "server/frmain.h"

#include "common/linefile.h"
#include "common/regstore.h"
#include "common/settingvalues.h"
#include "common/singleinstance.h"
#include "common/trayicon.h"
#include "common/validators.h"
#include "server/celleditor.h"
#include "server/clientlistmodel.h"
#include "server/linemenu.h"
#include "server/linetablemodel.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace torvane::server {

namespace {
const QString kTitle = QStringLiteral("Torvane -- 服务器端");
const QString kMessageTitle = QStringLiteral("程序提示");
const QString kPortKey = QStringLiteral("FwqDk");
const QString kUpdateKey = QStringLiteral("GengXin");
const QString kBalloonKey = QStringLiteral("QiQiu");
constexpr int kBalloonTimeoutMs = 10000;
constexpr int kClockIntervalMs = 1000;
// Client rows can number in the thousands: their columns get fixed starting widths and are fitted
// only when the tab is shown (the fit measures the visible rows only), never on every change.
constexpr int kClientColumnWidth = 140;
constexpr int kClientFitRows = 200;

void FlattenHeader(QTableView* list) {
    list->horizontalHeader()->setSectionsClickable(false);
    list->horizontalHeader()->setHighlightSections(false);
}

QTableView* MakeList(const QString& name, QWidget* parent) {
    auto* list = new QTableView(parent);
    list->setObjectName(name);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    list->verticalHeader()->hide();
    list->setShowGrid(false);
    list->setWordWrap(false);
    list->horizontalHeader()->setStretchLastSection(true);
    return list;
}
} // namespace

FrMain::FrMain(FrMainOptions options, QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)) {
    m_programDir = m_options.programDirectory.isEmpty() ? QCoreApplication::applicationDirPath()
                                                        : m_options.programDirectory;
    m_hub = new ConnectionHub(this);
    m_clientModel = new ClientListModel(m_hub, this);
    m_lineTable = new LineTableModel(this);
    buildUi();
}

FrMain::~FrMain() {
    shutdown();
    // The editor goes before the widgets it watches, so that no event of their destruction
    // reaches it.
    delete m_cellEditor;
    m_cellEditor = nullptr;
}

void FrMain::buildUi() {
    setObjectName(QStringLiteral("FrMain"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* group = new QGroupBox(QStringLiteral("基本配置"), central);
    auto* grid = new QGridLayout(group);
    m_fwqIp = new QLineEdit(group);
    m_fwqIp->setObjectName(QStringLiteral("FwqIp"));
    m_fwqIp->setReadOnly(true);
    m_fwqDk = new QLineEdit(group);
    m_fwqDk->setObjectName(QStringLiteral("FwqDk"));
    m_fwqDk->setMaxLength(5);
    auto* ipLabel = new QLabel(QStringLiteral("服务器IP："), group);
    ipLabel->setBuddy(m_fwqIp);
    auto* portLabel = new QLabel(QStringLiteral("服务器端口："), group);
    portLabel->setBuddy(m_fwqDk);
    m_gengXin = new QCheckBox(QStringLiteral("每次更新客户端配置"), group);
    m_gengXin->setObjectName(QStringLiteral("GengXin"));
    m_qiQiu = new QCheckBox(QStringLiteral("连接气球提示"), group);
    m_qiQiu->setObjectName(QStringLiteral("QiQiu"));
    m_queDing = new QPushButton(QStringLiteral("确  定"), group);
    m_queDing->setObjectName(QStringLiteral("QueDing"));
    grid->addWidget(ipLabel, 0, 0);
    grid->addWidget(m_fwqIp, 0, 1);
    grid->addWidget(portLabel, 0, 2);
    grid->addWidget(m_fwqDk, 0, 3);
    grid->addWidget(m_gengXin, 1, 0, 1, 2);
    grid->addWidget(m_qiQiu, 1, 2);
    grid->addWidget(m_queDing, 1, 3, Qt::AlignRight);
    layout->addWidget(group);

    m_tabs = new QTabWidget(central);
    m_tabs->setObjectName(QStringLiteral("Tabs"));
    m_khList = MakeList(QStringLiteral("KhList"), m_tabs);
    // When the selected workstation leaves, the view would select its neighbour (connected
    // before the view's own handlers so that the selection is seen before it moves); a switch
    // picked afterwards must not go to a workstation the administrator never chose.
    connect(m_clientModel, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                const QModelIndexList rows = m_khList->selectionModel()->selectedRows();
                m_selectionLeaving =
                    !rows.isEmpty() && rows.first().row() >= first && rows.first().row() <= last;
            });
    connect(m_clientModel, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (std::exchange(m_selectionLeaving, false))
            m_khList->selectionModel()->clear();
    });
    m_khList->setModel(m_clientModel);
    m_khList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_khList->horizontalHeader()->setDefaultSectionSize(kClientColumnWidth);
    m_khList->horizontalHeader()->setResizeContentsPrecision(kClientFitRows);
    m_dnsList = MakeList(QStringLiteral("DnsList"), m_tabs);
    m_dnsList->setModel(m_lineTable);
    m_tabs->addTab(m_khList, QStringLiteral("客户端机子"));
    m_tabs->addTab(m_dnsList, QStringLiteral("网关、DNS配置"));
    layout->addWidget(m_tabs, 1);
    setCentralWidget(central);

    // The cell editor is a sibling of the table laid over the edited cell.
    m_text1 = new QLineEdit(central);
    m_text1->setObjectName(QStringLiteral("Text1"));
    m_text1->hide();
    m_cellEditor = new CellEditor(m_dnsList, m_lineTable, m_text1, this);

    auto* status = statusBar();
    status->setObjectName(QStringLiteral("ZhuangTai"));
    m_panel1 = new QLabel(status);
    m_panel1->setObjectName(QStringLiteral("Panel1"));
    m_panel2 = new QLabel(status);
    m_panel2->setObjectName(QStringLiteral("Panel2"));
    status->addWidget(m_panel1, 1);
    status->addPermanentWidget(m_panel2);

    m_timer1 = new QTimer(this);
    m_timer1->setObjectName(QStringLiteral("Timer1"));
    m_timer1->setInterval(kClockIntervalMs);

    m_lineMenu = new LineMenu(this);

    m_tableMenu = new QMenu(QStringLiteral("菜单2"), this);
    m_tableMenu->setObjectName(QStringLiteral("FrMenu2"));
    const auto addItem = [this](const char* name, const QString& caption, void (FrMain::*slot)()) {
        QAction* action = m_tableMenu->addAction(caption);
        action->setObjectName(QString::fromLatin1(name));
        connect(action, &QAction::triggered, this, slot);
    };
    addItem("ZengJia", QStringLiteral("增 加"), &FrMain::addLine);
    addItem("ShanChu", QStringLiteral("删 除"), &FrMain::deleteLine);
    m_tableMenu->addSeparator()->setObjectName(QStringLiteral("MenuLine2"));
    addItem("BaoCun", QStringLiteral("保 存"), &FrMain::saveTable);
    addItem("ShuaXin", QStringLiteral("刷 新"), &FrMain::refreshTable);

    connect(m_queDing, &QPushButton::clicked, this, &FrMain::applySettings);
    connect(m_gengXin, &QCheckBox::toggled, this, [this](bool on) {
        m_updateOption = FlagText(on);
        m_hub->setUpdateEnabled(on);
    });
    connect(m_qiQiu, &QCheckBox::toggled, this, [this](bool on) { m_balloonOption = FlagText(on); });
    connect(m_tabs, &QTabWidget::currentChanged, this, &FrMain::onTabChanged);
    connect(m_timer1, &QTimer::timeout, this, &FrMain::updateClock);
    connect(m_cellEditor, &CellEditor::finished, this, [this] {
        autoSizeLineColumns();
        BuildLineMenu();
    });
    connect(m_lineMenu, &LineMenu::lineChosen, this,
            [this](int, const SwitchEntry& entry) { onLineChosen(entry); });
    connect(m_khList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        // The command goes to the connection selected when the menu opened: should that row
        // leave while the menu is open, the view would select its neighbour instead.
        m_menuTarget = selectedClientId();
        m_lineMenu->popupMenu()->popup(m_khList->viewport()->mapToGlobal(pos));
    });
    connect(m_lineMenu->popupMenu(), &QMenu::aboutToHide, this, [this] {
        // A chosen entry is handled right after the menu hides; then the target is spent.
        QTimer::singleShot(0, this, [this] { m_menuTarget.reset(); });
    });
    connect(m_dnsList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        // An edit in progress ends (text kept) before any command of the menu can run.
        m_cellEditor->end(true);
        m_tableMenu->popup(m_dnsList->viewport()->mapToGlobal(pos));
    });
    connect(m_clientModel, &ClientListModel::countChanged, this,
            [this](int) { setPanel1(clientCountText()); });
    connect(m_hub, &ConnectionHub::clientConnected, this,
            [this](ConnectionHub::ClientId, const QString& address) {
                if (FlagIsOn(m_balloonOption))
                    ShowTrayIcon(this, kTitle, address + QStringLiteral(" 连接到服务器"), 1,
                                 kBalloonTimeoutMs);
            });
    connect(m_hub, &ConnectionHub::clientClosed, this,
            [this](ConnectionHub::ClientId, const QString& address) {
                if (FlagIsOn(m_balloonOption))
                    ShowTrayIcon(this, kTitle, address + QStringLiteral(" 已断开连接"), 1,
                                 kBalloonTimeoutMs);
            });
    auto* altF4 = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), this);
    connect(altF4, &QShortcut::activated, this, &QWidget::close);
}

bool FrMain::start() {
    if (m_started)
        return m_primary;
    m_started = true;

    if (m_options.singleInstance) {
        m_guard = new SingleInstanceGuard(QStringLiteral("Torvane服"), this);
        if (!m_guard->tryAcquire()) {
            // The running copy stays as it is; this one only says so and ends.
            m_primary = false;
            m_timer1->stop();
            showMessage(QStringLiteral("程序已经运行"));
            return false;
        }
    }
    m_primary = true;

    setPanel1(QStringLiteral("目前共有 0 台客户端连接"));
    updateClock();
    m_lineTable->load(lineFilePath());
    FlattenHeader(m_khList);
    FlattenHeader(m_dnsList);
    m_tabs->setCurrentIndex(0);
    onTabChanged(m_tabs->currentIndex());
    BuildLineMenu();
    setWindowTitle(kTitle);

    readSettings();
    m_gengXin->setChecked(FlagIsOn(m_updateOption));
    m_qiQiu->setChecked(FlagIsOn(m_balloonOption));
    m_fwqDk->setText(m_portSetting);
    m_hub->setLineFilePath(lineFilePath());
    m_hub->setUpdateEnabled(FlagIsOn(m_updateOption));
    startListening();

    m_text1->hide();
    ShowTrayIcon(this, kTitle, QString(), 0, kBalloonTimeoutMs);
    m_timer1->start();
    if (m_options.showWindow) {
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
        show();
    }
    return true;
}

void FrMain::readSettings() {
    const auto readOrDefault = [](const QString& name, const QString& fallback) {
        QString value = ReadRegString(RegRoot::CurrentUser, kSettingsKey, name);
        if (value.isEmpty()) {
            value = fallback;
            WriteRegString(RegRoot::CurrentUser, kSettingsKey, name, value);
        }
        return value;
    };
    m_portSetting = readOrDefault(kPortKey, QStringLiteral("15200"));
    m_updateOption = readOrDefault(kUpdateKey, QStringLiteral("1"));
    m_balloonOption = readOrDefault(kBalloonKey, QStringLiteral("1"));
}

void FrMain::startListening() {
    m_lastListenOk = false;
    m_lastListenPort = PortFromText(m_portSetting);
    if (m_lastListenPort == 0) {
        // A stored value no dialog of ours writes; say so rather than listen on a guess.
        m_fwqIp->setText(m_hub->localAddress());
        showMessage(QStringLiteral("服务器端口 \"%1\" 无效，服务器没有开始监听。\n"
                                   "请输入1-65535的端口值后按“确  定”。")
                        .arg(m_portSetting));
        return;
    }
    QString reason;
    m_lastListenOk = m_hub->listen(m_lastListenPort, &reason);
    m_fwqIp->setText(m_hub->localAddress());
    if (!m_lastListenOk) {
        showMessage(QStringLiteral("无法在端口 %1 上监听：%2\n"
                                   "客户端现在连不上服务器，请换一个端口后按“确  定”。")
                        .arg(m_lastListenPort)
                        .arg(reason));
    }
}

void FrMain::applySettings() {
    const QString port = m_fwqDk->text().trimmed();
    if (!IsDigits(port)) {
        showMessage(QStringLiteral("你输入的服务器端口错误"));
        m_fwqDk->setFocus();
        return;
    }
    if (PortFromText(port) == 0) {
        showMessage(QStringLiteral("请输入1-65535的端口值"));
        m_fwqDk->setFocus();
        return;
    }
    m_portSetting = port;
    m_updateOption = FlagText(m_gengXin->isChecked());
    m_balloonOption = FlagText(m_qiQiu->isChecked());
    WriteRegString(RegRoot::CurrentUser, kSettingsKey, kPortKey, m_portSetting);
    WriteRegString(RegRoot::CurrentUser, kSettingsKey, kUpdateKey, m_updateOption);
    WriteRegString(RegRoot::CurrentUser, kSettingsKey, kBalloonKey, m_balloonOption);

    // Clients are dropped even when the port stays; they reconnect by themselves.
    m_hub->closeAllConnections();
    setPanel1(QStringLiteral("目前共有 0 台客户端连接"));
    startListening();
}

void FrMain::onTabChanged(int index) {
    // Clicking a tab takes the focus from the cell editor: its edit ends with the text kept, so
    // the box (a sibling of the tabs) is never left over the client list.
    if (index == 0 || index == 1)
        m_cellEditor->end(true);
    if (index == 0) {
        m_currentTab = 1;
        setPanel1(clientCountText());
        autoSizeClientColumns();
    } else if (index == 1) {
        m_currentTab = 2;
        setPanel1(lineCountText());
        autoSizeLineColumns();
    }
}

void FrMain::updateClock() {
    setPanel1(m_currentTab == 1 ? clientCountText() : lineCountText());
    m_panel2->setText(ClockText(QDateTime::currentDateTime(), QLocale::system()));
}

QString FrMain::ClockText(const QDateTime& now, const QLocale& locale) {
    // The short date with the long time: a clock that ticks every second shows the seconds
    // (most locales' short time has none), without the long time's zone name.
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b\\s*"));
    const QString time = locale.timeFormat(QLocale::LongFormat).replace(zone, QStringLiteral(" "));
    return locale.toString(now, locale.dateFormat(QLocale::ShortFormat) + QLatin1Char(' ') +
                                    time.trimmed());
}

void FrMain::BuildLineMenu() {
    m_lineMenu->build(*m_lineTable);
}

ConnectionHub::ClientId FrMain::selectedClientId() const {
    const QModelIndexList rows = m_khList->selectionModel()->selectedRows();
    return rows.isEmpty() ? 0 : m_clientModel->clientIdAt(rows.first().row());
}

void FrMain::onLineChosen(const SwitchEntry& entry) {
    // The row belongs to one connection: the command goes to that connection alone, and only
    // while it is connected (the hub refuses otherwise).
    const ConnectionHub::ClientId id = m_menuTarget ? *m_menuTarget : selectedClientId();
    m_menuTarget.reset();
    if (id == 0)
        return;
    m_hub->sendSwitch(id, entry.gateway, entry.primaryDns, entry.secondaryDns);
}

void FrMain::addLine() {
    m_cellEditor->end(true);
    if (!m_lineTable->addLine()) {
        showMessage(QStringLiteral("只能设置20条线路"));
        return;
    }
    autoSizeLineColumns();
    setPanel1(lineCountText());
    BuildLineMenu();
}

void FrMain::deleteLine() {
    m_cellEditor->end(true);
    if (m_lineTable->rowCount() >= 1) {
        const QModelIndexList rows = m_dnsList->selectionModel()->selectedRows();
        // No selected row: nothing to delete, the table stays as it is.
        if (!rows.isEmpty() && m_lineTable->removeLine(rows.first().row())) {
            autoSizeLineColumns();
            setPanel1(lineCountText());
        }
    }
    BuildLineMenu();
}

void FrMain::saveTable() {
    m_cellEditor->end(true);
    switch (m_lineTable->save(lineFilePath())) {
    case LineTableModel::SaveResult::Invalid:
        showMessage(QStringLiteral("请将所有内容填写完整并正确"));
        return;
    case LineTableModel::SaveResult::WriteFailed:
        // The file is replaced atomically, so it still holds its previous content.
        showMessage(QStringLiteral("无法写入 %1，配置没有保存。").arg(lineFilePath()));
        break;
    case LineTableModel::SaveResult::Saved:
        break;
    }
    BuildLineMenu();
}

void FrMain::refreshTable() {
    m_cellEditor->end(true);
    m_lineTable->load(lineFilePath());
    BuildLineMenu();
    autoSizeLineColumns();
}

void FrMain::autoSizeLineColumns() {
    m_dnsList->resizeColumnsToContents();
}

void FrMain::autoSizeClientColumns() {
    // Runs on a tab switch, not on every change; a hidden list would be measured over all its
    // rows, and the header's precision caps how many rows a fit may look at.
    if (m_khList->isVisible())
        m_khList->resizeColumnsToContents();
}

QString FrMain::lineFilePath() const {
    return LineFilePath(m_programDir);
}

QString FrMain::clientCountText() const {
    return QStringLiteral("目前共有 %1 台客户端连接").arg(m_clientModel->clientCount());
}

QString FrMain::lineCountText() const {
    return QStringLiteral("目前共有 %1 个配置").arg(m_lineTable->rowCount());
}

void FrMain::setPanel1(const QString& text) {
    m_panel1->setText(text);
}

QString FrMain::statusText(int panel) const {
    return panel == 1 ? m_panel1->text() : panel == 2 ? m_panel2->text() : QString();
}

void FrMain::showMessage(const QString& text, QMessageBox::Icon icon) {
    if (m_options.messageHook) {
        m_options.messageHook(kMessageTitle, text, icon);
        return;
    }
    QMessageBox box(icon, kMessageTitle, text, QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void FrMain::shutdown() {
    if (m_shutDown || !m_primary)
        return;
    m_shutDown = true;
    m_timer1->stop();
    if (m_cellEditor)
        m_cellEditor->end(false);
    RemoveTrayIcon(this);
    m_hub->closeAllConnections();
}

void FrMain::closeEvent(QCloseEvent* event) {
    shutdown();
    event->accept();
}

void FrMain::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !isMinimized())
        return;
    // Without a tray the window could never be brought back: it then stays in the task bar.
    if (TrayAvailable())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                hide();
        });
}

} // namespace torvane::server
