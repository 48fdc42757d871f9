#pragma once

#include "client/adapter/networkadapter.h"
#include "client/clientcontext.h"
#include "common/lineentry.h"

#include <QList>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace torvane {
class SingleInstanceGuard;
}

namespace torvane::client {

class FrMainContext;
class ServerLink;

// What the last adapter inspection found (empty at start).
struct AdapterSnapshot {
    QString hostName;
    QString primaryDns;
    QString secondaryDns;
    QString localIp;
    QString subnetMask;
    QString gateway;
};

// How the main window is built; the defaults are those of the program.
struct FrMainOptions {
    bool useInstanceGuard = true;
    std::unique_ptr<NetworkAdapter> adapter; // null: the adapter of this OS
    QString programDir;                      // empty: the executable's folder
    QString autostartFolder;                 // empty: /etc/xdg/autostart
    // Replaces the message boxes (title, text) so that tests can see them.
    std::function<void(const QString&, const QString&)> messageHook;
};

// The Client's main window: the line list, the adapter's current settings, the switch, the
// settings and password buttons, and the link to the server.
class FrMain : public QWidget {
    Q_OBJECT
public:
    explicit FrMain(FrMainOptions options = {}, QWidget* parent = nullptr);
    ~FrMain() override;

    // The start-up sequence; false when another copy runs (this copy has said so and must end).
    bool start();

    void reloadLineList();   // clear WgList, load MainConfig.dat, find the current line
    void runSwitch();        // apply SelectedLine (the QhOk click)
    void inspectAdapter();   // read the adapter into the six labels
    void findCurrentLine();  // the current-line label and CurrentLineName
    void sendStatusReport(); // only while connected
    void reconnect();        // close the link and connect to FwqIp:FwqDk again
    void handleServerMessage(const QByteArray& message);

    ClientContext& context();
    ClientSettings& settings() { return m_settings; }
    SelectedLine& selectedLine() { return m_selectedLine; }
    const QList<LineEntry>& lineList() const { return m_lineList; }
    const QString& currentLineName() const { return m_currentLineName; }
    const AdapterSnapshot& adapterSnapshot() const { return m_snapshot; }
    QString lineFilePath() const;
    QString autostartFolder() const;
    bool isPrimaryInstance() const { return m_isPrimaryInstance; }
    bool serverConnected() const;
    ServerLink& link() { return *m_link; }

    static QString SupportGroup();

signals:
    void lineListReloaded();
    void closed(); // the window was closed: the program ends
    void switchFinished(bool ok);

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    bool checkSingleInstance();
    void readSettings();
    void passwordStep();
    void applyDefaults();
    void onPick(int row);
    void onSettingsClicked();
    void onPasswordClicked();
    void onSecondInstance();
    void applyLineListUpdate(const QByteArray& fileBytes);
    void applySwitchCommand(const QString& gateway, const QString& primaryDns,
                            const QString& secondaryDns, int pieceCount);
    void showMessage(const QString& title, const QString& text);

    FrMainOptions m_options;
    std::unique_ptr<NetworkAdapter> m_adapter;
    FrMainContext* m_context = nullptr;
    ServerLink* m_link = nullptr;
    SingleInstanceGuard* m_guard = nullptr;

    ClientSettings m_settings;
    SelectedLine m_selectedLine;
    QList<LineEntry> m_lineList;
    QString m_currentLineName;
    AdapterSnapshot m_snapshot;
    bool m_isPrimaryInstance = false;
    bool m_switching = false;
    bool m_switchAgain = false;

    QGroupBox* m_frame1 = nullptr;
    QListWidget* m_wgList = nullptr;
    QPushButton* m_qhOk = nullptr;
    QCheckBox* m_xgOkClose = nullptr;
    QPushButton* m_szOk = nullptr;
    QPushButton* m_glMm = nullptr;
    QPushButton* m_closeOk = nullptr;
    QLabel* m_xuanZe = nullptr;
    QLabel* m_jsjName = nullptr;
    QLabel* m_bjIp = nullptr;
    QLabel* m_zwYm = nullptr;
    QLabel* m_wgIp = nullptr;
    QLabel* m_frDns = nullptr;
    QLabel* m_seDns = nullptr;
};

} // namespace torvane::client
