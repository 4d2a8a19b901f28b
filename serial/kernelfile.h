#pragma once

#include <QByteArray>

// A small file of the kernel's (sysfs, procfs), at most `limit` bytes; empty when unreadable.
// Opened without blocking and never as a controlling terminal.
QByteArray readKernelFile(const QByteArray &path, int limit = 64);
