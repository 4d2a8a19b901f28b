// What looking at a port costs, per call and for the start-up scan of all 16 ports:
//   missing     a table entry with no device (most of the table on a usual machine)
//   listable    a present pseudo-terminal, as the port list looks at it: the node only
//   free        the same as relayctl ports and an open look at it: lock files, /proc/locks,
//               every process's descriptors (/proc/*/fd)
//   held        the same held by flock() in another process: adds its name
//   scan        scanPorts() over the fixed table of this machine
//
//   build/bench/bench_portguard
#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "portguard.h"
#include "rawpty.h"
#include "serialportservice.h"

namespace {

template<typename F>
double microsecondsPerCall(int rounds, F &&call)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        call();
    return double(timer.nsecsElapsed()) / 1000.0 / rounds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    RawPty pty;
    const PortGuard guard;
    const QString missing = QStringLiteral("/dev/ttyUSB_missing");
    std::printf("%-10s %12s\n", "check", "us per call");
    std::printf("%-10s %12.1f\n", "missing",
                microsecondsPerCall(2000, [&] { guard.inspect(missing, missing); }));
    std::printf("%-10s %12.1f\n", "listable", microsecondsPerCall(2000, [&] {
                    guard.inspect(pty.slavePath(), pty.slavePath(), PortGuard::Depth::Presence);
                }));
    std::printf("%-10s %12.1f\n", "free",
                microsecondsPerCall(200, [&] { guard.inspect(pty.slavePath(), pty.slavePath()); }));

    int ready[2];
    if (::pipe(ready) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(qPrintable(pty.slavePath()), O_RDWR | O_NOCTTY);
        ::flock(fd, LOCK_EX);
        (void)!::write(ready[1], "1", 1);
        ::pause();
        ::_exit(0);
    }
    char c;
    (void)!::read(ready[0], &c, 1);
    std::printf("%-10s %12.1f\n", "held",
                microsecondsPerCall(200, [&] { guard.inspect(pty.slavePath(), pty.slavePath()); }));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    SerialPortService service;
    std::printf("%-10s %12.1f   (16 ports of this machine's table)\n", "scan",
                microsecondsPerCall(200, [&] { service.scanPorts(); }));
    return 0;
}
