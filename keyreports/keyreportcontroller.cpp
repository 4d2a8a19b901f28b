#include "keyreportcontroller.h"

KeyReportController::KeyReportController(QObject *parent)
    : QObject(parent)
{ }

KeyReportController::~KeyReportController() = default;

void KeyReportController::attachWindow(QObject *window)
{
    m_window = window;
}

void KeyReportController::addReports(std::span<const IrKeyMessage> reports)
{
    if (reports.empty())
        return;
    m_model.append(reports);
    if (!m_window)
        emit windowRequested();
    emit reportsAdded(m_model.rowCount() - 1);
}

void KeyReportController::clear()
{
    m_model.clear();
}

void KeyReportController::closeWindow()
{
    if (m_window)
        emit closeWindowRequested();
}

void KeyReportController::windowClosed()
{
    m_window = nullptr;
    m_model.clear();
}
