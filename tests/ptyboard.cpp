#include "ptyboard.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyBoard::PtyBoard()
{
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    // Raw on the master side as well: no echo, no CR/LF translation.
    ::tcsetattr(m_master, TCSANOW, &raw);
    m_slavePath = QString::fromLocal8Bit(name);
}

PtyBoard::~PtyBoard()
{
    closeMaster();
    if (m_slave >= 0) ::close(m_slave);
}

bool PtyBoard::send(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);  // let the reader drain
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
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n > 0) got.append(buf, n);
        }
    }
    return got;
}

QByteArray PtyBoard::drain() { return receive(INT_MAX, std::chrono::milliseconds(100)); }

void PtyBoard::closeMaster()
{
    if (m_master >= 0) ::close(m_master);
    m_master = -1;
}
