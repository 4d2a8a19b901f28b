#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <functional>

class QSerialPort;

// What a receive notification is about. The console acts on DataReceived only.
enum class SerialEvent {
    DataReceived,
    LineError,  // a line error that leaves the port usable
    PortLost,   // the device went away; the port has been closed
};

// Open results. 0 and 8005 are what callers test for; the rest are shown as numbers.
namespace OpenResult {
constexpr int Ok = 0;
constexpr int InvalidPort = 8002;        // not Com1..Com16, or no device mapped to it
constexpr int PortInUse = 8005;          // another program (or another name) holds it
constexpr int DeviceMissing = 8012;      // nothing at the device path
constexpr int PermissionDenied = 8015;   // no read/write access for this user
constexpr int SettingsRejected = 8020;   // the device refused 9600 8N1
constexpr int OpenFailed = 8099;         // any other failure of the operating system
}  // namespace OpenResult

// The fixed Com-number table: Com1..4 /dev/ttyS0..3, Com5..12 /dev/ttyUSB0..7,
// Com13..16 /dev/ttyACM0..3; empty outside 1..16.
QString comPortDevice(int n);

class SerialPortService : public QObject {
    Q_OBJECT
public:
    using PortMap = std::function<QString(int)>;

    explicit SerialPortService(PortMap map = comPortDevice, QObject* parent = nullptr);
    ~SerialPortService() override;

    static QString portEntryText(int n);
    // Value of the text from its fourth character on; 0 (never a port) for anything else.
    static int portNumberFromEntry(const QString& text);

    QList<int> PortScan();
    int openPort(int n);
    void close();
    bool isOpen() const;
    // Queues the bytes; they leave as soon as the event loop runs. False when not open.
    bool write(const QByteArray& bytes);
    QByteArray read();
    // Received bytes waiting to be read.
    qint64 bytesAvailable() const;

signals:
    void receiveNotification(SerialEvent kind);

private:
    void onPortError(int error);

    PortMap m_map;
    QSerialPort* m_port = nullptr;
    bool m_lost = false;
};
