#pragma once

#include <QEventLoop>
#include <QString>
#include <QTimer>

#include "boardlink.h"
#include "exitstatus.h"
#include "receivedecoder.h"

class TerminationSignals;

// What the board sends over an open link, a local port's or the broker's alike, as relayctl
// prints it: for watch every reply and key report until interrupted, otherwise the one reply
// to the command written. It hears the link from the moment it is made, so that a reply that
// comes while the command is still being sent is not missed.
class Listener
{
public:
    struct Setup
    {
        bool watch = false;
        bool json = false;
        int timeoutMs = 1000; // for the reply
        QString name; // the port or board, as the messages name it
        QString lostText; // what is said when the link goes away
        ExitStatus lostStatus = ExitStatus::OpenError;
    };
    Listener(BoardLink &link, Setup setup, TerminationSignals &terminations);

    // Runs until the reply came (or, for watch, until interrupted or the reader of the output
    // went away); the status to end with. The link is closed afterwards.
    ExitStatus run();

private:
    void data(const QByteArray &bytes);
    void timedOut();
    bool print(const QString &text);
    void finish(ExitStatus status);

    BoardLink &m_link;
    Setup m_setup;
    ReceiveDecoder m_decoder;
    QEventLoop m_loop;
    QTimer m_timeout;
    ExitStatus m_status = ExitStatus::Done;
    bool m_done = false;
    bool m_interrupted = false;
};
