#include "client/dialogkit.h"

#include <QKeyEvent>
#include <QShortcut>
#include <QToolButton>
#include <QWidget>

namespace torvane::client {

namespace {
DialogMessageHook& Hook() {
    static DialogMessageHook hook;
    return hook;
}
} // namespace

void SetDialogMessageHook(DialogMessageHook hook) {
    Hook() = std::move(hook);
}

QMessageBox::StandardButton ShowDialogMessage(QWidget* parent, const DialogMessage& message) {
    if (Hook())
        return Hook()(parent, message);
    QMessageBox box(message.icon, message.title, message.text, message.buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

QMessageBox::StandardButton ShowProgramHint(QWidget* parent, const QString& text,
                                            QMessageBox::StandardButtons buttons) {
    return ShowDialogMessage(
        parent, DialogMessage{QStringLiteral("程序提示"), text, QMessageBox::Information, buttons});
}

QToolButton* MakePictureButton(QWidget* parent, const QString& name, const QString& caption,
                               QStyle::StandardPixmap icon) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText(caption);
    button->setIcon(parent->style()->standardIcon(icon));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    return button;
}

void CloseOnAltF4(QWidget* window) {
    auto* shortcut = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F4), window);
    QObject::connect(shortcut, &QShortcut::activated, window, &QWidget::close);
}

bool PressFocusedButton(QWidget* window, const QKeyEvent* event) {
    if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter)
        return false;
    if (event->modifiers() & ~Qt::KeyboardModifiers(Qt::KeypadModifier))
        return false;
    auto* button = qobject_cast<QToolButton*>(window->focusWidget());
    if (!button || !button->isEnabled())
        return false;
    button->click();
    return true;
}

} // namespace torvane::client
