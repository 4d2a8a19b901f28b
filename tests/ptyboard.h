#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>

#include "rawpty.h"

// The board's end of a pseudo-terminal: the test reads and writes the master side while the
// code under test opens the slave as its serial port.
class PtyBoard
{
public:
    PtyBoard() = default;
    PtyBoard(const PtyBoard &) = delete;
    PtyBoard &operator=(const PtyBoard &) = delete;

    bool isValid() const { return m_pty.isValid(); }
    QString slavePath() const { return m_pty.slavePath(); }

    bool send(const QByteArray &bytes);
    // Reads from the master until `count` bytes have come or the timeout passes, running the
    // Qt event loop meanwhile so that queued writes of the code under test go out.
    QByteArray receive(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whatever is waiting now, after letting the event loop run briefly.
    QByteArray drain();
    // The board vanishes: the slave side sees a hang-up.
    void closeMaster();
    // The master descriptor, for tests that watch the line itself (-1 once closed).
    int masterFd() const { return m_pty.master(); }

private:
    RawPty m_pty;
};

// Runs the event loop for `duration` and counts how often it woke up. An idle loop wakes a
// handful of times; a loop spinning on a ready descriptor wakes thousands of times, however
// loaded the machine is, so the count tells a spin apart without timing anything.
int eventLoopWakeUps(std::chrono::milliseconds duration);
