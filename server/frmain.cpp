#include "server/frmain.h"

#include "common/linefile.h"
#include "common/linefilelocation.h"
#include "common/singleinstance.h"
#include "common/trayicon.h"
#include "server/auditlog.h"
#include "server/celleditor.h"
#include "server/clientlistmodel.h"
#include "server/linefailover.h"
#include "server/linehealthmonitor.h"
#include "server/lineloadmodel.h"
#include "server/linemenu.h"
#include "server/linetablecontroller.h"
#include "server/linetablemodel.h"
#include "server/servercontroller.h"
#include "server/serversettings.h"
#include "server/switchtracker.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace torvane::server {

namespace {
const QString kTitle = QStringLiteral("Torvane -- 服务器端");
const QString kMessageTitle = QStringLiteral("程序提示");
constexpr int kBalloonTimeoutMs = 10000;
constexpr int kClockIntervalMs = 1000;
// Client rows can number in the thousands: their columns get fixed starting widths and are fitted
// only when the tab is shown (the fit measures the visible rows only), never on every change.
constexpr int kClientColumnWidth = 140;
constexpr int kClientFitRows = 200;
constexpr int kAuditLogLines = 2000; // shown in the audit log window

// Rows of the client list take the colour of their last switch command.
class SwitchStateDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        switch (static_cast<SwitchState>(index.data(ClientListModel::SwitchStateRole).toInt())) {
        case SwitchState::Pending:
            option->backgroundBrush = QColor(255, 236, 179); // waiting: amber
            break;
        case SwitchState::Confirmed:
            option->backgroundBrush = QColor(200, 236, 200); // done: green
            break;
        case SwitchState::Failed:
            option->backgroundBrush = QColor(246, 196, 196); // failed: red
            break;
        case SwitchState::None:
            break;
        }
    }
};

// Lines that most of their workstations see broken stand out in the per-line view.
class LineStateDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const auto state =
            static_cast<LineLoadModel::LineState>(index.data(LineLoadModel::LineStateRole).toInt());
        if (state == LineLoadModel::LineState::Failing)
            option->backgroundBrush = QColor(246, 196, 196); // as a failed switch: red
    }
};

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

QString ProgramDirectory(const FrMainOptions& options) {
    return options.programDirectory.isEmpty() ? QCoreApplication::applicationDirPath()
                                              : options.programDirectory;
}
} // namespace

FrMain::FrMain(FrMainOptions options, QWidget* parent) : QMainWindow(parent) {
    const QString lineFile =
        InstalledLineFilePath(ProgramDirectory(options), QStringLiteral("Server"));
    m_server = new ServerController(lineFile, this);
    m_lines = new LineTableController(lineFile, m_server->hub(), this);
    m_options = std::move(options);
    buildUi();
    connectControllers();
}

FrMain::FrMain(ServerController* server, LineTableController* lines, FrMainOptions options,
               QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)), m_server(server), m_lines(lines) {
    buildUi();
    connectControllers();
}

FrMain::~FrMain() {
    shutdown();
    // The editor goes before the widgets it watches, so that no event of their destruction
    // reaches it.
    delete m_cellEditor;
    m_cellEditor = nullptr;
}

ConnectionHub* FrMain::hub() const {
    return m_server->hub();
}

ClientListModel* FrMain::clientModel() const {
    return m_server->clientModel();
}

LineTableModel* FrMain::lineTable() const {
    return m_lines->model();
}

