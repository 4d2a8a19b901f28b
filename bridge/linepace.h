#pragma once

#include <QElapsedTimer>

// The pace of a serial line: when the bytes written so far will have left it, at its rate.
// A command that would wait too long behind them is refused rather than queued.
class LinePace
{
public:
    LinePace(int bytesPerSecond, int maxWaitMs);

    // Books the line for `bytes` more. False, and nothing booked, when `mayRefuse` and they
    // would start more than maxWaitMs from now.
    bool take(int bytes, bool mayRefuse);
    // The line is new (a port opened again): nothing is on it.
    void reset() { m_freeAtUs = 0; }

    int bytesPerSecond() const { return m_bytesPerSecond; }
    int maxWaitMs() const { return m_maxWaitMs; }

private:
    int m_bytesPerSecond;
    int m_maxWaitMs;
    QElapsedTimer m_clock;
    qint64 m_freeAtUs = 0; // on m_clock
};
