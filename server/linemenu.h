#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QMenu;
class QWidget;

namespace torvane::server {

// The client list's pop-up menu "菜单1": its one entry "切换到" (Qih) opens a submenu with one
// entry (XianLu1..n) per line name; without lines, the single disabled entry "暂无配置列表".
// What a pick sends is the line table controller's business: the menu only says which entry.
class LineMenu : public QObject {
    Q_OBJECT
public:
    explicit LineMenu(QWidget* parent = nullptr);
    ~LineMenu() override;

    void build(const QStringList& names);

    QMenu* popupMenu() const { return m_popup; }    // FrMenu1
    QMenu* switchMenu() const { return m_switch; }  // Qih "切换到"
    int entryCount() const { return m_entryCount; } // 1 for the disabled entry
    bool isBuilt() const { return m_built; }
    QStringList captions() const; // entry texts as shown, in order
    // Picks entry k (0-based) as a click would; false when it is not a line entry.
    bool trigger(int k);

signals:
    void lineChosen(int k); // 0-based

private:
    QMenu* m_popup = nullptr;
    QMenu* m_switch = nullptr;
    int m_entryCount = 0;
    bool m_built = false;
};

} // namespace torvane::server
