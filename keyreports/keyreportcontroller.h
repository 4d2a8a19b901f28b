#pragma once

#include <QObject>
#include <QPointer>
#include <span>

#include "keyreportmodel.h"
#include "receivedecoder.h"

// Holds the key reports of the session and decides when their window is wanted. The rows live
// as long as their window is open: closing it discards them, and the next report starts an
// empty list in a new window.
class KeyReportController : public QObject
{
    Q_OBJECT
public:
    explicit KeyReportController(QObject *parent = nullptr);
    ~KeyReportController() override;

    KeyReportModel *model() { return &m_model; }
    // The window showing the rows, once one has been attached; null when there is none.
    QObject *window() const { return m_window.data(); }
    void attachWindow(QObject *window);

    // Reports that arrived together: appended in order, then the newest is announced once.
    void addReports(std::span<const IrKeyMessage> reports);
    void addReport(const IrKeyMessage &report) { addReports({&report, 1}); }

public slots:
    void clear();
    void closeWindow();
    // The window has closed; its rows go with it.
    void windowClosed();

signals:
    // Reports arrived and no window shows them: one must be made and attached.
    void windowRequested();
    // The window selects this row, scrolls to it and shows itself.
    void reportsAdded(int newestRow);
    void closeWindowRequested();

private:
    KeyReportModel m_model;
    QPointer<QObject> m_window;
};
