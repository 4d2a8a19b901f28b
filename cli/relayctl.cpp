// relayctl: the relay board from scripts. The same command bytes, port settings, exclusivity and
// holder checks as the console; one line on stderr and a distinct exit status for each failure.
// A command goes from its words (commandwords) over one link, a local port's or a bridged
// board's through the broker (brokersession), to the listener that prints what the board says.
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <optional>
#include <unistd.h>
#include <utility>

#include "boardcontract.h"
#include "brokersession.h"
#include "commandline.h"
#include "commandwords.h"
#include "listener.h"
#include "openresulttext.h"
#include "output.h"
#include "outsidetext.h"
#include "serialportservice.h"
#include "terminationsignals.h"

namespace {

struct Options
{
    CommandLine::Port port;
    std::optional<MqttSettings> broker; // --broker given: the board is reached through it
    QString board; // --board
    bool json = false;
    int timeoutMs = 1000;
    QStringList words; // the command and its arguments
};

// A port's state as ports lists it.
QString portState(OpenResult result)
{
    static const std::pair<OpenResult, const char *> states[]
        = {{OpenResult::Ok, "free"},
           {OpenResult::PortInUse, "busy"},
           {OpenResult::PermissionDenied, "no permission"},
           {OpenResult::DeviceMissing, "missing"},
           {OpenResult::InvalidPort, "missing"}};
    for (const auto &[code, text] : states) {
        if (code == result)
            return QString::fromLatin1(text);
    }
    return QStringLiteral("error %1").arg(int(result));
}

QString portLine(const QString &name, const QString &device, const PortCheck &check, bool json)
{
    const QString state = portState(check.result);
    if (json) {
        QJsonObject port {{QStringLiteral("device"), device}, {QStringLiteral("state"), state}};
        if (!name.isEmpty())
            port.insert(QStringLiteral("port"), name);
        if (!check.holder.isEmpty())
            port.insert(QStringLiteral("holder"), check.holder);
        if (!check.lockFile.isEmpty())
            port.insert(QStringLiteral("lock_file"), escapeOutsideText(check.lockFile));
        return QString::fromUtf8(QJsonDocument(port).toJson(QJsonDocument::Compact));
    }
    QString text = name.isEmpty()
        ? QStringLiteral("%1 %2").arg(device, state)
        : QStringLiteral("%1 %2 %3").arg(name, -6).arg(device, -13).arg(state);
    if (!check.holder.isEmpty())
        text += QStringLiteral(" (%1)").arg(check.holder);
    else if (!check.lockFile.isEmpty())
        text += QStringLiteral(" (lock file %1)").arg(escapeOutsideText(check.lockFile));
    return text;
}

// The state of every Com port, or of the one given, found by looking only: listing opens no
// device (an open raises the modem lines, which resets many boards).
ExitStatus listPorts(const Options &o)
{
    const bool table = o.port.device.isEmpty();
    SerialPortService service(table ? ComPorts::PortMap(ComPorts::device) : o.port.map);
    const int first = table && o.port.given() ? o.port.number : ComPorts::first;
    const int last = o.port.given() ? first : ComPorts::last;
    for (int n = first; n <= last; ++n) {
        const QString name = table ? ComPorts::entryText(n) : QString();
        const QString device = table ? ComPorts::device(n) : o.port.name;
        if (writeLine(STDOUT_FILENO, portLine(name, device, service.check(n), o.json))
            != Output::Written)
            break;
    }
    return ExitStatus::Done;
}

ExitStatus listBoards(const QList<RemoteBoard> &boards, bool json)
{
    for (const RemoteBoard &b : boards) {
        if (writeLine(STDOUT_FILENO, boardLine(b, json)) != Output::Written)
            break;
    }
    return ExitStatus::Done;
}

// A board on this machine's port: opened, the command written, the reply listened to.
ExitStatus onPort(const Options &o, const BoardCommand &command, TerminationSignals &terminations)
{
    SerialPortService service(o.port.map);
    if (const OpenResult code = service.openPort(o.port.number); code != OpenResult::Ok) {
        sayError(openFailureLine(o.port.name, service.lastCheck()));
        return code == OpenResult::PortInUse ? ExitStatus::Busy : ExitStatus::OpenError;
    }
    const bool watch = command.kind == BoardCommand::Kind::Watch;
    Listener listener(service,
                      {watch, o.json, o.timeoutMs, o.port.name,
                       QStringLiteral("the device went away; plug it in again"),
                       ExitStatus::OpenError},
                      terminations);
    if (!watch) {
        // A reply nobody read or the start of a key report may be waiting: what comes after
        // the command is decoded afresh, as the answer to it.
        service.discardInput();
        if (!service.write(command.bytes) || !service.waitForWritten(5000)) {
            sayError(QStringLiteral("%1: the command could not be written; check the adapter")
                         .arg(o.port.name));
            return ExitStatus::OpenError;
        }
        if (!command.waitsForReply)
            return ExitStatus::Done;
    }
    return listener.run();
}

// A board that a bridge owns, through the broker: the same commands and output as on a local
// port, step by step.
ExitStatus throughBroker(const Options &o, const BoardCommand &command,
                         TerminationSignals &terminations)
{
    const bool watch = command.kind == BoardCommand::Kind::Watch;
    BrokerSession session(*o.broker, o.board, o.timeoutMs, watch, terminations, &sayError);
    if (const auto failed = session.connect())
        return *failed;
    if (command.kind == BoardCommand::Kind::Boards)
        return listBoards(session.boards(), o.json);
    if (const auto failed = session.findBoard())
        return *failed;
    if (const auto failed = session.openLink())
        return *failed;
    Listener listener(session.link(),
                      {watch, o.json, o.timeoutMs, session.boardName(),
                       BrokerSession::offlineText(), ExitStatus::BoardAway},
                      terminations);
    if (!watch) {
        if (const auto failed = session.send(command.bytes))
            return *failed;
        if (!command.waitsForReply)
            return ExitStatus::Done;
    }
    return listener.run();
}

ExitStatus run(const CommandLine &cli, const Options &o)
{
    const auto parsed = parseCommandWords(
        o.words, {o.json, o.broker.has_value(), o.port.given(), !o.board.isEmpty()});
    if (const auto *problem = std::get_if<UsageProblem>(&parsed))
        return cli.usageError(problem->text);
    const BoardCommand &command = std::get<BoardCommand>(parsed);
    if (command.kind == BoardCommand::Kind::Ports)
        return listPorts(o);
    // From here on SIGINT, SIGTERM and SIGHUP end the program through its own close, so that
    // the port is never left locked.
    TerminationSignals terminations;
    return o.broker ? throughBroker(o, command, terminations) : onPort(o, command, terminations);
}

void declareOptions(CommandLine &cli)
{
    cli.setPrinter([](const QString &text) { writeLine(STDERR_FILENO, text); });
    cli.setDescription(QStringLiteral(
        "Commands:\n"
        "  set CH...               the listed channels on, the others off\n"
        "  on CH...                energise the listed channels\n"
        "  off CH...               release the listed channels\n"
        "  read                    read the relay state; prints the reply as 0xNN\n"
        "  delay SECONDS CH        timed relay of 1..255 s on one channel\n"
        "  watch                   print every reply and key report until interrupted\n"
        "  ports                   the Com table and the state of each port (of the one\n"
        "                          given, if any); opens no device\n"
        "  boards                  the boards the broker knows: ID, online or offline,\n"
        "                          the last state\n"
        "Channels are CH1..CH4 (any case) or 1..4. With --broker and --board the commands\n"
        "go to a board that relay-mqtt owns, on this machine or another, and behave as on\n"
        "a local port."));
    cli.addPortOptions();
    cli.addBrokerOptions();
    cli.addOption({QStringLiteral("board")}, QStringLiteral("ID"),
                  QStringLiteral("the board on the broker (relay-mqtt's --id)"));
    cli.addOption({QStringLiteral("timeout")}, QStringLiteral("MS"),
                  QStringLiteral("how long read waits for the reply, 1..60000, and through the "
                                 "broker how long the bridge may take to answer (default 1000)"));
    cli.addOption({QStringLiteral("json")}, {},
                  QStringLiteral("read, watch and ports print JSON: the reply and each channel "
                                 "ON or OFF; one event or port per line"));
    cli.setEpilogue(exitStatusHelp({{ExitStatus::Done, {}},
                                    {ExitStatus::Usage, {}},
                                    {ExitStatus::Busy, {}},
                                    {ExitStatus::OpenError, {}},
                                    {ExitStatus::NoReply, {}},
                                    {ExitStatus::BrokerRefused, {}},
                                    {ExitStatus::BrokerUnreachable, {}},
                                    {ExitStatus::BoardAway, {}},
                                    {ExitStatus::BridgeSilent, {}}}));
}

// The options into Options; the status to end with after a usage error.
std::optional<ExitStatus> readOptions(const CommandLine &cli, Options *o)
{
    ExitStatus status = ExitStatus::Done;
    const auto port = cli.port(&status);
    if (!port)
        return status;
    o->port = *port;
    if (cli.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const int ms = cli.value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || ms < 1 || ms > BoardContract::maxReplyWithinMs)
            return cli.usageError(QStringLiteral("--timeout needs milliseconds, 1..%1")
                                      .arg(BoardContract::maxReplyWithinMs));
        o->timeoutMs = ms;
    }
    o->json = cli.isSet(QStringLiteral("json"));
    const bool brokerAsked = cli.isSet(QStringLiteral("broker"))
        || cli.isSet(QStringLiteral("username")) || cli.isSet(QStringLiteral("password-file"))
        || cli.isSet(QStringLiteral("cafile")) || cli.isSet(QStringLiteral("cert"))
        || cli.isSet(QStringLiteral("key"));
    if (brokerAsked) {
        if (!cli.isSet(QStringLiteral("broker")))
            return cli.usageError(QStringLiteral("the broker options go with --broker"));
        o->broker = cli.broker(&status);
        if (!o->broker)
            return status;
    }
    if (cli.isSet(QStringLiteral("board"))) {
        o->board = cli.value(QStringLiteral("board"));
        if (!BoardContract::isValidId(o->board))
            return cli.usageError(QStringLiteral("--board takes 1..64 of a-z 0-9 _ -, as "
                                                 "relay-mqtt's --id"));
    }
    o->words = cli.positionalArguments();
    return std::nullopt;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayctl"));
    // A closed output is an EPIPE to handle, not a death that leaves the port locked.
    std::signal(SIGPIPE, SIG_IGN);
    CommandLine cli(QStringLiteral("relayctl"),
                    {QStringLiteral("(--port ComN | --device PATH) COMMAND [ARGS]"),
                     QStringLiteral("--broker ADDRESS [BROKER OPTIONS] --board ID COMMAND [ARGS]"),
                     QStringLiteral("[--port ComN | --device PATH] ports [--json]"),
                     QStringLiteral("--broker ADDRESS [BROKER OPTIONS] boards [--json]")});
    declareOptions(cli);
    if (const auto end = cli.parse(app.arguments()))
        return exitCode(*end);
    Options o;
    if (const auto end = readOptions(cli, &o))
        return exitCode(*end);
    return exitCode(run(cli, o));
}
