#include "keyreportview.h"

#include "keyreportviewaccessible.h"

#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

KeyReportView::KeyReportView(QWidget *parent)
    : QAbstractItemView(parent)
    , m_header(new QHeaderView(Qt::Horizontal, this))
{
    KeyReportViewAccessible::install();
    setSelectionMode(SingleSelection);
    setSelectionBehavior(SelectRows);
    setEditTriggers(NoEditTriggers);
    setVerticalScrollMode(ScrollPerItem);
    setHorizontalScrollMode(ScrollPerPixel);
    setIconSize(QSize(16, 16));
    // Headers only label the columns: clicking one neither sorts nor selects.
    m_header->setSectionsClickable(false);
    m_header->setHighlightSections(false);
    m_header->setStretchLastSection(false);
    m_header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_rowHeight = std::max(fontMetrics().height(), iconSize().height()) + 4;
    connect(m_header, &QHeaderView::sectionResized, this, [this] {
        updateGeometries();
        viewport()->update();
    });
}

void KeyReportView::setModel(QAbstractItemModel *model)
{
    QAbstractItemView::setModel(model);
    m_header->setModel(model);
    updateGeometries();
}

int KeyReportView::rowCount() const
{
    return model() ? model()->rowCount(rootIndex()) : 0;
}

int KeyReportView::fullyVisibleRows() const
{
    return std::max(1, viewport()->height() / m_rowHeight);
}

int KeyReportView::firstVisibleRow() const
{
    return verticalScrollBar()->value();
}

QRect KeyReportView::rowRect(int row) const
{
    return QRect(0, (row - firstVisibleRow()) * m_rowHeight, viewport()->width(), m_rowHeight);
}

QRect KeyReportView::visualRect(const QModelIndex &index) const
{
    if (!index.isValid() || index.parent() != rootIndex())
        return {};
    const int x = m_header->sectionViewportPosition(index.column());
    return QRect(x, (index.row() - firstVisibleRow()) * m_rowHeight,
                 m_header->sectionSize(index.column()), m_rowHeight);
}

void KeyReportView::scrollTo(const QModelIndex &index, ScrollHint hint)
{
    if (!index.isValid())
        return;
    const int row = index.row();
    const int visible = fullyVisibleRows();
    const int first = firstVisibleRow();
    int target = first;
    switch (hint) {
    case PositionAtTop:
        target = row;
        break;
    case PositionAtBottom:
        target = row - visible + 1;
        break;
    case PositionAtCenter:
        target = row - visible / 2;
        break;
    case EnsureVisible:
        if (row < first)
            target = row;
        else if (row >= first + visible)
            target = row - visible + 1;
        break;
    }
    verticalScrollBar()->setValue(std::max(0, target));
}

QModelIndex KeyReportView::indexAt(const QPoint &point) const
{
    if (!model() || point.y() < 0)
        return {};
    const int row = firstVisibleRow() + point.y() / m_rowHeight;
    const int column = m_header->logicalIndexAt(point.x());
    if (row >= rowCount() || column < 0)
        return {};
    return model()->index(row, column, rootIndex());
}

QModelIndex KeyReportView::moveCursor(CursorAction action, Qt::KeyboardModifiers)
{
    const int rows = rowCount();
    if (rows == 0)
        return {};
    const QModelIndex current = currentIndex();
    int row = current.isValid() ? current.row() : 0;
    switch (action) {
    case MoveUp:
    case MovePrevious:
        row -= 1;
        break;
    case MoveDown:
    case MoveNext:
        row += 1;
        break;
    case MovePageUp:
        row -= fullyVisibleRows();
        break;
    case MovePageDown:
        row += fullyVisibleRows();
        break;
    case MoveHome:
        row = 0;
        break;
    case MoveEnd:
        row = rows - 1;
        break;
    default:
        break;
    }
    row = std::clamp(row, 0, rows - 1);
    return model()->index(row, current.isValid() ? current.column() : 0, rootIndex());
}

