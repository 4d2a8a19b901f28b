#pragma once

#include <QString>

// What the system says about the device behind a port, found by looking only (sysfs and the
// links udev makes): nothing is opened, so no modem line moves. Every text that comes from the
// device or from file names is escaped as escapeOutsideText() does; an empty text is
// unknown.
struct AdapterInfo
{
    QString device; // the device node, links followed
    QString product; // the USB device's product string, "USB-Serial Bridge"
    QString manufacturer;
    QString serialNumber;
    QString byIdName; // the link in /dev/serial/by-id that leads to the device

    // `sysfsRoot` and `byIdDirectory` are the real ones except in tests.
    static AdapterInfo describe(const QString &path,
                                const QString &sysfsRoot = QStringLiteral("/sys"),
                                const QString &byIdDirectory = QStringLiteral("/dev/serial/by-id"));
};
