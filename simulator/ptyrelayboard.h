#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

#include "rawpty.h"
#include "relayboardmodel.h"

class QSocketNotifier;

// A relay board on the master side of a pseudo-terminal: whatever opens the slave talks to it
// as to a board on a serial line. Runs on the Qt event loop of the thread that made it.
class PtyRelayBoard : public QObject
{
    Q_OBJECT
public:
    using Clock = std::function<RelayBoardModel::Millis()>;

    // `clock` gives the board's time in milliseconds; by default the steady clock. Tests pass a
    // clock of their own and call advance() instead of waiting.
    explicit PtyRelayBoard(Clock clock = {}, QObject *parent = nullptr);
    ~PtyRelayBoard() override;

    bool isValid() const { return m_pty.isValid(); }
    QString slavePath() const { return m_pty.slavePath(); }
    bool giveTo(unsigned uid, unsigned gid) { return m_pty.giveTo(uid, gid); }

    // Creates a symlink at `path` to the slave, replacing an older symlink there but never
    // anything else; removed again when the board goes. False, with a reason, if impossible.
    bool link(const QString &path, QString *error = nullptr);

    // Sends a key report, or any bytes, as the board would; queued when the line is full.
    void sendKeyReport(bool longPress, std::uint8_t userCode1, std::uint8_t userCode2,
                       std::uint8_t operation, std::uint8_t inverse);
    void sendRaw(const QByteArray &bytes);
    qint64 pendingOutput() const { return m_output.size() - m_outputDone; }

    // Lets the board's time run up to now, releasing timed relays.
    void advance();
    std::uint8_t relays() const { return m_model.relays(); }
    const RelayBoardModel &model() const { return m_model; }
    qint64 bytesReceived() const { return m_received; }

signals:
    void byteReceived(std::uint8_t b, std::uint8_t relaysAfter);
    void relaysChanged(std::uint8_t relays);

private:
    void readInput();
    void flushOutput();
    RelayBoardModel::Millis now() const;

    Clock m_clock;
    RelayBoardModel m_model;
    RawPty m_pty;
    QString m_link;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_output;
    qsizetype m_outputDone = 0;
    qint64 m_received = 0;
};
