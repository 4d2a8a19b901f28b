#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>

// Another program holding a device, as a separate process. The child dies with its holder
// object, and also when the test process itself dies, so a failed check never leaves it behind.
class PortHolder
{
public:
    // Plain: the device open and nothing else, as a terminal program that takes no lock does.
    enum class How { Flock, Exclusive, Plain };

    // `name` is what the process calls itself (/proc/PID/comm), when given.
    PortHolder(const QString &path, How how, const QByteArray &name = {});
    ~PortHolder();
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;

    // The child has the device open and holds it as asked.
    bool ok() const { return m_ok; }
    pid_t pid() const { return m_pid; }
    // Ends the child now; the destructor does it otherwise.
    void release();

private:
    pid_t m_pid = -1;
    bool m_ok = false;
};

// No lock of any kind is left on the device: no lock file (not even a stale one), no exclusive
// flag (where it can be read, see below), no flock.
bool noLockLeft(const QString &path);
// The device's exclusive flag (TIOCEXCL), or nothing where it cannot be read: qemu-user passes
// TIOCEXCL on to the kernel but not the question TIOCGEXCL.
std::optional<bool> exclusiveFlag(const QString &path);
