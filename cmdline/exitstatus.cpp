#include "exitstatus.h"

#include <QStringList>

QString exitMeaning(ExitStatus status)
{
    switch (status) {
    case ExitStatus::Done:
        return QStringLiteral("done");
    case ExitStatus::CannotStart:
        return QStringLiteral("the program cannot start here");
    case ExitStatus::Usage:
        return QStringLiteral("bad usage or input (nothing sent)");
    case ExitStatus::Busy:
        return QStringLiteral("port held by another program");
    case ExitStatus::OpenError:
        return QStringLiteral("any other failure to open or write");
    case ExitStatus::NoReply:
        return QStringLiteral("no reply in time");
    case ExitStatus::BrokerRefused:
        return QStringLiteral("the broker refused the credentials or the topic");
    case ExitStatus::BrokerUnreachable:
        return QStringLiteral("the broker cannot be reached");
    case ExitStatus::BoardAway:
        return QStringLiteral("the board is not known to the broker or offline");
    case ExitStatus::BridgeSilent:
        return QStringLiteral("its bridge did not answer in time");
    }
    return {};
}

QString exitStatusHelp(const QList<ExitMeaning> &statuses)
{
    constexpr int width = 79;
    QStringList parts;
    for (const ExitMeaning &m : statuses)
        parts << QStringLiteral("%1 %2")
                     .arg(exitCode(m.status))
                     .arg(m.text.isEmpty() ? exitMeaning(m.status) : m.text);
    const QString text
        = QStringLiteral("Exit status: ") + parts.join(QStringLiteral(", ")) + QLatin1Char('.');
    QString wrapped, line;
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            wrapped += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return wrapped + line;
}
