#pragma once

#include "client/adapter/networkadapter.h"
#include "client/autostart.h"
#include "client/clientcontext.h"
#include "client/clientsettings.h"
#include "client/clientstate.h"
#include "client/linelist.h"
#include "client/lineprober.h"
#include "client/linewatch.h"
#include "common/lineentry.h"
#include "common/linehealth.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

class QTimer;

namespace torvane {
class SingleInstanceGuard;
}

namespace torvane::client {

class ServerLink;

// How the controller is built; the defaults are those of the program.
struct ClientControllerOptions {
    bool useInstanceGuard = true;
    std::unique_ptr<NetworkAdapter> adapter; // null: the backend the factory picks
    std::unique_ptr<Autostart> autostart;    // null: the entry of this OS
    QString programDir;  // empty: the executable's folder; the line file is there or where the
                         // installation put it
    QString programPath; // empty: the executable (for the autostart entry)
    // Least time from the end of one switch to the start of the next. Requests made meanwhile
    // wait and replace each other, so a storm of commands moves the routes a few times, not
    // once per command.
    int switchSpacingMs = 500;
    // Quiet time after the adapter reports an outside change before it is read again.
    int outsideChangeSettleMs = 150;
    // The line checks of the secure channel (health reports, the check after a switch).
    std::unique_ptr<LineProber> prober; // null: the real probes of this system
    int lineCheckSecondMs = 1000;       // one second of their settings; tests make it shorter
};

// The Client without its windows: owns the settings, the line list, the adapter backend and the
// server link; runs the start-up sequence and the switch, handles the server's messages, and
// tells the windows what changed. The windows render that and forward what the user does.
class ClientController : public ClientContext {
    Q_OBJECT
public:
    explicit ClientController(ClientControllerOptions options = {}, QObject* parent = nullptr);
    ~ClientController() override;

    // The start-up sequence: the single-instance check, line list, adapter, current line,
    // settings, password step, first connection, defaults. False when another copy runs: this
    // copy has asked for its message and must end.
    bool start();
    // The program ends: the link closes for good.
    void shutdown();

    const AdapterSnapshot& adapterSnapshot() const { return m_snapshot; }
    const SelectedLine& selectedLine() const { return m_selectedLine; }
    const CurrentLine& currentLine() const { return m_currentLine; }
    const QString& currentLineName() const { return m_currentLine.name; }
    QString lineFilePath() const;
    bool isPrimaryInstance() const { return m_isPrimaryInstance; }
    bool serverConnected() const;
    // A switch is being applied (its report follows when it ends).
    bool switchRunning() const { return m_switching; }
    ServerLink& link() { return *m_link; }
    NetworkAdapter& adapter() { return *m_adapter; }
    LineWatch& lineWatch() { return *m_lineWatch; }

    // A line of the list picked: its fields are what the next switch applies.
    void pickLine(int index);
    void selectLine(const SelectedLine& line);
    // Applies the selected line (the user's 开始切换); nothing without gateway or primary DNS.
    // While a switch runs, and for the spacing after it, the request waits; a later one
    // replaces it.
    // Who asked for a switch, for the switch log. Rollback: the Client itself, going back from
    // a line that failed its checks after a switch (a rollback is never checked in its turn).
    enum class SwitchSource { User, Server, Rollback };
    void runSwitch(SwitchSource source = SwitchSource::User);
    // Drops the link and connects to FwqIp:FwqDk again.
    void reconnect();
    void handleServerMessage(const QByteArray& message);
    // Reads the adapter; a failure is shown in a message box unless quiet.
    void inspectAdapter(bool quiet = false);
    // Reloads MainConfig.dat and looks up the current line.
    void reloadLineList();

    // "程序错误N…": the support group when one is set, otherwise the administrator.
    static QString ProgramErrorText(int number);
    // The words the user reads for a failed switch, by the backend's reason.
    static QString SwitchFailureText(SwitchFailure failure);

