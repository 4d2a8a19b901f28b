#pragma once

#include <QString>

// The time stamp of a reply or key report as the programs print and publish it: local time to
// the millisecond with its offset from UTC, "2026-12-10T07:20:31.415+00:00" (never "Z"), so that
// it means one moment anywhere. Cheap enough for every report at line rate: the time zone is
// read once per process, not at every call.
QString eventTimeNow();
