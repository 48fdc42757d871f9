#pragma once

#include "common/linefile.h"

#include "server/connectionhub.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace torvane::server {

class LineTableModel;
class SwitchTracker;

// Gateway and DNS servers of one line as the table showed them when the line menu was built.
struct SwitchEntry {
    QString gateway;
    QString primaryDns;
    QString secondaryDns;
};

// The line table's commands (add, delete, save, refresh) and the data of the line menu, without
// a window. The menu ("切换到") is built from the table after every change of it; a switch goes
// out with the values of that build (the switch table), not with the table's current cells, and
// to a list of connections at once.
class LineTableController : public QObject {
    Q_OBJECT
public:
    LineTableController(const QString& lineFilePath, ConnectionHub* hub, QObject* parent = nullptr);

    LineTableModel* model() const { return m_model; }
    QString lineFilePath() const { return m_lineFilePath; }

    // Start: the table from the file, then the menu.
    void load();
    // What the window says when the line file is refused (a link, too large, ...).
    static QString RefusalText(const QString& path, LineFileStatus status);
    // "增 加": false (with the message) when the table is full.
    bool addLine();
    // "删 除": the given row; -1 (nothing selected) leaves the table as it is. The menu is
    // rebuilt in every case.
    bool deleteLine(int row);
    // "保 存": false when a row is refused (the file and the menu stay) or the file could not be
    // written (its old content stays; the menu is rebuilt all the same).
    bool saveTable();
    // "刷 新": the table from the file again; unsaved changes go.
    void refreshTable();
    // BuildLineMenu: after every change of the table, an ended cell edit included.
    void rebuildLineMenu();

    // The menu as last built: one name per line; empty when the table was empty (the window
    // then shows its disabled placeholder).
    QStringList menuNames() const { return m_menuNames; }
    bool isMenuBuilt() const { return m_menuBuilt; }
    // Entries 0..n-1 belong to the menu's lines; entries past them keep older values and are
    // never used.
    const QList<SwitchEntry>& switchTable() const { return m_switchTable; }
    // The menu entry whose gateway and primary DNS these are (the first such line), -1 for none:
    // how a workstation's report or health result is filed under a line.
    int lineOf(const QString& gateway, const QString& primaryDns) const;
    // Sends line `entry` of the last build to every listed connection that is connected, each
    // once. Returns how many were sent; an entry the menu does not offer sends nothing.
    int switchClients(int entry, const QList<ConnectionHub::ClientId>& ids);
    // From now on commands go through the tracker, which follows each to its confirmation;
    // currentLineOf names the line a connection is on, for the log.
    void setSwitchTracker(SwitchTracker* tracker,
                          std::function<QString(ConnectionHub::ClientId)> currentLineOf);

signals:
    void message(const QString& text);
    void lineCountChanged(int count); // the commands that show the line count: add, delete
    void lineMenuRebuilt();

private:
    ConnectionHub* m_hub = nullptr;
    LineTableModel* m_model = nullptr;
    QString m_lineFilePath;
    QStringList m_menuNames;
    QList<SwitchEntry> m_switchTable;
    bool m_menuBuilt = false;
    SwitchTracker* m_tracker = nullptr;
    std::function<QString(ConnectionHub::ClientId)> m_currentLineOf;
};

} // namespace torvane::server
