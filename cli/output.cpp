#include "output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include "eventtime.h"
#include "hexbytetext.h"
#include "relaystate.h"
#include "terminationsignals.h"

Output writeLine(int fd, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    qsizetype done = 0;
    while (done < bytes.size()) {
        if (TerminationSignals::hasArrived())
            return Output::Interrupted;
        pollfd waits[2] = {{fd, POLLOUT, 0}, {TerminationSignals::pendingDescriptor(), POLLIN, 0}};
        const int ready = ::poll(waits, waits[1].fd >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno != EINTR)
            return Output::Closed;
        if (waits[1].revents & POLLIN)
            return Output::Interrupted;
        if (ready <= 0)
            continue;
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return Output::Closed;
    }
    return Output::Written;
}

void sayError(const QString &text)
{
    writeLine(STDERR_FILENO, QStringLiteral("relayctl: ") + text);
}

QString eventLine(const QString &kind, std::initializer_list<std::uint8_t> bytes, bool json)
{
    QStringList texts;
    for (const std::uint8_t b : bytes)
        texts << hexByteText(b);
    if (!json)
        return kind + QLatin1Char(' ') + texts.join(QLatin1Char(' '));
    const QJsonObject event {{QStringLiteral("kind"), kind},
                             {QStringLiteral("bytes"), QJsonArray::fromStringList(texts)},
                             {QStringLiteral("time"), eventTimeNow()}};
    return QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact));
}

QString stateLine(std::uint8_t state)
{
    const QByteArray channels
        = QJsonDocument(RelayState::channelsJson(state)).toJson(QJsonDocument::Compact);
    const QByteArray reply
        = QJsonDocument(QJsonObject {{QStringLiteral("reply"), hexByteText(state)}})
              .toJson(QJsonDocument::Compact);
    // Two objects of plain keys joined into one: {"reply":...} and {"ch1":...}.
    return QString::fromUtf8(reply.chopped(1) + ',' + channels.mid(1));
}

QString boardLine(const RemoteBoard &b, bool json)
{
    if (json) {
        const QJsonObject entry {
            {QStringLiteral("board"), b.id},
            {QStringLiteral("availability"),
             b.online ? QStringLiteral("online") : QStringLiteral("offline")},
            {QStringLiteral("state"),
             b.state ? QJsonValue(RelayState::channelsJson(*b.state)) : QJsonValue()}};
        return QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact));
    }
    QStringList channels;
    for (int ch = 0; b.state && ch < RelayState::channels; ++ch)
        channels << QStringLiteral("ch%1=%2").arg(ch + 1).arg(
            RelayState::energised(*b.state, ch) ? QStringLiteral("ON") : QStringLiteral("OFF"));
    return QStringLiteral("%1 %2 %3")
        .arg(b.id, -20)
        .arg(b.online ? QStringLiteral("online") : QStringLiteral("offline"), -7)
        .arg(b.state ? channels.join(QLatin1Char(' ')) : QStringLiteral("state unknown"));
}
