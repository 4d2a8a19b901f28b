#pragma once

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
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
