#include "portguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSysInfo>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

OpenResult resultFromErrno(int error)
{
    switch (error) {
    case EBUSY:
        return OpenResult::PortInUse;
    case EACCES:
    case EPERM:
    case EROFS:
        return OpenResult::PermissionDenied;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: // a ttyS node without a UART behind it
        return OpenResult::DeviceMissing;
    default:
        return OpenResult::OpenFailed;
    }
}

bool processAlive(pid_t pid)
{
    // EPERM: it exists, it merely belongs to someone else.
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

struct LockFileContent
{
    pid_t pid = 0; // 0 when the file names no process this machine can check
    QString program; // Qt's lock files name the program
    bool otherHost = false;
};

// Lock files come in three shapes: Qt's "pid\nprogram\nhost\n", the ASCII one of uucp and the
// terminal programs ("%10d\n"), and an old binary one (the pid as a native int).
LockFileContent readLockFile(const QString &path)
{
    LockFileContent content;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return content;
    const QByteArray data = file.read(256);
    // Four bytes that are not digits, spaces and newlines are the binary form: a pid small
    // enough to exist (below 2^22) has a zero high byte, which no text form contains.
    bool text = true;
    for (const char c : data)
        text = text && (c == ' ' || c == '\n' || (c >= '0' && c <= '9'));
    if (!text && data.size() == int(sizeof(int))) {
        int pid = 0;
        std::memcpy(&pid, data.constData(), sizeof pid);
        content.pid = pid > 0 ? pid : 0;
        return content;
    }
    const QList<QByteArray> lines = data.split('\n');
    bool ok = false;
    const qlonglong pid = lines.value(0).trimmed().toLongLong(&ok);
    if (!ok || pid <= 0 || pid > INT_MAX)
        return content;
    content.pid = pid_t(pid);
    content.program = QString::fromUtf8(lines.value(1).trimmed());
    const QString host = QString::fromUtf8(lines.value(2).trimmed());
    content.otherHost = !host.isEmpty() && host != QSysInfo::machineHostName();
    return content;
}

// The pseudo-terminal index of a master descriptor (/proc/PID/fdinfo shows it), -1 otherwise.
int ptyMasterIndex(const QByteArray &fdinfoPath)
{
    QFile info(QString::fromLocal8Bit(fdinfoPath));
    if (!info.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = info.readAll();
    const int at = text.indexOf("tty-index:");
    if (at < 0)
        return -1;
    const int end = text.indexOf('\n', at);
    bool ok = false;
    const int index = text.mid(at + 10, end < 0 ? -1 : end - at - 10).trimmed().toInt(&ok);
    return ok ? index : -1;
}

// The index N of /dev/pts/N (Unix 98 pseudo-terminal slaves have majors 136..143), -1 for any
// other device.
int ptySlaveIndex(dev_t rdev)
{
    if (major(rdev) < 136 || major(rdev) > 143)
        return -1;
    return int((major(rdev) - 136) * 256 + minor(rdev));
}

} // namespace

QStringList PortGuard::defaultLockDirectories()
{
    // Where Qt, uucp, lockdev and the terminal programs put lock files; one entry per real
    // directory (on Debian /var/lock is a link to /run/lock).
    QStringList found;
    QSet<QString> seen;
    for (const char *dir : {"/var/lock", "/run/lock", "/var/lock/lockdev", "/var/spool/locks",
                            "/var/spool/uucp", "/etc/locks"}) {
        const QString real = QFileInfo(QString::fromLatin1(dir)).canonicalFilePath();
        if (!real.isEmpty() && !seen.contains(real)) {
            seen.insert(real);
            found << real;
        }
    }
    return found;
}

PortGuard::PortGuard(QStringList lockDirectories)
    : m_lockDirectories(std::move(lockDirectories))
{ }

QStringList PortGuard::lockFileNames(const QString &path)
{
    QString qtName = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    qtName.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList names {QStringLiteral("LCK..") + qtName};
    const QString uucpName = QStringLiteral("LCK..") + QFileInfo(path).fileName();
    if (uucpName != names.first())
        names << uucpName;
    return names;
}

QString PortGuard::describeProcess(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    QString name;
    if (comm.open(QIODevice::ReadOnly))
        name = QString::fromLocal8Bit(comm.readAll().trimmed());
    return name.isEmpty() ? QStringLiteral("PID %1").arg(pid)
                          : QStringLiteral("%1 (PID %2)").arg(name).arg(pid);
}

QStringList PortGuard::processesUsing(dev_t rdev, int ownFd)
{
    const int slaveIndex = ptySlaveIndex(rdev);
    const pid_t self = ::getpid();
    QStringList holders;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return holders;
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        const QByteArray fdDir = QByteArray("/proc/") + entry->d_name + "/fd";
        DIR *fds = ::opendir(fdDir.constData());
        if (!fds)
            continue; // another user's process, or it has ended
        bool uses = false;
        bool farEnd = false;
        while (const dirent *fdEntry = ::readdir(fds)) {
            const int fd = std::atoi(fdEntry->d_name);
            if (fdEntry->d_name[0] == '.' || (pid == self && fd == ownFd))
                continue;
            struct stat st
            {
            };
            const QByteArray fdPath = fdDir + '/' + fdEntry->d_name;
            if (::stat(fdPath.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
                continue;
            if (st.st_rdev == rdev) {
                uses = true;
            } else if (slaveIndex >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2) {
                // A process holding the master of this pseudo-terminal plays the far end of
                // the line (a simulator keeps the slave open so that the line stays up).
                const QByteArray info
                    = QByteArray("/proc/") + entry->d_name + "/fdinfo/" + fdEntry->d_name;
                farEnd = farEnd || ptyMasterIndex(info) == slaveIndex;
            }
        }
        ::closedir(fds);
        if (uses && !farEnd)
            holders << describeProcess(pid_t(pid));
    }
    ::closedir(proc);
    return holders;
}

PortCheck PortGuard::checkLockFiles(const QString &configuredPath, const QString &devicePath) const
{
    QStringList names = lockFileNames(devicePath);
    for (const QString &name : lockFileNames(configuredPath)) {
        if (!names.contains(name))
            names << name;
    }
    for (const QString &dir : m_lockDirectories) {
        for (const QString &name : std::as_const(names)) {
            const QString path = dir + QLatin1Char('/') + name;
            struct stat st
            {
            };
            if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
                continue;
            const LockFileContent content = readLockFile(path);
            if (content.otherHost) {
                const QString who = content.program.isEmpty()
                    ? QStringLiteral("PID %1").arg(content.pid)
                    : content.program;
                return {OpenResult::PortInUse, who, path};
            }
            if (content.pid == 0) {
                // Empty or unreadable: maybe being written this instant. Never guess it stale.
                return {OpenResult::PortInUse, {}, path};
            }
            if (processAlive(content.pid))
                return {OpenResult::PortInUse, describeProcess(content.pid), path};
            if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT) {
                return {errno == EACCES || errno == EPERM || errno == EROFS
                            ? OpenResult::StaleLockFile
                            : OpenResult::OpenFailed,
                        {},
                        path};
            }
        }
    }
    return {};
}

PortCheck PortGuard::check(const QString &configuredPath, const QString &devicePath) const
{
    const QByteArray native = QFile::encodeName(devicePath);
    if (::access(native.constData(), F_OK) != 0)
        return {resultFromErrno(errno)};
    if (::access(native.constData(), R_OK | W_OK) != 0)
        return {resultFromErrno(errno)};

    if (PortCheck locked = checkLockFiles(configuredPath, devicePath);
        locked.result != OpenResult::Ok)
        return locked;

    // Opening changes nothing on the line: no settings are written and O_NONBLOCK keeps a
    // modem line from blocking the open.
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        PortCheck result {resultFromErrno(error)};
        if (error == EBUSY) {
            // The exclusive flag is set and this user may not override it. Whether its holder
            // is still there can only be seen for this user's own processes.
            struct stat st
            {
            };
            if (::stat(native.constData(), &st) == 0)
                result.holder = processesUsing(st.st_rdev).join(QLatin1String(", "));
        }
        return result;
    }
    PortCheck result;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        ::close(fd);
        return {OpenResult::SettingsRejected};
    }
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        // root gets here even though the flag is set. The flag is only a holder while some
        // process still has the device open; otherwise it is left over from a killed program.
        const QStringList holders = processesUsing(st.st_rdev, fd);
        if (!holders.isEmpty())
            result = {OpenResult::PortInUse, holders.join(QLatin1String(", "))};
    }
    if (result.result == OpenResult::Ok && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result.result = errno == EWOULDBLOCK ? OpenResult::PortInUse : OpenResult::OpenFailed;
        if (result.result == OpenResult::PortInUse)
            result.holder = processesUsing(st.st_rdev, fd).join(QLatin1String(", "));
    }
    ::close(fd); // also lets go of the probe's flock
    return result;
}
