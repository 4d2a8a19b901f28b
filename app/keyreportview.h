#pragma once

#include <QAbstractItemView>
#include <QHash>
#include <QPixmap>
#include <QStaticText>
#include <QTimer>

class QHeaderView;

// A report-style list (column headers, icons, whole-row selection) that only ever looks at the
// rows on screen. All rows have one height, so a row's place is a multiplication: appending,
// selecting and scrolling cost the same with ten rows or ten million, and the view keeps
// nothing per row. The vertical scroll bar counts rows.
//
// Reports can come in at the line's full rate, each on its own. The model takes them at once;
// what the screen shows (the scroll bar, the new rows, the newest row selected and scrolled
// into view) follows once a display frame, from a single-shot timer that the first change of a
// frame arms, so nothing runs while nothing arrives. Cells are painted directly: each distinct text
// is laid out once (QStaticText) and scrolling by rows moves the pixels already painted, so only
// new rows paint.
//
// Screen readers see rows, cells, their texts, the column titles and the selection through
// KeyReportViewAccessible (Qt writes such an interface only for its own views); added rows are
// announced once a frame.
class KeyReportView : public QAbstractItemView
{
    Q_OBJECT
public:
    explicit KeyReportView(QWidget *parent = nullptr);

    void setModel(QAbstractItemModel *model) override;
    void reset() override;
    QHeaderView *header() const { return m_header; }
    int rowHeight() const { return m_rowHeight; }
    // The width a cell needs to show `text` whole, after an icon where `withIcon`.
    int cellWidth(const QString &text, bool withIcon) const;
    int firstVisibleRow() const;
    // Shows what is pending now instead of at the frame (benchmarks time a frame this way).
    void flushFrame();
    static constexpr int frameMs = 16;

signals:
    // Rows were added since the last frame (or were there when the model was set); screen
    // readers are told at the same moment.
    void rowsAnnounced(int first, int last);

public:
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
    void changeEvent(QEvent *event) override;

private:
    int rowCount() const;
    void updateRowHeight();
    int fullyVisibleRows() const;
    QRect rowRect(int row) const;
    void showFrame();
    void armFrame();
    const QStaticText &staticText(const QString &text);
    QPixmap iconPixmap(const QVariant &decoration);

    QHeaderView *m_header;
    int m_rowHeight = 20; // set from the font in the constructor
    QTimer m_frame;
    int m_firstNewRow = -1; // rows added since the last frame: the first and the last
    int m_lastNewRow = -1;
    QHash<QString, QStaticText> m_texts;
    QHash<qint64, QPixmap> m_icons;
};
