#pragma once

#include <QMessageBox>
#include <QString>
#include <QStyle>

#include <functional>

class QKeyEvent;
class QToolButton;
class QWidget;

namespace torvane::client {

// Everything a message box of the Client shows, so tests can see exactly what the user saw.
struct DialogMessage {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

// Replaces the real message box (tests capture the message and give the answer). An empty hook
// restores the real one.
using DialogMessageHook =
    std::function<QMessageBox::StandardButton(QWidget* parent, const DialogMessage& message)>;
void SetDialogMessageHook(DialogMessageHook hook);

// Shows a message box through the hook (or a real QMessageBox) and returns the button pressed.
QMessageBox::StandardButton ShowDialogMessage(QWidget* parent, const DialogMessage& message);

// The usual box of the Client: title "程序提示", information icon, the given buttons.
QMessageBox::StandardButton ShowProgramHint(QWidget* parent, const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

// A button with a picture above its caption, as the dialogs' command buttons are drawn.
QToolButton* MakePictureButton(QWidget* parent, const QString& name, const QString& caption,
                               QStyle::StandardPixmap icon);

// Alt+F4 closes the window, also while a control that keeps keys for itself (a drop-down list)
// holds the focus.
void CloseOnAltF4(QWidget* window);

// Enter on a picture button that holds the focus presses it, as on any dialog button; true when
// the key was used.
bool PressFocusedButton(QWidget* window, const QKeyEvent* event);

} // namespace torvane::client
