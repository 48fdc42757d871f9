#include "common/trayicon.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHash>
#include <QPointer>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>

namespace torvane {

namespace {
struct TrayRecord {
    QSystemTrayIcon* icon = nullptr;
    TrayState state;
};

QHash<QWidget*, TrayRecord>& Records() {
    static QHash<QWidget*, TrayRecord> records;
    return records;
}

QIcon WindowIcon(QWidget* window) {
    QIcon icon = window->windowIcon();
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    return icon;
}
// Platforms without any notification area: Qt's tray code would still go looking for one (and
// warn about it), so there the icon is only recorded.
bool HeadlessPlatform() {
    const QString platform = QGuiApplication::platformName();
    return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}
} // namespace

bool TrayAvailable() {
    return !HeadlessPlatform() && QSystemTrayIcon::isSystemTrayAvailable();
}

void ShowTrayIcon(QWidget* window, const QString& tip, const QString& balloonText, int balloonIcon,
                  int timeoutMs) {
    if (!window)
        return;
    const bool added = HasTrayIcon(window);
    TrayRecord& record = Records()[window];
    if (!added) {
        QObject::connect(window, &QObject::destroyed, [window] { Records().remove(window); });
    }
    if (!record.icon && !HeadlessPlatform()) {
        record.icon = new QSystemTrayIcon(WindowIcon(window), window);
        QObject::connect(record.icon, &QSystemTrayIcon::activated, window,
                         [window](QSystemTrayIcon::ActivationReason reason) {
                             TrayIconActivated(window, reason);
                         });
        record.icon->show();
    }
    if (record.icon)
        record.icon->setToolTip(tip);
    record.state.tip = tip;
    if (!balloonText.isEmpty()) {
        record.state.balloonTitle = tip;
        record.state.balloonText = balloonText;
        record.state.balloonIcon = balloonIcon;
        ++record.state.balloonCount;
        if (record.icon)
            record.icon->showMessage(tip, balloonText,
                                     balloonIcon == 1 ? QSystemTrayIcon::Information
                                                      : QSystemTrayIcon::NoIcon,
                                     timeoutMs);
    }
}

void TrayIconActivated(QWidget* window, QSystemTrayIcon::ActivationReason reason) {
    if (!window || reason != QSystemTrayIcon::DoubleClick)
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->showNormal();
    window->raise();
    window->activateWindow();
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

} // namespace torvane
