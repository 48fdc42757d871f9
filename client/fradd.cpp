#include "client/fradd.h"

#include "client/autostart.h"
#include "client/clientcontext.h"
#include "client/dialogkit.h"
#include "common/gbk.h"
#include "common/linefile.h"
#include "common/regstore.h"
#include "common/settingvalues.h"
#include "common/validators.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
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
    layout->addWidget(m_frame1);
    layout->addWidget(m_frame2);

    fillLineList();
    fillSettings();

    connect(&m_context, &ClientContext::lineListReloaded, this, [this] {
        // The server replaced the list: show the new one, nothing picked, so no record of the
        // old list is ever composed against the new one.
        fillLineList();
    });
}

void FrAdd::buildLineEditor() {
    m_frame1 = new QGroupBox(QStringLiteral("请仔细填写网关和DNS"), this);
    m_frame1->setObjectName(QStringLiteral("Frame1"));
    m_frame1->setMouseTracking(true);
    m_frame1->installEventFilter(this);

    m_wgList = new QComboBox(m_frame1);
    m_wgList->setObjectName(QStringLiteral("WgList"));
    m_wgList->setEditable(false);
    // A long name (a hand-edited or pushed list) must not stretch the window past the screen.
    m_wgList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_wgList->setMinimumContentsLength(16);
    connect(m_wgList, &QComboBox::activated, this, &FrAdd::pickLine);

    m_wgMc = MakeField(m_frame1, QStringLiteral("WgMc"));
    m_bjIp = MakeField(m_frame1, QStringLiteral("BjIp"));
    m_zwYm = MakeField(m_frame1, QStringLiteral("ZwYm"));
    m_wgIp = MakeField(m_frame1, QStringLiteral("WgIp"));
    m_frDns = MakeField(m_frame1, QStringLiteral("FrDns"));
    m_seDns = MakeField(m_frame1, QStringLiteral("SeDns"));

    m_addOk = MakeHintedButton(m_frame1, QStringLiteral("AddOk"), QStringLiteral("添加"),
                               QStyle::SP_FileDialogNewFolder);
    m_xgOk = MakeHintedButton(m_frame1, QStringLiteral("XgOk"), QStringLiteral("修改"),
                              QStyle::SP_FileDialogDetailedView);
    m_delOk = MakeHintedButton(m_frame1, QStringLiteral("DelOk"), QStringLiteral("删除"),
                               QStyle::SP_TrashIcon);
    m_closeOk = MakeHintedButton(m_frame1, QStringLiteral("CloseOk"), QStringLiteral("关闭"),
                                 QStyle::SP_DialogCloseButton);
    connect(m_addOk, &QToolButton::clicked, this, &FrAdd::addLine);
    connect(m_xgOk, &QToolButton::clicked, this, &FrAdd::modifyLine);
    connect(m_delOk, &QToolButton::clicked, this, &FrAdd::deleteLine);
    connect(m_closeOk, &QToolButton::clicked, this, &FrAdd::close);

    m_tiShi = new QLabel(m_frame1);
    m_tiShi->setObjectName(QStringLiteral("TiShi"));
    // Room for a line of Chinese text from the start, so the window does not grow under the
    // mouse when the first hint appears.
    m_tiShi->setMinimumHeight(m_tiShi->fontMetrics().boundingRect(kNameHint).height());

    auto* grid = new QGridLayout(m_frame1);
    grid->addWidget(m_wgList, 0, 0, 1, 3);
    const QList<QPair<QString, QLineEdit*>> rows = {
        {QStringLiteral("网关名称："), m_wgMc},       {QStringLiteral("本机IP："), m_bjIp},
        {QStringLiteral("子网掩码："), m_zwYm},       {QStringLiteral("网关IP："), m_wgIp},
        {QStringLiteral("首选DNS服务器："), m_frDns}, {QStringLiteral("备用DNS服务器："), m_seDns},
    };
    for (int i = 0; i < rows.size(); ++i) {
        auto* label = new QLabel(rows.at(i).first, m_frame1);
        label->setBuddy(rows.at(i).second);
        grid->addWidget(label, i + 1, 0, Qt::AlignRight);
        grid->addWidget(rows.at(i).second, i + 1, 1);
    }
    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_addOk);
    buttons->addWidget(m_xgOk);
    buttons->addWidget(m_delOk);
    buttons->addWidget(m_closeOk);
    buttons->addStretch();
    grid->addLayout(buttons, 1, 2, 6, 1);
    grid->addWidget(m_tiShi, 7, 0, 1, 3);

    setTabOrder(m_wgList, m_wgMc);
    setTabOrder(m_wgMc, m_bjIp);
    setTabOrder(m_bjIp, m_zwYm);
    setTabOrder(m_zwYm, m_wgIp);
    setTabOrder(m_wgIp, m_frDns);
    setTabOrder(m_frDns, m_seDns);
    setTabOrder(m_seDns, m_addOk);
    setTabOrder(m_addOk, m_xgOk);
    setTabOrder(m_xgOk, m_delOk);
    setTabOrder(m_delOk, m_closeOk);

    for (QObject* control : {static_cast<QObject*>(m_wgMc), static_cast<QObject*>(m_bjIp),
                             static_cast<QObject*>(m_zwYm), static_cast<QObject*>(m_wgIp),
                             static_cast<QObject*>(m_frDns), static_cast<QObject*>(m_seDns),
                             static_cast<QObject*>(m_addOk), static_cast<QObject*>(m_xgOk),
                             static_cast<QObject*>(m_delOk), static_cast<QObject*>(m_closeOk)})
        control->installEventFilter(this);

    setFieldsReadOnly(true);
}

