#pragma once

#include "client/clientcontext.h"
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

// The settings window: the line editor (add, modify, delete lines of MainConfig.dat) and the
// connection and start-up settings.
class FrAdd : public QDialog {
    Q_OBJECT
public:
    FrAdd(ClientContext& context, QWidget* parent = nullptr);

    bool addArmed() const { return m_addArmed; }
    bool modifyArmed() const { return m_modifyArmed; }

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
    void reportUnsaved(LineChange change);
    void refuse(const QString& text, QWidget* focus);
    QString hintFor(QObject* control) const;

    ClientContext& m_context;
    // The lines the list shows, loaded together with it, so a record is never composed from one
    // list's name and another list's fields.
    QList<LineEntry> m_lines;
    bool m_addArmed = false;
    bool m_modifyArmed = false;

    QGroupBox* m_lineFrame = nullptr;
    QComboBox* m_lineCombo = nullptr;
    QLineEdit* m_nameField = nullptr;
    QLineEdit* m_localIpField = nullptr;
    QLineEdit* m_maskField = nullptr;
    QLineEdit* m_gatewayField = nullptr;
    QLineEdit* m_primaryDnsField = nullptr;
    QLineEdit* m_secondaryDnsField = nullptr;
    QToolButton* m_addButton = nullptr;
    QToolButton* m_modifyButton = nullptr;
    QToolButton* m_deleteButton = nullptr;
    QToolButton* m_closeButton = nullptr;
    QLabel* m_hintLabel = nullptr;

    QGroupBox* m_settingsFrame = nullptr;
    QLineEdit* m_serverIpField = nullptr;
    QLineEdit* m_serverPortField = nullptr;
    QCheckBox* m_autostartBox = nullptr;
    QCheckBox* m_updateListBox = nullptr;
    QLineEdit* m_siteKeyField = nullptr;
    QCheckBox* m_clearSiteKeyBox = nullptr;
    QCheckBox* m_ownLinesOnlyBox = nullptr;
    QToolButton* m_applyButton = nullptr;
};

} // namespace torvane::client
