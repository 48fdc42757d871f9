#pragma once

#include "server/connectionhub.h"

#include <QMainWindow>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <optional>

class QCheckBox;
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
class LineMenu;
class LineTableModel;
struct SwitchEntry;

// Where the window's message boxes go. Tests set it to capture them instead of blocking.
using MessageHook =
    std::function<void(const QString& title, const QString& text, QMessageBox::Icon icon)>;

struct FrMainOptions {
    bool singleInstance = true; // false: skip the "Torvane服" guard (tests host several windows)
    QString programDirectory;   // where MainConfig.dat lives; empty: the executable's folder
    MessageHook messageHook;    // empty: modal QMessageBox
    bool showWindow = true;     // false: start() leaves the window hidden
};

// The Server's main window. Usage: construct, then start() runs the start sequence (single
// instance check, line table, line menu, settings, listening, tray icon, show); it returns false
// for a second copy, which has shown "程序已经运行" and must end. Closing the window runs the end
// sequence (tray icon removed, every connection and the listener closed).
//
// Child widgets carry the control names as objectName: FwqIp, FwqDk, GengXin, QiQiu, QueDing,
// Tabs, KhList, DnsList, Text1 (cell editor), ZhuangTai (status bar; its panels Panel1, Panel2),
// Timer1; the pop-up menus FrMenu1 (Qih "切换到", entries XianLu1..n) and FrMenu2 (ZengJia,
// ShanChu, MenuLine2, BaoCun, ShuaXin). The public slots below are what those controls run.
class FrMain : public QMainWindow {
    Q_OBJECT
public:
    explicit FrMain(FrMainOptions options = {}, QWidget* parent = nullptr);
    ~FrMain() override;

    bool start();
    void shutdown(); // the end sequence; runs once, also from closeEvent

    ConnectionHub* hub() const { return m_hub; }
    ClientListModel* clientModel() const { return m_clientModel; }
    LineTableModel* lineTable() const { return m_lineTable; }
    LineMenu* lineMenu() const { return m_lineMenu; }
    CellEditor* cellEditor() const { return m_cellEditor; }
    QMenu* tableMenu() const { return m_tableMenu; } // FrMenu2

    QString programDirectory() const { return m_programDir; }
    QString lineFilePath() const;
    QString statusText(int panel) const;            // panel 1 or 2
    int currentTab() const { return m_currentTab; } // 1 client list, 2 line table
    bool isPrimaryInstance() const { return m_primary; }
    // In-memory settings as text ("1"/"0" for the options).
    QString portSetting() const { return m_portSetting; }
    QString updateOption() const { return m_updateOption; }
    QString balloonOption() const { return m_balloonOption; }
    // The port of the last listen attempt (0: none, e.g. an unusable stored port) and its outcome.
    quint16 lastListenPort() const { return m_lastListenPort; }
    bool lastListenSucceeded() const { return m_lastListenOk; }
    // Status panel 2: the date and time in the locale's general format.
    static QString ClockText(const QDateTime& now, const QLocale& locale);

public slots:
    void applySettings(); // QueDing
    void addLine();       // ZengJia
    void deleteLine();    // ShanChu: the selected row; none selected leaves the table as it is
    void saveTable();     // BaoCun
    void refreshTable();  // ShuaXin
    void BuildLineMenu();
    void updateClock(); // Timer1

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildUi();
    void showMessage(const QString& text, QMessageBox::Icon icon = QMessageBox::Information);
    void onTabChanged(int index);
    void onLineChosen(const SwitchEntry& entry);
    ConnectionHub::ClientId selectedClientId() const;
    void readSettings();
    void startListening();
    void autoSizeLineColumns();
    void autoSizeClientColumns();
    QString clientCountText() const;
    QString lineCountText() const;
    void setPanel1(const QString& text);

    FrMainOptions m_options;
    QString m_programDir;
    SingleInstanceGuard* m_guard = nullptr;
    bool m_primary = false;
    bool m_started = false;
    bool m_shutDown = false;
    int m_currentTab = 1;
    QString m_portSetting;
    QString m_updateOption;
    QString m_balloonOption;
    quint16 m_lastListenPort = 0;
    bool m_lastListenOk = false;

    ConnectionHub* m_hub = nullptr;
    ClientListModel* m_clientModel = nullptr;
    LineTableModel* m_lineTable = nullptr;
    LineMenu* m_lineMenu = nullptr;
    std::optional<ConnectionHub::ClientId> m_menuTarget; // row selected when the menu opened
    bool m_selectionLeaving = false;                     // the selected client row is being removed
    CellEditor* m_cellEditor = nullptr;

    QLineEdit* m_fwqIp = nullptr;
    QLineEdit* m_fwqDk = nullptr;
    QCheckBox* m_gengXin = nullptr;
    QCheckBox* m_qiQiu = nullptr;
    QPushButton* m_queDing = nullptr;
    QTabWidget* m_tabs = nullptr;
    QTableView* m_khList = nullptr;
    QTableView* m_dnsList = nullptr;
    QLineEdit* m_text1 = nullptr;
    QLabel* m_panel1 = nullptr;
    QLabel* m_panel2 = nullptr;
    QTimer* m_timer1 = nullptr;
    QMenu* m_tableMenu = nullptr;
};

} // namespace torvane::server
