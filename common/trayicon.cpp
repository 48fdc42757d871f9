#include "trayicon.h"

#include <QApplication>
#include <QHash>
#include <QPointer>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

namespace {
struct TrayRecord {
    QSystemTrayIcon* icon = nullptr;
    TrayState state;
};

QHash<QWidget*, TrayRecord>& Records() {
    static QHash<QWidget*, TrayRecord> records;
    return records;
}

void RestoreWindow(QWidget* window) {
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->showNormal();
    window->raise();
    window->activateWindow();
}

QIcon WindowIcon(QWidget* window) {
    QIcon icon = window->windowIcon();
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    return icon;
}
} // namespace

bool TrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void ShowTrayIcon(QWidget* window, const QString& tip, const QString& balloonText, int balloonIcon,
                  int timeoutMs) {
    if (!window)
        return;
    TrayRecord& record = Records()[window];
    if (!record.icon) {
        record.icon = new QSystemTrayIcon(WindowIcon(window), window);
        QObject::connect(record.icon, &QSystemTrayIcon::activated, window,
                         [window](QSystemTrayIcon::ActivationReason reason) {
                             if (reason == QSystemTrayIcon::DoubleClick)
                                 RestoreWindow(window);
                         });
        QObject::connect(window, &QObject::destroyed, [window] { Records().remove(window); });
        record.icon->show();
    }
    record.icon->setToolTip(tip);
    record.state.tip = tip;
    if (!balloonText.isEmpty()) {
        record.state.balloonTitle = tip;
        record.state.balloonText = balloonText;
        record.state.balloonIcon = balloonIcon;
        ++record.state.balloonCount;
        record.icon->showMessage(
            tip, balloonText,
            balloonIcon == 1 ? QSystemTrayIcon::Information : QSystemTrayIcon::NoIcon, timeoutMs);
    }
}

void RemoveTrayIcon(QWidget* window) {
    auto it = Records().find(window);
    if (it == Records().end())
        return;
    if (it->icon) {
        it->icon->hide();
        delete it->icon;
    }
    Records().erase(it);
}

bool HasTrayIcon(QWidget* window) {
    return Records().contains(window);
}

TrayState CurrentTrayState(QWidget* window) {
    return Records().value(window).state;
}
