#include "newvalueflash.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>

NewValueFlash::NewValueFlash(QLineEdit *field, std::function<void(QLineEdit *)> restColours)
    : QObject(field)
    , m_field(field)
    , m_restColours(std::move(restColours))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(litMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { setLit(false); });
}

void NewValueFlash::flash()
{
    // A value that follows one still lit restarts the moment.
    setLit(true);
    m_timer.start();
    // Screen readers hear the value each time, as if it had been typed in again.
    const QString text = m_field->text();
    QAccessibleTextUpdateEvent update(m_field, 0, text, text);
    QAccessible::updateAccessibility(&update);
    emit flashed();
}

void NewValueFlash::setLit(bool lit)
{
    if (lit == m_lit)
        return;
    m_lit = lit;
    if (lit) {
        QPalette palette = m_field->palette();
        const QPalette app = QApplication::palette();
        palette.setBrush(QPalette::Base, app.brush(QPalette::Highlight));
        palette.setBrush(QPalette::Text, app.brush(QPalette::HighlightedText));
        m_field->setPalette(palette);
    } else {
        m_restColours(m_field);
    }
    emit litChanged(lit);
}
