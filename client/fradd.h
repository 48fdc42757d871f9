#pragma once

#include "common/lineentry.h"

#include <QDialog>
#include <QList>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;

namespace torvane::client {

class ClientContext;

// The settings window: the line editor (add, modify, delete lines of MainConfig.dat) and the
// connection and start-up settings.
class FrAdd : public QDialog {
    Q_OBJECT
public:
    FrAdd(ClientContext& context, QWidget* parent = nullptr);

    bool addArmed() const { return m_addArmed; }
    bool xgArmed() const { return m_xgArmed; }

    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLineEditor();
    void buildSettingsGroup();
    void fillLineList();
    void fillSettings();
    void pickLine(int index);
    void addLine();
    void modifyLine();
    void deleteLine();
    void saveSettings();
    // First failing check of the six fields: shows its message, focuses its field, false.
    bool validateFields();
    LineEntry fieldsAsEntry() const;       // the six fields, trimmed
    LineEntry selectedStoredEntry() const; // the picked line as loaded, trimmed
    void clearFields();
    void setFieldsReadOnly(bool readOnly);
    void finishChange(bool clearAndLockFields);
    void refuse(const QString& text, QWidget* focus);
    QString hintFor(QObject* control) const;

    ClientContext& m_context;
    // The lines the list shows, loaded together with it, so a record is never composed from one
    // list's name and another list's fields.
    QList<LineEntry> m_lines;
    bool m_addArmed = false;
    bool m_xgArmed = false;

    QGroupBox* m_frame1 = nullptr;
    QComboBox* m_wgList = nullptr;
    QLineEdit* m_wgMc = nullptr;
    QLineEdit* m_bjIp = nullptr;
    QLineEdit* m_zwYm = nullptr;
    QLineEdit* m_wgIp = nullptr;
    QLineEdit* m_frDns = nullptr;
    QLineEdit* m_seDns = nullptr;
    QToolButton* m_addOk = nullptr;
    QToolButton* m_xgOk = nullptr;
    QToolButton* m_delOk = nullptr;
    QToolButton* m_closeOk = nullptr;
    QLabel* m_tiShi = nullptr;

    QGroupBox* m_frame2 = nullptr;
    QLineEdit* m_fwqIp = nullptr;
    QLineEdit* m_fwqDk = nullptr;
    QCheckBox* m_qiDong = nullptr;
    QCheckBox* m_gengXin = nullptr;
    QToolButton* m_queDing = nullptr;
};

} // namespace torvane::client
