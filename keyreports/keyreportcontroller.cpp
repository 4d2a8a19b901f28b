#include "keyreportcontroller.h"

KeyReportController::KeyReportController(QObject *parent)
    : QObject(parent)
{ }

KeyReportController::~KeyReportController() = default;

void KeyReportController::addReports(std::span<const IrKeyMessage> reports)
{
    if (reports.empty())
        return;
    m_model.append(reports);
    emit reportsAdded(m_model.rowCount() - 1);
}

void KeyReportController::clear()
{
    m_model.clear();
}
