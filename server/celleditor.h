#pragma once

#include <QObject>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>

class QLineEdit;
class QTableView;

namespace torvane::server {

class LineTableModel;

// In-place editor of the line table: a double click with the left button on a cell of the
// columns 名称, 网关, 首选DNS or 备选DNS lays the text box (Text1, a sibling of the table) over
// the cell with its text selected, while the cell itself reads empty. Enter keeps the new text,
// Esc restores the old one, losing the focus keeps the new text. Enter and Esc never reach the
// box. The editor accepts any text; Save validates.
class CellEditor : public QObject {
    Q_OBJECT
public:
    // The box must be a child of a widget that also (indirectly) holds the table.
    CellEditor(QTableView* table, LineTableModel* model, QLineEdit* box, QObject* parent = nullptr);
    ~CellEditor() override;

    // BeginCellEdit for a cell; false (nothing happens) for the ID column or an invalid cell.
    bool begin(const QModelIndex& index);
    // EndCellEdit: writes the box's text (accept) or the old text back into the cell, hides and
    // empties the box, then emits finished(). Does nothing when no edit is in progress.
    void end(bool accept);
    bool isEditing() const { return m_editing; }
    int editRow() const;    // 1-based, 0 when idle
    int editColumn() const; // 1..4 while editing
    QString oldText() const { return m_oldText; }

signals:
    void finished(); // the window re-sizes the columns and rebuilds the line menu

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void fitWidthToText();

    // The window owns all three; pointers guard against its children going in any order. The
    // filter compares the watched object with plain QObject pointers: during a widget's
    // destruction a typed pointer to it must not be formed.
    QPointer<QTableView> m_table;
    QPointer<LineTableModel> m_model;
    QPointer<QLineEdit> m_box;
    QObject* m_boxObject = nullptr;
    QObject* m_viewportObject = nullptr;
    QPersistentModelIndex m_cell;
    QString m_oldText;
    bool m_editing = false;
};

} // namespace torvane::server
