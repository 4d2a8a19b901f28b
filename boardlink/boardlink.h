#pragma once

#include <QByteArray>
#include <QObject>

// The way to a relay board: its serial port on this machine, or the broker when a bridge owns
// the port (here or on another machine). What uses a link writes command bytes, hears the
// board's bytes and hears that the board went away; it never needs to know which kind it has.
class BoardLink : public QObject
{
    Q_OBJECT
public:
    // Why bytes already taken by write() did not reach the board.
    enum class WriteFailure {
        Line, // writing to the port failed, though the device is still there
        Stalled, // the port took none of the bytes for a while
        Offline, // the bridge has no port open
        Refused, // the bridge did not take the command
        Busy, // the bridge's line is full
        NoAnswer, // the bridge did not say in time whether it wrote it
    };
    Q_ENUM(WriteFailure)

    using QObject::QObject;

    virtual bool isOpen() const = 0;
    // The board went away; deviceLost() follows (or came already).
    virtual bool isLost() const = 0;
    // Sends the bytes as they are; false when the link is not open or cannot take them now.
    virtual bool write(const QByteArray &bytes) = 0;
    virtual void close() = 0;

signals:
    // Bytes from the board, as they came: each byte is handed out once.
    void dataReceived(const QByteArray &bytes);
    // The board went away; the link has been closed already.
    void deviceLost();
    // Bytes that write() took did not reach the board, and never will: said once for them.
    // `systemError`: the errno of a failed write to a port, 0 for any other failure.
    void writeFailed(BoardLink::WriteFailure failure, int systemError = 0);
};
