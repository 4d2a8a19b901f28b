#include "boardrequest.h"

#include "comports.h"

#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>

#include "commandencoder.h"
#include "hexbytetext.h"

namespace BoardRequest {

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

QByteArray commandText(const QByteArray &bytes)
{
    QByteArray text;
    for (const char b : bytes) {
        if (!text.isEmpty())
            text += ' ';
        text += hexByteText(std::uint8_t(b)).toLatin1();
    }
    return text;
}

std::optional<QByteArray> parseCommandText(const QByteArray &text)
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
    const QString error = o.value(QStringLiteral("error")).toString();
    if (!error.isEmpty()) {
        a.failure = Failure::Refused; // a name this side does not know is still a failure
        for (const Failure f :
             {Failure::Offline, Failure::Busy, Failure::LineFailed, Failure::Expired}) {
            if (error == failureName(f))
                a.failure = f;
        }
        a.reason = o.value(QStringLiteral("reason")).toString().left(300);
    } else if (!a.written) {
        return std::nullopt;
    }
    if (o.contains(QStringLiteral("reply"))) {
        a.replyAsked = true;
        const auto reply = parseCommandText(o.value(QStringLiteral("reply")).toString().toLatin1());
        if (reply && reply->size() == 1)
            a.reply = std::uint8_t(reply->at(0));
    }
    return a;
}

} // namespace BoardRequest
