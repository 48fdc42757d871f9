#include "common/trayicon.h"

#include <QApplication>
#include <QGuiApplication>
#include <QHash>
#include <QMenu>
#include <QPointer>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

namespace torvane {

namespace {
struct TrayRecord {
    QSystemTrayIcon* icon = nullptr;
    QMenu* menu = nullptr;         // also without an icon, so headless runs can be tested
    QTimer* singleClick = nullptr; // a single click waiting to see whether a second one follows
    bool reportsDoubleClicks = false;
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

void RestoreWindow(QWidget* window) {
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->showNormal();
    window->raise();
    window->activateWindow();
}

QMenu* BuildMenu(QWidget* window) {
    // Owned by the window, though it is never shown inside it.
    auto* menu = new QMenu(window);
    menu->setObjectName(QStringLiteral("trayMenu"));
    QAction* show = menu->addAction(QStringLiteral("显示主窗口"));
    show->setObjectName(QStringLiteral("trayShowWindow"));
    QObject::connect(show, &QAction::triggered, window, [window] { RestoreWindow(window); });
    menu->addSeparator();
    QAction* quit = menu->addAction(QStringLiteral("退出"));
    quit->setObjectName(QStringLiteral("trayQuit"));
    // Queued: the window's close removes the icon and its menu, which must not happen inside
    // the menu's own signal.
    QObject::connect(
        quit, &QAction::triggered, window, [window] { window->close(); }, Qt::QueuedConnection);
    return menu;
}

QTimer* BuildSingleClickTimer(QWidget* window) {
    auto* timer = new QTimer(window);
    timer->setSingleShot(true);
    timer->setInterval(QApplication::doubleClickInterval());
    QObject::connect(timer, &QTimer::timeout, window, [window] { RestoreWindow(window); });
    return timer;
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
        record.menu = BuildMenu(window);
        record.singleClick = BuildSingleClickTimer(window);
    }
    if (!record.icon && !HeadlessPlatform()) {
        record.icon = new QSystemTrayIcon(WindowIcon(window), window);
        QObject::connect(record.icon, &QSystemTrayIcon::activated, window,
                         [window](QSystemTrayIcon::ActivationReason reason) {
                             TrayIconActivated(window, reason);
                         });
        record.icon->setContextMenu(record.menu);
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
    if (!window)
        return;
    const auto it = Records().find(window);
    TrayRecord* record = it == Records().end() ? nullptr : &*it;
    if (reason == QSystemTrayIcon::DoubleClick) {
        if (record) {
            record->reportsDoubleClicks = true;
            record->singleClick->stop();
        }
        RestoreWindow(window);
        return;
    }
    if (reason == QSystemTrayIcon::Trigger && record && !record->reportsDoubleClicks)
        record->singleClick->start();
}

QMenu* TrayMenu(QWidget* window) {
    return Records().value(window).menu;
}

void RemoveTrayIcon(QWidget* window) {
    auto it = Records().find(window);
    if (it == Records().end())
        return;
    if (it->icon) {
        it->icon->hide();
        delete it->icon;
    }
    // Later: RemoveTrayIcon may run inside the menu's own "退出".
    it->menu->deleteLater();
    delete it->singleClick;
    Records().erase(it);
}

bool HasTrayIcon(QWidget* window) {
    return Records().contains(window);
}

TrayState CurrentTrayState(QWidget* window) {
    return Records().value(window).state;
}

} // namespace torvane
