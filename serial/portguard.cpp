#include "portguard.h"

#include "outsidetext.h"

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
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "kernelfile.h"

namespace {

// No lock file of any program is longer than this; the rest of a larger file is not read.
constexpr qint64 lockFileReadLimit = 256;

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
    case ENOTDIR:
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

enum class LockPath { Absent, LockFile, Unreadable, Blocked };

struct LockFileContent
{
    LockPath kind = LockPath::Absent;
    dev_t dev = 0; // which file was read, so that only that one is ever removed
    ino_t inode = 0;
    pid_t pid = 0; // 0 when the file names no process this machine can check
    QString program; // Qt's lock files name the program
    bool otherHost = false;
};

// The lock folders are writable by everyone: whatever sits at `path` may be there to make this
// program hang (a fifo), read somebody's terminal (a link) or fill its memory (a huge file). Only
// a regular file is opened, never through a link and never waiting, and only its first bytes are
// read. Lock files come in three shapes: Qt's "pid\nprogram\nhost\n..." , the ASCII one of uucp
// and the terminal programs ("%10d\n"), and an old binary one (the pid as a native int).
LockFileContent readLockFile(const QString &path)
{
    LockFileContent content;
    const QByteArray native = QFile::encodeName(path);
    struct stat before
    {
    };
    if (::lstat(native.constData(), &before) != 0)
        return content; // nothing there
    if (!S_ISREG(before.st_mode)) {
        content.kind = LockPath::Blocked;
        return content;
    }
    const int fd
        = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        content.kind = errno == ENOENT ? LockPath::Absent
            : errno == ELOOP           ? LockPath::Blocked // swapped for a link meanwhile
                                       : LockPath::Unreadable;
        return content;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_ino != before.st_ino
        || st.st_dev != before.st_dev) {
        ::close(fd);
        content.kind = LockPath::Blocked;
        return content;
    }
    content.kind = LockPath::LockFile;
    content.dev = st.st_dev;
    content.inode = st.st_ino;
    QByteArray data(lockFileReadLimit, Qt::Uninitialized);
    const ssize_t n = ::read(fd, data.data(), size_t(data.size()));
    ::close(fd);
    data.resize(n > 0 ? qsizetype(n) : 0);

