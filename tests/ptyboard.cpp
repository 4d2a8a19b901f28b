#include "ptyboard.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

bool PtyBoard::send(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_pty.master(), bytes.constData() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5); // let the reader drain
        } else {
            return false;
        }
    }
    return true;
}

QByteArray PtyBoard::receive(int count, std::chrono::milliseconds timeout)
{
    QByteArray got;
    QDeadlineTimer deadline(timeout);
    while (got.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd p {m_pty.master(), POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(m_pty.master(), buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
        }
    }
    return got;
}

QByteArray PtyBoard::drain()
{
    return receive(INT_MAX, std::chrono::milliseconds(100));
}

void PtyBoard::closeMaster()
{
    m_pty.closeMaster();
}

int eventLoopWakeUps(std::chrono::milliseconds duration)
{
    QEventLoop loop;
    int wakeUps = 0;
    auto *dispatcher = QAbstractEventDispatcher::instance();
    const auto counter
        = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&wakeUps] { ++wakeUps; });
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(counter);
    return wakeUps;
}
