#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include "openresult.h"

// What the guard found out about a device before anything touched the line.
struct PortCheck
{
    PortCheck() = default;
    PortCheck(OpenResult code, QString holderText = {}, QString lockFilePath = {})
        : result(code)
        , holder(std::move(holderText))
        , lockFile(std::move(lockFilePath))
    { }

    OpenResult result = OpenResult::Ok;
    // Who holds the device, as "minicom (PID 4242)", several joined by ", "; empty when the
    // holder cannot be seen (a process of another user, or a lock of another machine). Control
    // characters from process names and lock files are already escaped (see escapeOutsideText()).
    QString holder;
    // The lock file that decided the result, if one did.
    QString lockFile;
    // Something other than a lock file (a fifo, a link, a folder) sits at `lockFile`: the port
    // stays blocked until somebody removes it.
    bool lockPathBlocked = false;
};

// Decides whether another program holds a serial device. inspect() only looks: it opens no
// device, so listing ports never raises the modem lines of an idle board. It checks, in order:
//   1. the device exists, is a character device that can be a serial line, and this user may
//      read and write it (its mode against this user and groups);
//   2. a ttyS node has a UART behind it (sysfs "type" is not 0);
//   3. lock files in the usual lock directories, in Qt's format (pid, program, host on three
//      lines), the ten-digit one of uucp and the terminal programs, and the old binary one,
//      under the configured name and the device's own name; a file of a live process means
//      busy and is left alone, one of a dead process (or a Qt file whose pid now runs another
//      program) is removed, or reported when this user may not remove it. The lock folders are
//      world-writable: only regular files are read, never through a link, a few bytes at most;
//      anything else at a lock path blocks the port and is named;
//   4. processes other than this one that have the device open (a program that takes no lock
//      at all is a holder too), except one playing the far end of a pseudo-terminal, and the
//      flock()/fcntl() locks that /proc/locks lists on the device node.
// check() does the same and then, because the operator asked to open the port, opens a probe
// descriptor (no settings written): the kernel refuses it while another program's exclusive
// flag stands, and flock() is tried once more.
class PortGuard
{
public:
    static QStringList defaultLockDirectories();

    explicit PortGuard(QStringList lockDirectories = defaultLockDirectories(),
                       QString sysfsRoot = QStringLiteral("/sys"));

    // How far inspect() looks: whether a port can be listed needs only the node (steps 1 and
    // 2); who holds it needs the lock files and /proc as well.
    enum class Depth { Presence, Holders };

    // `configuredPath` is the name the port is known by (a table entry, maybe a symlink),
    // `devicePath` the device it resolves to.
    PortCheck inspect(const QString &configuredPath, const QString &devicePath,
                      Depth depth = Depth::Holders) const;
    // inspect(), then the probe. When `probeFd` is given and the port is free, the probe stays
    // open there (without its flock) for the caller to close once it has opened the port itself:
    // one open of the line instead of two, so its modem lines rise once.
    PortCheck check(const QString &configuredPath, const QString &devicePath,
                    int *probeFd = nullptr) const;

    const QStringList &lockDirectories() const { return m_lockDirectories; }

    // The lock file names that programs use for a device path: Qt's ("LCK..pts_3" for
    // /dev/pts/3) and uucp's ("LCK..3").
    static QStringList lockFileNames(const QString &path);
    // "name (PID n)" for a running process; "PID n" when its name cannot be read.
    static QString describeProcess(pid_t pid);
    // The processes other than this one and other than the far end of a pseudo-terminal that
    // have the character device `rdev` open, and those that hold a lock on the node `fsDev`,
    // `inode` (as /proc/locks lists them).
    static QStringList processesUsing(dev_t rdev, dev_t fsDev = 0, ino_t inode = 0);

private:
    PortCheck checkLockFiles(const QString &configuredPath, const QString &devicePath) const;
    bool uartMissing(dev_t rdev) const;
    bool notATerminal(dev_t rdev) const;

    QStringList m_lockDirectories;
    QString m_sysfsRoot;
};
