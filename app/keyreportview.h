#pragma once

#include <QAbstractItemView>

class QHeaderView;

// A report-style list (column headers, icons, whole-row selection) that only ever looks at the
// rows on screen. All rows have one height, so a row's place is a multiplication: appending,
// selecting and scrolling cost the same with ten rows or ten million, and the view keeps
// nothing per row. The vertical scroll bar counts rows.
//
// Being an item view, it gets Qt's accessible table for free: screen readers see rows, cells,
// their texts, the column titles and the selection.
class KeyReportView : public QAbstractItemView
{
    Q_OBJECT
public:
    explicit KeyReportView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    QHeaderView *header() const { return m_header; }
    int rowHeight() const { return m_rowHeight; }
    int firstVisibleRow() const;

    QRect visualRect(const QModelIndex &index) const override;
    void scrollTo(const QModelIndex &index, ScrollHint hint = EnsureVisible) override;
    QModelIndex indexAt(const QPoint &point) const override;

protected:
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    int horizontalOffset() const override;
    int verticalOffset() const override;
    bool isIndexHidden(const QModelIndex &) const override { return false; }
    void setSelection(const QRect &rect, QItemSelectionModel::SelectionFlags flags) override;
    QRegion visualRegionForSelection(const QItemSelection &selection) const override;
    void paintEvent(QPaintEvent *event) override;
    void updateGeometries() override;
    void scrollContentsBy(int dx, int dy) override;
    void rowsInserted(const QModelIndex &parent, int start, int end) override;

private:
    int rowCount() const;
    int fullyVisibleRows() const;
    QRect rowRect(int row) const;

    QHeaderView *m_header;
    int m_rowHeight;
};
