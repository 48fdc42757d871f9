#pragma once

#include "client/clientstate.h"
#include "client/linelist.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QCheckBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QMessageBox;
class QPushButton;

namespace torvane::client {

class ClientController;

// How the main window is built; the defaults are those of the program.
struct FrMainOptions {
    // Replaces the message boxes (title, text) so that tests can see them.
    std::function<void(const QString&, const QString&)> messageHook;
};

// The Client's main window: shows the line list, the adapter's current settings and the line in
// use as the controller reports them, and hands the user's picks and clicks to the controller.
// It also keeps the notification icon and hides there when minimised.
class FrMain : public QWidget {
    Q_OBJECT
public:
    explicit FrMain(ClientController& controller, FrMainOptions options = {},
                    QWidget* parent = nullptr);
    ~FrMain() override;

    // Runs the controller's start-up, then shows the icon and hides the window in the
    // notification area; false when another copy runs (this copy has said so and must end).
    bool start();

    ClientController& controller() { return m_controller; }

signals:
    void closed(); // the window was closed: the program ends

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void buildControls();
    void connectController();
    void showLineList();
    void showAdapter(const AdapterSnapshot& snapshot);
    void showCurrentLine(const CurrentLine& current);
    void onSwitchFinished(bool ok);
    void onSettingsClicked();
    void onPasswordClicked();
    void showMessage(const QString& title, const QString& text);
    void showSwitchFailure(const QString& text);

    ClientController& m_controller;
    FrMainOptions m_options;

    QGroupBox* m_lineFrame = nullptr;
    QListWidget* m_lineListView = nullptr;
    QPushButton* m_switchButton = nullptr;
    QCheckBox* m_minimizeAfterSwitch = nullptr;
    QPushButton* m_settingsButton = nullptr;
    QPushButton* m_passwordButton = nullptr;
    QPushButton* m_exitButton = nullptr;
    QLabel* m_currentLineLabel = nullptr;
    QLabel* m_hostNameLabel = nullptr;
    QLabel* m_localIpLabel = nullptr;
    QLabel* m_maskLabel = nullptr;
    QLabel* m_gatewayLabel = nullptr;
    QLabel* m_primaryDnsLabel = nullptr;
    QLabel* m_secondaryDnsLabel = nullptr;
    // The one box of failed switches; a newer failure replaces its text.
    QPointer<QMessageBox> m_switchFailureBox;
};

} // namespace torvane::client
