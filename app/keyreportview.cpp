#include "keyreportview.h"

#include "keyreportviewaccessible.h"

#include <QAccessible>
#include <QHeaderView>
#include <QIcon>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>

#include <algorithm>

namespace {

// A scroll bar that repaints only when what it shows changes. With a long list, one more row
// moves the slider by less than a pixel, and a repaint per report would cost more than the row.
class QuietScrollBar : public QScrollBar
{
public:
    using QScrollBar::QScrollBar;

protected:
    void sliderChange(SliderChange change) override
    {
        QStyleOptionSlider option;
        initStyleOption(&option);
        const Look look {style()->subControlRect(QStyle::CC_ScrollBar, &option,
                                                 QStyle::SC_ScrollBarSlider, this),
                         value() == minimum(), value() == maximum(), minimum() == maximum()};
        if (change != SliderOrientationChange && look == m_look)
            return;
        m_look = look;
        QScrollBar::sliderChange(change);
    }

private:
    struct Look
    {
        QRect slider;
        bool atStart = false;
        bool atEnd = false;
        bool empty = false;
        bool operator==(const Look &) const = default;
    };
    Look m_look;
};

} // namespace

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
    updateRowHeight();
    // Icons grow with the font (the window sets their size): rows grow with them.
    connect(this, &QAbstractItemView::iconSizeChanged, this, [this] {
        m_icons.clear();
        updateRowHeight();
        updateGeometries();
        viewport()->update();
    });
    setVerticalScrollBar(new QuietScrollBar(Qt::Vertical, this));
    m_frame.setSingleShot(true);
    m_frame.setInterval(frameMs);
    m_frame.setTimerType(Qt::PreciseTimer);
    connect(&m_frame, &QTimer::timeout, this, &KeyReportView::showFrame);
    connect(m_header, &QHeaderView::sectionResized, this, [this] {
        updateGeometries();
        viewport()->update();
    });
}

void KeyReportView::setModel(QAbstractItemModel *model)
{
    QAbstractItemView::setModel(model);
    m_header->setModel(model);
    m_firstNewRow = m_lastNewRow = -1;
    updateGeometries();
    // Rows already there are shown as new ones are: the newest selected at the next frame.
    if (const int rows = rowCount(); rows > 0) {
        m_firstNewRow = 0;
        m_lastNewRow = rows - 1;
        armFrame();
    }
}

void KeyReportView::updateRowHeight()
{
    m_rowHeight = std::max(fontMetrics().height(), iconSize().height()) + 4;
}

int KeyReportView::cellWidth(const QString &text, bool withIcon) const
{
    // As a cell paints: 3 pixels in, the icon and 4 pixels, the text, and 3 pixels to spare.
    return 3 + (withIcon ? iconSize().width() + 4 : 0) + fontMetrics().horizontalAdvance(text) + 3;
}