void FrAdd::buildSettingsGroup() {
    m_frame2 = new QGroupBox(QStringLiteral("基本配置"), this);
    m_frame2->setObjectName(QStringLiteral("Frame2"));

    m_fwqIp = new QLineEdit(m_frame2);
    m_fwqIp->setObjectName(QStringLiteral("FwqIp"));
    m_fwqDk = new QLineEdit(m_frame2);
    m_fwqDk->setObjectName(QStringLiteral("FwqDk"));
    m_fwqDk->setMaxLength(5);
    m_qiDong = new QCheckBox(QStringLiteral("随计算机启动"), m_frame2);
    m_qiDong->setObjectName(QStringLiteral("QiDong"));
    m_qiDong->setToolTip(QStringLiteral("如果不勾选，将不能被服务端控制"));
    m_gengXin = new QCheckBox(QStringLiteral("每次更新配置"), m_frame2);
    m_gengXin->setObjectName(QStringLiteral("GengXin"));
    m_gengXin->setToolTip(QStringLiteral("不勾选代表每次启动将不到服务器更新配置列表"));
    m_queDing = MakeHintedButton(m_frame2, QStringLiteral("QueDing"), QStringLiteral("确定"),
                                 QStyle::SP_DialogApplyButton);
    m_queDing->setMouseTracking(false);
    connect(m_queDing, &QToolButton::clicked, this, &FrAdd::saveSettings);

    auto* grid = new QGridLayout(m_frame2);
    grid->addWidget(new QLabel(QStringLiteral("服务器IP："), m_frame2), 0, 0);
    grid->addWidget(m_fwqIp, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("服务器端口："), m_frame2), 0, 2);
    grid->addWidget(m_fwqDk, 0, 3);
    grid->addWidget(m_qiDong, 1, 0, 1, 2);
    grid->addWidget(m_gengXin, 1, 2);
    grid->addWidget(m_queDing, 1, 3, Qt::AlignRight);

    setTabOrder(m_closeOk, m_fwqIp);
    setTabOrder(m_fwqIp, m_fwqDk);
    setTabOrder(m_fwqDk, m_qiDong);
    setTabOrder(m_qiDong, m_gengXin);
    setTabOrder(m_gengXin, m_queDing);
}

void FrAdd::fillLineList() {
    m_lines = LoadLineEntries(m_context.lineFilePath());
    m_wgList->clear();
    for (const LineEntry& entry : std::as_const(m_lines))
        m_wgList->addItem(entry.name);
    m_wgList->setCurrentIndex(-1);
}

void FrAdd::fillSettings() {
    const ClientSettings& settings = m_context.settings();
    m_fwqIp->setText(settings.fwqIp);
    m_fwqDk->setText(settings.fwqDk);
    m_qiDong->setChecked(FlagIsOn(settings.qd));
    m_gengXin->setChecked(FlagIsOn(settings.gengXin));
}

void FrAdd::pickLine(int index) {
    if (index < 0 || index >= m_lines.size())
        return;
    const LineEntry& entry = m_lines.at(index);
    m_wgMc->setText(m_wgList->itemText(index));
    m_bjIp->setText(entry.localIp);
    m_zwYm->setText(entry.subnetMask);
    m_wgIp->setText(entry.gateway);
    m_frDns->setText(entry.primaryDns);
    m_seDns->setText(entry.secondaryDns);
    setFieldsReadOnly(true);
    m_addArmed = false;
    m_xgArmed = false;
}

