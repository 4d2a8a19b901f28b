#pragma once

#include <QObject>
#include <span>

#include "keyreportmodel.h"
#include "receivedecoder.h"

// Holds the key reports of the session. Whoever shows them listens to reportsAdded; the list
// is emptied by clear() (the window's menu, or the window closing: its rows go with it).
class KeyReportController : public QObject
{
    Q_OBJECT
public:
    explicit KeyReportController(QObject *parent = nullptr);
    ~KeyReportController() override;

    KeyReportModel *model() { return &m_model; }

    // Reports that arrived together: appended in order, then announced once.
    void addReports(std::span<const IrKeyMessage> reports);
    void addReport(const IrKeyMessage &report) { addReports({&report, 1}); }

public slots:
    void clear();

signals:
    // Rows were appended; `newestRow` is the last of them.
    void reportsAdded(int newestRow);

private:
    KeyReportModel m_model;
};
