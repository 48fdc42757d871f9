#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QAction;
class QMenu;
class QWidget;

namespace torvane::server {

// The client list's pop-up menu "菜单1": its one entry "切换到" (Qih) opens a submenu with one
// entry (XianLu1..n) per line name; without lines, the single disabled entry "暂无配置列表".
// What a pick sends is the line table controller's business: the menu only says which entry.
// Below it, "整条线路切换" (MoveLine) holds per line X a submenu "把 X 线路上的全部机子切换到"
// listing the other lines, and "重发失败的切换" (ResendFailed) sends failed commands again.
class LineMenu : public QObject {
    Q_OBJECT
public:
    explicit LineMenu(QWidget* parent = nullptr);
    ~LineMenu() override;

    void build(const QStringList& names);

    QMenu* popupMenu() const { return m_popup; }   // FrMenu1
    QMenu* switchMenu() const { return m_switch; } // Qih "切换到"
    QMenu* moveLineMenu() const { return m_moveLine; }
    QAction* resendAction() const { return m_resend; }
    // Enables the move of line k's workstations only while some are on it.
    void setMoveSourceEnabled(int k, bool enabled);
    // Picks "move line from to line to" as a click would; false when not offered.
    bool triggerMove(int from, int to);
    int entryCount() const { return m_entryCount; } // 1 for the disabled entry
    bool isBuilt() const { return m_built; }
    QStringList captions() const; // entry texts as shown, in order
    // Picks entry k (0-based) as a click would; false when it is not a line entry.
    bool trigger(int k);

signals:
    void lineChosen(int k); // 0-based
    void moveLineChosen(int from, int to);
    void resendFailedChosen();

private:
    void buildMoveLine(const QStringList& names);

    QMenu* m_popup = nullptr;
    QMenu* m_switch = nullptr;
    QMenu* m_moveLine = nullptr;
    QAction* m_resend = nullptr;
    int m_entryCount = 0;
    bool m_built = false;
};

} // namespace torvane::server
