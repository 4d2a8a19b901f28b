#include "serialportservice.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSerialPort>

#include <cerrno>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

SerialPortService::SerialPortService(PortMap map, QObject *parent)
    : BoardLink(parent)
    , m_map(std::move(map))
{
    m_writePause.setSingleShot(true);
    connect(&m_writePause, &QTimer::timeout, this, [this] { flushPending(false); });
}

SerialPortService::~SerialPortService()
{
    close();
}

void SerialPortService::setLockDirectories(const QStringList &directories)
{
    m_lockDirectories = directories;
    m_guard = PortGuard(m_lockDirectories, m_sysfsRoot);
}

void SerialPortService::setSysfsRoot(const QString &root)
{
    m_sysfsRoot = root;
    m_guard = PortGuard(m_lockDirectories, m_sysfsRoot);
}

AdapterInfo SerialPortService::adapterOf(int n) const
{
    return AdapterInfo::describe(deviceOf(n), m_sysfsRoot, m_byIdDirectory);
}

QString SerialPortService::resolve(int n, PortCheck *failure) const
{
    if (!ComPorts::isValid(n) || !m_map || m_map(n).isEmpty()) {
        *failure = {OpenResult::InvalidPort};
        return {};
    }
    // The library's lock file is named after the path: open the device under its real name
    // so that two names of one device exclude each other.
    const QString path = QFileInfo(m_map(n)).canonicalFilePath();
    if (path.isEmpty())
        *failure = {OpenResult::DeviceMissing};
    return path;
}

PortCheck SerialPortService::check(int n, QString *devicePath, PortGuard::Depth depth) const
{
    PortCheck failure;
    const QString path = resolve(n, &failure);
    if (path.isEmpty())
        return failure;
    if (devicePath)
        *devicePath = path;
    return m_guard.inspect(m_map(n), path, depth);
}

bool SerialPortService::isListable(int n) const
{
    // Listed whoever holds it: opening it is what says why not. A ttyS node with no UART behind
    // it exists but is no port.
    const OpenResult code = check(n, nullptr, PortGuard::Depth::Presence).result;
    return code != OpenResult::InvalidPort && code != OpenResult::DeviceMissing;
}

QList<int> SerialPortService::scanPorts()
{
    QList<int> found;
    for (int n = ComPorts::first; n <= ComPorts::last; ++n) {
        if (isListable(n))
            found.append(n);
    }
    return found;
}

OpenResult SerialPortService::openPort(int n)
{
    close();
    const QString path = resolve(n, &m_lastCheck);
    if (path.isEmpty())
        return m_lastCheck.result;
    int probe = -1;
    m_lastCheck = m_guard.check(m_map(n), path, &probe);
    if (m_lastCheck.result != OpenResult::Ok)
        return m_lastCheck.result;
    // The probe stays open until the library has the port: the line is opened once, not
    // opened, closed (dropping the modem lines) and opened again.
    const auto closeProbe = qScopeGuard([probe] { ::close(probe); });

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
            // Access was checked above, so another program locked it since.
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
        m_lastCheck.result = code;
        return code;
    }
    // The guard saw no flock a moment ago; take it now so that terminal programs that use no
    // lock files see this one, and so that one that came in between is still noticed.
    if (::flock(static_cast<int>(port->handle()), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        port->close();
        delete port;
        m_lastCheck.result = error == EWOULDBLOCK ? OpenResult::PortInUse : OpenResult::OpenFailed;
        return m_lastCheck.result;
    }

    m_port = port;
    m_lost = false;
    connect(port, &QSerialPort::readyRead, this, [this, port] {
        if (const QByteArray bytes = port->readAll(); !bytes.isEmpty())
            emit dataReceived(bytes);
    });
    connect(port, &QSerialPort::errorOccurred, this, &SerialPortService::handlePortError);
    return OpenResult::Ok;
}

bool SerialPortService::deviceGone() const
{
    const int fd = static_cast<int>(m_port->handle());
    pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return true;
    termios settings {};
    return ::tcgetattr(fd, &settings) != 0;
}

