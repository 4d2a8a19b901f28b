#pragma once

#include <QString>

// A pseudo-terminal in raw mode (no echo, no CR/LF translation) whose master side plays the
// far end of a serial line and whose slave path stands in for the serial device.
//
// A slave descriptor stays open for the life of the pair: without one the master reads a
// hang-up whenever no program has the device open, and a read notifier would spin on it.
class RawPty
{
public:
    RawPty();
    ~RawPty();
    RawPty(const RawPty &) = delete;
    RawPty &operator=(const RawPty &) = delete;

    bool isValid() const { return m_master >= 0 || !m_slavePath.isEmpty(); }
    int master() const { return m_master; } // non-blocking; -1 once closed
    QString slavePath() const { return m_slavePath; }
    // Hands the device side to a user (read and write for the user and the group), so that a
    // program of that user can open it when the pair was made by root.
    bool giveTo(unsigned uid, unsigned gid);
    // The far end goes away: whoever has the device open sees it lost.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};