void FrMain::buildUi() {
    setObjectName(QStringLiteral("FrMain"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    auto* group = new QGroupBox(QStringLiteral("基本配置"), central);
    auto* grid = new QGridLayout(group);
    m_serverIpBox = new QLineEdit(group);
    m_serverIpBox->setObjectName(QStringLiteral("FwqIp"));
    m_serverIpBox->setReadOnly(true);
    m_portBox = new QLineEdit(group);
    m_portBox->setObjectName(QStringLiteral("FwqDk"));
    m_portBox->setMaxLength(5);
    auto* ipLabel = new QLabel(QStringLiteral("服务器IP："), group);
    ipLabel->setBuddy(m_serverIpBox);
    auto* portLabel = new QLabel(QStringLiteral("服务器端口："), group);
    portLabel->setBuddy(m_portBox);
    m_updateBox = new QCheckBox(QStringLiteral("每次更新客户端配置"), group);
    m_updateBox->setObjectName(QStringLiteral("GengXin"));
    m_balloonBox = new QCheckBox(QStringLiteral("连接气球提示"), group);
    m_balloonBox->setObjectName(QStringLiteral("QiQiu"));
    m_applyButton = new QPushButton(QStringLiteral("确  定"), group);
    m_applyButton->setObjectName(QStringLiteral("QueDing"));
    // The site key is typed here and never shown back: the store holds only what is derived
    // from it.
    m_siteKeyBox = new QLineEdit(group);
    m_siteKeyBox->setObjectName(QStringLiteral("SiteKey"));
    m_siteKeyBox->setEchoMode(QLineEdit::Password);
    m_siteKeyBox->setToolTip(
        QStringLiteral("与客户端相同的站点密钥（长而随机）；设置后在服务器端口+1上开启加密通道"));
    m_clearSiteKeyBox = new QCheckBox(QStringLiteral("清除站点密钥"), group);
    m_clearSiteKeyBox->setObjectName(QStringLiteral("SiteKeyClear"));
    auto* keyLabel = new QLabel(QStringLiteral("站点密钥："), group);
    keyLabel->setBuddy(m_siteKeyBox);
    grid->addWidget(ipLabel, 0, 0);
    grid->addWidget(m_serverIpBox, 0, 1);
    grid->addWidget(portLabel, 0, 2);
    grid->addWidget(m_portBox, 0, 3);
    grid->addWidget(m_updateBox, 1, 0, 1, 2);
    grid->addWidget(m_balloonBox, 1, 2);
    grid->addWidget(keyLabel, 2, 0);
    grid->addWidget(m_siteKeyBox, 2, 1);
    grid->addWidget(m_clearSiteKeyBox, 2, 2);
    grid->addWidget(m_applyButton, 2, 3, Qt::AlignRight);
    layout->addWidget(group);

    m_tabs = new QTabWidget(central);
    m_tabs->setObjectName(QStringLiteral("Tabs"));
    m_clientList = MakeList(QStringLiteral("KhList"), m_tabs);
    ClientListModel* clients = m_server->clientModel();
    // When a selected workstation leaves, the view would select its neighbour (connected before
    // the view's own handlers so that the selection is seen before it moves); a switch picked
    // afterwards must not go to a workstation the administrator never chose.
    connect(clients, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex&, int first, int last) {
                const QModelIndexList rows = m_clientList->selectionModel()->selectedRows();
                m_selectionLeaving = std::any_of(rows.begin(), rows.end(), [&](const auto& row) {
                    return row.row() >= first && row.row() <= last;
                });
            });
    connect(clients, &QAbstractItemModel::rowsRemoved, this, [this] {
        if (std::exchange(m_selectionLeaving, false))
            m_clientList->selectionModel()->clear();
    });
    m_clientList->setModel(clients);
    // Many workstations at once: Ctrl/Shift-click and Ctrl+A.
    m_clientList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_clientList->setItemDelegate(new SwitchStateDelegate(m_clientList));
    m_clientList->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_clientList->horizontalHeader()->setDefaultSectionSize(kClientColumnWidth);
    m_clientList->horizontalHeader()->setResizeContentsPrecision(kClientFitRows);
    m_lineList = MakeList(QStringLiteral("DnsList"), m_tabs);
    m_lineList->setModel(m_lines->model());
    m_tabs->addTab(m_clientList, QStringLiteral("客户端机子"));
    m_tabs->addTab(m_lineList, QStringLiteral("网关、DNS配置"));
    m_lineLoad = new LineLoadModel(m_lines, clients, this);
    m_loadList = MakeList(QStringLiteral("XianLuTongJi"), m_tabs);
    m_loadList->setModel(m_lineLoad);
    m_loadList->setItemDelegate(new LineStateDelegate(m_loadList));
    // Health results come over the secure channel; the failover moves workstations through the
    // same bulk path as "整条线路切换".
    m_health = new LineHealthMonitor(m_lines, this);
    m_health->attach(m_server->secureHub());
    m_failover = new LineFailover(
        m_health, m_lines, [this](int entry) { return m_lineLoad->clientsOnLine(entry); },
        m_server->auditLog(), this);
    m_lineLoad->setHealth(m_health, m_failover);
    m_tabs->addTab(m_loadList, QStringLiteral("线路统计"));
    layout->addWidget(m_tabs, 1);
    setCentralWidget(central);

    // The cell editor is a sibling of the table laid over the edited cell.
    m_cellBox = new QLineEdit(central);
    m_cellBox->setObjectName(QStringLiteral("Text1"));
    m_cellBox->hide();
    m_cellEditor = new CellEditor(m_lineList, m_lines->model(), m_cellBox, this);

    auto* status = statusBar();
    status->setObjectName(QStringLiteral("ZhuangTai"));
    m_countPanel = new QLabel(status);
    m_countPanel->setObjectName(QStringLiteral("Panel1"));
    m_clockPanel = new QLabel(status);
    m_clockPanel->setObjectName(QStringLiteral("Panel2"));
    m_switchPanel = new QLabel(status);
    m_switchPanel->setObjectName(QStringLiteral("SwitchSummary"));
    m_resendButton = new QPushButton(QStringLiteral("重发失败"), status);
    m_resendButton->setObjectName(QStringLiteral("ResendButton"));
    m_resendButton->setFlat(true);
    m_resendButton->hide();
    m_auditButton = new QPushButton(QStringLiteral("切换记录"), status);
    m_auditButton->setObjectName(QStringLiteral("AuditLogButton"));
    m_auditButton->setFlat(true);
    status->addWidget(m_countPanel, 1);
    status->addPermanentWidget(m_switchPanel);
    status->addPermanentWidget(m_resendButton);
    status->addPermanentWidget(m_auditButton);
    status->addPermanentWidget(m_clockPanel);

    m_clockTimer = new QTimer(this);
    m_clockTimer->setObjectName(QStringLiteral("Timer1"));
    m_clockTimer->setInterval(kClockIntervalMs);

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

    connect(m_applyButton, &QPushButton::clicked, this, &FrMain::applySettings);
    connect(m_updateBox, &QCheckBox::toggled, m_server, &ServerController::setUpdateOption);
    connect(m_balloonBox, &QCheckBox::toggled, m_server, &ServerController::setBalloonOption);
    connect(m_tabs, &QTabWidget::currentChanged, this, &FrMain::onTabChanged);
    connect(m_clockTimer, &QTimer::timeout, this, &FrMain::updateClock);
    connect(m_cellEditor, &CellEditor::finished, this, [this] {
        autoSizeLineColumns();
        m_lines->rebuildLineMenu();
    });
    connect(m_lineMenu, &LineMenu::lineChosen, this, &FrMain::onLineChosen);
    connect(m_lineMenu, &LineMenu::moveLineChosen, this, &FrMain::moveLine);
    connect(m_lineMenu, &LineMenu::resendFailedChosen, this, &FrMain::resendFailed);
    connect(m_resendButton, &QPushButton::clicked, this, &FrMain::resendFailed);
    connect(m_auditButton, &QPushButton::clicked, this, &FrMain::showAuditLog);
    connect(m_lineMenu->popupMenu(), &QMenu::aboutToShow, this, [this] {
        for (int k = 0; k < m_lines->menuNames().size(); ++k)
            m_lineMenu->setMoveSourceEnabled(k, !m_lineLoad->clientsOnLine(k).isEmpty());
        m_lineMenu->resendAction()->setEnabled(m_server->switchTracker()->summary().failed > 0);
    });
    connect(m_clientList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        // The command goes to the connections selected when the menu opened: should a row
        // leave while the menu is open, the view would select its neighbour instead.
        m_menuTargets = selectedClientIds();
        m_lineMenu->popupMenu()->popup(m_clientList->viewport()->mapToGlobal(pos));
    });
    connect(m_lineMenu->popupMenu(), &QMenu::aboutToHide, this, [this] {
        // A chosen entry is handled right after the menu hides; then the targets are spent.
        QTimer::singleShot(0, this, [this] { m_menuTargets.reset(); });
    });
    connect(m_loadList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        const QModelIndex index = m_loadList->indexAt(pos);
        if (QMenu* menu = index.isValid() ? lineStatsMenu(index.row()) : nullptr)
            menu->popup(m_loadList->viewport()->mapToGlobal(pos));
    });
    connect(m_failover, &LineFailover::failedOver, this,
            [this](const QString& line, const QString& backup, int moved, int seconds) {
                const QString text =
                    QStringLiteral("自动切换：线路 %1 已故障 %2 秒，%3 台机子切换到 %4")
                        .arg(line, QString::number(seconds), QString::number(moved), backup);
                statusBar()->showMessage(text);
                showBalloon(text);
            });
    connect(m_lineList, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        // An edit in progress ends (text kept) before any command of the menu can run.
        m_cellEditor->end(true);
        m_tableMenu->popup(m_lineList->viewport()->mapToGlobal(pos));
    });
    auto* altF4 = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), this);
    connect(altF4, &QShortcut::activated, this, &QWidget::close);
}

