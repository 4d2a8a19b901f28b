#pragma once

#include <QString>

// Makes writes to one device fail for a while, as a flaky adapter driver does (EPROTO, ENOSPC,
// ENODEV for a moment, or a write that takes nothing). The test program's own write() stands
// in front of the C library's for every caller in the process, Qt's serial port library
// among them, so the code under test meets the fault however it writes. Only writes to the
// armed device are touched; each one made while armed is counted.
namespace FailingWrites {

// `error`: the errno each failing write sets, or 0 for a write that returns 0. `failures`:
// how many writes fail before they pass again; -1 for all of them until disarm().
void arm(const QString &devicePath, int error, int failures = -1);
void disarm();
// Writes to the armed device since arm(), failed or not.
int attempts();
// Of those, the ones that failed.
int failed();

} // namespace FailingWrites
