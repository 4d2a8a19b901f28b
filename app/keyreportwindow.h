#pragma once

#include <QWidget>

class KeyReportModel;
class KeyReportView;
class QAction;
class QMenu;

// The infrared key report window: one list and its context menu. It lives as long as it is
// open (it deletes itself on closing); its list follows the newest row by itself, and the menu
// and the closing are told through signals. The list fills the window, which the operator may
// resize; it grows with the font as the main window does.
class KeyReportWindow : public QWidget
{
    Q_OBJECT
public:
    explicit KeyReportWindow(KeyReportModel *model);
    ~KeyReportWindow() override;

    KeyReportView *list() const { return m_lvIRCmd; }
    KeyReportModel *model() const { return m_model; }
    QMenu *popupMenu() const { return m_popup; }
    QAction *emptyListAction() const { return m_emptyList; }

signals:
    void clearRequested();
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    // Icons, columns and the window's size from the font: the drawn-up size with the default
    // font, grown with a larger one, and every header and cell text whole.
    void fitToFont();

    KeyReportModel *m_model;
    KeyReportView *m_lvIRCmd = nullptr;
    QMenu *m_popup = nullptr;
    QAction *m_emptyList = nullptr;
    bool m_fitted = false; // sized once; later fits only grow it
};
