#include "rawpty.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

RawPty::RawPty()
{
    char name[256] = {};
    termios raw {};
    cfmakeraw(&raw);
    if (::openpty(&m_master, &m_slave, name, &raw, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    ::tcsetattr(m_master, TCSANOW, &raw);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_slavePath = QString::fromLocal8Bit(name);
}

RawPty::~RawPty()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void RawPty::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

bool RawPty::giveTo(unsigned uid, unsigned gid)
{
    return m_slave >= 0 && ::fchown(m_slave, uid, gid) == 0 && ::fchmod(m_slave, 0660) == 0;
}
