#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <optional>

struct IrKeyMessage;

// A relay board on an MQTT broker, as its bridge (relay-mqtt) and every program that drives
// it from afar speak of it: the topic names, the board's ID, the request envelope and its
// answers, and the payloads of state, key reports, byte stream and availability.
//
//   relayboard/ID/availability          bridge, retained: online / offline (also its last will)
//   relayboard/ID/state                 bridge, retained: {"ch1":"ON","ch2":"OFF",...}
//   relayboard/ID/bytes                 bridge: what the board sent, as hexadecimal text, in
//                                       its order ("0x53 0x00 0xFF 0x12 0xED"), less the
//                                       replies to the bridge's own state questions
//   relayboard/ID/reply                 bridge: a reply byte, 0xNN (not those of its own)
//   relayboard/ID/key                   bridge: {"event_type":"short","bytes":[...],"time":...}
//   relayboard/ID/command               to the bridge: a plain command, its bytes as
//                                       hexadecimal text ("0x15", "0xC9 0xB5"), or a request
//                                       (the envelope below)
//   relayboard/ID/refresh               to the bridge: anything; the board is asked its state
//   relayboard/ID/chN/set, chN/pulse, chN/pulse_length/set, chN/pulse_length: see RelayBridge
//
// A request carries its envelope in the payload, so that every path between requester and
// bridge carries it whole: a broker or a bridge between brokers that speaks MQTT 3.1.1, or
// drops MQTT 5 properties, passes the payload as it is.
//
//   {"command":"0x30","transaction":"T","answer_to":"relayclient/C/answer",
//    "reply_within_ms":1000,"expires":1765432100000}
//
//   command          the command's bytes as in a plain command; a request without it and with
//                    "probe":true asks only whether the bridge hears and answers
//   transaction      1..64 printable ASCII characters of the requester's choosing, sent back
//   answer_to        where the answer goes: a topic under relayclient/, no wildcards
//   reply_within_ms  1..60000: the answer waits that long for the board's reply byte
//   expires          UTC ms since 1970: a request seen later is not carried out
//
// The answer, on answer_to: {"transaction":"T","written":true,"reply":"0x05"} or
// {"transaction":"T","written":false,"error":"offline","reason":"..."}; "reply" only when one
// was asked for, null when none came in time; {"transaction":"T","written":false,
// "probe":true} to a probe. An MQTT 5 request (a plain command with a response topic,
// correlation data and the user properties reply-within-ms and expires) is answered the same
// way on its response topic, with its correlation data and without a transaction.
namespace BoardContract {

inline constexpr char root[] = "relayboard";
// Answers go only to topics under this root: a request cannot make the bridge publish on a
// board's own topics.
inline constexpr char responseRoot[] = "relayclient/";
constexpr int maxReplyWithinMs = 60000;
inline constexpr char replyWithinProperty[] = "reply-within-ms";
inline constexpr char expiresProperty[] = "expires";
// Answer topics, transactions and correlation data longer than these are refused unanswered.
constexpr int maxResponseTopic = 200;
constexpr int maxTransaction = 64;
constexpr int maxCorrelationData = 64;
// The longest payload a bridge reads on its command topics; an envelope fits.
constexpr int maxRequestPayload = 512;
// Bytes of the board in one message of the byte stream, at most.
constexpr int maxStreamBytes = 64;

// A board's ID: 1..64 of a-z 0-9 _ - (ASCII only).
bool isIdCharacter(QChar c);
bool isValidId(const QString &id);
// Any text made into an ID: lower case, every other character a '-'.
QString sanitizedId(const QString &text);
// The ID relay-mqtt takes without --id: the host name and the port's name ("Com5", or the
// device's file name), "bench3-com5".
QString defaultId(const QString &hostName, const QString &portName);
// The ID of the board a relay-mqtt started with these arguments (argv without the program)
// puts on the broker, on a host of this name; empty when they do not say. The arguments come
// from another process: nothing in them is trusted beyond the ID rule.
QString idFromArguments(const QStringList &arguments, const QString &hostName);

// The topics of a board, by the last part of their names.
enum class Leaf {
    Availability,
    State,
    Bytes,
    Reply,
    Key,
    Command,
    Refresh,
    ChannelSet, // chN/set
    Pulse, // chN/pulse
    PulseLength, // chN/pulse_length
    PulseLengthSet, // chN/pulse_length/set
};
// `channel`: 0..3, for the channel leaves.
QString topic(const QString &id, Leaf leaf, int channel = 0);
// Every topic of one board, and one leaf of every board: relayboard/ID/#, relayboard/+/state.
QString boardFilter(const QString &id);
QString everyBoard(Leaf leaf);
// Published by the bridge (the others are for it).
bool isBridgeOutput(Leaf leaf);
struct BoardTopic
{
    QString id;
    Leaf leaf = Leaf::Availability;
    int channel = 0;
};
// A topic name of the contract; nullopt for any other name (a bad ID, an unknown leaf, a
// channel out of range).
std::optional<BoardTopic> parseTopic(const QString &topic);
// Whether the topic lies under the board's own (relayboard/ID/...), known leaf or not.
bool isUnderBoard(const QString &topic, const QString &id);

// Availability: true for online, false for offline; nullopt for an empty payload (the
// retained message was deleted) and anything else.
QByteArray availabilityPayload(bool online);
std::optional<bool> parseAvailability(const QByteArray &payload);

// The state byte as the state topic carries it: {"ch1":"ON","ch2":"OFF",...}.
QByteArray stateJson(std::uint8_t state);
std::optional<std::uint8_t> parseState(const QByteArray &json);

// A key report for Home Assistant: {"event_type":"long","bytes":["0x00",...],"time":"..."}.
QByteArray keyJson(const IrKeyMessage &message, const QString &time);

// Bytes as hexadecimal text, "0xC9 0xB5": commands, replies and the byte stream.
QByteArray bytesText(const QByteArray &bytes);
// The bytes of such a text; nullopt for anything but 0xNN words separated by spaces.
std::optional<QByteArray> parseBytesText(const QByteArray &text);

// What the encoder makes of these bytes, if it makes them at all.
struct CommandKind
{
    bool valid = false;
    bool answered = false; // the board answers it with one byte (read state)
    int timedSeconds = 0; // a timed relay: its length
};
CommandKind classify(const QByteArray &bytes);

struct Envelope
{
    bool probe = false;
    QByteArray command; // the bytes; empty for a probe
    QString transaction;
    QString answerTo;
    int replyWithinMs = 0; // 0: the answer does not wait for a reply
    std::optional<qint64> expires; // UTC ms since 1970
};
QByteArray envelopeJson(const Envelope &envelope);
// Whether a command payload is meant as an envelope (a JSON object), not a plain command.
bool isEnvelope(const QByteArray &payload);
// An envelope, or what is wrong with it (in words, for the bridge's log): `*error` is set and
// nullopt given. `transaction` and `answerTo` are filled in as far as they are sound, so
// that a request with a bad field can still be answered.
std::optional<Envelope> parseEnvelope(const QByteArray &payload, QString *error,
                                      QString *transaction, QString *answerTo);
// Where an answer may go: under responseRoot, at most maxResponseTopic bytes, no wildcards.
bool isAnswerTopic(const QString &topic);

enum class Failure {
    None,
    Offline, // the board's port is not open
    Refused, // not a command, or a bad envelope
    Busy, // the line or the answer queue is full
    LineFailed, // writing to the port failed
    Expired, // seen after its "expires"
};
QString failureName(Failure failure);

struct Answer
{
    QString transaction; // the request's, when it had one
    bool probe = false; // the answer to a probe
    bool written = false;
    Failure failure = Failure::None;
    QString reason; // in words, for the log line of the requester
    bool replyAsked = false;
    std::optional<std::uint8_t> reply;
};
QByteArray answerJson(const Answer &answer);
std::optional<Answer> parseAnswer(const QByteArray &json);

} // namespace BoardContract

Q_DECLARE_METATYPE(BoardContract::Answer)
