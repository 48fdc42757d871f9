#pragma once

#include "server/connectionhub.h"

#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

class QCheckBox;
class QDialog;
class QPlainTextEdit;
class QDateTime;
class QLabel;
class QLineEdit;
class QLocale;
class QMenu;
class QPushButton;
class QTabWidget;
class QTableView;
class QTimer;

namespace torvane {
class SingleInstanceGuard;
}

namespace torvane::server {

class CellEditor;
class ClientListModel;
class LineFailover;
class LineHealthMonitor;
class LineLoadModel;
class LineMenu;
class LineTableController;
class LineTableModel;
class ServerController;

// Where the window's message boxes go. Tests set it to capture them instead of blocking.
using MessageHook =
    std::function<void(const QString& title, const QString& text, QMessageBox::Icon icon)>;

struct FrMainOptions {
    bool singleInstance = true; // false: skip the "Torvane服" guard (tests host several windows)
    QString programDirectory;   // where MainConfig.dat lives; empty: the executable's folder
    MessageHook messageHook;    // empty: modal QMessageBox
    bool showWindow = true;     // false: start() leaves the window hidden
};

// The Server's main window over its two controllers: it assembles the widgets, shows what the
// controllers say (messages, balloons, counts) and forwards the administrator's intents. Usage:
// construct, then start() runs the start sequence (single instance check, line table and menu,
// settings and listening, tray icon, show); it returns false for a second copy, which has shown
// "程序已经运行" and must end. Closing the window runs the end sequence (tray icon removed,
// every connection and the listener closed).
//
// Child widgets carry the control names as objectName: FwqIp, FwqDk, GengXin, QiQiu, QueDing,
// Tabs, KhList, DnsList, Text1 (cell editor), ZhuangTai (status bar; its panels Panel1, Panel2),
// Timer1; the pop-up menus FrMenu1 (Qih "切换到", entries XianLu1..n) and FrMenu2 (ZengJia,
// ShanChu, MenuLine2, BaoCun, ShuaXin). The public slots below are what those controls run.
class FrMain : public QMainWindow {
    Q_OBJECT
public:
    // Makes its own controllers over options.programDirectory.
    explicit FrMain(FrMainOptions options = {}, QWidget* parent = nullptr);
    // Over controllers made by the caller, which must outlive the window; programDirectory is
    // not used.
    FrMain(ServerController* server, LineTableController* lines, FrMainOptions options = {},
           QWidget* parent = nullptr);
    ~FrMain() override;

    bool start();
    void shutdown(); // the end sequence; runs once, also from closeEvent

    ServerController* serverController() const { return m_server; }
    LineTableController* lineController() const { return m_lines; }
    ConnectionHub* hub() const;
    ClientListModel* clientModel() const;
    LineTableModel* lineTable() const;
    LineMenu* lineMenu() const { return m_lineMenu; }
    CellEditor* cellEditor() const { return m_cellEditor; }
    QMenu* tableMenu() const { return m_tableMenu; } // FrMenu2

    QString lineFilePath() const;
    QString statusText(int panel) const;            // panel 1 or 2
    int currentTab() const { return m_currentTab; } // 1 client list, 2 line table, 3 line load
    LineLoadModel* lineLoad() const { return m_lineLoad; }
    LineHealthMonitor* lineHealth() const { return m_health; }
    LineFailover* failover() const { return m_failover; }
    // The "线路统计" tab's pop-up menu for the line in row `entry`: "备用线路" → "无" and the
    // other lines. Built when asked for; the window pops it up on a right click.
    QMenu* lineStatsMenu(int entry);
    // "切换中 N 台，已完成 M 台，失败 K 台" as the status bar shows it.
    QString switchSummaryText() const;
    bool isPrimaryInstance() const { return m_primary; }
    quint16 lastListenPort() const;
    bool lastListenSucceeded() const;
    // Status panel 2: the date and time in the locale's general format.
    static QString ClockText(const QDateTime& now, const QLocale& locale);

public slots:
    void applySettings(); // QueDing
    void showSiteKeyState();
    void addLine();      // ZengJia
    void deleteLine();   // ShanChu: the selected row; none selected leaves the table as it is
    void saveTable();    // BaoCun
    void refreshTable(); // ShuaXin
    void rebuildLineMenu();
    void updateClock(); // Timer1
    // Every workstation now on menu entry fromEntry gets the command for entry toEntry.
    void moveLine(int fromEntry, int toEntry);
    int resendFailed();
    void showAuditLog();

signals:
    // The window was closed (also from the tray menu while hidden): the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildUi();
    void connectControllers();
    void showMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::Information);
    void showBalloon(const QString& text);
    void onTabChanged(int index);
    void onLineChosen(int entry);
    QList<ConnectionHub::ClientId> selectedClientIds() const;
    void autoSizeLineColumns();
    void autoSizeClientColumns();
    void widenToClientHeaders();
    QString clientCountText() const;
    QString lineCountText(int count) const;
    void setPanel1(const QString& text);
    void showSwitchSummary();
    void refreshAuditLog();

    FrMainOptions m_options;
    ServerController* m_server = nullptr;
    LineTableController* m_lines = nullptr;
    SingleInstanceGuard* m_guard = nullptr;
    bool m_primary = false;
    bool m_started = false;
    bool m_shutDown = false;
    int m_currentTab = 1;

    LineMenu* m_lineMenu = nullptr;
    // The rows selected when the line menu opened: a pick goes to them even if the view's
    // selection moved meanwhile.
    std::optional<QList<ConnectionHub::ClientId>> m_menuTargets;
    bool m_selectionLeaving = false; // a selected client row is being removed
    CellEditor* m_cellEditor = nullptr;

    QLineEdit* m_serverIpBox = nullptr;   // FwqIp
    QLineEdit* m_portBox = nullptr;       // FwqDk
    QCheckBox* m_updateBox = nullptr;     // GengXin
    QCheckBox* m_balloonBox = nullptr;    // QiQiu
    QPushButton* m_applyButton = nullptr; // QueDing
    QLineEdit* m_siteKeyBox = nullptr;    // typed, masked, never shown back
    QCheckBox* m_clearSiteKeyBox = nullptr;
    QTabWidget* m_tabs = nullptr;
    QTableView* m_clientList = nullptr; // KhList
    QTableView* m_lineList = nullptr;   // DnsList
    QLineEdit* m_cellBox = nullptr;     // Text1
    QLabel* m_countPanel = nullptr;     // Panel1
    QLabel* m_clockPanel = nullptr;     // Panel2
    QTimer* m_clockTimer = nullptr;     // Timer1
    QTableView* m_loadList = nullptr;   // XianLuTongJi
    LineLoadModel* m_lineLoad = nullptr;
    LineHealthMonitor* m_health = nullptr;
    LineFailover* m_failover = nullptr;
    QMenu* m_statsMenu = nullptr;
    QLabel* m_switchPanel = nullptr;
    QPushButton* m_resendButton = nullptr;
    QPushButton* m_auditButton = nullptr;
    QTimer* m_summaryTimer = nullptr;
    QDialog* m_auditDialog = nullptr;
    QPlainTextEdit* m_auditView = nullptr;
    QTimer* m_auditRefresh = nullptr;
    QMenu* m_tableMenu = nullptr; // FrMenu2
};

} // namespace torvane::server
