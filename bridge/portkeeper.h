#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "openresult.h"

class PortWatcher;
class SerialPortService;

// Keeps the bridge's port open: after it went away, or at start when the service was told to
// wait for it, it opens the port as soon as it is present and free. A missing device is
// waited for through the port watcher (nothing runs meanwhile); a held one is looked at once a
// second, by looking only (no open, no probe), until the look finds it free. Why it waits is
// said once, and again only when that changes.
class PortKeeper : public QObject
{
    Q_OBJECT
public:
    static constexpr int lookMs = 1000;

    PortKeeper(SerialPortService &serial, PortWatcher &watcher, int number, QString portName,
               QObject *parent = nullptr);

    // One attempt now; when it fails, keeps trying until the port is open.
    void keepOpen();
    bool isWaiting() const { return m_waiting; }
    // A line for every look that finds the port still not free, not only for a new reason.
    void setVerbose(bool verbose) { m_verbose = verbose; }

signals:
    void opened();
    void logLine(const QString &text);

private:
    void attempt();
    void waitBecause(OpenResult code, const QString &line);

    SerialPortService &m_serial;
    PortWatcher &m_watcher;
    int m_number;
    QString m_portName;
    bool m_waiting = false;
    bool m_verbose = false;
    QString m_lastReason;
    QTimer m_look;
};