void FrMain::connectControllers() {
    connect(m_server, &ServerController::message, this,
            [this](const QString& text) { showMessage(text); });
    connect(m_lines, &LineTableController::message, this,
            [this](const QString& text) { showMessage(text); });
    connect(m_server, &ServerController::balloon, this, &FrMain::showBalloon);
    connect(m_server, &ServerController::listeningChanged, this,
            [this] { m_serverIpBox->setText(m_server->serverAddress()); });
    connect(m_server->clientModel(), &ClientListModel::countChanged, this,
            [this](int) { setPanel1(clientCountText()); });
    connect(m_lines, &LineTableController::lineCountChanged, this, [this](int count) {
        autoSizeLineColumns();
        setPanel1(lineCountText(count));
    });
    connect(m_lines, &LineTableController::lineMenuRebuilt, this,
            [this] { m_lineMenu->build(m_lines->menuNames()); });
    // Every command goes through the tracker: rows show pending, confirmed or failed, and the
    // audit log records each with the line the row showed.
    m_lines->setSwitchTracker(m_server->switchTracker(), [this](ConnectionHub::ClientId id) {
        return m_server->clientModel()->lineNameAt(m_server->clientModel()->rowOf(id));
    });
    // A bulk command changes the summary thousands of times in one pass: shown once after it.
    m_summaryTimer = new QTimer(this);
    m_summaryTimer->setSingleShot(true);
    m_summaryTimer->setInterval(50);
    connect(m_summaryTimer, &QTimer::timeout, this, &FrMain::showSwitchSummary);
    connect(m_server->switchTracker(), &SwitchTracker::summaryChanged, m_summaryTimer,
            qOverload<>(&QTimer::start));
}

