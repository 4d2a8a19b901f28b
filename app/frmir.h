#pragma once

#include <QWidget>

#include "irmessageview.h"

class IrKeyListModel;
class IrListView;
class IrMessageWindow;
class QMenu;
class QAction;

// The infrared key report window: one list and its context menu. It holds the rows; closing
// it discards them.
class frmIR : public QWidget, public IrMessageView {
    Q_OBJECT
public:
    explicit frmIR(IrMessageWindow& controller);
    ~frmIR() override;

    IrListView* list() const { return lvIRCmd; }
    IrKeyListModel* model() const { return m_model; }
    QMenu* popupMenu() const { return Popup; }
    QAction* emptyListAction() const { return EmptyList; }

    // IrMessageView
    void appendRows(std::span<const IrKeyMessage> messages) override;
    void clearRows() override;
    int rowCount() const override;
    void selectRow(int row) override;
    bool isShown() const override;
    void showWindow() override;
    void closeWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    IrMessageWindow& m_controller;
    IrKeyListModel* m_model;
    IrListView* lvIRCmd;
    QMenu* Popup;
    QAction* EmptyList;
};
