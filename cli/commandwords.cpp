#include "commandwords.h"

#include <array>
#include <optional>

#include "commandencoder.h"
#include "delaynumber.h"
#include "outsidetext.h"
#include "relaystate.h"

namespace {

using Kind = BoardCommand::Kind;

struct Word
{
    const char *text;
    Kind kind;
};
constexpr Word commandWords[]
    = {{"set", Kind::Set},     {"on", Kind::On},        {"off", Kind::Off},
       {"read", Kind::Read},   {"delay", Kind::Delay},  {"watch", Kind::Watch},
       {"ports", Kind::Ports}, {"boards", Kind::Boards}};

// "CH3", "ch3", "3" -> 2; -1 for anything else.
int channelIndex(const QString &word)
{
    QString digits = word;
    if (digits.startsWith(QLatin1String("ch"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    if (digits.size() != 1 || digits[0] < QLatin1Char('1')
        || digits[0] >= QLatin1Char('1' + RelayState::channels))
        return -1;
    return digits[0].unicode() - '1';
}

UsageProblem noChannel(const QString &word)
{
    return {QStringLiteral("'%1' is no channel: use CH1..CH%2 or 1..%2")
                .arg(escapeOutsideText(word))
                .arg(RelayState::channels)};
}

UsageProblem problem(const QString &text)
{
    return {text};
}

// Whether the command and the options fit together, before its arguments are read.
std::optional<UsageProblem> optionsProblem(Kind kind, int arguments, const CommandContext &c)
{
    if (c.json && kind != Kind::Watch && kind != Kind::Ports && kind != Kind::Read
        && kind != Kind::Boards)
        return problem(QStringLiteral("--json goes with read, watch, ports and boards only"));
    if (kind == Kind::Ports) {
        if (arguments > 0)
            return problem(QStringLiteral("ports takes no arguments"));
        if (c.broker)
            return problem(
                QStringLiteral("ports lists this machine's Com ports; with --broker use boards"));
        return std::nullopt;
    }
    if (c.broker && c.port)
        return problem(QStringLiteral("--broker and --port or --device exclude each other: a "
                                      "board is reached one way"));
    if (kind == Kind::Boards) {
        if (arguments > 0)
            return problem(QStringLiteral("boards takes no arguments"));
        if (!c.broker || c.board)
            return problem(QStringLiteral("boards goes with --broker, without --board"));
    } else if (c.broker && !c.board) {
        return problem(QStringLiteral("say which board: --board ID (relayctl --broker ADDRESS "
                                      "boards lists them)"));
    } else if (!c.broker && c.board) {
        return problem(QStringLiteral("--board goes with --broker"));
    } else if (!c.broker && !c.port) {
        return problem(QStringLiteral("say which port: --port ComN or --device PATH (or "
                                      "--broker ADDRESS --board ID)"));
    }
    if (kind == Kind::Watch && arguments > 0)
        return problem(QStringLiteral("watch takes no arguments"));
    return std::nullopt;
}

std::variant<BoardCommand, UsageProblem> delayCommand(const QStringList &args)
{
    if (args.size() != 2)
        return problem(QStringLiteral("delay takes SECONDS and one channel"));
    const DelayNumber delay = parseDelayNumber(args[0]);
    if (!delay.isDelay())
        return problem(QStringLiteral("delay '%1' is not a number of seconds 1..255")
                           .arg(escapeOutsideText(args[0])));
    const int ch = channelIndex(args[1]);
    if (ch < 0)
        return noChannel(args[1]);
    return BoardCommand {Kind::Delay, CommandEncoder::timedRelay(ch, delay.value), false};
}

std::variant<BoardCommand, UsageProblem> channelCommand(const QString &word, Kind kind,
                                                        const QStringList &args)
{
    std::array<int, RelayState::channels> flags {};
    for (const QString &arg : args) {
        const int ch = channelIndex(arg);
        if (ch < 0)
            return noChannel(arg);
        flags[ch] = 1;
    }
    if ((kind == Kind::On || kind == Kind::Off) && args.isEmpty())
        return problem(QStringLiteral("%1 needs at least one channel").arg(word));
    const RelayOperation op = kind == Kind::Set ? RelayOperation::SetState
        : kind == Kind::On                      ? RelayOperation::Energise
        : kind == Kind::Off                     ? RelayOperation::Release
                                                : RelayOperation::ReadState;
    return BoardCommand {kind, CommandEncoder::channelCommand(op, flags),
                         op == RelayOperation::ReadState};
}

} // namespace

std::variant<BoardCommand, UsageProblem> parseCommandWords(const QStringList &words,
                                                           const CommandContext &context)
{
    const QString word = words.value(0);
    const QStringList args = words.mid(1);
    if (word.isEmpty())
        return problem(QStringLiteral("no command given"));
    const Word *found = nullptr;
    for (const Word &w : commandWords) {
        if (word == QLatin1String(w.text))
            found = &w;
    }
    if (!found)
        return problem(QStringLiteral("unknown command '%1'").arg(escapeOutsideText(word)));
    if (const auto wrong = optionsProblem(found->kind, int(args.size()), context))
        return *wrong;
    switch (found->kind) {
    case Kind::Watch:
    case Kind::Ports:
    case Kind::Boards:
        return BoardCommand {found->kind, {}, false};
    case Kind::Delay:
        return delayCommand(args);
    case Kind::Set:
    case Kind::On:
    case Kind::Off:
    case Kind::Read:
        break;
    }
    return channelCommand(word, found->kind, args);
}
