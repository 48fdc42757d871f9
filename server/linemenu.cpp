#include "server/linemenu.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

namespace torvane::server {

LineMenu::LineMenu(QWidget* parent) : QObject(parent) {
    m_popup = new QMenu(QStringLiteral("菜单1"), parent);
    m_popup->setObjectName(QStringLiteral("FrMenu1"));
    m_switch = m_popup->addMenu(QStringLiteral("切换到"));
    m_switch->setObjectName(QStringLiteral("Qih"));
    m_switch->menuAction()->setObjectName(QStringLiteral("QihAction"));
}

LineMenu::~LineMenu() {
    // The menus are children of the window when there is one; otherwise they are ours.
    if (!m_popup->parent())
        delete m_popup;
}

void LineMenu::build(const QStringList& names) {
    m_switch->clear();
    if (names.isEmpty()) {
        QAction* none = m_switch->addAction(QStringLiteral("暂无配置列表"));
        none->setObjectName(QStringLiteral("XianLu1"));
        none->setEnabled(false);
        m_entryCount = 1;
    } else {
        for (int k = 0; k < names.size(); ++k) {
            QString caption = names.at(k);
            // "&" would turn into a mnemonic and vanish from the caption.
            caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
            QAction* action = m_switch->addAction(caption);
            action->setObjectName(QStringLiteral("XianLu%1").arg(k + 1));
            action->setData(k);
            connect(action, &QAction::triggered, this, [this, k] { emit lineChosen(k); });
        }
        m_entryCount = static_cast<int>(names.size());
    }
    m_built = true;
}

QStringList LineMenu::captions() const {
    QStringList texts;
    for (const QAction* action : m_switch->actions()) {
        QString text = action->text();
        text.replace(QStringLiteral("&&"), QStringLiteral("&"));
        texts.append(text);
    }
    return texts;
}

bool LineMenu::trigger(int k) {
    const QList<QAction*> actions = m_switch->actions();
    if (k < 0 || k >= actions.size() || !actions.at(k)->isEnabled())
        return false;
    actions.at(k)->trigger();
    return true;
}

} // namespace torvane::server
