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
    m_moveLine = m_popup->addMenu(QStringLiteral("整条线路切换"));
    m_moveLine->setObjectName(QStringLiteral("MoveLine"));
    m_resend = m_popup->addAction(QStringLiteral("重发失败的切换"));
    m_resend->setObjectName(QStringLiteral("ResendFailed"));
    m_resend->setEnabled(false);
    connect(m_resend, &QAction::triggered, this, &LineMenu::resendFailedChosen);
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
    buildMoveLine(names);
    m_built = true;
}

void LineMenu::buildMoveLine(const QStringList& names) {
    m_moveLine->clear();
    m_moveLine->setEnabled(names.size() >= 2);
    for (int from = 0; from < names.size(); ++from) {
        QString source = names.at(from);
        source.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QMenu* targets =
            m_moveLine->addMenu(QStringLiteral("把 %1 线路上的全部机子切换到").arg(source));
        targets->setObjectName(QStringLiteral("MoveLine%1").arg(from + 1));
        for (int to = 0; to < names.size(); ++to) {
            if (to == from)
                continue;
            QString caption = names.at(to);
            caption.replace(QLatin1Char('&'), QStringLiteral("&&"));
            QAction* action = targets->addAction(caption);
            action->setData(to);
            connect(action, &QAction::triggered, this,
                    [this, from, to] { emit moveLineChosen(from, to); });
        }
    }
}

void LineMenu::setMoveSourceEnabled(int k, bool enabled) {
    const QList<QAction*> sources = m_moveLine->actions();
    if (k >= 0 && k < sources.size())
        sources.at(k)->setEnabled(enabled);
}

bool LineMenu::triggerMove(int from, int to) {
    const QList<QAction*> sources = m_moveLine->actions();
    if (!m_moveLine->isEnabled() || from < 0 || from >= sources.size() ||
        !sources.at(from)->isEnabled() || !sources.at(from)->menu())
        return false;
    for (QAction* action : sources.at(from)->menu()->actions()) {
        if (action->data().toInt() == to && action->isEnabled()) {
            action->trigger();
            return true;
        }
    }
    return false;
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