void FrAdd::addLine() {
    // The limit comes first on every click, so a full list never even opens the fields.
    if (m_lines.size() >= kMaxLines) {
        refuse(QStringLiteral("只能20条线路"), nullptr);
        return;
    }
    if (!m_addArmed) {
        clearFields();
        setFieldsReadOnly(false);
        m_addArmed = true;
        m_wgMc->setFocus();
        return;
    }
    if (!validateFields())
        return;
    const LineEntry entry = fieldsAsEntry();
    if (LineNameExists(m_context.lineFilePath(), entry.name)) {
        refuse(QStringLiteral("已经有此网关名称，请改名"), m_wgMc);
        return;
    }
    const bool saved = AppendLine(m_context.lineFilePath(), ComposeLine(entry));
    finishChange(true);
    m_addArmed = false;
    if (!saved)
        refuse(kNotSaved, nullptr);
}

void FrAdd::modifyLine() {
    if (m_wgList->currentIndex() < 0) {
        refuse(QStringLiteral("请选择一条你要修改的光纤线路"), m_wgList);
        return;
    }
    if (!m_xgArmed) {
        setFieldsReadOnly(false);
        m_xgArmed = true;
        m_wgMc->setFocus();
        return;
    }
    if (!validateFields())
        return;
    // A modified line may take another line's name: no name test here.
    const bool saved = RewriteLineFile(m_context.lineFilePath(), ComposeLine(selectedStoredEntry()),
                                       ComposeLine(fieldsAsEntry()), false);
    finishChange(true);
    m_xgArmed = false;
    if (!saved)
        refuse(kNotSaved, nullptr);
}

void FrAdd::deleteLine() {
    if (m_wgList->currentIndex() < 0) {
        refuse(QStringLiteral("请选择一条你要删除的光纤线路"), m_wgList);
        return;
    }
    const bool saved = RewriteLineFile(m_context.lineFilePath(), ComposeLine(selectedStoredEntry()),
                                       QString(), true);
    clearFields();
    finishChange(false);
    if (!saved)
        refuse(kNotSaved, nullptr);
}

bool FrAdd::validateFields() {
    const auto isEmpty = [](const QLineEdit* field) { return TrimSpaces(field->text()).isEmpty(); };
    // Addresses are tested as typed: a stray space is refused rather than silently cut.
    if (!isEmpty(m_bjIp) && !IsIpAddress(m_bjIp->text())) {
        refuse(QStringLiteral("你输入的本机IP地址格式错误"), m_bjIp);
        return false;
    }
    if (!isEmpty(m_zwYm) && !IsIpAddress(m_zwYm->text())) {
        refuse(QStringLiteral("你输入的子网掩码地址格式错误"), m_zwYm);
        return false;
    }
    if (isEmpty(m_wgMc)) {
        refuse(kNameHint, m_wgMc);
        return false;
    }
    if (NameBreaksRecord(m_wgMc->text())) {
        refuse(QStringLiteral("网关名称中不能含有\";\"、\"|\"或换行"), m_wgMc);
        return false;
    }
    if (!NameStorableInGbk(m_wgMc->text())) {
        refuse(QStringLiteral("网关名称中含有无法保存的字符，请改名"), m_wgMc);
        return false;
    }
    if (isEmpty(m_wgIp)) {
        refuse(kGatewayHint, m_wgIp);
        return false;
    }
    if (!IsIpAddress(m_wgIp->text())) {
        refuse(QStringLiteral("你输入的网关IP地址格式错误"), m_wgIp);
        return false;
    }
    if (isEmpty(m_frDns)) {
        refuse(kPrimaryDnsHint, m_frDns);
        return false;
    }
    if (!IsIpAddress(m_frDns->text())) {
        refuse(QStringLiteral("你输入的主DNS服务器IP地址格式错误"), m_frDns);
        return false;
    }
    if (!isEmpty(m_seDns) && !IsIpAddress(m_seDns->text())) {
        refuse(QStringLiteral("你输入的备用DNS服务器IP地址格式错误"), m_seDns);
        return false;
    }
    return true;
}

LineEntry FrAdd::fieldsAsEntry() const {
    return LineEntry{TrimSpaces(m_wgMc->text()),  TrimSpaces(m_bjIp->text()),
                     TrimSpaces(m_zwYm->text()),  TrimSpaces(m_wgIp->text()),
                     TrimSpaces(m_frDns->text()), TrimSpaces(m_seDns->text())};
}

