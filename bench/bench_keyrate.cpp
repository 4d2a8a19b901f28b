// CPU of the console while key reports stream in at a steady pace, beside a bare
// QSerialPort -> QLabel program on the same stream in the same run. Each side runs as its own
// process (keyrate_child) on a pseudo-terminal; this program plays the board and reads the
// child's CPU time (user + system, all threads) from /proc over the paced interval.
//
//   xvfb-run -a build/bench/bench_keyrate [seconds per run, default 20] [other keyrate_child]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "benchutil.h"
#include "rawpty.h"

extern char **environ;

namespace {

struct Run
{
    double cpu = 0;
    long received = 0;
    long sent = 0;
};

Run measure(const char *child, const char *kind, int reportsPerSecond, int seconds)
{
    RawPty pty;
    int out[2], in[2];
    if (!pty.isValid() || ::pipe(out) != 0 || ::pipe(in) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    const std::string path = pty.slavePath().toStdString();
    char *argv[] = {const_cast<char *>(child), const_cast<char *>(kind),
                    const_cast<char *>(path.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, child, &actions, nullptr, argv, environ) != 0)
        return {};
    ::close(out[1]);
    ::close(in[0]);
    char ready[16] = {};
    if (::read(out[0], ready, sizeof ready) <= 0) {
        ::waitpid(pid, nullptr, 0);
        return {};
    }
    // Let the windows settle before counting.
    ::usleep(500000);

    const double before = cpuSeconds(pid);
    timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const long total = long(reportsPerSecond) * seconds;
    // At most 1 000 wake-ups a second here; faster streams go out as several reports a tick,
    // as a busy line delivers them.
    const int ticksPerSecond = std::min(reportsPerSecond, 1000);
    const long tickNs = 1'000'000'000L / ticksPerSecond;
    long sent = 0;
    for (long tick = 1; sent < total; ++tick) {
        const long due = std::min(total, long(double(tick) * reportsPerSecond / ticksPerSecond));
        std::string bytes;
        for (; sent < due; ++sent) {
            const unsigned char report[5]
                = {static_cast<unsigned char>(sent % 2 ? 0x4C : 0x53), 0x00, 0xFF,
                   static_cast<unsigned char>(sent), static_cast<unsigned char>(~sent)};
            bytes.append(reinterpret_cast<const char *>(report), 5);
        }
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(pty.master(), bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += size_t(n);
            else if (errno == EAGAIN)
                ::usleep(200);
            else
                break;
        }
        next.tv_nsec += tickNs;
        while (next.tv_nsec >= 1'000'000'000L) {
            next.tv_nsec -= 1'000'000'000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    ::usleep(200000); // the last reports drain
    const double after = cpuSeconds(pid);
    (void)!::write(in[1], "?\n", 2);
    char count[32] = {};
    pollfd answer {out[0], POLLIN, 0};
    const ssize_t n = ::poll(&answer, 1, 2000) > 0 ? ::read(out[0], count, sizeof count - 1) : -1;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(out[0]);
    ::close(in[1]);
    return {after - before, n > 0 ? std::atol(count) : -1, sent};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string child
        = (QCoreApplication::applicationDirPath() + QStringLiteral("/keyrate_child")).toStdString();
    std::printf("stream (reports/s), %d s each | console CPU s | bare QSerialPort->QLabel CPU s | "
                "ratio\n",
                seconds);
    // Another build's keyrate_child (an earlier version of the console) can run beside them.
    const char *other = argc > 2 ? argv[2] : nullptr;
    for (const int rate : {192, 1920}) {
        if (other) {
            const Run before = measure(other, "console", rate, seconds);
            std::printf("%5d | %6.2f (%4.1f %% of a core)   other build (%s)\n", rate, before.cpu,
                        100 * before.cpu / seconds, other);
        }
        const Run console = measure(child.c_str(), "console", rate, seconds);
        const Run bare = measure(child.c_str(), "bare", rate, seconds);
        std::printf("%5d | %6.2f (%4.1f %% of a core) | %6.2f (%4.1f %%) | %5.1fx   (reports "
                    "taken in: console %ld, bare %ld of %ld)\n",
                    rate, console.cpu, 100 * console.cpu / seconds, bare.cpu,
                    100 * bare.cpu / seconds, bare.cpu > 0 ? console.cpu / bare.cpu : 0.0,
                    console.received, bare.received, console.sent);
        std::fflush(stdout);
    }
    return 0;
}