    // Four bytes that are not digits, spaces and newlines are the binary form: a pid small
    // enough to exist (below 2^22) has a zero high byte, which no text form contains.
    bool text = true;
    for (const char c : std::as_const(data))
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

// A live pid in a Qt lock file may have been handed to another program since the file was
// written (after a crash and a reboot, say). Qt names the program: a process of another name
// does not hold the lock. When neither name can be read, the lock is respected.
bool pidReused(pid_t pid, const QString &program)
{
    if (program.isEmpty())
        return false;
    const QByteArray proc = "/proc/" + QByteArray::number(pid);
    // The kernel keeps the first 15 bytes of a program's name.
    const QString comm = QString::fromLocal8Bit(readKernelFile(proc + "/comm").trimmed());
    const QString exe
        = QFileInfo(QFile::symLinkTarget(QString::fromLatin1(proc + "/exe"))).fileName();
    if (comm.isEmpty() && exe.isEmpty())
        return false;
    const QByteArray programBytes = program.toLocal8Bit();
    const bool sameComm = !comm.isEmpty() && programBytes.left(15) == comm.toLocal8Bit();
    const bool sameExe = !exe.isEmpty() && (exe == program || exe.startsWith(program));
    return !sameComm && !sameExe;
}

// The pseudo-terminal index of a master descriptor (/proc/PID/fdinfo shows it), -1 otherwise.
int ptyMasterIndex(const QByteArray &fdinfoPath)
{
    const QByteArray text = readKernelFile(fdinfoPath, 512);
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

// The pids that hold a lock on the node (device `fsDev`, inode `inode`) as /proc/locks lists
// them: "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF", device numbers in hex.
QList<pid_t> lockHolders(dev_t fsDev, ino_t inode)
{
    QList<pid_t> pids;
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return pids;
    const QByteArray node = QByteArray::number(major(fsDev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(fsDev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(inode));
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> words = line.simplified().split(' ');
        const int at = int(words.indexOf(node));
        if (at < 1)
            continue;
        bool ok = false;
        const int pid = words[at - 1].toInt(&ok);
        if (ok && pid > 0 && pid != ::getpid() && !pids.contains(pid))
            pids << pid;
    }
    return pids;
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

PortGuard::PortGuard(QStringList lockDirectories, QString sysfsRoot)
    : m_lockDirectories(std::move(lockDirectories))
    , m_sysfsRoot(std::move(sysfsRoot))
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
    const QString name = escapeOutsideText(QString::fromLocal8Bit(
        readKernelFile("/proc/" + QByteArray::number(pid) + "/comm").trimmed()));
    return name.isEmpty() ? QStringLiteral("PID %1").arg(pid)
                          : QStringLiteral("%1 (PID %2)").arg(name).arg(pid);
}

QStringList PortGuard::processesUsing(dev_t rdev, dev_t fsDev, ino_t inode)
{
    const int slaveIndex = ptySlaveIndex(rdev);
    const pid_t self = ::getpid();
    QList<pid_t> pids;
    DIR *proc = ::opendir("/proc");
    if (proc) {
        while (const dirent *entry = ::readdir(proc)) {
            char *end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid <= 0 || *end != '\0' || pid == self)
                continue;
            const QByteArray fdDir = QByteArray("/proc/") + entry->d_name + "/fd";
            DIR *fds = ::opendir(fdDir.constData());
            if (!fds)
                continue; // another user's process, or it has ended
            bool uses = false;
            bool farEnd = false;
            while (const dirent *fdEntry = ::readdir(fds)) {
                if (fdEntry->d_name[0] == '.')
                    continue;
                // stat() through the descriptor's link tells the device without opening it.
                struct stat st
                {
                };
                const QByteArray fdPath = fdDir + '/' + fdEntry->d_name;
                if (::stat(fdPath.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
                    continue;
                if (st.st_rdev == rdev) {
                    uses = true;
                } else if (slaveIndex >= 0 && major(st.st_rdev) == 5 && minor(st.st_rdev) == 2) {
                    // A process holding the master of this pseudo-terminal plays the far end
                    // of the line (a simulator keeps the slave open so that the line stays up).
                    const QByteArray info
                        = QByteArray("/proc/") + entry->d_name + "/fdinfo/" + fdEntry->d_name;
                    farEnd = farEnd || ptyMasterIndex(info) == slaveIndex;
                }
            }
            ::closedir(fds);
            if (uses && !farEnd)
                pids << pid_t(pid);
        }
        ::closedir(proc);
    }
    // Locks are listed for every process, also those of other users whose descriptors this
    // user may not see.
    if (inode != 0) {
        for (const pid_t pid : lockHolders(fsDev, inode)) {
            if (!pids.contains(pid))
                pids << pid;
        }
    }
    QStringList holders;
    for (const pid_t pid : std::as_const(pids))
        holders << describeProcess(pid);
    return holders;
}

bool PortGuard::uartMissing(dev_t rdev) const
{
    // Serial-core ports (ttyS and the like) say which UART drives them; 0 means none: the node
    // exists on every PC whether or not there is a port behind it. Other ttys have no "type".
    const QByteArray type
        = readKernelFile(QFile::encodeName(QStringLiteral("%1/dev/char/%2:%3/type")
                                               .arg(m_sysfsRoot)
                                               .arg(major(rdev))
                                               .arg(minor(rdev))));
    return type.trimmed() == "0";
}

bool PortGuard::notATerminal(dev_t rdev) const
{
    // The controlling terminal, the console and the pty multiplexer (major 5), and the virtual
    // consoles (major 4 below 64) are terminals but no serial line.
    if (major(rdev) == 5 || (major(rdev) == 4 && minor(rdev) < 64))
        return true;
    // sysfs names the subsystem of most devices; pseudo-terminal slaves have no entry.
    const QString subsystem = QFile::symLinkTarget(QStringLiteral("%1/dev/char/%2:%3/subsystem")
                                                       .arg(m_sysfsRoot)
                                                       .arg(major(rdev))
                                                       .arg(minor(rdev)));
    return !subsystem.isEmpty() && QFileInfo(subsystem).fileName() != QLatin1String("tty");
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
            const LockFileContent content = readLockFile(path);
            switch (content.kind) {
            case LockPath::Absent:
                continue;
            case LockPath::Blocked: {
                PortCheck blocked {OpenResult::PortInUse, {}, path};
                blocked.lockPathBlocked = true;
                return blocked;
            }
            case LockPath::Unreadable:
                return {OpenResult::PortInUse, {}, path};
            case LockPath::LockFile:
                break;
            }
            if (content.otherHost) {
                const QString who = content.program.isEmpty()
                    ? QStringLiteral("PID %1").arg(content.pid)
                    : escapeOutsideText(content.program.left(64));
                return {OpenResult::PortInUse, who, path};
            }
            if (content.pid == 0) {
                // Empty or unparsable: maybe being written this instant. Never guess it stale.
                return {OpenResult::PortInUse, {}, path};
            }
            if (processAlive(content.pid) && !pidReused(content.pid, content.program))
                return {OpenResult::PortInUse, describeProcess(content.pid), path};
            // Stale. Remove the file that was read, not one that took its place since.
            const QByteArray native = QFile::encodeName(path);
            struct stat now
            {
            };
            if (::lstat(native.constData(), &now) != 0)
                continue;
            if (now.st_ino != content.inode || now.st_dev != content.dev)
                return {OpenResult::PortInUse, {}, path};
            if (::unlink(native.constData()) != 0 && errno != ENOENT) {
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

PortCheck PortGuard::inspect(const QString &configuredPath, const QString &devicePath,
                             Depth depth) const
{
    const QByteArray native = QFile::encodeName(devicePath);
    struct stat st
    {
    };
    if (::stat(native.constData(), &st) != 0)
        return {resultFromErrno(errno)};
    if (!S_ISCHR(st.st_mode) || notATerminal(st.st_rdev))
        return {OpenResult::SettingsRejected};
    // The mode against this user and its groups, as the kernel would judge an open.
    if (::faccessat(AT_FDCWD, native.constData(), R_OK | W_OK, AT_EACCESS) != 0)
        return {resultFromErrno(errno)};
    if (uartMissing(st.st_rdev))
        return {OpenResult::DeviceMissing};
    if (depth == Depth::Presence)
        return {};

    if (PortCheck locked = checkLockFiles(configuredPath, devicePath);
        locked.result != OpenResult::Ok)
        return locked;

    // A program that takes no lock at all (a plain cat, some terminal programs) is a holder
    // too: writing into its session would garble both.
    const QStringList holders = processesUsing(st.st_rdev, st.st_dev, st.st_ino);
    if (!holders.isEmpty())
        return {OpenResult::PortInUse, holders.join(QLatin1String(", "))};
    return {};
}

PortCheck PortGuard::check(const QString &configuredPath, const QString &devicePath,
                           int *probeFd) const
{
    if (probeFd)
        *probeFd = -1;
    PortCheck result = inspect(configuredPath, devicePath);
    if (result.result != OpenResult::Ok)
        return result;

    // Opening changes nothing on the line: no settings are written and O_NONBLOCK keeps a
    // modem line from blocking the open.
    const QByteArray native = QFile::encodeName(devicePath);
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        result = {resultFromErrno(error)};
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
    struct stat st
    {
    };
    termios settings {};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || ::tcgetattr(fd, &settings) != 0) {
        ::close(fd);
        return {OpenResult::SettingsRejected};
    }
    // A holder that came in since inspect() looked.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result.result = errno == EWOULDBLOCK ? OpenResult::PortInUse : OpenResult::OpenFailed;
        if (result.result == OpenResult::PortInUse)
            result.holder
                = processesUsing(st.st_rdev, st.st_dev, st.st_ino).join(QLatin1String(", "));
        ::close(fd);
        return result;
    }
    ::flock(fd, LOCK_UN);
    if (probeFd)
        *probeFd = fd;
    else
        ::close(fd);
    return result;
}
