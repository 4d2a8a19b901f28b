#include "failingwrites.h"

#include <QFileInfo>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

std::mutex armedLock;
std::string armedPath; // the device's real path; empty while disarmed
std::atomic<bool> armed {false};
std::atomic<int> failError {0};
std::atomic<int> failuresLeft {0}; // -1: every write
std::atomic<int> attemptCount {0};
std::atomic<int> failedCount {0};

using WriteCall = ssize_t (*)(int, const void *, size_t);

WriteCall realWrite()
{
    static const auto call = reinterpret_cast<WriteCall>(::dlsym(RTLD_NEXT, "write"));
    return call;
}

bool isArmedDevice(int fd)
{
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    std::lock_guard lock(armedLock);
    return armedPath == target;
}

} // namespace

// The process's write(): everything but the armed device goes straight through.
extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    if (armed.load() && fd > 2 && isArmedDevice(fd)) {
        ++attemptCount;
        int left = failuresLeft.load();
        while (left != 0) {
            if (left < 0 || failuresLeft.compare_exchange_weak(left, left - 1)) {
                ++failedCount;
                if (failError.load() == 0)
                    return 0;
                errno = failError.load();
                return -1;
            }
        }
    }
    return realWrite()(fd, data, size);
}

namespace FailingWrites {

void arm(const QString &devicePath, int error, int failures)
{
    {
        std::lock_guard lock(armedLock);
        armedPath = QFileInfo(devicePath).canonicalFilePath().toStdString();
    }
    failError = error;
    failuresLeft = failures;
    attemptCount = 0;
    failedCount = 0;
    armed = true;
}

void disarm()
{
    armed = false;
    failuresLeft = 0;
}

int attempts()
{
    return attemptCount.load();
}

int failed()
{
    return failedCount.load();
}

} // namespace FailingWrites
