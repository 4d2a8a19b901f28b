#pragma once

#include <QList>
#include <QString>

// The exit statuses of the programs. Each program says in its help (made from this table) and
// its man page which of them it ends with.
enum class ExitStatus : int {
    Done = 0,
    CannotStart = 1, // the window has no display, the simulator no pseudo-terminal
    Usage = 2, // bad usage or input, or a file named on the command line that cannot be used
    Busy = 3, // the port is held by another program
    OpenError = 4, // any other failure to open or use the port
    NoReply = 5, // the board did not answer in time
    BrokerRefused = 6, // the broker refused the credentials (or, for a request, the topic)
    BrokerUnreachable = 7, // the broker cannot be reached or stopped answering
    BoardAway = 8, // the board is not known to the broker, or offline
    BridgeSilent = 9, // the board's bridge did not answer a request in time
};

// What a process ends with.
constexpr int exitCode(ExitStatus status)
{
    return int(status);
}

// A status as a program's help names it: its own words, or (empty) the general ones.
struct ExitMeaning
{
    ExitStatus status;
    QString text;
};
// The general meaning in a few words: "no reply in time".
QString exitMeaning(ExitStatus status);
// The help's last paragraph, "Exit status: 0 done, 2 bad usage ...", wrapped to the help's
// width.
QString exitStatusHelp(const QList<ExitMeaning> &statuses);
