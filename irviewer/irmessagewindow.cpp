#include "irmessagewindow.h"

IrMessageWindow::IrMessageWindow(ViewFactory factory, QObject* parent)
    : QObject(parent), m_factory(std::move(factory))
{
}

IrMessageWindow::~IrMessageWindow() = default;

void IrMessageWindow::addKeyMessages(std::span<const IrKeyMessage> messages)
{
    if (messages.empty()) return;
    if (!m_view) {
        if (!m_factory) return;
        m_view = m_factory(*this);
        if (!m_view) return;
    }
    m_view->appendRows(messages);
    m_view->selectRow(m_view->rowCount() - 1);
    if (!m_view->isShown()) m_view->showWindow();
}

void IrMessageWindow::closeIfOpen()
{
    if (m_view) m_view->closeWindow();
}

void IrMessageWindow::onEmptyList()
{
    if (m_view) m_view->clearRows();
}

void IrMessageWindow::onViewClosed()
{
    if (!m_view) return;
    m_closed.push_back(std::move(m_view));
    QMetaObject::invokeMethod(this, [this] { m_closed.clear(); }, Qt::QueuedConnection);
}
