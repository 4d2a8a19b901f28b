#pragma once

// The exit statuses of the command-line programs; each program documents those it can end with.
enum ExitStatus : int {
    Done = 0,
    Usage = 2, // bad usage or input, or a file named on the command line that cannot be used
    Busy = 3, // the port is held by another program
    OpenError = 4, // any other failure to open or use the port
    NoReply = 5, // the board did not answer in time
    BrokerRefused = 6, // the broker refused the credentials (or, for a request, the topic)
    BrokerUnreachable = 7, // the broker cannot be reached or stopped answering
    BoardAway = 8, // the board is not known to the broker, or offline
    BridgeSilent = 9, // the board's bridge did not answer a request in time
};
