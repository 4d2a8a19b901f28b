#include "serialportservice.h"

#include <QFileInfo>
#include <QSerialPort>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

QString ComPorts::device(int n)
{
    if (n >= 1 && n <= 4)
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    if (n >= 5 && n <= 12)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 5);
    if (n >= 13 && n <= 16)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 13);
    return {};
}

namespace {

OpenResult resultFromErrno(int error)
{
    switch (error) {
    case EBUSY:
        return OpenResult::PortInUse;
    case EACCES:
    case EPERM:
    case EROFS:
        return OpenResult::PermissionDenied;
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: // a ttyS node without a UART behind it
        return OpenResult::DeviceMissing;
    default:
        return OpenResult::OpenFailed;
    }
}

// Looks at the device before the serial library opens it. The library sets TIOCEXCL on every
// open, so once it holds the device the exclusive flag says nothing about other holders;
// it has to be read before. root may open an exclusive tty anyway, hence TIOCGEXCL rather
// than relying on EBUSY.
OpenResult probeDevice(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::access(native.constData(), R_OK | W_OK) != 0)
        return resultFromErrno(errno);
    const int fd = ::open(native.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return resultFromErrno(errno);
    int exclusive = 0;
    const bool held = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    ::close(fd);
    return held ? OpenResult::PortInUse : OpenResult::Ok;
}

} // namespace

SerialPortService::SerialPortService(PortMap map, QObject *parent)
    : QObject(parent)
    , m_map(std::move(map))
{ }

SerialPortService::~SerialPortService()
{
    close();
}

QString ComPorts::entryText(int n)
{
    return QStringLiteral("Com%1").arg(n);
}

int ComPorts::numberFromEntry(const QString &text)
{
    if (!text.startsWith(QLatin1String("Com")))
        return 0;
    bool ok = false;
    const int n = text.mid(3).toInt(&ok);
    return ok ? n : 0;
}

QList<int> SerialPortService::scanPorts()
{
    close();
    QList<int> found;
    for (int n = ComPorts::first; n <= ComPorts::last; ++n) {
        const OpenResult code = openPort(n);
        if (code == OpenResult::Ok || code == OpenResult::PortInUse)
            found.append(n);
        close();
    }
    return found;
}

OpenResult SerialPortService::openPort(int n)
{
    close();
    if (!ComPorts::isValid(n) || !m_map)
        return OpenResult::InvalidPort;
    const QString mapped = m_map(n);
    if (mapped.isEmpty())
        return OpenResult::InvalidPort;

    // The library's lock file is named after the path: open the device under its real name
    // so that two names of one device exclude each other.
    const QString path = QFileInfo(mapped).canonicalFilePath();
    if (path.isEmpty())
        return OpenResult::DeviceMissing;
    if (const OpenResult code = probeDevice(path); code != OpenResult::Ok)
        return code;

    auto *port = new QSerialPort(this);
    port->setPortName(path);
    port->setBaudRate(QSerialPort::Baud9600);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        OpenResult code = OpenResult::OpenFailed;
        switch (port->error()) {
        case QSerialPort::PermissionError:
            // Access was checked above, so this is the lock of another program.
            code = OpenResult::PortInUse;
            break;
        case QSerialPort::DeviceNotFoundError:
            code = OpenResult::DeviceMissing;
            break;
        case QSerialPort::UnsupportedOperationError:
            code = OpenResult::SettingsRejected;
            break;
        default:
            break;
        }
        delete port;
        return code;
    }
    // Terminal programs that do not use the library's lock files use flock() instead; the
    // library itself ignores it.
    if (::flock(static_cast<int>(port->handle()), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        port->close();
        delete port;
        return error == EWOULDBLOCK ? OpenResult::PortInUse : OpenResult::OpenFailed;
    }

    m_port = port;
    m_lost = false;
    connect(port, &QSerialPort::readyRead, this, &SerialPortService::dataReceived);
    connect(port, &QSerialPort::errorOccurred, this, &SerialPortService::handlePortError);
    return OpenResult::Ok;
}

void SerialPortService::handlePortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return;
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError: {
        // The device is gone. The library keeps reporting ReadError from its read notifier
        // in a tight loop and still says it is open, so close it ourselves, once, outside
        // the library's own signal.
        if (m_lost)
            return;
        m_lost = true;
        QSerialPort *lostPort = m_port;
        QMetaObject::invokeMethod(
            this,
            [this, lostPort] {
                if (m_port == lostPort)
                    close();
                emit deviceLost();
            },
            Qt::QueuedConnection);
        return;
    }
    default:
        // Modem-line calls fail on pseudo-terminals, and a parity or framing error spoils a
        // byte, not the line: neither is fatal.
        m_port->clearError();
        emit lineError(error);
        return;
    }
}

void SerialPortService::close()
{
    if (!m_port)
        return;
    QSerialPort *port = m_port;
    m_port = nullptr;
    port->disconnect(this);
    if (port->isOpen())
        port->close(); // also drops the flock and the lock file
    port->deleteLater();
}

bool SerialPortService::isOpen() const
{
    return m_port && m_port->isOpen() && !m_lost;
}

bool SerialPortService::write(const QByteArray &bytes)
{
    if (!isOpen())
        return false;
    return m_port->write(bytes) == bytes.size();
}

QByteArray SerialPortService::read()
{
    if (!m_port || !m_port->isOpen())
        return {};
    return m_port->readAll();
}

qint64 SerialPortService::bytesAvailable() const
{
    return m_port && m_port->isOpen() ? m_port->bytesAvailable() : 0;
}
