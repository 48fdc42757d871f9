#pragma once

#include "server/connectionhub.h"
#include "server/securehub.h"
#include "server/switchtracker.h"

#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <vector>

namespace torvane::server {

// The rows of KhList, one per connection, in the order of acceptance. Changes from the hub are
// collected and shown at most ten times a second so that thousands of Clients arriving at once
// do not repaint the list thousands of times; the count is told at once.
class ClientListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { AddressColumn, GatewayColumn, DnsColumn, LineNameColumn, ColumnCount };
    static constexpr int kFlushIntervalMs = 100;
    // The state of the row's last switch command (a SwitchState as int).
    static constexpr int SwitchStateRole = Qt::UserRole + 1;

    explicit ClientListModel(ConnectionHub* hub, QObject* parent = nullptr);
    // Rows of the secure channel join the same list (their ids never meet the legacy hub's).
    void attachSecureHub(SecureHub* hub);

    // columns: "客户机IP", "当前网关", "当前DNS", "对应配置名称"
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    ConnectionHub::ClientId clientIdAt(int row) const; // 0 when out of range
    QString addressAt(int row) const;
    QString gatewayAt(int row) const;
    QString primaryDnsAt(int row) const;
    QString lineNameAt(int row) const;
    // Rows show the state of their switch commands (tooltip, SwitchStateRole; the window colours
    // them by it).
    void setSwitchTracker(SwitchTracker* tracker);
    int rowOf(ConnectionHub::ClientId id) const; // -1 when not shown (yet)
    int clientCount() const;                     // rows, counted at once (not batched)
    void flush();                                // apply pending batched changes now (tests)

signals:
    void countChanged(int count); // emitted at once on accept/close/failure/clear

private:
    struct Row {
        ConnectionHub::ClientId id = 0;
        QString address;
        QString gateway;
        QString primaryDns;
        QString lineName;
        bool leaving = false; // ended; removed at the next flush
    };
    struct Fields {
        QString gateway;
        QString primaryDns;
        QString lineName;
    };

    void onConnected(ConnectionHub::ClientId id, const QString& address);
    void onReported(ConnectionHub::ClientId id, const QString& gateway, const QString& primaryDns,
                    const QString& lineName);
    void onEnded(ConnectionHub::ClientId id);
    void onAllClosed();
    void schedule();
    void applyRemovals();
    void applyFieldChanges();
    void applyStateChanges();
    void applyInsertions();
    QVariant switchStateData(ConnectionHub::ClientId id, int role) const;
    static Row* find(std::vector<Row>& rows, ConnectionHub::ClientId id);
    static const Row* find(const std::vector<Row>& rows, ConnectionHub::ClientId id);

    // Rows stay sorted by id: ids grow in the order of acceptance and rows are only appended.
    std::vector<Row> m_rows;    // what the views see
    std::vector<Row> m_arrived; // accepted since the last flush (already carry their reports)
    bool m_departures = false;  // some shown rows are leaving
    QHash<ConnectionHub::ClientId, Fields> m_changed; // latest report of shown rows
    QSet<ConnectionHub::ClientId> m_stateChanged;     // shown rows whose switch state moved
    SwitchTracker* m_tracker = nullptr;
    int m_count = 0;
    QTimer m_flushTimer;
    QElapsedTimer m_sinceFlush; // time since the views were last told of changes
};

} // namespace torvane::server