    // ClientContext
    QList<LineEntry> lineList() const override { return m_lineList; }
    LineChange addLine(const LineEntry& entry) override;
    LineChange modifyLine(const LineEntry& stored, const LineEntry& changed) override;
    LineChange deleteLine(const LineEntry& stored) override;
    const ClientSettings& settings() const override { return m_settings; }
    ServerSettingsCheck applyServerSettings(const ServerSettingsInput& input) override;
    bool adminUnlocked() const override { return m_adminUnlocked; }
    bool unlock(const QString& typedPassword) override;
    bool changePassword(const QString& typedOld, const QString& typedNew) override;

signals:
    void adapterSnapshotChanged(const torvane::client::AdapterSnapshot& snapshot);
    void currentLineChanged(const torvane::client::CurrentLine& current);
    void switchStarted();
    // ok: every step was accepted; otherwise reason says why. The report has been sent.
    void switchFinished(bool ok, const QString& reason);
    // A message box for the user (title, text).
    void messageRequested(const QString& title, const QString& text);
    // A switch failed; text says why in the user's words. Commanded switches may fail in a row,
    // so the window keeps one box for these and lets a newer failure replace the text.
    void switchFailed(const QString& text);
    // A balloon on the notification icon (tip and title, text, icon: 0 none, 1 information).
    void balloonRequested(const QString& tip, const QString& text, int icon);

private:
    bool claimInstance();
    void passwordStep();
    void applyStartupDefaults();
    void findCurrentLine();
    void sendStatusReport();
    void startSwitch(const AdapterSettings& settings, SwitchSource source);
    void onSwitchFinished(const SwitchOutcome& outcome);
    void refreshAfterOutsideChange();
    void startPendingSwitch();
    void applyLineListUpdate(const QByteArray& fileBytes);
    bool switchCommandAllowed(const QString& gateway, const QString& primaryDns) const;
    void applySwitchCommand(const QString& gateway, const QString& primaryDns,
                            const QString& secondaryDns, int pieceCount);
    LineChange finishLineChange(bool saved);
    bool siteKeySet() const;
    void onLinkConnected();
    void sendHealth(const LineWatch::Target& line, const ProbeResult& result);
    void checkNewLine();
    void rollBack(const LineWatch::Target& tried, const ProbeResult& last);
    void sendPendingRollback();
    void saveSetting(ClientSettings::Key key);

    QString m_programDir;
    QString m_lineFilePath; // beside the program, or where its installation put it
    QString m_programPath;
    bool m_useInstanceGuard = true;
    std::unique_ptr<NetworkAdapter> m_adapter;
    std::unique_ptr<Autostart> m_autostart;
    ServerLink* m_link = nullptr;
    SingleInstanceGuard* m_guard = nullptr;
    QTimer* m_switchSpacing = nullptr;
    QTimer* m_outsideChangeSettle = nullptr;

    ClientSettings m_settings;
    bool m_adminUnlocked = false;
    QList<LineEntry> m_lineList;
    CurrentLine m_currentLine;
    AdapterSnapshot m_snapshot;
    SelectedLine m_selectedLine;
    bool m_isPrimaryInstance = false;
    bool m_switching = false;
    std::optional<std::pair<AdapterSettings, SwitchSource>> m_pendingSwitch;
    // The switch that runs, for the switch log: who asked, from what, to what.
    SwitchSource m_switchSource = SwitchSource::User;
    AdapterSettings m_switchTarget;
    QString m_switchFrom;
    // What was in force when the switch started, for a rollback.
    AdapterSettings m_switchPrevious;
    QString m_switchPreviousName;

    // The line checks: health reports while the secure link is up, and after a switch the way
    // back should the new line not work.
    LineWatch* m_lineWatch = nullptr;
    struct WayBack {
        AdapterSettings previous;
        QString previousName;
        QString triedName;
    };
    std::optional<WayBack> m_wayBack;
    // A rollback report the link could not take yet; it goes on the next connection.
    std::optional<RollbackReport> m_unsentRollback;
    std::optional<RollbackReport> m_rollbackReport; // of the way back being taken
    // What the user is told once the rollback's switch has ended.
    QString m_rollbackNotice;
};

} // namespace torvane::client