QMenu* FrMain::lineStatsMenu(int entry) {
    const QStringList names = m_lines->menuNames();
    if (entry < 0 || entry >= names.size())
        return nullptr; // the unknown row has no line to give a backup
    if (!m_statsMenu) {
        m_statsMenu = new QMenu(this);
        m_statsMenu->setObjectName(QStringLiteral("LineStatsMenu"));
    }
    m_statsMenu->clear();
    const QString line = names.at(entry);
    QMenu* backups = m_statsMenu->addMenu(QStringLiteral("备用线路"));
    backups->setObjectName(QStringLiteral("BackupLine"));
    const QString current = m_failover->backupOf(line);
    const auto addChoice = [&](const QString& caption, const QString& backup, const QString& name) {
        QString text = caption;
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction* action = backups->addAction(text);
        action->setObjectName(name);
        action->setCheckable(true);
        action->setChecked(backup == current);
        connect(action, &QAction::triggered, this,
                [this, line, backup] { m_failover->setBackup(line, backup); });
    };
    addChoice(QStringLiteral("无"), QString(), QStringLiteral("BackupNone"));
    for (int k = 0; k < names.size(); ++k) {
        if (k != entry)
            addChoice(names.at(k), names.at(k), QStringLiteral("Backup%1").arg(k + 1));
    }
    return m_statsMenu;
}

void FrMain::showSwitchSummary() {
    const SwitchTracker::Summary summary = m_server->switchTracker()->summary();
    m_switchPanel->setText(SwitchTracker::SummaryText(summary));
    m_resendButton->setVisible(summary.failed > 0);
}

QString FrMain::switchSummaryText() const {
    return m_switchPanel->text();
}

void FrMain::moveLine(int fromEntry, int toEntry) {
    m_lines->switchClients(toEntry, m_lineLoad->clientsOnLine(fromEntry));
}

int FrMain::resendFailed() {
    return m_server->switchTracker()->resendFailed();
}

