#include "client/frpwd.h"

#include "client/clientcontext.h"
#include "client/dialogkit.h"
#include "client/fradd.h"
#include "client/trimspaces.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace torvane::client {

namespace {
QLineEdit* MakePasswordField(QWidget* parent, const QString& name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setEchoMode(QLineEdit::Password);
    // Every typed character shows as "*", whatever the style would draw instead.
    field->setStyleSheet(QStringLiteral("lineedit-password-character: 42"));
    return field;
}

} // namespace

FrPwd::FrPwd(ClientContext& context, QWidget* parent) : QDialog(parent), m_context(context) {
    setObjectName(QStringLiteral("FrPwd"));
    setWindowTitle(QStringLiteral("Torvane") + QStringLiteral(" -- 管理密码"));
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    CloseOnAltF4(this);

    auto* frame = new QGroupBox(QStringLiteral("解锁、修改密码"), this);
    frame->setObjectName(QStringLiteral("Frame1"));
    m_oldPwd = MakePasswordField(frame, QStringLiteral("OldPwd"));
    m_newPwd = MakePasswordField(frame, QStringLiteral("NewPwd"));
    m_confirmPwd = MakePasswordField(frame, QStringLiteral("QrPwd"));
    auto* jieSuo = MakePictureButton(frame, QStringLiteral("JieSuo"), QStringLiteral("解锁"),
                                     QStyle::SP_DialogYesButton);
    auto* xgPwd = MakePictureButton(frame, QStringLiteral("XgPwd"), QStringLiteral("修改密码"),
                                    QStyle::SP_DialogSaveButton);
    auto* closeOk = MakePictureButton(frame, QStringLiteral("CloseOk"), QStringLiteral("关闭"),
                                      QStyle::SP_DialogCloseButton);
    connect(jieSuo, &QToolButton::clicked, this, &FrPwd::unlock);
    connect(xgPwd, &QToolButton::clicked, this, &FrPwd::changePassword);
    connect(closeOk, &QToolButton::clicked, this, &FrPwd::close);

    auto* grid = new QGridLayout(frame);
    const QList<QPair<QString, QLineEdit*>> rows = {{QStringLiteral("旧密码："), m_oldPwd},
                                                    {QStringLiteral("新密码："), m_newPwd},
                                                    {QStringLiteral("确认密码："), m_confirmPwd}};
    for (int i = 0; i < rows.size(); ++i) {
        auto* label = new QLabel(rows.at(i).first, frame);
        label->setBuddy(rows.at(i).second);
        grid->addWidget(label, i, 0, Qt::AlignRight);
        grid->addWidget(rows.at(i).second, i, 1);
    }
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(jieSuo);
    buttons->addWidget(xgPwd);
    buttons->addWidget(closeOk);
    grid->addLayout(buttons, 0, 2, 3, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);

    setTabOrder(m_oldPwd, m_newPwd);
    setTabOrder(m_newPwd, m_confirmPwd);
    setTabOrder(m_confirmPwd, jieSuo);
    setTabOrder(jieSuo, xgPwd);
    setTabOrder(xgPwd, closeOk);
}

void FrPwd::unlock() {
    if (!m_context.unlock(m_oldPwd->text())) {
        // A wrong password has also closed a lock that was open.
        ShowProgramHint(this, QStringLiteral("解锁失败，你输入的密码不正确"));
        m_oldPwd->setFocus();
        return;
    }
    const auto answer = ShowProgramHint(this, QStringLiteral("解锁成功，你现在可以进行参数设置"),
                                        QMessageBox::Yes | QMessageBox::No);
    QWidget* owner = parentWidget();
    accept();
    if (answer == QMessageBox::Yes) {
        FrAdd settingsWindow(m_context, owner);
        settingsWindow.exec();
    }
}

void FrPwd::changePassword() {
    const QString newPwd = TrimSpaces(m_newPwd->text());
    const QString confirmed = TrimSpaces(m_confirmPwd->text());
    if (newPwd.isEmpty()) {
        ShowProgramHint(this, QStringLiteral("请输入新密码"));
        m_newPwd->setFocus();
        return;
    }
    if (confirmed.isEmpty()) {
        ShowProgramHint(this, QStringLiteral("请输入确认密码"));
        m_confirmPwd->setFocus();
        return;
    }
    // The two new texts are compared before the old password is tested.
    if (newPwd != confirmed) {
        ShowProgramHint(this, QStringLiteral("两次密码输入不一致"));
        m_confirmPwd->setFocus();
        return;
    }
    if (!m_context.changePassword(m_oldPwd->text(), newPwd)) {
        ShowProgramHint(this, QStringLiteral("旧密码输入错误"));
        m_oldPwd->setFocus();
        return;
    }
    ShowProgramHint(this, QStringLiteral("密码修改成功"));
    accept();
}

void FrPwd::keyPressEvent(QKeyEvent* event) {
    if (!PressFocusedButton(this, event))
        QDialog::keyPressEvent(event);
}

} // namespace torvane::client
