// What checking a port for holders costs, per check and for the start-up scan of all 16 ports:
//   missing     a table entry with no device (most of the table on a usual machine)
//   free        a pseudo-terminal nobody holds: lock files, open, exclusive flag, flock
//   held        the same held by flock() in another process: adds the /proc scan for its name
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
                microsecondsPerCall(2000, [&] { guard.check(missing, missing); }));
    std::printf("%-10s %12.1f\n", "free",
                microsecondsPerCall(2000, [&] { guard.check(pty.slavePath(), pty.slavePath()); }));

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
                microsecondsPerCall(200, [&] { guard.check(pty.slavePath(), pty.slavePath()); }));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);

    SerialPortService service;
    std::printf("%-10s %12.1f   (16 ports of this machine's table)\n", "scan",
                microsecondsPerCall(200, [&] { service.scanPorts(); }));
    return 0;
}
