#pragma once

#include <QWidget>

class KeyReportController;
class KeyReportModel;
class KeyReportView;
class QAction;
class QMenu;

// The infrared key report window: one list and its context menu. It lives as long as it is
// open (it deletes itself on closing) and speaks to the reports' controller through signals.
class KeyReportWindow : public QWidget
{
    Q_OBJECT
public:
    explicit KeyReportWindow(KeyReportModel *model);
    ~KeyReportWindow() override;

    // Makes a window whenever the controller asks for one, wired to it.
    static void serve(KeyReportController &controller);
    static KeyReportWindow *openFor(KeyReportController &controller);

    KeyReportView *list() const { return m_lvIRCmd; }
    KeyReportModel *model() const { return m_model; }
    QMenu *popupMenu() const { return m_popup; }
    QAction *emptyListAction() const { return m_emptyList; }

public slots:
    // Selects the row, scrolls to it and shows the window if it is hidden.
    void showNewestRow(int row);

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
