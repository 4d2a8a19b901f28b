#include "portholder.h"

#include <QFile>

#include "portguard.h"

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

PortHolder::PortHolder(const QString &path, How how, const QByteArray &name)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return;
    const QByteArray native = QFile::encodeName(path);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // Killed with the test process, whatever way that ends.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(1);
        // Only what a separate program would have: not the test's own end of the pty.
        for (int fd = 3; fd < 1024; ++fd) {
            if (fd != ready[1])
                ::close(fd);
        }
        if (!name.isEmpty())
            ::prctl(PR_SET_NAME, name.constData());
        const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY);
        bool ok = fd >= 0;
        if (ok && how == How::Flock)
            ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (ok && how == How::Exclusive)
            ok = ::ioctl(fd, TIOCEXCL) == 0;
        const char status = ok ? '1' : '0';
        (void)!::write(ready[1], &status, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char status = '0';
    m_ok = m_pid > 0 && ::read(ready[0], &status, 1) == 1 && status == '1';
    ::close(ready[0]);
}

PortHolder::~PortHolder()
{
    release();
}

void PortHolder::release()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

bool noLockLeft(const QString &path)
{
    for (const QString &dir : PortGuard::defaultLockDirectories()) {
        for (const QString &name : PortGuard::lockFileNames(path)) {
            if (QFile::exists(dir + QLatin1Char('/') + name))
                return false;
        }
    }
    if (exclusiveFlag(path).value_or(false))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false; // EBUSY: the exclusive flag
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

std::optional<bool> exclusiveFlag(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY ? std::optional<bool>(true) : std::nullopt;
    int exclusive = 0;
    const int result = ::ioctl(fd, TIOCGEXCL, &exclusive);
    const int error = errno;
    ::close(fd);
    if (result != 0)
        return error == EBUSY ? std::optional<bool>(true) : std::nullopt;
    return exclusive != 0;
}
