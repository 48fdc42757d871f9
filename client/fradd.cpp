#include "client/fradd.h"

#include "client/clientcontext.h"
#include "client/dialogkit.h"
#include "client/trimspaces.h"
#include "common/linefile.h"
#include "common/validators.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace torvane::client {

namespace {
// The editor's buttons also report mouse-over, for the hints.
QToolButton* MakeHintedButton(QWidget* parent, const QString& name, const QString& caption,
                              QStyle::StandardPixmap icon) {
    QToolButton* button = MakePictureButton(parent, name, caption, icon);
    button->setMouseTracking(true);
    return button;
}
const QString kNameHint = QStringLiteral("输入你想显示的网关名称，如\"电信\"、\"网通\"");
const QString kLocalIpHint = QStringLiteral("输入你想切换的本机IP，如\"192.168.0.1\"，不修改不填");
const QString kMaskHint = QStringLiteral("输入你想切换的子网掩码，如\"255.255.255.0\"，不修改不填");
const QString kGatewayHint = QStringLiteral("输入你想切换的网关IP，如\"192.168.0.1\"");
const QString kPrimaryDnsHint = QStringLiteral("输入你的主DNS服务器IP，如\"114.114.114.114\"");
const QString kSecondaryDnsHint =
    QStringLiteral("输入你的备用DNS服务器IP，如\"223.5.5.5\"，可不填");
const QString kListFull = QStringLiteral("只能20条线路");
// The list is reloaded after every change, but a change that never reached the file (a program
// folder without write access) must not pass for a saved one.
const QString kNotSaved = QStringLiteral("线路文件MainConfig.dat无法写入，本次修改没有保存");

QLineEdit* MakeField(QWidget* parent, const QString& name) {
    auto* field = new QLineEdit(parent);
    field->setObjectName(name);
    field->setMouseTracking(true);
    return field;
}

} // namespace

FrAdd::FrAdd(ClientContext& context, QWidget* parent) : QDialog(parent), m_context(context) {
    setObjectName(QStringLiteral("FrAdd"));
    setWindowTitle(QStringLiteral("Torvane") + QStringLiteral(" -- 参数设置"));
    // Stays above the other windows so it is not lost behind them while the main window waits.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setMouseTracking(true);
    installEventFilter(this);
    CloseOnAltF4(this);

    auto* layout = new QVBoxLayout(this);
    buildLineEditor();
    buildSettingsGroup();
    layout->addWidget(m_lineFrame);
    layout->addWidget(m_settingsFrame);

    fillLineList();
    fillSettings();

    // After an edit here or an update from the server: the new list, nothing picked, so no
    // record of the old list is ever composed against the new one.
    connect(&m_context, &ClientContext::lineListReloaded, this, &FrAdd::fillLineList);
}

