#include "eventtime.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

QString eventTimeNow()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local {};
    localtime_r(&now.tv_sec, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    const long offset = local.tm_gmtoff / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%.24s.%03ld%c%02ld:%02ld", date, now.tv_nsec / 1000000L,
                  offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
    return QString::fromLatin1(text);
}
