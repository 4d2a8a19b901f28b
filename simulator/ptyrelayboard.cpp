#include "ptyrelayboard.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <unistd.h>

PtyRelayBoard::PtyRelayBoard(Clock clock, QObject *parent)
    : QObject(parent)
    , m_clock(std::move(clock))
{
    if (!m_pty.isValid())
        return;
    const int master = m_pty.master();
    m_readNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PtyRelayBoard::readInput);
    m_writeNotifier = new QSocketNotifier(master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PtyRelayBoard::flushOutput);
}

PtyRelayBoard::~PtyRelayBoard()
{
    if (!m_link.isEmpty())
        QFile::remove(m_link);
    delete m_readNotifier;
    delete m_writeNotifier;
}

bool PtyRelayBoard::link(const QString &path, QString *error)
{
    const QFileInfo existing(path);
    if (existing.exists() || existing.isSymLink()) {
        if (!existing.isSymLink()) {
            if (error)
                *error = QStringLiteral("%1 exists and is not a symlink").arg(path);
            return false;
        }
        QFile::remove(path);
    }
    if (!QFile::link(m_pty.slavePath(), path)) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_link = path;
    return true;
}

RelayBoardModel::Millis PtyRelayBoard::now() const
{
    if (m_clock)
        return m_clock();
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void PtyRelayBoard::advance()
{
    const std::uint8_t before = m_model.relays();
    m_model.advanceTo(now());
    if (m_model.relays() != before)
        emit relaysChanged(m_model.relays());
}

void PtyRelayBoard::readInput()
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_pty.master(), buffer, sizeof buffer);
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i) {
            const auto b = static_cast<std::uint8_t>(buffer[i]);
            const std::uint8_t before = m_model.relays();
            const std::vector<std::uint8_t> reply = m_model.receive(b, now());
            ++m_received;
            emit byteReceived(b, m_model.relays());
            if (m_model.relays() != before)
                emit relaysChanged(m_model.relays());
            if (!reply.empty())
                sendRaw(QByteArray(reinterpret_cast<const char *>(reply.data()),
                                   static_cast<qsizetype>(reply.size())));
        }
    }
}

void PtyRelayBoard::sendKeyReport(bool longPress, std::uint8_t userCode1, std::uint8_t userCode2,
                                  std::uint8_t operation, std::uint8_t inverse)
{
    const auto report
        = RelayBoardModel::keyReport(longPress, userCode1, userCode2, operation, inverse);
    sendRaw(QByteArray(reinterpret_cast<const char *>(report.data()), 5));
}

void PtyRelayBoard::sendRaw(const QByteArray &bytes)
{
    m_output.append(bytes);
    flushOutput();
}

void PtyRelayBoard::flushOutput()
{
    while (m_outputDone < m_output.size()) {
        const ssize_t n = ::write(m_pty.master(), m_output.constData() + m_outputDone,
                                  m_output.size() - m_outputDone);
        if (n <= 0)
            break; // full: wait for the write notifier
        m_outputDone += n;
    }
    if (m_outputDone == m_output.size()) {
        m_output.clear();
        m_outputDone = 0;
    }
    m_writeNotifier->setEnabled(m_outputDone < m_output.size() || !m_output.isEmpty());
}
