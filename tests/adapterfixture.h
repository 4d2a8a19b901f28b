#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A USB serial adapter as sysfs and udev show it, for a pseudo-terminal standing in for its
// device: a fixture sysfs files the pty's node under a USB device the way the kernel files a
// ttyUSB node (device 1-1, interface 1-1:1.0, ttyUSB0/tty/ttyUSB0), with the descriptor
// strings given (an empty one is left out, no USB device at all when all are empty), and a
// folder of udev's by-id links, with one to the pty when `byIdName` is given.
class FakeAdapter
{
public:
    FakeAdapter(const QString &ptyPath, const QByteArray &product, const QByteArray &manufacturer,
                const QByteArray &serial, const QString &byIdName);

    bool ok() const { return m_ok; }
    QString sysfsRoot() const { return m_sys.path(); }
    QString byIdDirectory() const { return m_ids.path(); }
    // The full path of the by-id link; empty without one.
    QString byIdPath() const { return m_byIdPath; }

private:
    QTemporaryDir m_sys;
    QTemporaryDir m_ids;
    QString m_byIdPath;
    bool m_ok = false;
};
