#include "keyreportviewaccessible.h"

#include <QAbstractItemModel>
#include <QItemSelectionModel>

#include "keyreportview.h"

namespace {

class KeyReportCellAccessible : public QAccessibleInterface, public QAccessibleTableCellInterface
{
public:
    KeyReportCellAccessible(KeyReportViewAccessible *table, int row, int column)
        : m_table(table)
        , m_row(row)
        , m_column(column)
    { }

    bool isValid() const override
    {
        return m_table->view() && m_row < m_table->rowCount() && m_column < m_table->columnCount();
    }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_table->window(); }
    QAccessibleInterface *parent() const override { return m_table; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessible::Role role() const override { return QAccessible::Cell; }
    void setText(QAccessible::Text, const QString &) override { }

    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name || !isValid())
            return {};
        return index().data(Qt::DisplayRole).toString();
    }
    QRect rect() const override
    {
        if (!isValid())
            return {};
        KeyReportView *view = m_table->view();
        const QRect r = view->visualRect(index());
        return QRect(view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.selectable = true;
        s.focusable = true;
        if (!isValid())
            return s;
        KeyReportView *view = m_table->view();
        s.selected = isSelected();
        s.focused = view->hasFocus() && view->currentIndex() == index();
        s.invisible = !view->viewport()->rect().intersects(view->visualRect(index()));
        return s;
    }
    void *interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::TableCellInterface
            ? static_cast<QAccessibleTableCellInterface *>(this)
            : nullptr;
    }

    bool isSelected() const override { return isValid() && m_table->isRowSelected(m_row); }
    QList<QAccessibleInterface *> columnHeaderCells() const override { return {}; }
    QList<QAccessibleInterface *> rowHeaderCells() const override { return {}; }
    int columnIndex() const override { return m_column; }
    int rowIndex() const override { return m_row; }
    int columnExtent() const override { return 1; }
    int rowExtent() const override { return 1; }
    QAccessibleInterface *table() const override { return m_table; }

private:
    QModelIndex index() const
    {
        KeyReportView *view = m_table->view();
        return view->model()->index(m_row, m_column, view->rootIndex());
    }

    KeyReportViewAccessible *m_table;
    int m_row;
    int m_column;
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (className == QLatin1String("KeyReportView") && object && object->isWidgetType())
        return new KeyReportViewAccessible(static_cast<KeyReportView *>(object));
    return nullptr;
}

} // namespace

KeyReportViewAccessible::KeyReportViewAccessible(KeyReportView *view)
    : QAccessibleWidget(view, QAccessible::Table)
{ }

KeyReportViewAccessible::~KeyReportViewAccessible()
{
    forgetCells();
}

void KeyReportViewAccessible::install()
{
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    Q_UNUSED(installed);
}

KeyReportView *KeyReportViewAccessible::view() const
{
    return static_cast<KeyReportView *>(object());
}

int KeyReportViewAccessible::rowCount() const
{
    return view() && view()->model() ? view()->model()->rowCount(view()->rootIndex()) : 0;
}

int KeyReportViewAccessible::columnCount() const
{
    return view() && view()->model() ? view()->model()->columnCount(view()->rootIndex()) : 0;
}

int KeyReportViewAccessible::childCount() const
{
    return rowCount() * columnCount();
}

QAccessibleInterface *KeyReportViewAccessible::child(int index) const
{
    const int columns = columnCount();
    if (index < 0 || columns == 0)
        return nullptr;
    return cellAt(index / columns, index % columns);
}

int KeyReportViewAccessible::indexOfChild(const QAccessibleInterface *child) const
{
    if (!child || child->parent() != this)
        return -1;
    auto *cell = const_cast<QAccessibleInterface *>(child)->tableCellInterface();
    return cell ? cell->rowIndex() * columnCount() + cell->columnIndex() : -1;
}

QAccessibleInterface *KeyReportViewAccessible::childAt(int x, int y) const
{
    const QPoint local = view()->viewport()->mapFromGlobal(QPoint(x, y));
    const QModelIndex index = view()->indexAt(local);
    return index.isValid() ? cellAt(index.row(), index.column()) : nullptr;
}

QAccessibleInterface *KeyReportViewAccessible::focusChild() const
{
    const QModelIndex current = view()->currentIndex();
    return current.isValid() ? cellAt(current.row(), current.column()) : nullptr;
}

void *KeyReportViewAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::TableInterface)
        return static_cast<QAccessibleTableInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
}

QAccessibleInterface *KeyReportViewAccessible::cellAt(int row, int column) const
{
    if (row < 0 || column < 0 || row >= rowCount() || column >= columnCount())
        return nullptr;
    const int key = row * columnCount() + column;
    if (const auto it = m_cells.constFind(key); it != m_cells.cend())
        return QAccessible::accessibleInterface(*it);
    auto *cell
        = new KeyReportCellAccessible(const_cast<KeyReportViewAccessible *>(this), row, column);
    m_cells.insert(key, QAccessible::registerAccessibleInterface(cell));
    return cell;
}

QList<int> KeyReportViewAccessible::selectedRows() const
{
    QList<int> rows;
    if (!view()->selectionModel())
        return rows;
    for (const QModelIndex &index : view()->selectionModel()->selectedRows())
        rows << index.row();
    return rows;
}

int KeyReportViewAccessible::selectedRowCount() const
{
    return static_cast<int>(selectedRows().size());
}

int KeyReportViewAccessible::selectedCellCount() const
{
    return selectedRowCount() * columnCount();
}

QList<QAccessibleInterface *> KeyReportViewAccessible::selectedCells() const
{
    QList<QAccessibleInterface *> cells;
    for (const int row : selectedRows())
        for (int column = 0; column < columnCount(); ++column)
            cells << cellAt(row, column);
    return cells;
}

QString KeyReportViewAccessible::columnDescription(int column) const
{
    return view()->model() ? view()->model()->headerData(column, Qt::Horizontal).toString()
                           : QString();
}

bool KeyReportViewAccessible::isRowSelected(int row) const
{
    return view()->selectionModel()
        && view()->selectionModel()->isRowSelected(row, view()->rootIndex());
}

bool KeyReportViewAccessible::selectRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    view()->selectionModel()->setCurrentIndex(view()->model()->index(row, 0, view()->rootIndex()),
                                              QItemSelectionModel::ClearAndSelect
                                                  | QItemSelectionModel::Rows);
    return true;
}

bool KeyReportViewAccessible::unselectRow(int row)
{
    if (row < 0 || row >= rowCount())
        return false;
    view()->selectionModel()->select(view()->model()->index(row, 0, view()->rootIndex()),
                                     QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
    return true;
}

void KeyReportViewAccessible::modelChange(QAccessibleTableModelChangeEvent *event)
{
    // Rows are only ever appended, which leaves the cells made so far where they are.
    if (event->modelChangeType() != QAccessibleTableModelChangeEvent::RowsInserted)
        forgetCells();
}

void KeyReportViewAccessible::forgetCells()
{
    for (const QAccessible::Id id : std::as_const(m_cells))
        QAccessible::deleteAccessibleInterface(id);
    m_cells.clear();
}
