#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <deque>
#include <optional>
#include <set>

#include "boardcontract.h"
#include "bridgerequest.h"

#include "commandencoder.h"
#include "linepace.h"
#include "loglimiter.h"
#include "receivedecoder.h"
#include "relaystate.h"

class MqttClient;
class SerialPortService;
struct BrokerMessage;

struct BridgeSettings
{
    QString id; // the board's name on the broker: topics under relayboard/ID
    QString portName; // how log lines name the port: "Com5 (/dev/ttyUSB0)"
    QString discoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
    bool verbose = false; // a log line per key report, reply, birth message and kept length
};

// The relay board on an MQTT broker. Commands under relayboard/ID become the console's
// encoder bytes on the line; the board's answers, its state, its key reports and its bytes
// become messages (the topics: boardcontract.h). Nothing from the broker reaches the line but
// a command the encoder made.
//
//   relayboard/ID/chN/set               in: ON or OFF for CH1..CH4
//   relayboard/ID/chN/pulse             in: seconds 1..255, the timed relay; PRESS: for the
//                                       channel's pulse length
//   relayboard/ID/chN/pulse_length/set  in: seconds 1..255, kept for PRESS
//   relayboard/ID/chN/pulse_length      out, retained: the pulse length (1 until set)
//   PREFIX/status                       in: Home Assistant's birth message; online makes the
//                                       bridge publish discovery, availability and state again
class RelayBridge : public QObject
{
    Q_OBJECT
public:
    // Commands are a few bytes; anything longer is refused unread (requests: see
    // BoardContract::maxRequestPayload).
    static constexpr int maxPayload = 64;
    // Quiet time on the line before the state is asked for, and how long the board's reply (to
    // a question of this bridge's or to a read nobody waits for) may take.
    // Commands that keep coming do not hold the question back longer than stateWithinMs after
    // the first of them.
    static constexpr int quietMs = 150;
    static constexpr int stateWithinMs = 800;
    static constexpr int boardReplyMs = 1000;
    // The line carries 960 bytes a second (9600 8N1); a command that would wait longer than
    // this behind the ones before it is refused rather than queued.
    static constexpr int lineBytesPerSecond = 960;
    static constexpr int maxLineWaitMs = 1000;
    // Home Assistant's clients all hear its birth message at once: each answers within this.
    static constexpr int birthAnswerMaxMs = 3000;
    // Events beyond this many unacknowledged messages are dropped, not queued.
    static constexpr int maxUnacknowledged = 1000;
    // Requests waiting for the board's reply byte, at most.
    static constexpr int maxWaiting = 64;

    RelayBridge(SerialPortService &serial, MqttClient &mqtt, BridgeSettings settings,
                QObject *parent = nullptr);

    // A topic of this board.
    QString topic(BoardContract::Leaf leaf, int channel = 0) const
    {
        return BoardContract::topic(m_settings.id, leaf, channel);
    }
    // online / offline, retained; the last will too.
    QString availabilityTopic() const { return topic(BoardContract::Leaf::Availability); }
    // The retained discovery messages for Home Assistant: topic and payload.
    QList<QPair<QString, QByteArray>> discoveryMessages() const;

    // The port is open (at start, or again after it was lost): online, and the state.
    void portOpened();
    // The port went away: offline until it is back.
    void portLost();

signals:
    void logLine(const QString &text);

private:
    void brokerConnected();
    void brokerMessage(const BrokerMessage &message);
    void commandMessage(const BrokerMessage &message);
    void channelMessage(int channel, BoardContract::Leaf what, const QString &topic,
                        const QByteArray &payload);
    void dataReceived(const QByteArray &bytes);
    void warn(const QString &topic, const QByteArray &payload, const QString &why);
    // `pulseSeconds`: the timed relay's length, 0 for any other command.
    // What kept a command from the line, if anything; the warning is said already.
    BoardContract::Failure sendCommand(const QByteArray &bytes, int pulseSeconds,
                                       const QString &topic, const QByteArray &payload,
                                       QString *reason = nullptr);
    using Route = BridgeRequest::Route;
    void carryOut(const BrokerMessage &message, const BridgeRequest::Request &request);
    // Said, and answered where the request says where.
    void refuse(const BrokerMessage &message, const BridgeRequest::Refusal &refusal);
    QString notOpenText() const;
    // A read written to the line, waiting for the board's next reply byte: the bridge's own
    // state question, or anybody's read-state command.
    struct Waiter
    {
        bool own = false;
        Route route; // no topic: nobody waits for the answer
        qint64 deadline = 0; // ms on m_clock
    };
    void answer(const Route &route, BoardContract::Answer answer);
    void wait(Waiter waiter);
    // Answers (no reply) every waiter whose time is up, or all of them.
    void expireWaiters(bool all = false);
    bool ownQuestionOpen() const;
    // A write failure of the port in words: errno, or -1 for a port that took nothing.
    static QString writeFailureText(int error);
    void pulseStarted(int seconds);
    void pulsesEnded();
    void wantState();
    void restartQuiet();
    void askState();
    void publishAvailability();
    void publishAll();
    void publishPulseLength(int channel);
    // `counted`: one the broker cannot take is counted among the dropped events.
    void publishEvent(const QString &topic, const QByteArray &payload, int qos,
                      bool counted = true);
    void publishKey(const IrKeyMessage &message);
    void publishBytes(const QByteArray &bytes);

    SerialPortService &m_serial;
    MqttClient &m_mqtt;
    BridgeSettings m_settings;
    ReceiveDecoder m_decoder;
    LogLimiter m_limiter;
    LinePace m_line;
    QElapsedTimer m_clock;
    bool m_portOpen = false;
    bool m_stateWanted = false; // a read-state command is due once the line is quiet
    qint64 m_stateWantedAt = 0; // since then, ms on m_clock
    bool m_saidVersion311 = false;
    bool m_saidNoAnswer = false;
    // While sendCommand() writes: why the port dropped the command at once, if it did (errno;
    // -1 for a port that took nothing).
    bool m_writing = false;
    std::optional<int> m_droppedAtOnce;
    QTimer m_quiet; // restarts with every byte either way, up to stateWithinMs
    std::deque<Waiter> m_waiters; // in the order their commands were written
    QTimer m_waitEnd; // the earliest deadline among them
    QTimer m_birth; // the answer to Home Assistant's birth message
    QTimer m_pulseEnd; // the next end of a pulse; the others wait in m_pulseEnds
    std::set<qint64> m_pulseEnds; // ms on m_clock, rounded up to 100 ms
    std::array<int, RelayState::channels> m_pulseSeconds;
    std::array<bool, RelayState::channels> m_pulseKnown = {}; // set, or read back from the broker
    QTimer m_pulseDefaults; // after the retained lengths had their chance to arrive
    qint64 m_droppedEvents = 0; // replies and key reports nobody could be sent
};
