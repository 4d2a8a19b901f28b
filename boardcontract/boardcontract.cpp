#include "boardcontract.h"

#include "comports.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>

#include "commandencoder.h"
#include "hexbytetext.h"
#include "receivedecoder.h"
#include "relaystate.h"

namespace BoardContract {

bool isIdCharacter(QChar c)
{
    // ASCII only: QChar::isLower() and friends take letters of every script.
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_')
        || c == QLatin1Char('-');
}

bool isValidId(const QString &id)
{
    return !id.isEmpty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), isIdCharacter);
}

QString sanitizedId(const QString &text)
{
    QString id = text.toLower();
    for (QChar &c : id) {
        if (!isIdCharacter(c))
            c = QLatin1Char('-');
    }
    return id;
}

QString defaultId(const QString &hostName, const QString &portName)
{
    return sanitizedId(hostName + QLatin1Char('-') + portName);
}

QString idFromArguments(const QStringList &arguments, const QString &hostName)
{
    // GNU forms, as relay-mqtt's parser takes them: --id X and --id=X; the last one counts.
    const auto value = [&](const QString &name) {
        QString found;
        const QString joined = QStringLiteral("--%1=").arg(name);
        for (qsizetype i = 0; i < arguments.size(); ++i) {
            if (arguments[i] == QLatin1String("--"))
                break;
            if (arguments[i] == QLatin1String("--") + name && i + 1 < arguments.size())
                found = arguments[++i];
            else if (arguments[i].startsWith(joined))
                found = arguments[i].mid(joined.size());
        }
        return found;
    };
    QString id = value(QStringLiteral("id"));
    if (id.isEmpty()) {
        const QString port = value(QStringLiteral("port"));
        const int number = ComPorts::numberFromName(port);
        const QString device = value(QStringLiteral("device"));
        if (number != 0)
            id = defaultId(hostName, ComPorts::entryText(number));
        else if (!device.isEmpty())
            id = defaultId(hostName, QFileInfo(device).fileName());
    }
    return isValidId(id) ? id : QString();
}

QByteArray bytesText(const QByteArray &bytes)
{
    QByteArray text;
    for (const char b : bytes) {
        if (!text.isEmpty())
            text += ' ';
        text += hexByteText(std::uint8_t(b)).toLatin1();
    }
    return text;
}

std::optional<QByteArray> parseBytesText(const QByteArray &text)
{
    const QList<QByteArray> words = text.simplified().split(' ');
    QByteArray bytes;
    for (const QByteArray &word : words) {
        if (word.size() != 4 || word[0] != '0' || (word[1] != 'x' && word[1] != 'X'))
            return std::nullopt;
        bool ok = false;
        const int value = word.mid(2).toInt(&ok, 16);
        if (!ok || word[2] == '+' || word[2] == '-')
            return std::nullopt;
        bytes.append(char(value));
    }
    return bytes;
}

CommandKind classify(const QByteArray &bytes)
{
    // Every command the encoder makes, once: four channel operations with 16 channel sets,
    // and the timed relay of 1..255 s on four channels.
    static const QHash<QByteArray, CommandKind> known = [] {
        QHash<QByteArray, CommandKind> table;
        for (const RelayOperation op : {RelayOperation::SetState, RelayOperation::Energise,
                                        RelayOperation::Release, RelayOperation::ReadState}) {
            for (int set = 0; set < 16; ++set) {
                std::array<int, RelayState::channels> flags {};
                for (int ch = 0; ch < RelayState::channels; ++ch)
                    flags[ch] = (set >> ch) & 1;
                table.insert(CommandEncoder::channelCommand(op, flags),
                             {true, op == RelayOperation::ReadState, 0});
            }
        }
        for (int ch = 0; ch < RelayState::channels; ++ch) {
            for (int s = 1; s <= 255; ++s)
                table.insert(CommandEncoder::timedRelay(ch, s), {true, false, s});
        }
        return table;
    }();
    return known.value(bytes);
}

