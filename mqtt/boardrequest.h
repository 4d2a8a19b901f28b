#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <optional>

// Commands to a bridged board and the bridge's answers, as both sides speak them.
//
//   relayboard/ID/command   in: the command's bytes in hexadecimal text, "0x15" or
//                           "0xC9 0xB5"; only what the console's encoder makes is taken.
//                           MQTT 5 request: with a response topic (under relayclient/) and
//                           correlation data the bridge answers once on that topic; user
//                           properties "reply-within-ms" (1..10000: the answer waits for the
//                           board's reply byte that long) and "expires" (UTC ms since the
//                           epoch: a command seen later is not carried out).
//   answer                  {"written":true,"reply":"0x05"} / {"written":false,"error":
//                           "offline","reason":"..."}; "reply" only when one was asked for,
//                           null when none came in time.
namespace BoardRequest {

constexpr int maxReplyWithinMs = 10000;
inline constexpr char replyWithinProperty[] = "reply-within-ms";
inline constexpr char expiresProperty[] = "expires";
// Answers go only to topics under this root: a request cannot make the bridge publish on a
// board's own topics.
inline constexpr char responseRoot[] = "relayclient/";
// Response topics and correlation data longer than these are refused unanswered.
constexpr int maxResponseTopic = 200;
constexpr int maxCorrelationData = 64;

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

inline QString boardTopic(const QString &id, const char *leaf)
{
    return QStringLiteral("relayboard/%1/%2").arg(id, QLatin1String(leaf));
}

// "0xC9 0xB5"
QByteArray commandText(const QByteArray &bytes);
// The bytes of a command text; nullopt for anything but 0xNN words separated by spaces.
std::optional<QByteArray> parseCommandText(const QByteArray &text);

// What the encoder makes of these bytes, if it makes them at all.
struct CommandKind
{
    bool valid = false;
    bool answered = false; // the board answers it with one byte (read state)
    int timedSeconds = 0; // a timed relay: its length
};
CommandKind classify(const QByteArray &bytes);

enum class Failure {
    None,
    Offline, // the board's port is not open
    Refused, // not a command, or bad request properties
    Busy, // the line or the answer queue is full
    LineFailed, // writing to the port failed
    Expired, // seen after its "expires"
};
QString failureName(Failure failure);

struct Answer
{
    bool written = false;
    Failure failure = Failure::None;
    QString reason; // in words, for the log line of the requester
    bool replyAsked = false;
    std::optional<std::uint8_t> reply;
};
QByteArray answerJson(const Answer &answer);
std::optional<Answer> parseAnswer(const QByteArray &json);

} // namespace BoardRequest

Q_DECLARE_METATYPE(BoardRequest::Answer)
