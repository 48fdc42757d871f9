#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QMenu;
class QWidget;

namespace torvane::server {

class LineTableModel;

// Gateway and DNS servers of one line as the table showed them when the menu was built.
struct SwitchEntry {
    QString gateway;
    QString primaryDns;
    QString secondaryDns;
};

// The client list's pop-up menu "菜单1": its one entry "切换到" (Qih) opens a submenu with one
// entry (XianLu) per line of the table. The switch command uses what the table held at the last
// build (SwitchTable), so the menu is rebuilt after every change of the table.
class LineMenu : public QObject {
    Q_OBJECT
public:
    explicit LineMenu(QWidget* parent = nullptr);
    ~LineMenu() override;

    // BuildLineMenu: one entry per row (at most 20); an empty table gives the single disabled
    // entry "暂无配置列表".
    void build(const LineTableModel& table);

    QMenu* popupMenu() const { return m_popup; }   // FrMenu1
    QMenu* switchMenu() const { return m_switch; } // Qih "切换到"
    const QList<SwitchEntry>& switchTable() const { return m_switchTable; }
    int entryCount() const { return m_entryCount; } // 1 for the disabled entry
    bool isBuilt() const { return m_built; }
    QStringList captions() const; // entry texts as shown, in order
    // Picks entry k (0-based) as a click would; false when it is not a line entry.
    bool trigger(int k);

signals:
    // Entry k (0-based) was picked; `entry` is its SwitchTable record.
    void lineChosen(int k, const SwitchEntry& entry);

private:
    QMenu* m_popup = nullptr;
    QMenu* m_switch = nullptr;
    QList<SwitchEntry> m_switchTable;
    int m_entryCount = 0;
    bool m_built = false;
};

} // namespace torvane::server
