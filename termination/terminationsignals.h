#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP as a Qt signal on the main thread, so that a program ends the way
// its own quit does (port closed, lock file removed, exclusive flag cleared) instead of dying
// with the port held. One instance per process; the default actions return when it goes.
// The handlers do not restart interrupted calls: a write or open that could wait forever returns
// with EINTR instead, so that the program gets to its own end.
class TerminationSignals : public QObject
{
    Q_OBJECT
public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    bool isActive() const { return m_notifier != nullptr; }
    // Code that must wait outside the event loop (a write to a stalled pipe) asks hasArrived()
    // first, then polls pendingDescriptor() beside its own: it is readable from the moment a
    // signal comes until the event loop takes it, and the flag is set before that.
    static int pendingDescriptor();
    static bool hasArrived();

signals:
    void received(int signalNumber);

private:
    void readPending();

    QSocketNotifier *m_notifier = nullptr;
};
