#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <functional>

// Result of opening a port. The numbers are what the operator sees and what the README lists.
enum class OpenResult {
    Ok = 0,
    InvalidPort = 8002, // not one of the Com ports, or no device mapped to it
    PortInUse = 8005, // another program (or another name of the device) holds it
    DeviceMissing = 8012, // nothing at the device path
    PermissionDenied = 8015, // no read/write access for this user
    SettingsRejected = 8020, // not a serial line, or it refused 9600 8N1
    OpenFailed = 8099, // any other failure of the operating system
};

// The Com ports the console offers, and the fixed table that maps them onto devices:
// Com1..4 /dev/ttyS0..3, Com5..12 /dev/ttyUSB0..7, Com13..16 /dev/ttyACM0..3.
namespace ComPorts {
constexpr int first = 1;
constexpr int last = 16;
constexpr bool isValid(int n)
{
    return n >= first && n <= last;
}
// The device of Com n; empty outside the range.
QString device(int n);
// "Com3" for 3.
QString entryText(int n);
// The number in an entry text: the value after "Com"; 0 (never a port) for anything else.
int numberFromEntry(const QString &text);
} // namespace ComPorts

class SerialPortService : public QObject
{
    Q_OBJECT
public:
    using PortMap = std::function<QString(int)>;

    explicit SerialPortService(PortMap map = ComPorts::device, QObject *parent = nullptr);
    ~SerialPortService() override;

    // The Com numbers whose device exists and is a serial line, free or held by another
    // program, in ascending order. Leaves no port open.
    QList<int> scanPorts();
    OpenResult openPort(int n);
    void close();
    bool isOpen() const;
    // Queues the bytes; they leave as soon as the event loop runs. False when not open.
    bool write(const QByteArray &bytes);
    QByteArray read();
    // Received bytes waiting to be read.
    qint64 bytesAvailable() const;

signals:
    void dataReceived();
    // The device went away; the port has been closed already.
    void deviceLost();
    // A line error that leaves the port usable (parity, framing, unsupported modem calls).
    void lineError(QSerialPort::SerialPortError error);

private slots:
    void handlePortError(QSerialPort::SerialPortError error);

private:
    PortMap m_map;
    QSerialPort *m_port = nullptr;
    bool m_lost = false;
};
