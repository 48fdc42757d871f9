#pragma once

#include "client/clientcontext.h"
#include "common/linefile.h"

#include <QTcpSocket>
#include <QTemporaryDir>

using namespace torvane;
using namespace torvane::client;

// Stands in for the main window: a line file and an autostart folder in a temporary folder,
// settings in memory, and a real socket so a test server sees every reconnect.
class FakeClientContext : public ClientContext {
    Q_OBJECT
public:
    FakeClientContext() { reloadLineList(); }

    QString lineFilePath() const override { return LineFilePath(m_dir.path()); }
    ClientSettings& settings() override { return m_settings; }
    SelectedLine& selectedLine() override { return m_selected; }
    void reloadLineList() override {
        ++m_reloads;
        m_mainList = LoadLineEntries(lineFilePath());
        emit lineListReloaded();
    }
    void reconnect() override {
        ++m_reconnects;
        m_socket.abort();
        m_socket.connectToHost(m_settings.fwqIp, m_settings.fwqDk.toUShort());
    }
    QString autostartFolder() const override { return m_dir.filePath(QStringLiteral("autostart")); }

    QTemporaryDir m_dir;
    ClientSettings m_settings;
    SelectedLine m_selected;
    QList<LineEntry> m_mainList; // what the main window's list would show
    QTcpSocket m_socket;
    int m_reloads = 0;
    int m_reconnects = 0;
};