void FrAdd::buildLineEditor() {
    m_lineFrame = new QGroupBox(QStringLiteral("请仔细填写网关和DNS"), this);
    m_lineFrame->setObjectName(QStringLiteral("Frame1"));
    m_lineFrame->setMouseTracking(true);
    m_lineFrame->installEventFilter(this);

    m_lineCombo = new QComboBox(m_lineFrame);
    m_lineCombo->setObjectName(QStringLiteral("WgList"));
    m_lineCombo->setEditable(false);
    // A long name (a hand-edited or pushed list) must not stretch the window past the screen.
    m_lineCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_lineCombo->setMinimumContentsLength(16);
    connect(m_lineCombo, &QComboBox::activated, this, &FrAdd::pickLine);

    m_nameField = MakeField(m_lineFrame, QStringLiteral("WgMc"));
    m_localIpField = MakeField(m_lineFrame, QStringLiteral("BjIp"));
    m_maskField = MakeField(m_lineFrame, QStringLiteral("ZwYm"));
    m_gatewayField = MakeField(m_lineFrame, QStringLiteral("WgIp"));
    m_primaryDnsField = MakeField(m_lineFrame, QStringLiteral("FrDns"));
    m_secondaryDnsField = MakeField(m_lineFrame, QStringLiteral("SeDns"));

    m_addButton = MakeHintedButton(m_lineFrame, QStringLiteral("AddOk"), QStringLiteral("添加"),
                                   QStyle::SP_FileDialogNewFolder);
    m_modifyButton = MakeHintedButton(m_lineFrame, QStringLiteral("XgOk"), QStringLiteral("修改"),
                                      QStyle::SP_FileDialogDetailedView);
    m_deleteButton = MakeHintedButton(m_lineFrame, QStringLiteral("DelOk"), QStringLiteral("删除"),
                                      QStyle::SP_TrashIcon);
    m_closeButton = MakeHintedButton(m_lineFrame, QStringLiteral("CloseOk"), QStringLiteral("关闭"),
                                     QStyle::SP_DialogCloseButton);
    connect(m_addButton, &QToolButton::clicked, this, &FrAdd::addLine);
    connect(m_modifyButton, &QToolButton::clicked, this, &FrAdd::modifyLine);
    connect(m_deleteButton, &QToolButton::clicked, this, &FrAdd::deleteLine);
    connect(m_closeButton, &QToolButton::clicked, this, &FrAdd::close);

    m_hintLabel = new QLabel(m_lineFrame);
    m_hintLabel->setObjectName(QStringLiteral("TiShi"));
    // Room for a line of Chinese text from the start, so the window does not grow under the
    // mouse when the first hint appears.
    m_hintLabel->setMinimumHeight(m_hintLabel->fontMetrics().boundingRect(kNameHint).height());

    auto* grid = new QGridLayout(m_lineFrame);
    grid->addWidget(m_lineCombo, 0, 0, 1, 3);
    const QList<QPair<QString, QLineEdit*>> rows = {
        {QStringLiteral("网关名称："), m_nameField},
        {QStringLiteral("本机IP："), m_localIpField},
        {QStringLiteral("子网掩码："), m_maskField},
        {QStringLiteral("网关IP："), m_gatewayField},
        {QStringLiteral("首选DNS服务器："), m_primaryDnsField},
        {QStringLiteral("备用DNS服务器："), m_secondaryDnsField},
    };
    for (int i = 0; i < rows.size(); ++i) {
        auto* label = new QLabel(rows.at(i).first, m_lineFrame);
        label->setBuddy(rows.at(i).second);
        grid->addWidget(label, i + 1, 0, Qt::AlignRight);
        grid->addWidget(rows.at(i).second, i + 1, 1);
    }
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_modifyButton);
    buttons->addWidget(m_deleteButton);
    buttons->addWidget(m_closeButton);
    buttons->addStretch();
    grid->addLayout(buttons, 1, 2, 6, 1);
    grid->addWidget(m_hintLabel, 7, 0, 1, 3);

    setTabOrder(m_lineCombo, m_nameField);
    setTabOrder(m_nameField, m_localIpField);
    setTabOrder(m_localIpField, m_maskField);
    setTabOrder(m_maskField, m_gatewayField);
    setTabOrder(m_gatewayField, m_primaryDnsField);
    setTabOrder(m_primaryDnsField, m_secondaryDnsField);
    setTabOrder(m_secondaryDnsField, m_addButton);
    setTabOrder(m_addButton, m_modifyButton);
    setTabOrder(m_modifyButton, m_deleteButton);
    setTabOrder(m_deleteButton, m_closeButton);

    for (QObject* control :
         {static_cast<QObject*>(m_nameField), static_cast<QObject*>(m_localIpField),
          static_cast<QObject*>(m_maskField), static_cast<QObject*>(m_gatewayField),
          static_cast<QObject*>(m_primaryDnsField), static_cast<QObject*>(m_secondaryDnsField),
          static_cast<QObject*>(m_addButton), static_cast<QObject*>(m_modifyButton),
          static_cast<QObject*>(m_deleteButton), static_cast<QObject*>(m_closeButton)})
        control->installEventFilter(this);

    setFieldsReadOnly(true);
}

