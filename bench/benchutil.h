#pragma once

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

// Resident set size of this process, in bytes.
inline long long residentBytes()
{
    long long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// p-th percentile (0..100) of a sample, in the sample's unit.
inline double percentile(std::vector<double> sample, double p)
{
    if (sample.empty())
        return 0;
    std::sort(sample.begin(), sample.end());
    const auto k = static_cast<std::size_t>(p / 100.0 * (sample.size() - 1) + 0.5);
    return sample[std::min(k, sample.size() - 1)];
}

// CPU time (user + system, all threads) a process has used so far, in seconds; -1 when it is
// gone.
inline double cpuSeconds(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    // Fields after the command name (which may hold spaces): state is field 3, utime 14.
    const char *p = std::strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long utime = 0, stime = 0;
    int field = 2;
    for (const char *s = p + 1; *s && field < 15; ++s) {
        if (*s == ' ') {
            ++field;
            if (field == 14)
                utime = std::strtoul(s + 1, nullptr, 10);
            if (field == 15)
                stime = std::strtoul(s + 1, nullptr, 10);
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}
