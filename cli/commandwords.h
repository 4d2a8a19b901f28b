#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <variant>

// relayctl's command words (the command and its arguments) and the options that go with them,
// made into what is to be done, or the usage error that says why not. Nothing here opens or
// sends anything: every check is made before a port is opened or the broker is reached.

struct CommandContext
{
    bool json = false;
    bool broker = false; // --broker given
    bool port = false; // --port or --device given
    bool board = false; // --board given
};

struct BoardCommand
{
    enum class Kind { Set, On, Off, Read, Delay, Watch, Ports, Boards };
    Kind kind = Kind::Set;
    QByteArray bytes; // what goes to the board; empty for watch, ports and boards
    bool waitsForReply = false; // read: the board's one-byte reply is printed

    // The command goes to one board and, unless it only watches, writes to it.
    bool drivesABoard() const { return kind != Kind::Ports && kind != Kind::Boards; }
    bool operator==(const BoardCommand &) const = default;
};

// The usage error's text, without the program's name.
struct UsageProblem
{
    QString text;
};

std::variant<BoardCommand, UsageProblem> parseCommandWords(const QStringList &words,
                                                           const CommandContext &context);
