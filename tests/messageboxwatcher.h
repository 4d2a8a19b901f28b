#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

// Answers the next modal message box with its OK button and keeps what it looked like, so that
// a test can press a button whose handler shows a box without blocking.
class MessageBoxWatcher : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        Qt::WindowModality modality = Qt::NonModal;
        QWidget *focusBehind = nullptr; // the focus in the main window while the box is up
    };

    MessageBoxWatcher()
    {
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            m_timer.stop();
            Seen s {box->windowTitle(),
                    box->text(),
                    box->icon(),
                    box->standardButtons(),
                    box->windowModality(),
                    box->parentWidget() ? box->parentWidget()->focusWidget() : nullptr};
            seen.append(s);
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        });
        m_timer.start();
    }
    QList<Seen> seen;

private:
    QTimer m_timer;
};