void KeyReportView::reset()
{
    // Rows announced for the next frame are gone with the rest.
    m_firstNewRow = m_lastNewRow = -1;
    QAbstractItemView::reset();
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

const QStaticText &KeyReportView::staticText(const QString &text)
{
    auto it = m_texts.find(text);
    if (it == m_texts.end()) {
        QStaticText laidOut(text);
        laidOut.setTextFormat(Qt::PlainText);
        laidOut.setPerformanceHint(QStaticText::AggressiveCaching);
        laidOut.prepare(QTransform(), font());
        it = m_texts.insert(text, laidOut);
    }
    return *it;
}

QPixmap KeyReportView::iconPixmap(const QVariant &decoration)
{
    const QIcon icon = qvariant_cast<QIcon>(decoration);
    if (icon.isNull())
        return {};
    auto it = m_icons.find(icon.cacheKey());
    if (it == m_icons.end())
        it = m_icons.insert(icon.cacheKey(), icon.pixmap(iconSize(), devicePixelRatio()));
    return *it;
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
    const QPalette::ColorGroup group = isEnabled()
        ? (hasFocus() || window()->isActiveWindow() ? QPalette::Active : QPalette::Inactive)
        : QPalette::Disabled;
    const QPalette &colours = palette();
    const QModelIndex current = currentIndex();
    const int textTop = (m_rowHeight - fontMetrics().height()) / 2;

    for (int row = first; row <= last; ++row) {
        const bool selected = selectionModel() && selectionModel()->isRowSelected(row, rootIndex());
        const QRect line = rowRect(row);
        if (selected)
            painter.fillRect(line, colours.brush(group, QPalette::Highlight));
        painter.setPen(colours.color(group, selected ? QPalette::HighlightedText : QPalette::Text));
        for (int column = 0; column < columns; ++column) {
            if (m_header->isSectionHidden(column))
                continue;
            const QModelIndex index = model()->index(row, column, rootIndex());
            const QRect cell = visualRect(index);
            if (!cell.intersects(event->rect()))
                continue;
            int x = cell.left() + 3;
            const QPixmap icon = iconPixmap(index.data(Qt::DecorationRole));
            if (!icon.isNull()) {
                painter.drawPixmap(x, cell.top() + (m_rowHeight - iconSize().height()) / 2, icon);
                x += iconSize().width() + 4;
            }
            const QStaticText &text = staticText(index.data(Qt::DisplayRole).toString());
            // Cells are wide enough for what they show; a narrowed column clips, never elides.
            const bool fits = x + text.size().width() <= cell.right();
            if (!fits) {
                painter.save();
                painter.setClipRect(cell);
            }
            painter.drawStaticText(x, cell.top() + textTop, text);
            if (!fits)
                painter.restore();
            if (index == current && hasFocus()) {
                QStyleOptionFocusRect focus;
                focus.initFrom(this);
                focus.rect = cell;
                focus.backgroundColor
                    = colours.color(group, selected ? QPalette::Highlight : QPalette::Base);
                style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
            }
        }
    }
}

void KeyReportView::changeEvent(QEvent *event)
{
    QAbstractItemView::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        m_texts.clear();
        updateRowHeight();
        updateGeometries();
        viewport()->update();
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

void KeyReportView::scrollContentsBy(int dx, int dy)
{
    m_header->setOffset(horizontalScrollBar()->value());
    // Move what is painted already; only the rows (or columns) that come into view paint.
    if (dy != 0 && std::abs(dy) < fullyVisibleRows() + 1)
        viewport()->scroll(0, dy * m_rowHeight);
    else if (dx != 0 && dy == 0)
        viewport()->scroll(dx, 0);
    else
        viewport()->update();
}

void KeyReportView::rowsInserted(const QModelIndex &parent, int start, int end)
{
    QAbstractItemView::rowsInserted(parent, start, end);
    if (m_firstNewRow < 0 || start < m_firstNewRow)
        m_firstNewRow = start;
    m_lastNewRow = std::max(m_lastNewRow, end);
    armFrame();
}

void KeyReportView::flushFrame()
{
    if (m_frame.isActive()) {
        m_frame.stop();
        showFrame();
    }
}

void KeyReportView::armFrame()
{
    if (!m_frame.isActive())
        m_frame.start();
}

void KeyReportView::showFrame()
{
    const int first = m_firstNewRow;
    const int last = m_lastNewRow;
    m_firstNewRow = m_lastNewRow = -1;
    if (first < 0 || !model())
        return;
    updateGeometries(); // the scroll bar counts the new rows
    // The newest row is selected and scrolled to. Scrolling moves the rows painted already;
    // the rows it brings in paint by themselves.
    const QModelIndex newest = model()->index(last, 0, rootIndex());
    scrollTo(newest);
    // New rows on screen that the scroll did not bring in (a short list) paint here.
    const int lastShown = firstVisibleRow() + fullyVisibleRows();
    if (first <= lastShown)
        viewport()->update(rowRect(first).united(rowRect(std::min(last, lastShown))));
    selectionModel()->setCurrentIndex(
        newest, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    // Screen readers hear of the new rows once a frame too (Qt drops the event when none
    // listens).
    QAccessibleTableModelChangeEvent added(this, QAccessibleTableModelChangeEvent::RowsInserted);
    added.setFirstRow(first);
    added.setLastRow(last);
    QAccessible::updateAccessibility(&added);
    emit rowsAnnounced(first, last);
}
