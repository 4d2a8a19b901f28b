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
    // holder cannot be seen (a process of another user, or a lock of another machine).
    QString holder;
    // The lock file that decided the result, if one did.
    QString lockFile;
};

// Decides whether another program holds a serial device, without changing anything on the
// line. Checks, in this order:
//   1. the device exists and this user may read and write it;
//   2. lock files in the usual lock directories, in Qt's format (pid, program, host on three
//      lines) and the ten-digit one of uucp and the terminal programs, under the configured
//      name and the device's own name; a file of a live process means busy and is left alone,
//      one of a dead process is removed (or, when this user may not, reported as such);
//   3. the device opens (the kernel refuses others when the exclusive flag is set);
//   4. the exclusive flag, which counts only while some process has the device open: a
//      pseudo-terminal keeps it after its holder was killed;
//   5. flock(), as the terminal programs that use no lock files take it.
// The holder's name comes from the lock file's pid or from the processes that have the device
// open (/proc, as far as this user may look).
class PortGuard
{
public:
    static QStringList defaultLockDirectories();

    explicit PortGuard(QStringList lockDirectories = defaultLockDirectories());

    // `configuredPath` is the name the port is known by (a table entry, maybe a symlink),
    // `devicePath` the device it resolves to.
    PortCheck check(const QString &configuredPath, const QString &devicePath) const;

    const QStringList &lockDirectories() const { return m_lockDirectories; }

    // The lock file names that programs use for a device path: Qt's ("LCK..pts_3" for
    // /dev/pts/3) and uucp's ("LCK..3").
    static QStringList lockFileNames(const QString &path);
    // "name (PID n)" for a running process; "PID n" when its name cannot be read.
    static QString describeProcess(pid_t pid);
    // The processes other than the far end of a pseudo-terminal that have the character
    // device `rdev` open, leaving out descriptor `ownFd` of this process.
    static QStringList processesUsing(dev_t rdev, int ownFd = -1);

private:
    PortCheck checkLockFiles(const QString &configuredPath, const QString &devicePath) const;

    QStringList m_lockDirectories;
};
