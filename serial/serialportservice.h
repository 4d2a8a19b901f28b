#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <functional>

#include "adapterinfo.h"
#include "boardlink.h"
#include "comports.h"
#include "openresult.h"
#include "portguard.h"

class SerialPortService : public BoardLink
{
    Q_OBJECT
public:
    using PortMap = ComPorts::PortMap;

    explicit SerialPortService(PortMap map = ComPorts::device, QObject *parent = nullptr);
    ~SerialPortService() override;

    // The Com numbers whose device exists, in ascending order: free, held by another program,
    // or closed to this user (opening then says why). Only looks: no port is opened and no line
    // setting changes.
    QList<int> scanPorts();
    // Whether Com n belongs in that list.
    bool isListable(int n) const;
    // Who holds Com n, by looking only (nothing is opened); `devicePath` gets the resolved path.
    PortCheck check(int n, QString *devicePath = nullptr,
                    PortGuard::Depth depth = PortGuard::Depth::Holders) const;
    // What the system knows of the adapter behind Com n, by looking only.
    AdapterInfo adapterOf(int n) const;
    // Checks who holds the device first (see PortGuard), then opens it at 9600 8N1.
    OpenResult openPort(int n);
    // What the last openPort() found: the holder of a busy port, the lock file concerned.
    const PortCheck &lastCheck() const { return m_lastCheck; }
    // Where lock files are looked for, and where sysfs is (tests use folders of their own).
    void setLockDirectories(const QStringList &directories);
    void setSysfsRoot(const QString &root);
    // Where udev's links named after the adapters are (tests use a folder of their own).
    void setByIdDirectory(const QString &directory) { m_byIdDirectory = directory; }
    // The path Com n is mapped to, as configured.
    QString deviceOf(int n) const { return ComPorts::isValid(n) && m_map ? m_map(n) : QString(); }
    void close() override;
    bool isOpen() const override;
    // The device went away; the port closes (queued) and deviceLost() follows.
    bool isLost() const override { return m_lost; }
    // Writes the bytes now, or as soon as the line takes them. False when the port is not open
    // or bytes before are still waiting, more than maxPending with these. A failure after they
    // were taken is told once by writeFailed(), and they are dropped: nothing the operator was
    // told had failed goes out later.
    bool write(const QByteArray &bytes) override;
    // How much may wait for the line; a command is one or two bytes.
    static constexpr int maxPending = 64;
    // A write the line takes nothing of for this long has failed (WriteFailure::Stalled).
    static constexpr int stallMs = 1000;

    // Blocks until the queued bytes have left the program and the line (for a command-line
    // program that exits next). False when they could not all go within `msecs`.
    bool waitForWritten(int msecs);
    // Drops every received byte not handed out yet, in the program and in the kernel: what comes
    // next is an answer to what is sent next.
    void discardInput();
    // Received bytes not handed out yet.
    qint64 bytesAvailable() const;

signals:
    // A line error that leaves the port usable (parity, framing, unsupported modem calls).
    void lineError(QSerialPort::SerialPortError error);

private slots:
    void handlePortError(QSerialPort::SerialPortError error);

private:
    bool deviceGone() const;
    // Writes what waits; `woken`: the line said it had room.
    void flushPending(bool woken);
    void failWrite(WriteFailure failure, int error);

    QString resolve(int n, PortCheck *failure) const;

    PortMap m_map;
    QStringList m_lockDirectories = PortGuard::defaultLockDirectories();
    QString m_sysfsRoot = QStringLiteral("/sys");
    QString m_byIdDirectory = QStringLiteral("/dev/serial/by-id");
    PortGuard m_guard {m_lockDirectories, m_sysfsRoot};
    PortCheck m_lastCheck;
    QSerialPort *m_port = nullptr;
    bool m_lost = false;
    QByteArray m_pending; // taken by write(), not yet on the line
    QSocketNotifier *m_writable = nullptr; // the open port's handle, while bytes wait
    QTimer m_writePause;
    QDeadlineTimer m_stallDeadline;
    bool m_writeFailed = false; // the bytes of the last write() were dropped
};
