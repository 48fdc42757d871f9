#pragma once

#include <QDialog>

class QLineEdit;

namespace torvane::client {

class ClientContext;

// The administrator password dialog: unlocks the settings window and changes the password.
class FrPwd : public QDialog {
    Q_OBJECT
public:
    FrPwd(ClientContext& context, QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void unlock();
    void changePassword();

    ClientContext& m_context;
    QLineEdit* m_oldPwd = nullptr;
    QLineEdit* m_newPwd = nullptr;
    QLineEdit* m_confirmPwd = nullptr;
};

} // namespace torvane::client
