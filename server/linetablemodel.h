#pragma once

#include "common/lineentry.h"
#include "common/linefile.h"

#include <QAbstractTableModel>
#include <QList>
#include <QString>

namespace torvane::server {

// The Server's line table (DnsList): the only in-memory store of its lines. Columns "ID",
// "名称", "网关", "首选DNS", "备选DNS"; the ID is the row number: loading and adding number the
// new rows, removing renumbers the rows below. Holds at most kMaxLines rows.
class LineTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { IdColumn = 0, NameColumn, GatewayColumn, PrimaryDnsColumn, SecondaryDnsColumn };
    enum class SaveResult { Saved, Invalid, WriteFailed };

    explicit LineTableModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Empties the table, then takes the file's records in order. Records after the 20th are
    // dropped: the rest of the Server (add command, switch menu) never handles more than 20.
    // Returns how many records were dropped. A file that is refused (a link, not a regular file,
    // too large, unreadable) loads as an empty table; loadStatus() says why.
    int load(const QString& path);
    LineFileStatus loadStatus() const { return m_loadStatus; }
    // Validates every row, then rewrites the whole file atomically in table order. An empty
    // table leaves the file as it was. Invalid: nothing is written.
    SaveResult save(const QString& path) const;
    // Row index of the first row that Save refuses, -1 when all rows are fine.
    int firstInvalidRow() const;
    static bool isRowValid(const LineEntry& row);

    // Appends "配置名称" with 192.168.0.1 three times; false (table unchanged) at 20 rows.
    bool addLine();
    // Removes one row; false (table unchanged) when the row does not exist.
    bool removeLine(int row);

    QString cellText(int row, int column) const;
    void setCellText(int row, int column, const QString& text);
    const QList<LineEntry>& rows() const { return m_rows; }
    void setRows(const QList<LineEntry>& rows); // at most kMaxLines are taken

private:
    QString* cell(int row, int column);
    void renumber();
    LineFileStatus m_loadStatus = LineFileStatus::Missing;
    QList<LineEntry> m_rows;
    QList<int> m_ids; // the ID cell of each row, kept equal to its number by renumber()
};

} // namespace torvane::server