LineEntry FrAdd::selectedStoredEntry() const {
    const int index = m_wgList->currentIndex();
    const LineEntry& stored = m_lines.at(index);
    return LineEntry{TrimSpaces(m_wgList->itemText(index)), TrimSpaces(stored.localIp),
                     TrimSpaces(stored.subnetMask),         TrimSpaces(stored.gateway),
                     TrimSpaces(stored.primaryDns),         TrimSpaces(stored.secondaryDns)};
}

void FrAdd::clearFields() {
    for (QLineEdit* field : {m_wgMc, m_bjIp, m_zwYm, m_wgIp, m_frDns, m_seDns})
        field->clear();
}

void FrAdd::setFieldsReadOnly(bool readOnly) {
    for (QLineEdit* field : {m_wgMc, m_bjIp, m_zwYm, m_wgIp, m_frDns, m_seDns})
        field->setReadOnly(readOnly);
}

void FrAdd::finishChange(bool clearAndLockFields) {
    if (clearAndLockFields) {
        clearFields();
        setFieldsReadOnly(true);
    }
    // The main window's switch does nothing until a line of the new list is picked there.
    SelectedLine& selected = m_context.selectedLine();
    selected.gateway.clear();
    selected.primaryDns.clear();
    selected.secondaryDns.clear();
    m_context.reloadLineList();
    fillLineList();
}

void FrAdd::saveSettings() {
    if (!IsIpAddress(m_fwqIp->text())) {
        refuse(QStringLiteral("你输入的服务器IP地址格式错误"), m_fwqIp);
        return;
    }
    if (!IsDigits(m_fwqDk->text())) {
        refuse(QStringLiteral("你输入的服务器端口错误"), m_fwqDk);
        return;
    }
    if (PortFromText(m_fwqDk->text()) == 0) {
        refuse(QStringLiteral("请输入1-65535的端口值"), m_fwqDk);
        return;
    }

    ClientSettings& settings = m_context.settings();
    settings.fwqIp = TrimSpaces(m_fwqIp->text());
    settings.fwqDk = TrimSpaces(m_fwqDk->text()); // leading zeros stay as typed
    settings.qd = FlagText(m_qiDong->isChecked());
    settings.gengXin = FlagText(m_gengXin->isChecked());

    const QString key = QString::fromLatin1(kSettingsKey);
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("FwqIp"), settings.fwqIp);
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("FwqDk"), settings.fwqDk);
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("Qd"), settings.qd);
    WriteRegString(RegRoot::CurrentUser, key, QStringLiteral("GengXin"), settings.gengXin);

    if (FlagIsOn(settings.qd))
        WriteAutostartEntry(m_context.autostartFolder(), QCoreApplication::applicationFilePath());
    else
        RemoveAutostartEntry(m_context.autostartFolder());

    // Always a fresh attempt, also when nothing changed: the new address holds at once.
    m_context.reconnect();
}

void FrAdd::refuse(const QString& text, QWidget* focus) {
    ShowProgramHint(this, text);
    if (focus)
        focus->setFocus();
}

QString FrAdd::hintFor(QObject* control) const {
    if (control == m_wgMc)
        return kNameHint;
    if (control == m_bjIp)
        return kLocalIpHint;
    if (control == m_zwYm)
        return kMaskHint;
    if (control == m_wgIp)
        return kGatewayHint;
    if (control == m_frDns)
        return kPrimaryDnsHint;
    if (control == m_seDns)
        return kSecondaryDnsHint;
    if (control == m_addOk)
        return QStringLiteral("添加一条光纤线路到列表");
    if (control == m_xgOk)
        return QStringLiteral("修改一条选定的光纤线路");
    if (control == m_delOk)
        return QStringLiteral("删除一条选定的光纤线路");
    if (control == m_closeOk)
        return QStringLiteral("关闭本窗口");
    return QString();
}

bool FrAdd::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) {
        if (watched == this || watched == m_frame1) {
            // Only the bare background clears the hint; a move that merely passed up from a
            // child (a label, the settings group) leaves it alone.
            const auto* move = static_cast<QMouseEvent*>(event);
            const auto* widget = static_cast<QWidget*>(watched);
            if (!widget->childAt(move->position().toPoint()))
                m_tiShi->clear();
        } else {
            const QString hint = hintFor(watched);
            if (!hint.isEmpty())
                m_tiShi->setText(hint);
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
    m_xgArmed = false;
    QDialog::closeEvent(event);
}

void FrAdd::done(int result) {
    m_addArmed = false;
    m_xgArmed = false;
    QDialog::done(result);
}

} // namespace torvane::client
