#include "exitstatus.h"

#include <QStringList>

#include <iterator>

namespace {

// The general meanings, in the order of the statuses.
const char *const meanings[] = {
    "done",
    "the program cannot start here",
    "bad usage or input (nothing sent)",
    "port held by another program",
    "any other failure to open or write",
    "no reply in time",
    "the broker refused the credentials or the topic",
    "the broker cannot be reached",
    "the board is not known to the broker or offline",
    "its bridge did not answer in time",
};
static_assert(std::size(meanings) == std::size_t(ExitStatus::BridgeSilent) + 1);

} // namespace

QString exitMeaning(ExitStatus status)
{
    const auto i = std::size_t(status);
    return i < std::size(meanings) ? QString::fromLatin1(meanings[i]) : QString();
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
