#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QMenu;
class QWidget;

namespace torvane {

// The notification icon of a main window: added on the first ShowTrayIcon, modified on later
// calls, removed by RemoveTrayIcon; a double click restores the window to normal and shows it.
// Its context menu offers "显示主窗口" (the same) and "退出" (closes the window).
// balloonIcon: 0 none, 1 information. The balloon title is the tip text.
void ShowTrayIcon(QWidget* window, const QString& tip, const QString& balloonText, int balloonIcon,
                  int timeoutMs);
void RemoveTrayIcon(QWidget* window);
// A click on the icon (callable by tests, where no icon can be clicked). A double click restores
// the window to normal and shows it. Some trays (the D-Bus ones of many desktops) never report a
// double click: a single click that no double click follows within the double-click interval
// does the same, until the icon has reported a double click once; from then on the tray is known
// to report them and a single click does nothing.
void TrayIconActivated(QWidget* window, QSystemTrayIcon::ActivationReason reason);
// The icon's context menu, or nullptr when the window has no icon (for tests).
QMenu* TrayMenu(QWidget* window);
// True while the window has an icon (for tests).
bool HasTrayIcon(QWidget* window);
// False where no system tray exists: the window must then never be hidden.
bool TrayAvailable();

// Records what the icon showed last (for tests and headless runs, where nothing is visible).
struct TrayState {
    QString tip;
    QString balloonTitle;
    QString balloonText;
    int balloonIcon = 0;
    int balloonCount = 0;
};
TrayState CurrentTrayState(QWidget* window);

} // namespace torvane
