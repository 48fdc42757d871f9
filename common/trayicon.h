#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QWidget;

namespace torvane {

// The notification icon of a main window: added on the first ShowTrayIcon, modified on later
// calls, removed by RemoveTrayIcon; a double click restores the window to normal and shows it.
// balloonIcon: 0 none, 1 information. The balloon title is the tip text.
void ShowTrayIcon(QWidget* window, const QString& tip, const QString& balloonText, int balloonIcon,
                  int timeoutMs);
void RemoveTrayIcon(QWidget* window);
// A click on the icon: a double click restores the window to normal and shows it, other clicks
// do nothing (callable by tests, where no icon can be clicked).
void TrayIconActivated(QWidget* window, QSystemTrayIcon::ActivationReason reason);
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