void FrMain::showAuditLog() {
    if (!m_auditDialog) {
        m_auditDialog = new QDialog(this);
        m_auditDialog->setObjectName(QStringLiteral("AuditLogDialog"));
        m_auditDialog->setWindowTitle(QStringLiteral("切换记录"));
        m_auditDialog->resize(720, 420);
        auto* layout = new QVBoxLayout(m_auditDialog);
        m_auditView = new QPlainTextEdit(m_auditDialog);
        m_auditView->setObjectName(QStringLiteral("AuditLogText"));
        m_auditView->setReadOnly(true);
        m_auditView->setLineWrapMode(QPlainTextEdit::NoWrap);
        layout->addWidget(m_auditView);
        connect(m_server->auditLog(), &AuditLog::appended, m_auditDialog, [this] {
            if (m_auditDialog->isVisible() && !m_auditRefresh->isActive())
                m_auditRefresh->start();
        });
        m_auditRefresh = new QTimer(m_auditDialog);
        m_auditRefresh->setSingleShot(true);
        m_auditRefresh->setInterval(300);
        connect(m_auditRefresh, &QTimer::timeout, this, &FrMain::refreshAuditLog);
    }
    refreshAuditLog();
    m_auditDialog->show();
    m_auditDialog->raise();
}

void FrMain::refreshAuditLog() {
    m_auditView->setPlainText(m_server->auditLog()->tail(kAuditLogLines).join(QLatin1Char('\n')));
    m_auditView->moveCursor(QTextCursor::End);
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
            m_clockTimer->stop();
            showMessage(QStringLiteral("程序已经运行"));
            return false;
        }
    }
    m_primary = true;

    setPanel1(QStringLiteral("目前共有 0 台客户端连接"));
    updateClock();
    m_lines->load();
    FlattenHeader(m_clientList);
    FlattenHeader(m_lineList);
    m_tabs->setCurrentIndex(0);
    onTabChanged(m_tabs->currentIndex());
    setWindowTitle(kTitle);

    m_server->loadSettings();
    m_updateBox->setChecked(m_server->settings().updateOn());
    m_balloonBox->setChecked(m_server->settings().balloonOn());
    m_portBox->setText(m_server->settings().port);
    m_health->setStaleAfter(ServerSettings::HealthStaleSeconds() * 1000);
    m_failover->setFailoverAfter(ServerSettings::FailoverSeconds() * 1000);
    showSiteKeyState();
    m_server->startListening();

    m_cellBox->hide();
    ShowTrayIcon(this, kTitle, QString(), 0, kBalloonTimeoutMs);
    m_clockTimer->start();
    if (m_options.showWindow) {
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
        show();
        widenToClientHeaders();
    }
    return true;
}

void FrMain::applySettings() {
    std::optional<QString> siteKeyText;
    if (m_clearSiteKeyBox->isChecked())
        siteKeyText = QString();
    else if (!m_siteKeyBox->text().isEmpty())
        siteKeyText = m_siteKeyBox->text();
    const ServerController::ApplyResult result = m_server->applySettings(
        m_portBox->text(), m_updateBox->isChecked(), m_balloonBox->isChecked(), siteKeyText);
    if (result != ServerController::ApplyResult::Applied) {
        m_portBox->setFocus();
        return;
    }
    showSiteKeyState();
}

void FrMain::showSiteKeyState() {
    m_siteKeyBox->clear();
    m_clearSiteKeyBox->setChecked(false);
    m_siteKeyBox->setPlaceholderText(m_server->settings().siteKeyBytes().isEmpty()
                                         ? QStringLiteral("未设置")
                                         : QStringLiteral("已设置，留空不变"));
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
        setPanel1(lineCountText(m_lines->model()->rowCount()));
        autoSizeLineColumns();
    } else if (index == 2) {
        m_cellEditor->end(true);
        m_currentTab = 3;
        setPanel1(clientCountText());
        m_lineLoad->recount();
    }
}

void FrMain::updateClock() {
    setPanel1(m_currentTab == 2 ? lineCountText(m_lines->model()->rowCount()) : clientCountText());
    m_clockPanel->setText(ClockText(QDateTime::currentDateTime(), QLocale::system()));
}

QString FrMain::ClockText(const QDateTime& now, const QLocale& locale) {
    // The short date with the long time: a clock that ticks every second shows the seconds
    // (most locales' short time has none), without the long time's zone name.
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b\\s*"));
    const QString time = locale.timeFormat(QLocale::LongFormat).replace(zone, QStringLiteral(" "));
    return locale.toString(now, locale.dateFormat(QLocale::ShortFormat) + QLatin1Char(' ') +
                                    time.trimmed());
}

void FrMain::rebuildLineMenu() {
    m_lines->rebuildLineMenu();
}

QList<ConnectionHub::ClientId> FrMain::selectedClientIds() const {
    QList<ConnectionHub::ClientId> ids;
    const QModelIndexList rows = m_clientList->selectionModel()->selectedRows();
    for (const QModelIndex& row : rows) {
        if (const ConnectionHub::ClientId id = m_server->clientModel()->clientIdAt(row.row()))
            ids.append(id);
    }
    return ids;
}

