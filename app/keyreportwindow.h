#pragma once

#include <QWidget>

class KeyReportModel;
class KeyReportView;
class QAction;
class QMenu;

// The infrared key report window: one list and its context menu. It lives as long as it is
// open (it deletes itself on closing); its list follows the newest row by itself, and the menu
// and the closing are told through signals.
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

private:
    KeyReportModel *m_model;
    KeyReportView *m_lvIRCmd;
    QMenu *m_popup;
    QAction *m_emptyList;
};
