#pragma once

#include <QString>
#include <sys/types.h>

// Another program holding a device, as a separate process. The child dies with its holder
// object, and also when the test process itself dies, so a failed check never leaves it behind.
class PortHolder
{
public:
    enum class How { Flock, Exclusive };

    PortHolder(const QString &path, How how);
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