void FrAdd::buildSettingsGroup() {
    m_settingsFrame = new QGroupBox(QStringLiteral("基本配置"), this);
    m_settingsFrame->setObjectName(QStringLiteral("Frame2"));

    m_serverIpField = new QLineEdit(m_settingsFrame);
    m_serverIpField->setObjectName(QStringLiteral("FwqIp"));
    m_serverPortField = new QLineEdit(m_settingsFrame);
    m_serverPortField->setObjectName(QStringLiteral("FwqDk"));
    m_serverPortField->setMaxLength(5);
    m_autostartBox = new QCheckBox(QStringLiteral("随计算机启动"), m_settingsFrame);
    m_autostartBox->setObjectName(QStringLiteral("QiDong"));
    m_autostartBox->setToolTip(QStringLiteral("如果不勾选，将不能被服务端控制"));
    m_updateListBox = new QCheckBox(QStringLiteral("每次更新配置"), m_settingsFrame);
    m_updateListBox->setObjectName(QStringLiteral("GengXin"));
    m_updateListBox->setToolTip(QStringLiteral("不勾选代表每次启动将不到服务器更新配置列表"));
    // The key is never shown or read back: the store holds only what is derived from it.
    m_siteKeyField = new QLineEdit(m_settingsFrame);
    m_siteKeyField->setObjectName(QStringLiteral("SiteKey"));
    m_siteKeyField->setEchoMode(QLineEdit::Password);
    m_siteKeyField->setToolTip(
        QStringLiteral("与服务端相同的站点密钥（长而随机）；设置后只接受加密通道的切换命令"));
    m_clearSiteKeyBox = new QCheckBox(QStringLiteral("清除站点密钥"), m_settingsFrame);
    m_clearSiteKeyBox->setObjectName(QStringLiteral("SiteKeyClear"));
    m_ownLinesOnlyBox =
        new QCheckBox(QStringLiteral("只接受本机列表中线路的切换"), m_settingsFrame);
    m_ownLinesOnlyBox->setObjectName(QStringLiteral("SecureOwnLinesOnly"));
    m_applyButton = MakeHintedButton(m_settingsFrame, QStringLiteral("QueDing"),
                                     QStringLiteral("确定"), QStyle::SP_DialogApplyButton);
    m_applyButton->setMouseTracking(false);
    connect(m_applyButton, &QToolButton::clicked, this, &FrAdd::saveSettings);

    auto* grid = new QGridLayout(m_settingsFrame);
    grid->addWidget(new QLabel(QStringLiteral("服务器IP："), m_settingsFrame), 0, 0);
    grid->addWidget(m_serverIpField, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("服务器端口："), m_settingsFrame), 0, 2);
    grid->addWidget(m_serverPortField, 0, 3);
    grid->addWidget(m_autostartBox, 1, 0, 1, 2);
    grid->addWidget(m_updateListBox, 1, 2);
    grid->addWidget(new QLabel(QStringLiteral("站点密钥："), m_settingsFrame), 2, 0);
    grid->addWidget(m_siteKeyField, 2, 1);
    grid->addWidget(m_clearSiteKeyBox, 2, 2, 1, 2);
    grid->addWidget(m_ownLinesOnlyBox, 3, 0, 1, 3);
    grid->addWidget(m_applyButton, 3, 3, Qt::AlignRight);

    setTabOrder(m_closeButton, m_serverIpField);
    setTabOrder(m_serverIpField, m_serverPortField);
    setTabOrder(m_serverPortField, m_autostartBox);
    setTabOrder(m_autostartBox, m_updateListBox);
    setTabOrder(m_updateListBox, m_siteKeyField);
    setTabOrder(m_siteKeyField, m_clearSiteKeyBox);
    setTabOrder(m_clearSiteKeyBox, m_ownLinesOnlyBox);
    setTabOrder(m_ownLinesOnlyBox, m_applyButton);
}

void FrAdd::fillLineList() {
    m_lines = m_context.lineList();
    m_lineCombo->clear();
    for (const LineEntry& entry : std::as_const(m_lines))
        m_lineCombo->addItem(entry.name);
    m_lineCombo->setCurrentIndex(-1);
}

void FrAdd::fillSettings() {
    const ClientSettings& settings = m_context.settings();
    m_serverIpField->setText(settings.serverIp);
    m_serverPortField->setText(settings.serverPort);
    m_autostartBox->setChecked(settings.autostartOn());
    m_updateListBox->setChecked(settings.updateListOn());
    m_siteKeyField->clear();
    m_siteKeyField->setPlaceholderText(settings.siteKeyBytes().isEmpty()
                                           ? QStringLiteral("未设置")
                                           : QStringLiteral("已设置，留空不变"));
    m_clearSiteKeyBox->setChecked(false);
    m_ownLinesOnlyBox->setChecked(settings.ownLinesOnlyOn());
}

void FrAdd::pickLine(int index) {
    if (index < 0 || index >= m_lines.size())
        return;
    const LineEntry& entry = m_lines.at(index);
    m_nameField->setText(m_lineCombo->itemText(index));
    m_localIpField->setText(entry.localIp);
    m_maskField->setText(entry.subnetMask);
    m_gatewayField->setText(entry.gateway);
    m_primaryDnsField->setText(entry.primaryDns);
    m_secondaryDnsField->setText(entry.secondaryDns);
    setFieldsReadOnly(true);
    m_addArmed = false;
    m_modifyArmed = false;
}

