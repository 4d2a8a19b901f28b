// CPU of the console while key reports stream in at a steady pace, beside a bare
// QSerialPort -> QLabel program on the same stream in the same run. Each side runs as its own
// process (keyrate_child) on a pseudo-terminal; this program plays the board and reads the
// child's CPU time (user + system, all threads) from /proc over the paced interval.
//
// Two pacings of the same stream: byte by byte, as a 9600 8N1 line delivers it (evenly spread,
// each byte a read of its own at 192 reports/s), and whole reports, each report's five bytes in
// one write and so in one read (as an adapter that buffers a few milliseconds hands them over).
//
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/bench_keyrate [seconds per run,
//       default 20] [other keyrate_child]
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

enum class Pacing { Bytes, Reports };

char streamByte(long i)
{
    const long n = i / 5;
    const unsigned char report[5] = {static_cast<unsigned char>(n % 2 ? 0x4C : 0x53), 0x00, 0xFF,
                                     static_cast<unsigned char>(n), static_cast<unsigned char>(~n)};
    return static_cast<char>(report[i % 5]);
}

Run measure(const char *child, const char *kind, int reportsPerSecond, int seconds, Pacing pacing)
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
    const long unit = pacing == Pacing::Bytes ? 1 : 5; // bytes written together
    const long unitsPerSecond = long(reportsPerSecond) * 5 / unit;
    const long totalUnits = unitsPerSecond * seconds;
    // At most 1 000 wake-ups a second here; faster streams go out as several units a tick, as a
    // busy line delivers them.
    const long ticksPerSecond = std::min(unitsPerSecond, 1000L);
    const long tickNs = 1'000'000'000L / ticksPerSecond;
    long sentUnits = 0;
    for (long tick = 1; sentUnits < totalUnits; ++tick) {
        const long due = std::min(totalUnits, long(double(tick) * unitsPerSecond / ticksPerSecond));
        std::string bytes;
        for (; sentUnits < due; ++sentUnits) {
            for (long i = sentUnits * unit; i < (sentUnits + 1) * unit; ++i)
                bytes.push_back(streamByte(i));
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
    return {after - before, n > 0 ? std::atol(count) : -1, totalUnits * unit / 5};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const std::string child
        = (QCoreApplication::applicationDirPath() + QStringLiteral("/keyrate_child")).toStdString();
    std::printf("stream (reports/s), pacing, %d s each | console CPU s | bare "
                "QSerialPort->QLabel CPU s | ratio\n",
                seconds);
    // Another build's keyrate_child (an earlier version of the console) can run beside them.
    const char *other = argc > 2 ? argv[2] : nullptr;
    for (const Pacing pacing : {Pacing::Bytes, Pacing::Reports}) {
        const char *pacingName = pacing == Pacing::Bytes ? "bytes  " : "reports";
        for (const int rate : {192, 1920}) {
            if (other) {
                const Run before = measure(other, "console", rate, seconds, pacing);
                std::printf("%5d %s | %6.2f (%4.1f %% of a core)   other build (%s)\n", rate,
                            pacingName, before.cpu, 100 * before.cpu / seconds, other);
            }
            const Run console = measure(child.c_str(), "console", rate, seconds, pacing);
            const Run bare = measure(child.c_str(), "bare", rate, seconds, pacing);
            std::printf("%5d %s | %6.2f (%4.1f %% of a core) | %6.2f (%4.1f %%) | %5.1fx   "
                        "(reports taken in: console %ld, bare %ld of %ld)\n",
                        rate, pacingName, console.cpu, 100 * console.cpu / seconds, bare.cpu,
                        100 * bare.cpu / seconds, bare.cpu > 0 ? console.cpu / bare.cpu : 0.0,
                        console.received, bare.received, console.sent);
            std::fflush(stdout);
        }
    }
    return 0;
}
