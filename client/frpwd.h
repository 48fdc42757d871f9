#pragma once

#include <QDialog>

class QLineEdit;

namespace torvane::client {

class ClientContext;

// Start-up step of the password lock: an empty stored digest (or the digest of the empty
// password) means no password is set, so that digest is stored and the lock opens; any other
// digest keeps the settings window locked. Reads and writes context.settings().
void ApplyStartupPasswordStep(ClientContext& context);

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
    QLineEdit* m_qrPwd = nullptr;
};

} // namespace torvane::client