int KeyReportView::horizontalOffset() const
{
    return horizontalScrollBar()->value();
}

int KeyReportView::verticalOffset() const
{
    return firstVisibleRow() * m_rowHeight;
}

void KeyReportView::setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags flags)
{
    const int rows = rowCount();
    if (!model() || rows == 0)
        return;
    const QRect r = rect.normalized();
    const int top = std::clamp(firstVisibleRow() + std::max(0, r.top()) / m_rowHeight, 0, rows - 1);
    const int bottom
        = std::clamp(firstVisibleRow() + std::max(0, r.bottom()) / m_rowHeight, 0, rows - 1);
    const QItemSelection selection(
        model()->index(top, 0, rootIndex()),
        model()->index(bottom, model()->columnCount(rootIndex()) - 1, rootIndex()));
    selectionModel()->select(selection, flags | QItemSelectionModel::Rows);
}

QRegion KeyReportView::visualRegionForSelection(const QItemSelection &selection) const
{
    QRegion region;
    const int first = firstVisibleRow();
    const int last = first + fullyVisibleRows();
    for (const QItemSelectionRange &range : selection) {
        const int top = std::max(range.top(), first);
        const int bottom = std::min(range.bottom(), last);
        if (top <= bottom)
            region += rowRect(top).united(rowRect(bottom));
    }
    return region;
}

void KeyReportView::paintEvent(QPaintEvent *event)
{
    if (!model())
        return;
    QPainter painter(viewport());
    const int rows = rowCount();
    const int columns = model()->columnCount(rootIndex());
    const int first = firstVisibleRow() + std::max(0, event->rect().top()) / m_rowHeight;
    const int last = std::min(rows - 1, firstVisibleRow() + event->rect().bottom() / m_rowHeight);

    QStyleOptionViewItem base;
    initViewItemOption(&base);
    const QModelIndex current = currentIndex();
    for (int row = first; row <= last; ++row) {
        const bool selected = selectionModel() && selectionModel()->isRowSelected(row, rootIndex());
        for (int column = 0; column < columns; ++column) {
            if (m_header->isSectionHidden(column))
                continue;
            const QModelIndex index = model()->index(row, column, rootIndex());
            QStyleOptionViewItem option = base;
            option.rect = visualRect(index);
            if (!option.rect.intersects(event->rect()))
                continue;
            if (selected)
                option.state |= QStyle::State_Selected;
            if (index == current && hasFocus())
                option.state |= QStyle::State_HasFocus;
            itemDelegateForIndex(index)->paint(&painter, option, index);
        }
    }
}

void KeyReportView::updateGeometries()
{
    const int headerHeight = m_header->sizeHint().height();
    if (viewportMargins().top() != headerHeight)
        setViewportMargins(0, headerHeight, 0, 0);
    const QRect area = viewport()->geometry();
    m_header->setGeometry(area.left(), area.top() - headerHeight, area.width(), headerHeight);

    const int visible = fullyVisibleRows();
    verticalScrollBar()->setRange(0, std::max(0, rowCount() - visible));
    verticalScrollBar()->setPageStep(visible);
    verticalScrollBar()->setSingleStep(1);
    horizontalScrollBar()->setRange(0, std::max(0, m_header->length() - area.width()));
    horizontalScrollBar()->setPageStep(area.width());
    horizontalScrollBar()->setSingleStep(std::max(1, m_rowHeight));
    QAbstractItemView::updateGeometries();
}

void KeyReportView::scrollContentsBy(int, int)
{
    m_header->setOffset(horizontalScrollBar()->value());
    viewport()->update();
}

void KeyReportView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    updateGeometries();
    // Rows below the visible ones change nothing on screen but the scroll bar.
    if (start <= firstVisibleRow() + fullyVisibleRows())
        viewport()->update();
}
