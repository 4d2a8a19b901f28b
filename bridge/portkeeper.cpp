#include "portkeeper.h"

#include "openresulttext.h"
#include "portwatcher.h"
#include "serialportservice.h"

PortKeeper::PortKeeper(SerialPortService &serial, PortWatcher &watcher, int number,
                       QString portName, QObject *parent)
    : QObject(parent)
    , m_serial(serial)
    , m_watcher(watcher)
    , m_number(number)
    , m_portName(std::move(portName))
{
    m_look.setSingleShot(true);
    connect(&m_look, &QTimer::timeout, this, &PortKeeper::attempt);
    connect(&m_watcher, &PortWatcher::portsChanged, this, [this](const QList<int> &appeared) {
        if (m_waiting && appeared.contains(m_number))
            attempt();
    });
}

void PortKeeper::keepOpen()
{
    m_waiting = true;
    attempt();
}

void PortKeeper::attempt()
{
    if (!m_waiting)
        return;
    if (m_serial.isOpen()) {
        m_waiting = false;
        return;
    }
    // Look first: opening a port another program holds would be seen by it (and its probe
    // descriptor would be one more open of the line every second).
    const PortCheck look = m_serial.check(m_number);
    if (look.result != OpenResult::Ok) {
        waitBecause(look.result, openFailureLine(m_portName, look));
        return;
    }
    const OpenResult code = m_serial.openPort(m_number);
    if (code != OpenResult::Ok) {
        waitBecause(code, openFailureLine(m_portName, m_serial.lastCheck()));
        return;
    }
    m_waiting = false;
    m_look.stop();
    m_lastReason.clear();
    emit opened();
}

void PortKeeper::waitBecause(OpenResult code, const QString &line)
{
    if (line != m_lastReason) {
        m_lastReason = line;
        emit logLine(line + QStringLiteral("; waiting for it"));
    } else if (m_verbose) {
        emit logLine(QStringLiteral("%1: looked again, still waiting").arg(m_portName));
    }
    // A device that is not there is announced by the watcher, when it watches its folder; a
    // folder that is not there yet (a by-id link before the first adapter) is looked at too.
    const bool watched = code == OpenResult::DeviceMissing && m_watcher.isWatching();
    if (!watched)
        m_look.start(lookMs);
    else
        m_look.stop();
}
