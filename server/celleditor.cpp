#include "server/celleditor.h"

#include "server/linetablemodel.h"

#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTableView>

namespace torvane::server {

namespace {
// The box sits 4 pixels right of the cell's text area and, once it holds text, is as wide as
// the text plus a margin (180 twips at 15 twips per pixel).
constexpr int kLeftShift = 4;
constexpr int kTextMargin = 12;
} // namespace

CellEditor::CellEditor(QTableView* table, LineTableModel* model, QLineEdit* box, QObject* parent)
    : QObject(parent), m_table(table), m_model(model), m_box(box) {
    m_box->hide();
    m_box->clear();
    // Its own context menu would take the focus and end the edit under the user's hands.
    m_box->setContextMenuPolicy(Qt::NoContextMenu);
    m_boxObject = m_box;
    m_viewportObject = m_table->viewport();
    m_box->installEventFilter(this);
    m_table->viewport()->installEventFilter(this);
    // Forget each one as soon as its destruction starts.
    connect(m_box, &QObject::destroyed, this, [this] { m_boxObject = nullptr; });
    connect(m_table->viewport(), &QObject::destroyed, this, [this] { m_viewportObject = nullptr; });
    connect(m_box, &QLineEdit::textChanged, this, [this] {
        if (m_editing)
            fitWidthToText();
    });
}

CellEditor::~CellEditor() {
    if (m_boxObject)
        m_boxObject->removeEventFilter(this);
    if (m_viewportObject)
        m_viewportObject->removeEventFilter(this);
}

int CellEditor::editRow() const {
    return m_editing && m_cell.isValid() ? m_cell.row() + 1 : 0;
}

int CellEditor::editColumn() const {
    return m_editing && m_cell.isValid() ? m_cell.column() : 0;
}

bool CellEditor::begin(const QModelIndex& index) {
    if (!m_table || !m_box || !index.isValid() || index.model() != m_model.data() ||
        index.column() == LineTableModel::IdColumn)
        return false;
    if (!m_table->visualRect(index).isValid())
        return false;
    // A new edit first ends the one in progress with its text kept. That re-sizes the columns,
    // so the cell is measured afterwards.
    end(true);
    const QRect cellRect = m_table->visualRect(index);

    QWidget* host = m_box->parentWidget();
    const QPoint topLeft = m_table->viewport()->mapTo(host, cellRect.topLeft());
    m_box->setGeometry(topLeft.x() + kLeftShift, topLeft.y(), cellRect.width(), cellRect.height());

    m_cell = index;
    m_editing = true;
    const QString text = m_model->cellText(index.row(), index.column());
    m_box->setText(text); // widens the box to its text when there is some
    m_oldText = text;
    m_model->setCellText(index.row(), index.column(), QString());

    m_box->raise();
    m_box->show();
    m_box->setSelection(0, static_cast<int>(text.size()));
    m_table->selectRow(index.row());
    m_box->setFocus(Qt::OtherFocusReason);
    return true;
}

void CellEditor::end(bool accept) {
    if (!m_editing || !m_box)
        return;
    // Cleared first: hiding the box takes its focus, which must not end the edit again.
    m_editing = false;
    const QString text = accept ? m_box->text() : m_oldText;
    if (m_cell.isValid() && m_model)
        m_model->setCellText(m_cell.row(), m_cell.column(), text);
    m_cell = QPersistentModelIndex();
    m_box->hide();
    m_box->clear();
    m_oldText.clear();
    emit finished();
}

void CellEditor::fitWidthToText() {
    // Every change while editing, an erased text included. An empty cell loaded at the start
    // is no change, so the box keeps the cell's width until the first keystroke.
    const QWidget* window = m_box->window();
    const int width = window->fontMetrics().horizontalAdvance(m_box->text()) + kTextMargin;
    m_box->resize(width, m_box->height());
}

bool CellEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_boxObject) {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (m_editing && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
                end(true);
                return true;
            }
            if (m_editing && key == Qt::Key_Escape) {
                end(false);
                return true;
            }
        } else if (event->type() == QEvent::ShortcutOverride) {
            // Keep Esc and Enter for the editor even when a shortcut would claim them.
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (m_editing &&
                (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape)) {
                event->accept();
                return true;
            }
        } else if (event->type() == QEvent::FocusOut) {
            if (m_editing)
                end(true);
        }
        return false;
    }
    if (watched == m_viewportObject && event->type() == QEvent::MouseButtonDblClick) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::LeftButton)
            return false;
        const QModelIndex index = m_table->indexAt(mouse->position().toPoint());
        if (begin(index))
            return true; // the view must not start its own editing or selection here
    }
    return false;
}

} // namespace torvane::server
