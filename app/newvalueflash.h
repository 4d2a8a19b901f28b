#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

class QLineEdit;

// Makes each new value of a read-only field noticeable, also when it equals the one before: the
// field takes the theme's highlight colours for a moment and screen readers are told of the
// value again. The field's text is the caller's; this only marks it as new.
class NewValueFlash : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool lit READ isLit NOTIFY litChanged)
public:
    // `restColours` gives the field its usual colours back (taken from the application's
    // palette then, so a theme changed meanwhile is followed).
    NewValueFlash(QLineEdit *field, std::function<void(QLineEdit *)> restColours);

    bool isLit() const { return m_lit; }
    static constexpr int litMs = 700;

public slots:
    // The field shows a value that just arrived.
    void flash();

signals:
    // Every new value, when it is marked and announced.
    void flashed();
    void litChanged(bool lit);

private:
    void setLit(bool lit);

    QLineEdit *m_field;
    std::function<void(QLineEdit *)> m_restColours;
    QTimer m_timer;
    bool m_lit = false;
};
