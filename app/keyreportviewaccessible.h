#pragma once

#include <QAccessibleWidget>
#include <QHash>

class KeyReportView;

// What screen readers see of KeyReportView: a table of rows and cells with their texts, the column
// titles and the selection. Qt gives its own item views such an interface; a view of our own
// needs one written for it. Cells are made when asked for, so nothing here grows with the rows.
class KeyReportViewAccessible : public QAccessibleWidget, public QAccessibleTableInterface
{
public:
    explicit KeyReportViewAccessible(KeyReportView *view);
    ~KeyReportViewAccessible() override;

    // Registers the factory that hands this interface out; safe to call more than once.
    static void install();

    KeyReportView *view() const;

    // QAccessibleInterface
    QAccessible::Role role() const override { return QAccessible::Table; }
    int childCount() const override;
    QAccessibleInterface *child(int index) const override;
    int indexOfChild(const QAccessibleInterface *child) const override;
    QAccessibleInterface *childAt(int x, int y) const override;
    QAccessibleInterface *focusChild() const override;
    void *interface_cast(QAccessible::InterfaceType type) override;

    // QAccessibleTableInterface
    QAccessibleInterface *caption() const override { return nullptr; }
    QAccessibleInterface *summary() const override { return nullptr; }
    QAccessibleInterface *cellAt(int row, int column) const override;
    int selectedCellCount() const override;
    QList<QAccessibleInterface *> selectedCells() const override;
    QString columnDescription(int column) const override;
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override;
    int columnCount() const override;
    int rowCount() const override;
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override;
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int row) const override;
    bool selectRow(int row) override;
    bool selectColumn(int) override { return false; }
    bool unselectRow(int row) override;
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent *event) override;

private:
    void forgetCells();
    mutable QHash<int, QAccessible::Id> m_cells; // child index -> registered cell
};
