#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include "receivedecoder.h"

class MqttClient;
class SerialPortService;

struct BridgeSettings
{
    QString id; // the board's name on the broker: topics under relayboard/ID
    QString portName; // how log lines name the port: "Com5 (/dev/ttyUSB0)"
    QString discoveryPrefix = QStringLiteral("homeassistant"); // empty: no discovery
    bool verbose = false; // a log line per key report and reply
};

// The relay board on an MQTT broker. Commands under relayboard/ID become the console's
// encoder bytes on the line; the board's answers, its state and its key reports become
// messages. Nothing from the broker reaches the line but a command the encoder made.
//
//   relayboard/ID/availability  out, retained: online / offline (also the last will)
//   relayboard/ID/chN/set       in: ON or OFF for CH1..CH4
//   relayboard/ID/chN/pulse     in: seconds 1..255, the timed relay
//   relayboard/ID/refresh       in: anything; the board is asked for its state
//   relayboard/ID/state         out, retained: {"ch1":"ON",...} from the read-state answer
//   relayboard/ID/reply         out: any other reply byte, 0xNN
//   relayboard/ID/key           out: {"event_type":"short","bytes":[...],"time":...}
class RelayBridge : public QObject
{
    Q_OBJECT
public:
    // Commands and key reports are a few bytes; anything longer is refused unread.
    static constexpr int maxPayload = 64;
    // Quiet time on the line before the state is asked for, and how long the answer may take.
    static constexpr int quietMs = 150;
    static constexpr int answerMs = 1000;

    RelayBridge(SerialPortService &serial, MqttClient &mqtt, BridgeSettings settings,
                QObject *parent = nullptr);

    QString base() const { return QStringLiteral("relayboard/") + m_settings.id; }
    // The retained discovery messages for Home Assistant: topic and payload.
    QList<QPair<QString, QByteArray>> discoveryMessages() const;
    // The state byte as the state topic carries it: {"ch1":"ON","ch2":"OFF",...}.
    static QByteArray stateJson(std::uint8_t state);
    // A characters-only name for the broker: lower case, anything but a-z 0-9 _ - as "-".
    static QString sanitizedId(const QString &text);

    // The port is open (at start, or again after it was lost): online, and the state.
    void portOpened();
    // The port went away: offline until it is back.
    void portLost();

signals:
    void logLine(const QString &text);

private:
    void brokerConnected();
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    void dataReceived();
    void warn(const QString &topic, const QByteArray &payload, const QString &why);
    void sendCommand(const QByteArray &bytes);
    void wantState();
    void askState();
    void publishAvailability();
    void publishKey(const IrKeyMessage &message);

    SerialPortService &m_serial;
    MqttClient &m_mqtt;
    BridgeSettings m_settings;
    ReceiveDecoder m_decoder;
    bool m_portOpen = false;
    bool m_stateWanted = false; // a read-state command is due once the line is quiet
    bool m_stateAsked = false; // the next reply byte is the state
    bool m_saidNoAnswer = false;
    QTimer m_quiet; // restarts with every byte either way
    QTimer m_answer; // how long the read-state answer may take
};