namespace {

struct LeafName
{
    Leaf leaf;
    const char *name;
    bool channel; // under chN/
};
constexpr LeafName leafNames[] = {
    {Leaf::Availability, "availability", false},
    {Leaf::State, "state", false},
    {Leaf::Bytes, "bytes", false},
    {Leaf::Reply, "reply", false},
    {Leaf::Key, "key", false},
    {Leaf::Command, "command", false},
    {Leaf::Refresh, "refresh", false},
    {Leaf::ChannelSet, "set", true},
    {Leaf::Pulse, "pulse", true},
    {Leaf::PulseLength, "pulse_length", true},
    {Leaf::PulseLengthSet, "pulse_length/set", true},
};

const LeafName &leafName(Leaf leaf)
{
    for (const LeafName &l : leafNames) {
        if (l.leaf == leaf)
            return l;
    }
    return leafNames[0];
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool isPrintableAscii(const QString &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
}

} // namespace

QString topic(const QString &id, Leaf leaf, int channel)
{
    const LeafName &l = leafName(leaf);
    if (l.channel)
        return QStringLiteral("%1/%2/ch%3/%4")
            .arg(QLatin1String(root), id)
            .arg(channel + 1)
            .arg(QLatin1String(l.name));
    return QStringLiteral("%1/%2/%3").arg(QLatin1String(root), id, QLatin1String(l.name));
}

QString boardFilter(const QString &id)
{
    return QStringLiteral("%1/%2/#").arg(QLatin1String(root), id);
}

QString everyBoard(Leaf leaf)
{
    return topic(QStringLiteral("+"), leaf);
}

bool isBridgeOutput(Leaf leaf)
{
    return leaf == Leaf::Availability || leaf == Leaf::State || leaf == Leaf::Bytes
        || leaf == Leaf::Reply || leaf == Leaf::Key || leaf == Leaf::PulseLength;
}

bool isUnderBoard(const QString &topic, const QString &id)
{
    return topic.startsWith(boardFilter(id).chopped(1)); // "relayboard/ID/"
}

std::optional<BoardTopic> parseTopic(const QString &topic)
{
    const QString prefix = QLatin1String(root) + QLatin1Char('/');
    if (!topic.startsWith(prefix))
        return std::nullopt;
    const qsizetype slash = topic.indexOf(QLatin1Char('/'), prefix.size());
    if (slash < 0)
        return std::nullopt;
    BoardTopic t;
    t.id = topic.mid(prefix.size(), slash - prefix.size());
    if (!isValidId(t.id))
        return std::nullopt;
    QString rest = topic.mid(slash + 1);
    bool underChannel = false;
    if (rest.size() > 4 && rest.startsWith(QLatin1String("ch")) && rest[3] == QLatin1Char('/')) {
        const int n = rest[2].unicode() - '1';
        if (n < 0 || n >= RelayState::channels)
            return std::nullopt;
        t.channel = n;
        underChannel = true;
        rest = rest.mid(4);
    }
    for (const LeafName &l : leafNames) {
        if (l.channel == underChannel && rest == QLatin1String(l.name)) {
            t.leaf = l.leaf;
            return t;
        }
    }
    return std::nullopt;
}

QByteArray availabilityPayload(bool online)
{
    return online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline");
}

std::optional<bool> parseAvailability(const QByteArray &payload)
{
    if (payload == "online")
        return true;
    if (payload == "offline")
        return false;
    return std::nullopt;
}

QByteArray stateJson(std::uint8_t state)
{
    return compact(RelayState::channelsJson(state));
}

std::optional<std::uint8_t> parseState(const QByteArray &json)
{
    if (json.size() > 200)
        return std::nullopt;
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    std::uint8_t state = 0;
    for (int ch = 0; ch < RelayState::channels; ++ch) {
        const QString value = o.value(QStringLiteral("ch%1").arg(ch + 1)).toString();
        if (value == QLatin1String("ON"))
            state |= std::uint8_t(1 << ch);
        else if (value != QLatin1String("OFF"))
            return std::nullopt;
    }
    return state;
}

QByteArray keyJson(const IrKeyMessage &m, const QString &time)
{
    QStringList texts;
    for (const std::uint8_t b : {m.userCode1, m.userCode2, m.operationCode, m.inverseCode})
        texts << hexByteText(b);
    return compact(
        {{QStringLiteral("event_type"),
          m.pressKind == PressKind::Long ? QStringLiteral("long") : QStringLiteral("short")},
         {QStringLiteral("bytes"), QJsonArray::fromStringList(texts)},
         {QStringLiteral("time"), time}});
}

QByteArray envelopeJson(const Envelope &e)
{
    QJsonObject o {{QStringLiteral("transaction"), e.transaction},
                   {QStringLiteral("answer_to"), e.answerTo}};
    if (e.probe)
        o.insert(QStringLiteral("probe"), true);
    else
        o.insert(QStringLiteral("command"), QString::fromLatin1(bytesText(e.command)));
    if (e.replyWithinMs > 0)
        o.insert(QStringLiteral("reply_within_ms"), e.replyWithinMs);
    if (e.expires)
        o.insert(QStringLiteral("expires"), double(*e.expires));
    return compact(o);
}

bool isEnvelope(const QByteArray &payload)
{
    return payload.trimmed().startsWith('{');
}

bool isAnswerTopic(const QString &topic)
{
    const QByteArray utf8 = topic.toUtf8();
    return topic.startsWith(QLatin1String(responseRoot)) && utf8.size() <= maxResponseTopic
        && !utf8.contains('+') && !utf8.contains('#') && !utf8.contains('\0');
}

std::optional<Envelope> parseEnvelope(const QByteArray &payload, QString *error,
                                      QString *transaction, QString *answerTo)
{
    const auto bad = [&](const QString &why) -> std::optional<Envelope> {
        *error = why;
        return std::nullopt;
    };
    QJsonParseError parsed;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &parsed);
    if (!doc.isObject())
        return bad(QStringLiteral("the request is not a JSON object"));
    const QJsonObject o = doc.object();
    Envelope e;
    // Where the answer goes first: a request that is wrong otherwise is still answered.
    const QJsonValue t = o.value(QStringLiteral("transaction"));
    e.transaction = t.toString();
    if (!t.isString() || e.transaction.isEmpty() || e.transaction.size() > maxTransaction
        || !isPrintableAscii(e.transaction))
        return bad(QStringLiteral("\"transaction\" is 1..%1 printable ASCII characters; not "
                                  "answered")
                       .arg(maxTransaction));
    e.answerTo = o.value(QStringLiteral("answer_to")).toString();
    if (!isAnswerTopic(e.answerTo))
        return bad(QStringLiteral("\"answer_to\" is a topic under %1 (at most %2 bytes, no "
                                  "wildcards); not answered")
                       .arg(QLatin1String(responseRoot))
                       .arg(maxResponseTopic));
    *transaction = e.transaction;
    *answerTo = e.answerTo;
    e.probe = o.value(QStringLiteral("probe")).toBool();
    const QJsonValue command = o.value(QStringLiteral("command"));
    if (!e.probe) {
        const auto bytes = parseBytesText(command.toString().toLatin1());
        if (!command.isString() || !bytes)
            return bad(QStringLiteral("\"command\" is a command's bytes in hexadecimal text "
                                      "(0x15, or 0xC9 0xB5)"));
        e.command = *bytes;
    } else if (!command.isUndefined()) {
        return bad(QStringLiteral("a probe carries no command"));
    }
    if (const QJsonValue v = o.value(QStringLiteral("reply_within_ms")); !v.isUndefined()) {
        const double ms = v.toDouble(-1);
        if (!v.isDouble() || ms != double(int(ms)) || ms < 1 || ms > maxReplyWithinMs)
            return bad(QStringLiteral("\"reply_within_ms\" is 1..%1").arg(maxReplyWithinMs));
        e.replyWithinMs = int(ms);
    }
    if (const QJsonValue v = o.value(QStringLiteral("expires")); !v.isUndefined()) {
        const double ms = v.toDouble(-1);
        // Whole milliseconds that a double carries exactly.
        if (!v.isDouble() || ms != double(qint64(ms)) || ms < 0 || ms > 9007199254740992.0)
            return bad(QStringLiteral("\"expires\" is UTC milliseconds since 1970"));
        e.expires = qint64(ms);
    }
    return e;
}