void FrAdd::addLine() {
    // The limit comes first on every click, so a full list never even opens the fields.
    if (m_lines.size() >= kMaxLines) {
        refuse(kListFull, nullptr);
        return;
    }
    if (!m_addArmed) {
        clearFields();
        setFieldsReadOnly(false);
        m_addArmed = true;
        m_nameField->setFocus();
        return;
    }
    if (!validateFields())
        return;
    const LineChange change = m_context.addLine(fieldsAsEntry());
    if (change == LineChange::NameTaken) {
        refuse(QStringLiteral("已经有此网关名称，请改名"), m_nameField);
        return;
    }
    if (change == LineChange::ListFull) {
        refuse(kListFull, nullptr);
        return;
    }
    finishChange(true);
    m_addArmed = false;
    reportUnsaved(change);
}

void FrAdd::modifyLine() {
    if (m_lineCombo->currentIndex() < 0) {
        refuse(QStringLiteral("请选择一条你要修改的光纤线路"), m_lineCombo);
        return;
    }
    if (!m_modifyArmed) {
        setFieldsReadOnly(false);
        m_modifyArmed = true;
        m_nameField->setFocus();
        return;
    }
    if (!validateFields())
        return;
    const LineChange change = m_context.modifyLine(selectedStoredEntry(), fieldsAsEntry());
    finishChange(true);
    m_modifyArmed = false;
    reportUnsaved(change);
}

void FrAdd::deleteLine() {
    if (m_lineCombo->currentIndex() < 0) {
        refuse(QStringLiteral("请选择一条你要删除的光纤线路"), m_lineCombo);
        return;
    }
    const LineChange change = m_context.deleteLine(selectedStoredEntry());
    clearFields();
    finishChange(false);
    reportUnsaved(change);
}

bool FrAdd::validateFields() {
    const auto isEmpty = [](const QLineEdit* field) { return TrimSpaces(field->text()).isEmpty(); };
    // Addresses are tested as typed: a stray space is refused rather than silently cut.
    if (!isEmpty(m_localIpField) && !IsIpAddress(m_localIpField->text())) {
        refuse(QStringLiteral("你输入的本机IP地址格式错误"), m_localIpField);
        return false;
    }
    if (!isEmpty(m_maskField) && !IsIpAddress(m_maskField->text())) {
        refuse(QStringLiteral("你输入的子网掩码地址格式错误"), m_maskField);
        return false;
    }
    if (isEmpty(m_nameField)) {
        refuse(kNameHint, m_nameField);
        return false;
    }
    if (NameBreaksRecord(m_nameField->text())) {
        refuse(QStringLiteral("网关名称中不能含有\";\"、\"|\"或换行"), m_nameField);
        return false;
    }
    if (!NameStorableInGbk(m_nameField->text())) {
        refuse(QStringLiteral("网关名称中含有无法保存的字符，请改名"), m_nameField);
        return false;
    }
    if (isEmpty(m_gatewayField)) {
        refuse(kGatewayHint, m_gatewayField);
        return false;
    }
    if (!IsIpAddress(m_gatewayField->text())) {
        refuse(QStringLiteral("你输入的网关IP地址格式错误"), m_gatewayField);
        return false;
    }
    if (isEmpty(m_primaryDnsField)) {
        refuse(kPrimaryDnsHint, m_primaryDnsField);
        return false;
    }
    if (!IsIpAddress(m_primaryDnsField->text())) {
        refuse(QStringLiteral("你输入的主DNS服务器IP地址格式错误"), m_primaryDnsField);
        return false;
    }
    if (!isEmpty(m_secondaryDnsField) && !IsIpAddress(m_secondaryDnsField->text())) {
        refuse(QStringLiteral("你输入的备用DNS服务器IP地址格式错误"), m_secondaryDnsField);
        return false;
    }
    return true;
}

LineEntry FrAdd::fieldsAsEntry() const {
    return LineEntry{
        TrimSpaces(m_nameField->text()),       TrimSpaces(m_localIpField->text()),
        TrimSpaces(m_maskField->text()),       TrimSpaces(m_gatewayField->text()),
        TrimSpaces(m_primaryDnsField->text()), TrimSpaces(m_secondaryDnsField->text())};
}