void SerialPortService::handlePortError(QSerialPort::SerialPortError error)
{
    switch (error) {
    case QSerialPort::NoError:
        return;
    case QSerialPort::ResourceError:
    case QSerialPort::ReadError:
    case QSerialPort::WriteError: {
        if (m_lost)
            return;
        // An empty read also happens when another reader of the line took the bytes first:
        // the device is lost only when it has hung up or no longer answers a termios query.
        if (error != QSerialPort::ResourceError && !deviceGone()) {
            m_port->clearError();
            if (error == QSerialPort::WriteError)
                emit writeFailed(WriteFailure::Line);
            else
                emit lineError(error);
            return;
        }
        // The device is gone. The library keeps reporting ReadError from its read notifier
        // in a tight loop and still says it is open, so close it ourselves, once, outside
        // the library's own signal.
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
    m_pending.clear();
    m_writePause.stop();
    if (m_writable) {
        m_writable->setEnabled(false);
        m_writable->deleteLater(); // close() may run inside its signal
        m_writable = nullptr;
    }
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
    if (!isOpen() || (!m_pending.isEmpty() && m_pending.size() + bytes.size() > maxPending))
        return false;
    // The bytes go to the handle directly, not through the library's write buffer: when a
    // write fails, the library keeps the bytes and tries again at once, for as long as the
    // fault lasts (a core spinning, an error per attempt), and sends them once it clears.
    const bool waiting = !m_pending.isEmpty();
    if (!waiting)
        m_stallDeadline.setRemainingTime(stallMs);
    m_writeFailed = false;
    m_pending += bytes;
    if (!waiting)
        flushPending(false);
    return true;
}

void SerialPortService::flushPending(bool woken)
{
    m_writePause.stop();
    if (m_writable)
        m_writable->setEnabled(false);
    if (!m_port)
        return;
    const int fd = static_cast<int>(m_port->handle());
    while (!m_pending.isEmpty()) {
        const ssize_t n = ::write(fd, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, qsizetype(n));
            m_stallDeadline.setRemainingTime(stallMs);
            woken = false;
            continue;
        }
        const int error = n < 0 ? errno : 0;
        if (error == EINTR)
            continue;
        if (n == 0 || error == EAGAIN || error == EWOULDBLOCK) {
            // The line cannot take them now: they wait for room, for a while.
            if (m_stallDeadline.hasExpired())
                return failWrite(WriteFailure::Stalled, 0);
            // Taking nothing from a line that said it had room (or taking nothing without a
            // word) would be tried again at once, forever: that waits a moment instead.
            if (n == 0 || woken) {
                m_writePause.start(
                    int(qMin<qint64>(stallMs / 20, m_stallDeadline.remainingTime() + 1)));
                return;
            }
            if (!m_writable) {
                m_writable = new QSocketNotifier(m_port->handle(), QSocketNotifier::Write, this);
                connect(m_writable, &QSocketNotifier::activated, this,
                        [this] { flushPending(true); });
            }
            m_writable->setEnabled(true);
            // The stall is noticed also when the line never says it has room.
            m_writePause.start(int(m_stallDeadline.remainingTime()) + 1);
            return;
        }
        if (deviceGone()) {
            m_pending.clear();
            return handlePortError(QSerialPort::ResourceError); // a lost port, told as such
        }
        return failWrite(WriteFailure::Line, error);
    }
}

void SerialPortService::failWrite(WriteFailure failure, int error)
{
    m_pending.clear();
    m_writeFailed = true;
    emit writeFailed(failure, error);
}

bool SerialPortService::waitForWritten(int msecs)
{
    if (!isOpen())
        return false;
    QDeadlineTimer deadline(msecs);
    const int fd = static_cast<int>(m_port->handle());
    while (!m_pending.isEmpty() && isOpen() && !deadline.hasExpired()) {
        pollfd p {fd, POLLOUT, 0};
        ::poll(&p, 1, int(qMin<qint64>(deadline.remainingTime(), stallMs / 20)));
        flushPending(true);
    }
    if (!m_pending.isEmpty() || !isOpen() || m_writeFailed)
        return false;
    return ::tcdrain(fd) == 0;
}

void SerialPortService::discardInput()
{
    if (m_port && m_port->isOpen())
        m_port->clear(QSerialPort::Input); // the library's buffer and the kernel's (tcflush)
}

qint64 SerialPortService::bytesAvailable() const
{
    return m_port && m_port->isOpen() ? m_port->bytesAvailable() : 0;
}