QString failureName(Failure failure)
{
    switch (failure) {
    case Failure::None:
        return {};
    case Failure::Offline:
        return QStringLiteral("offline");
    case Failure::Refused:
        return QStringLiteral("refused");
    case Failure::Busy:
        return QStringLiteral("busy");
    case Failure::LineFailed:
        return QStringLiteral("line-failed");
    case Failure::Expired:
        return QStringLiteral("expired");
    }
    return {};
}

QByteArray answerJson(const Answer &answer)
{
    QJsonObject o {{QStringLiteral("written"), answer.written}};
    if (!answer.transaction.isEmpty())
        o.insert(QStringLiteral("transaction"), answer.transaction);
    if (answer.probe)
        o.insert(QStringLiteral("probe"), true);
    if (answer.failure != Failure::None) {
        o.insert(QStringLiteral("error"), failureName(answer.failure));
        o.insert(QStringLiteral("reason"), answer.reason);
    }
    if (answer.replyAsked)
        o.insert(QStringLiteral("reply"),
                 answer.reply ? QJsonValue(hexByteText(*answer.reply)) : QJsonValue());
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Answer> parseAnswer(const QByteArray &json)
{
    const QJsonDocument doc = QJsonDocument::fromJson(json);
    const QJsonObject o = doc.object();
    if (!doc.isObject() || !o.value(QStringLiteral("written")).isBool())
        return std::nullopt;
    Answer a;
    a.written = o.value(QStringLiteral("written")).toBool();
    a.transaction = o.value(QStringLiteral("transaction")).toString().left(maxTransaction);
    a.probe = o.value(QStringLiteral("probe")).toBool();
    const QString error = o.value(QStringLiteral("error")).toString();
    if (!error.isEmpty()) {
        a.failure = Failure::Refused; // a name this side does not know is still a failure
        for (const Failure f :
             {Failure::Offline, Failure::Busy, Failure::LineFailed, Failure::Expired}) {
            if (error == failureName(f))
                a.failure = f;
        }
        a.reason = o.value(QStringLiteral("reason")).toString().left(300);
    } else if (!a.written && !a.probe) {
        return std::nullopt;
    }
    if (o.contains(QStringLiteral("reply"))) {
        a.replyAsked = true;
        const auto reply = parseBytesText(o.value(QStringLiteral("reply")).toString().toLatin1());
        if (reply && reply->size() == 1)
            a.reply = std::uint8_t(reply->at(0));
    }
    return a;
}

} // namespace BoardContract