LineEntry FrAdd::selectedStoredEntry() const {
    const int index = m_lineCombo->currentIndex();
    const LineEntry& stored = m_lines.at(index);
    return LineEntry{TrimSpaces(m_lineCombo->itemText(index)),
                     TrimSpaces(stored.localIp),
                     TrimSpaces(stored.subnetMask),
                     TrimSpaces(stored.gateway),
                     TrimSpaces(stored.primaryDns),
                     TrimSpaces(stored.secondaryDns)};
}

void FrAdd::clearFields() {
    for (QLineEdit* field : {m_nameField, m_localIpField, m_maskField, m_gatewayField,
                             m_primaryDnsField, m_secondaryDnsField})
        field->clear();
}

void FrAdd::setFieldsReadOnly(bool readOnly) {
    for (QLineEdit* field : {m_nameField, m_localIpField, m_maskField, m_gatewayField,
                             m_primaryDnsField, m_secondaryDnsField})
        field->setReadOnly(readOnly);
}

void FrAdd::finishChange(bool clearAndLockFields) {
    // The list itself was refilled when the controller reloaded it: nothing is picked now.
    if (clearAndLockFields) {
        clearFields();
        setFieldsReadOnly(true);
    }
}

void FrAdd::reportUnsaved(LineChange change) {
    if (change == LineChange::NotSaved)
        refuse(kNotSaved, nullptr);
}

void FrAdd::saveSettings() {
    ServerSettingsInput input{m_serverIpField->text(), m_serverPortField->text(),
                              m_autostartBox->isChecked(), m_updateListBox->isChecked()};
    if (m_clearSiteKeyBox->isChecked())
        input.siteKeyText = QString();
    else if (!m_siteKeyField->text().isEmpty())
        input.siteKeyText = m_siteKeyField->text();
    input.ownLinesOnly = m_ownLinesOnlyBox->isChecked();
    const ServerSettingsCheck check = m_context.applyServerSettings(input);
    switch (check) {
    case ServerSettingsCheck::BadAddress:
        refuse(QStringLiteral("你输入的服务器IP地址格式错误"), m_serverIpField);
        break;
    case ServerSettingsCheck::BadPort:
        refuse(QStringLiteral("你输入的服务器端口错误"), m_serverPortField);
        break;
    case ServerSettingsCheck::PortOutOfRange:
        refuse(QStringLiteral("请输入1-65535的端口值"), m_serverPortField);
        break;
    case ServerSettingsCheck::Ok:
        fillSettings(); // the typed key is not kept in the field
        break;
    }
}

void FrAdd::refuse(const QString& text, QWidget* focus) {
    ShowProgramHint(this, text);
    if (focus)
        focus->setFocus();
}

QString FrAdd::hintFor(QObject* control) const {
    if (control == m_nameField)
        return kNameHint;
    if (control == m_localIpField)
        return kLocalIpHint;
    if (control == m_maskField)
        return kMaskHint;
    if (control == m_gatewayField)
        return kGatewayHint;
    if (control == m_primaryDnsField)
        return kPrimaryDnsHint;
    if (control == m_secondaryDnsField)
        return kSecondaryDnsHint;
    if (control == m_addButton)
        return QStringLiteral("添加一条光纤线路到列表");
    if (control == m_modifyButton)
        return QStringLiteral("修改一条选定的光纤线路");
    if (control == m_deleteButton)
        return QStringLiteral("删除一条选定的光纤线路");
    if (control == m_closeButton)
        return QStringLiteral("关闭本窗口");
    return QString();
}

bool FrAdd::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        if (watched == this || watched == m_lineFrame) {
            // Only the bare background clears the hint; a move that merely passed up from a
            // child (a label, the settings group) leaves it alone.
            const auto* move = static_cast<QMouseEvent*>(event);
            const auto* widget = static_cast<QWidget*>(watched);
            if (!widget->childAt(move->position().toPoint()))
                m_hintLabel->clear();
        } else {
            const QString hint = hintFor(watched);
            if (!hint.isEmpty())
                m_hintLabel->setText(hint);
        }
    }
    return QDialog::eventFilter(watched, event);
}

void FrAdd::keyPressEvent(QKeyEvent* event) {
    if (!PressFocusedButton(this, event))
        QDialog::keyPressEvent(event);
}

void FrAdd::closeEvent(QCloseEvent* event) {
    m_addArmed = false;
    m_modifyArmed = false;
    QDialog::closeEvent(event);
}

void FrAdd::done(int result) {
    m_addArmed = false;
    m_modifyArmed = false;
    QDialog::done(result);
}

} // namespace torvane::client