void FrMain::onLineChosen(int entry) {
    // A row belongs to one connection: the command goes to those connections alone, and only
    // while they are connected.
    const QList<ConnectionHub::ClientId> ids =
        m_menuTargets ? *std::exchange(m_menuTargets, std::nullopt) : selectedClientIds();
    m_lines->switchClients(entry, ids);
}

void FrMain::addLine() {
    m_cellEditor->end(true);
    m_lines->addLine();
}

void FrMain::deleteLine() {
    m_cellEditor->end(true);
    const QModelIndexList rows = m_lineList->selectionModel()->selectedRows();
    // No selected row: nothing to delete, the table stays as it is.
    m_lines->deleteLine(rows.isEmpty() ? -1 : rows.first().row());
}

void FrMain::saveTable() {
    m_cellEditor->end(true);
    m_lines->saveTable();
}

void FrMain::refreshTable() {
    m_cellEditor->end(true);
    m_lines->refreshTable();
    autoSizeLineColumns();
}

void FrMain::autoSizeLineColumns() {
    m_lineList->resizeColumnsToContents();
}

void FrMain::widenToClientHeaders() {
    // The layout's own first size clips the last header: the window grows by what is missing,
    // keeping room for the vertical scrollbar that many clients bring.
    QHeaderView* header = m_clientList->horizontalHeader();
    const int last = header->count() - 1;
    if (last < 0)
        return;
    int needed = std::max(header->sectionSize(last), header->sectionSizeHint(last));
    for (int column = 0; column < last; ++column)
        needed += header->sectionSize(column);
    if (!m_clientList->verticalScrollBar()->isVisible())
        needed += m_clientList->verticalScrollBar()->sizeHint().width();
    const int missing = needed - m_clientList->viewport()->width();
    if (missing > 0)
        resize(width() + missing, height());
}

void FrMain::autoSizeClientColumns() {
    // Runs on a tab switch, not on every change; a hidden list would be measured over all its
    // rows, and the header's precision caps how many rows a fit may look at.
    if (!m_clientList->isVisible())
        return;
    m_clientList->resizeColumnsToContents();
    // A fit gives the last column its content width and so ends its stretch; it stretches again
    // over the room left, unless that would cut its contents.
    QHeaderView* header = m_clientList->horizontalHeader();
    const int last = header->count() - 1;
    if (last < 0)
        return;
    const int fitted = header->sectionSize(last);
    header->setStretchLastSection(false);
    header->setStretchLastSection(true);
    if (header->sectionSize(last) < fitted) {
        header->setStretchLastSection(false);
        header->resizeSection(last, fitted);
    }
}

QString FrMain::lineFilePath() const {
    return m_lines->lineFilePath();
}

quint16 FrMain::lastListenPort() const {
    return m_server->lastListenPort();
}

bool FrMain::lastListenSucceeded() const {
    return m_server->lastListenSucceeded();
}

QString FrMain::clientCountText() const {
    return QStringLiteral("目前共有 %1 台客户端连接").arg(m_server->clientModel()->clientCount());
}

QString FrMain::lineCountText(int count) const {
    return QStringLiteral("目前共有 %1 个配置").arg(count);
}

void FrMain::setPanel1(const QString& text) {
    m_countPanel->setText(text);
}

QString FrMain::statusText(int panel) const {
    return panel == 1 ? m_countPanel->text() : panel == 2 ? m_clockPanel->text() : QString();
}

void FrMain::showMessage(const QString& text, QMessageBox::Icon icon) {
    if (m_options.messageHook) {
        m_options.messageHook(kMessageTitle, text, icon);
        return;
    }
    QMessageBox box(icon, kMessageTitle, text, QMessageBox::Ok, isVisible() ? this : nullptr);
    box.exec();
}

void FrMain::showBalloon(const QString& text) {
    ShowTrayIcon(this, kTitle, text, 1, kBalloonTimeoutMs);
}

void FrMain::shutdown() {
    if (m_shutDown || !m_primary)
        return;
    m_shutDown = true;
    m_clockTimer->stop();
    if (m_cellEditor)
        m_cellEditor->end(false);
    RemoveTrayIcon(this);
    m_server->stop();
}

void FrMain::closeEvent(QCloseEvent* event) {
    shutdown();
    event->accept();
    emit closed();
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
