// relayctl: the relay board from scripts. The same command bytes, port settings, exclusivity and
// holder checks as the console; one line on stderr and a distinct exit status for each failure.
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <poll.h>
#include <unistd.h>

#include "brokerboards.h"
#include "brokerlink.h"
#include "brokeroptions.h"
#include "brokertext.h"
#include "commandencoder.h"
#include "commandline.h"
#include "delaynumber.h"
#include "eventtime.h"
#include "hexbytetext.h"
#include "mqttclient.h"
#include "openresulttext.h"
#include "outsidetext.h"
#include "receivedecoder.h"
#include "relaystate.h"
#include "serialportservice.h"
#include "terminationsignals.h"

namespace {

enum class Output { Written, Closed, Interrupted };

// Writes one line whole, waiting for the reader as long as it takes, but never past a termination
// signal: a reader that stopped (a paused pager, a stalled consumer) must not keep the port
// locked. A reader that went away (EPIPE; SIGPIPE is ignored) is Closed.
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

void line(std::FILE *to, const QString &text)
{
    writeLine(to == stderr ? STDERR_FILENO : STDOUT_FILENO, text);
}

struct Options
{
    CommandLine::Port port;
    std::optional<MqttSettings> broker; // --broker given: the board is reached through it
    QString board; // --board
    bool json = false;
    int timeoutMs = 1000;
    QStringList words; // the command and its arguments
};

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

QString noChannel(const QString &word)
{
    return QStringLiteral("'%1' is no channel: use CH1..CH%2 or 1..%2")
        .arg(escapeOutsideText(word))
        .arg(RelayState::channels);
}

// Opens the port; on failure prints the line and gives the exit status.
std::optional<int> openOrFail(SerialPortService &service, const Options &o)
{
    const OpenResult code = service.openPort(o.port.number);
    if (code == OpenResult::Ok)
        return std::nullopt;
    line(stderr,
         QStringLiteral("relayctl: %1").arg(openFailureLine(o.port.name, service.lastCheck())));
    return code == OpenResult::PortInUse ? Busy : OpenError;
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

// The answer to read under --json: the reply and what it says of each channel,
// {"reply":"0x05","ch1":"ON","ch2":"OFF","ch3":"ON","ch4":"OFF"}, the reply first.
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

// The state of every Com port, or of the one given, found by looking only: listing opens no
// device (an open raises the modem lines, which resets many boards).
int listPorts(const Options &o)
{
    const bool table = o.port.device.isEmpty();
    SerialPortService service(table ? ComPorts::PortMap(ComPorts::device) : o.port.map);
    const int first = table && o.port.given() ? o.port.number : ComPorts::first;
    const int last = o.port.given() ? first : ComPorts::last;
    for (int n = first; n <= last; ++n) {
        const PortCheck check = service.check(n);
        QString state;
        switch (check.result) {
        case OpenResult::Ok:
            state = QStringLiteral("free");
            break;
        case OpenResult::PortInUse:
            state = QStringLiteral("busy");
            break;
        case OpenResult::PermissionDenied:
            state = QStringLiteral("no permission");
            break;
        case OpenResult::DeviceMissing:
        case OpenResult::InvalidPort:
            state = QStringLiteral("missing");
            break;
        default:
            state = QStringLiteral("error %1").arg(int(check.result));
            break;
        }
        const QString name = table ? ComPorts::entryText(n) : QString();
        const QString device = table ? ComPorts::device(n) : o.port.name;
        Output written;
        if (o.json) {
            QJsonObject port {{QStringLiteral("device"), device}, {QStringLiteral("state"), state}};
            if (!name.isEmpty())
                port.insert(QStringLiteral("port"), name);
            if (!check.holder.isEmpty())
                port.insert(QStringLiteral("holder"), check.holder);
            if (!check.lockFile.isEmpty())
                port.insert(QStringLiteral("lock_file"), escapeOutsideText(check.lockFile));
            written
                = writeLine(STDOUT_FILENO,
                            QString::fromUtf8(QJsonDocument(port).toJson(QJsonDocument::Compact)));
        } else {
            QString text = name.isEmpty()
                ? QStringLiteral("%1 %2").arg(device, state)
                : QStringLiteral("%1 %2 %3").arg(name, -6).arg(device, -13).arg(state);
            if (!check.holder.isEmpty())
                text += QStringLiteral(" (%1)").arg(check.holder);
            else if (!check.lockFile.isEmpty())
                text += QStringLiteral(" (lock file %1)").arg(escapeOutsideText(check.lockFile));
            written = writeLine(STDOUT_FILENO, text);
        }
        if (written != Output::Written)
            break;
    }
    return Done;
}

// Reads the channel words; prints the usage error and returns nullopt on a bad one.
std::optional<std::array<int, RelayState::channels>> channelFlags(const CommandLine &cli,
                                                                  const QStringList &words)
{
    std::array<int, RelayState::channels> flags {};
    for (const QString &word : words) {
        const int ch = channelIndex(word);
        if (ch < 0) {
            cli.usageError(noChannel(word));
            return std::nullopt;
        }
        flags[ch] = 1;
    }
    return flags;
}

// Prints what the board sends over the open link: for watch every reply and key report until
// interrupted, otherwise the one reply to the command just written.
int listen(BoardLink &link, const Options &o, bool watch, TerminationSignals &terminations,
           const QString &name, const QString &lostText, int lostStatus)
{
    bool interrupted = false;
    // Replies (and, for watch, key reports) as they come.
    ReceiveDecoder decoder;
    int status = Done;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, [&] {
        if (const QByteArray started = decoder.pendingBytes(); !started.isEmpty()) {
            // A reply equal to a key report's marker: what came is said, not blamed on wiring.
            QStringList texts;
            for (const char b : started)
                texts << hexByteText(std::uint8_t(b));
            line(stderr,
                 QStringLiteral("relayctl: %1: the board sent %2 and nothing more within %3 ms: "
                                "the start of a key report, not a reply; try again")
                     .arg(name, texts.join(QLatin1Char(' ')))
                     .arg(o.timeoutMs));
        } else {
            line(stderr,
                 QStringLiteral("relayctl: %1: no reply within %2 ms; check the board's "
                                "power and wiring")
                     .arg(name)
                     .arg(o.timeoutMs));
        }
        status = NoReply;
        QCoreApplication::quit();
    });
    // The reader of the output went away (watch | head -n 2): the program ends quietly, with
    // the port released like at any other end.
    const auto print = [&](const QString &text) {
        const Output written = writeLine(STDOUT_FILENO, text);
        if (written == Output::Closed)
            QCoreApplication::quit();
        return written == Output::Written;
    };
    QObject::connect(&link, &BoardLink::dataReceived, [&](const QByteArray &bytes) {
        for (const DecodeResult &r : decoder.feed(bytes)) {
            if (r.kind == DecodeResult::Kind::ReplyByte) {
                if (!watch) {
                    print(o.json ? stateLine(r.replyByte) : hexByteText(r.replyByte));
                    timeout.stop();
                    QCoreApplication::quit();
                    return;
                }
                if (!print(eventLine(QStringLiteral("reply"), {r.replyByte}, o.json)))
                    return;
            } else if (watch) {
                const IrKeyMessage &m = r.message;
                if (!print(eventLine(m.pressKind == PressKind::Long ? QStringLiteral("long")
                                                                    : QStringLiteral("short"),
                                     {m.userCode1, m.userCode2, m.operationCode, m.inverseCode},
                                     o.json)))
                    return;
            }
        }
    });
    QObject::connect(&link, &BoardLink::deviceLost, [&] {
        line(stderr, QStringLiteral("relayctl: %1: %2").arg(name, lostText));
        status = lostStatus;
        QCoreApplication::quit();
    });
    QObject::connect(&terminations, &TerminationSignals::received, [&] {
        interrupted = true;
        QCoreApplication::quit();
    });
    if (!watch)
        timeout.start(o.timeoutMs);
    QCoreApplication::exec();
    link.close();
    if (interrupted && !watch && status == Done && timeout.isActive()) {
        line(stderr, QStringLiteral("relayctl: %1: interrupted before the reply came").arg(name));
        return NoReply;
    }
    return status;
}

// A board that a bridge owns, through the broker: the same commands and output as on a
// local port. Nothing is published before the board is known to be online, and a command the
// bridge sees after the requester gave up is not carried out.
int throughBroker(const Options &o, const QString &command, const QByteArray &commandBytes,
                  bool waitForReply, TerminationSignals &terminations)
{
    MqttSettings settings = *o.broker;
    const QString clientId = BrokerBoards::randomClientId(QStringLiteral("relayctl-"));
    settings.clientId = clientId;
    const QString brokerName = brokerText(settings.host, settings.port);
    const QString board = QStringLiteral("board %1").arg(o.board);
    MqttClient client;
    BrokerBoards boards(client, clientId);
    if (!o.board.isEmpty())
        boards.followOnly(o.board);

    // Each step runs the event loop until its end: the first ending sets the status.
    std::optional<int> status;
    QEventLoop loop;
    const auto end = [&](int code, const QString &text = {}) {
        if (status)
            return;
        status = code;
        if (!text.isEmpty())
            line(stderr, QStringLiteral("relayctl: ") + text);
        loop.quit();
    };
    // The same, for a step that ends the program here: the status to return.
    const auto fail = [&](int code, const QString &text) {
        end(code, text);
        return *status;
    };
    const auto runUntil = [&](const std::function<bool()> &done) {
        while (!status && !done())
            loop.exec();
    };
    QObject::connect(&client, &MqttClient::refused, [&](int, const QString &reason) {
        end(BrokerRefused,
            brokerRefusedLine(brokerName, settings.username, reason)
                + QStringLiteral("; check the credentials"));
    });
    QObject::connect(&client, &MqttClient::connectionFailed,
                     [&](const MqttClient::Failure &failure, int, bool wasConnected) {
                         end(BrokerUnreachable,
                             brokerFailureLine(brokerName, failure, wasConnected));
                     });
    QObject::connect(&client, &MqttClient::publishDenied,
                     [&](const QString &topic, const QString &reason) {
                         end(BrokerRefused,
                             QStringLiteral("the broker %1 does not take %2 from this user: %3; "
                                            "check its access list")
                                 .arg(brokerName, escapeOutsideText(topic), reason));
                     });
    QObject::connect(&client, &MqttClient::subscriptionDenied,
                     [&](const QString &pattern, const QString &reason) {
                         end(BrokerRefused,
                             QStringLiteral("the broker %1 does not let this user read %2: %3; "
                                            "check its access list")
                                 .arg(brokerName, escapeOutsideText(pattern), reason));
                     });
    QObject::connect(&boards, &BrokerBoards::synced, &loop, &QEventLoop::quit);
    QObject::connect(&terminations, &TerminationSignals::received, [&] {
        end(command == QLatin1String("watch") ? Done : BridgeSilent,
            command == QLatin1String("watch")
                ? QString()
                : QStringLiteral("%1: interrupted before the bridge answered").arg(board));
    });
    constexpr int connectMs = 5000;
    QTimer connectLimit;
    connectLimit.setSingleShot(true);
    QObject::connect(&connectLimit, &QTimer::timeout, [&] {
        if (boards.isWaitingForMarker())
            end(BrokerUnreachable,
                QStringLiteral("the broker %1 did not hand back this client's own message on "
                               "%2 within %3 s: its access list must let every client write "
                               "to relayclient/%c/# (see the example in the README)")
                    .arg(brokerName, boards.syncTopic())
                    .arg(connectMs / 1000));
        else if (client.isWaitingForConnack())
            end(BrokerUnreachable,
                QStringLiteral("%1 took the connection but did not answer its CONNECT within "
                               "%2 s: not an MQTT broker at this port, or one overloaded; check "
                               "the address")
                    .arg(brokerName)
                    .arg(connectMs / 1000));
        else if (client.isConnected())
            end(BrokerUnreachable,
                QStringLiteral("the broker %1 did not acknowledge the subscriptions within "
                               "%2 s; check that it is not overloaded")
                    .arg(brokerName)
                    .arg(connectMs / 1000));
        else
            end(BrokerUnreachable,
                QStringLiteral("the broker %1 did not answer within %2 s; check the address and "
                               "that it runs")
                    .arg(brokerName)
                    .arg(connectMs / 1000));
    });
    QString error;
    if (!client.start(settings, &error)) {
        line(stderr, QStringLiteral("relayctl: ") + brokerStartFailedLine(brokerName, error));
        return BrokerUnreachable;
    }
    connectLimit.start(connectMs);
    runUntil([&] { return boards.isSynced(); });
    connectLimit.stop();
    if (status)
        return *status;

    if (command == QLatin1String("boards")) {
        for (const RemoteBoard &b : boards.boards()) {
            QString text;
            if (o.json) {
                QJsonObject entry {
                    {QStringLiteral("board"), b.id},
                    {QStringLiteral("availability"),
                     b.online ? QStringLiteral("online") : QStringLiteral("offline")},
                    {QStringLiteral("state"),
                     b.state ? QJsonValue(RelayState::channelsJson(*b.state)) : QJsonValue()}};
                text = QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact));
            } else {
                QStringList channels;
                for (int ch = 0; b.state && ch < RelayState::channels; ++ch)
                    channels << QStringLiteral("ch%1=%2").arg(ch + 1).arg(
                        RelayState::energised(*b.state, ch) ? QStringLiteral("ON")
                                                            : QStringLiteral("OFF"));
                text = QStringLiteral("%1 %2 %3")
                           .arg(b.id, -20)
                           .arg(b.online ? QStringLiteral("online") : QStringLiteral("offline"), -7)
                           .arg(b.state ? channels.join(QLatin1Char(' '))
                                        : QStringLiteral("state unknown"));
            }
            if (writeLine(STDOUT_FILENO, text) != Output::Written)
                break;
        }
        return Done;
    }

    const auto known = boards.board(o.board);
    if (!known)
        return fail(BoardAway,
                    QStringLiteral("%1 is not known to the broker %2: no relay-mqtt announced it "
                                   "there; check the ID (relayctl --broker ADDRESS boards lists "
                                   "them)")
                        .arg(board, brokerName));
    if (!known->online)
        return fail(BoardAway,
                    QStringLiteral("%1 is offline: its relay-mqtt has no port open or has "
                                   "ended; check it and the adapter on that machine")
                        .arg(board));

    const QString offlineText = QStringLiteral("went offline: its relay-mqtt lost the port or "
                                               "ended; check it on that machine");
    const QString unheardText
        = QStringLiteral("%1: its relay-mqtt did not answer a probe within %2 ms: it is stopped "
                         "or overloaded, older than this relayctl, or the brokers between here "
                         "and there do not carry relayclient/# both ways; nothing was sent")
              .arg(board)
              .arg(o.timeoutMs);
    if (command == QLatin1String("watch")) {
        BrokerLink link(boards);
        QObject::connect(&link, &BrokerLink::opened, &loop, &QEventLoop::quit);
        QObject::connect(
            &link, &BrokerLink::openFailed,
            [&](BrokerLink::OpenResult result, const QString &reason) {
                if (result == BrokerLink::OpenResult::NoAnswer)
                    end(BridgeSilent, unheardText);
                else if (result == BrokerLink::OpenResult::NoBroker)
                    end(BrokerUnreachable, QStringLiteral("lost the broker %1").arg(brokerName));
                else
                    end(BoardAway,
                        QStringLiteral("%1 %2%3").arg(
                            board, offlineText,
                            reason.isEmpty()
                                ? QString()
                                : QStringLiteral(" (%1)").arg(escapeOutsideText(reason))));
            });
        if (link.open(o.board, o.timeoutMs) != BrokerLink::OpenResult::Pending)
            return fail(BoardAway, QStringLiteral("%1 %2").arg(board, offlineText));
        runUntil([&] { return link.isOpen(); });
        if (status)
            return *status;
        return listen(link, o, true, terminations, board, offlineText, BoardAway);
    }

    // Before anything is sent: the bridge hears requests, and its answers come back.
    const quint64 probe = boards.probe(o.board, o.timeoutMs);
    bool heard = false;
    QObject::connect(&boards, &BrokerBoards::unanswered, [&](quint64 t) {
        if (t == probe)
            end(BridgeSilent, unheardText);
    });
    QObject::connect(&boards, &BrokerBoards::answered,
                     [&](quint64 t, const BoardContract::Answer &answer) {
                         if (t != probe)
                             return;
                         if (answer.failure == BoardContract::Failure::Offline)
                             return end(BoardAway,
                                        QStringLiteral("%1 is offline: %2; check the "
                                                       "adapter on the bridge's machine")
                                            .arg(board, escapeOutsideText(answer.reason)));
                         if (!answer.probe || answer.failure != BoardContract::Failure::None)
                             return end(BridgeSilent, unheardText);
                         heard = true;
                         loop.quit();
                     });
    if (probe == 0)
        return fail(
            BrokerUnreachable,
            QStringLiteral("lost the broker %1 before the command went out").arg(brokerName));
    runUntil([&] { return heard; });
    if (status)
        return *status;

    // The bridge waits for the reply up to the timeout; its answer may take a second more.
    const int answerWithinMs = waitForReply ? o.timeoutMs + 1000 : o.timeoutMs;
    const quint64 token
        = boards.request(o.board, commandBytes, waitForReply ? o.timeoutMs : 0, answerWithinMs);
    if (token == 0)
        return fail(
            BrokerUnreachable,
            QStringLiteral("lost the broker %1 before the command went out").arg(brokerName));
    QObject::connect(&boards, &BrokerBoards::unanswered, [&](quint64 t) {
        if (t == token)
            end(BridgeSilent,
                QStringLiteral("%1: its relay-mqtt did not answer within %2 ms (stopped, or "
                               "overloaded); the command expires without being carried out; "
                               "check relay-mqtt on that machine")
                    .arg(board)
                    .arg(answerWithinMs));
    });
    QObject::connect(
        &boards, &BrokerBoards::answered, [&](quint64 t, const BoardContract::Answer &answer) {
            if (t != token)
                return;
            using BoardContract::Failure;
            switch (answer.failure) {
            case Failure::None:
                break;
            case Failure::Offline:
                return end(BoardAway,
                           QStringLiteral("%1 %2: %3; check the adapter on the bridge's "
                                          "machine")
                               .arg(board,
                                    answer.written ? QStringLiteral("went offline")
                                                   : QStringLiteral("is offline"),
                                    escapeOutsideText(answer.reason)));
            case Failure::Expired:
                return end(BridgeSilent,
                           QStringLiteral("%1: %2").arg(board, escapeOutsideText(answer.reason)));
            case Failure::Busy:
            case Failure::LineFailed:
            case Failure::Refused:
                return end(OpenError,
                           QStringLiteral("%1: the bridge did not write the command: %2")
                               .arg(board, escapeOutsideText(answer.reason)));
            }
            if (!waitForReply)
                return end(Done);
            if (!answer.reply)
                return end(NoReply,
                           QStringLiteral("%1: no reply within %2 ms; check the board's "
                                          "power and wiring")
                               .arg(board)
                               .arg(o.timeoutMs));
            writeLine(STDOUT_FILENO,
                      o.json ? stateLine(*answer.reply) : hexByteText(*answer.reply));
            end(Done);
        });
    runUntil([] { return false; });
    return *status;
}

int run(const CommandLine &cli, const Options &o)
{
    const QString command = o.words.value(0);
    const QStringList args = o.words.mid(1);
    static const QStringList known {QStringLiteral("set"),   QStringLiteral("on"),
                                    QStringLiteral("off"),   QStringLiteral("read"),
                                    QStringLiteral("delay"), QStringLiteral("watch"),
                                    QStringLiteral("ports"), QStringLiteral("boards")};
    if (command.isEmpty())
        return cli.usageError(QStringLiteral("no command given"));
    if (!known.contains(command))
        return cli.usageError(
            QStringLiteral("unknown command '%1'").arg(escapeOutsideText(command)));
    if (o.json && command != QLatin1String("watch") && command != QLatin1String("ports")
        && command != QLatin1String("read") && command != QLatin1String("boards"))
        return cli.usageError(
            QStringLiteral("--json goes with read, watch, ports and boards only"));
    if (command == QLatin1String("ports")) {
        if (!args.isEmpty())
            return cli.usageError(QStringLiteral("ports takes no arguments"));
        if (o.broker)
            return cli.usageError(
                QStringLiteral("ports lists this machine's Com ports; with --broker use boards"));
        return listPorts(o);
    }
    if (o.broker && o.port.given())
        return cli.usageError(QStringLiteral("--broker and --port or --device exclude each other: "
                                             "a board is reached one way"));
    if (command == QLatin1String("boards")) {
        if (!args.isEmpty())
            return cli.usageError(QStringLiteral("boards takes no arguments"));
        if (!o.broker || !o.board.isEmpty())
            return cli.usageError(QStringLiteral("boards goes with --broker, without --board"));
    } else if (o.broker && o.board.isEmpty()) {
        return cli.usageError(QStringLiteral("say which board: --board ID (relayctl --broker "
                                             "ADDRESS boards lists them)"));
    } else if (!o.broker && !o.board.isEmpty()) {
        return cli.usageError(QStringLiteral("--board goes with --broker"));
    } else if (!o.broker && !o.port.given()) {
        return cli.usageError(QStringLiteral("say which port: --port ComN or --device PATH (or "
                                             "--broker ADDRESS --board ID)"));
    }
    // From here on SIGINT, SIGTERM and SIGHUP end the program through its own close, so that
    // the port is never left locked.
    TerminationSignals terminations;

    // Everything is checked before the port is opened: bad input sends nothing.
    QByteArray commandBytes;
    bool waitForReply = false;
    if (command == QLatin1String("watch")) {
        if (!args.isEmpty())
            return cli.usageError(QStringLiteral("watch takes no arguments"));
    } else if (command == QLatin1String("delay")) {
        if (args.size() != 2)
            return cli.usageError(QStringLiteral("delay takes SECONDS and one channel"));
        const DelayNumber delay = parseDelayNumber(args[0]);
        if (!delay.isDelay())
            return cli.usageError(QStringLiteral("delay '%1' is not a number of seconds 1..255")
                                      .arg(escapeOutsideText(args[0])));
        const int ch = channelIndex(args[1]);
        if (ch < 0)
            return cli.usageError(noChannel(args[1]));
        commandBytes = CommandEncoder::timedRelay(ch, delay.value);
    } else {
        const auto flags = channelFlags(cli, args);
        if (!flags)
            return Usage;
        if ((command == QLatin1String("on") || command == QLatin1String("off")) && args.isEmpty())
            return cli.usageError(QStringLiteral("%1 needs at least one channel").arg(command));
        const RelayOperation op = command == QLatin1String("set") ? RelayOperation::SetState
            : command == QLatin1String("on")                      ? RelayOperation::Energise
            : command == QLatin1String("off")                     ? RelayOperation::Release
                                                                  : RelayOperation::ReadState;
        commandBytes = CommandEncoder::channelCommand(op, *flags);
        waitForReply = op == RelayOperation::ReadState;
    }

    if (o.broker)
        return throughBroker(o, command, commandBytes, waitForReply, terminations);

    SerialPortService service(o.port.map);
    if (const auto failed = openOrFail(service, o))
        return *failed;

    if (command != QLatin1String("watch")) {
        // A reply nobody read or the start of a key report may be waiting: what comes after
        // the command is decoded afresh, as the answer to it.
        service.discardInput();
        if (!service.write(commandBytes) || !service.waitForWritten(5000)) {
            line(stderr,
                 QStringLiteral("relayctl: %1: the command could not be written; check the "
                                "adapter")
                     .arg(o.port.name));
            return OpenError;
        }
        if (!waitForReply)
            return Done;
    }

    return listen(service, o, command == QLatin1String("watch"), terminations, o.port.name,
                  QStringLiteral("the device went away; plug it in again"), OpenError);
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
    cli.setPrinter([](const QString &text) { line(stderr, text); });
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
    cli.setEpilogue(QStringLiteral(
        "Exit status: 0 done, 2 bad usage or input (nothing sent), 3 port held by another\n"
        "program, 4 any other failure to open or write, 5 no reply in time, 6 the broker\n"
        "refused the credentials or the topic, 7 the broker cannot be reached, 8 the board\n"
        "is not known to the broker or offline, 9 its bridge did not answer in time."));
    if (const auto end = cli.parse(app.arguments()))
        return *end;
    Options o;
    int status = Done;
    const auto port = cli.port(&status);
    if (!port)
        return status;
    o.port = *port;
    if (cli.isSet(QStringLiteral("timeout"))) {
        bool ok = false;
        const int ms = cli.value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || ms < 1 || ms > BoardContract::maxReplyWithinMs)
            return cli.usageError(QStringLiteral("--timeout needs milliseconds, 1..%1")
                                      .arg(BoardContract::maxReplyWithinMs));
        o.timeoutMs = ms;
    }
    o.json = cli.isSet(QStringLiteral("json"));
    const bool brokerAsked = cli.isSet(QStringLiteral("broker"))
        || cli.isSet(QStringLiteral("username")) || cli.isSet(QStringLiteral("password-file"))
        || cli.isSet(QStringLiteral("cafile")) || cli.isSet(QStringLiteral("cert"))
        || cli.isSet(QStringLiteral("key"));
    if (brokerAsked) {
        if (!cli.isSet(QStringLiteral("broker")))
            return cli.usageError(QStringLiteral("the broker options go with --broker"));
        o.broker = cli.broker(&status);
        if (!o.broker)
            return status;
    }
    if (cli.isSet(QStringLiteral("board"))) {
        o.board = cli.value(QStringLiteral("board"));
        if (!BoardContract::isValidId(o.board))
            return cli.usageError(QStringLiteral("--board takes 1..64 of a-z 0-9 _ -, as "
                                                 "relay-mqtt's --id"));
    }
    o.words = cli.positionalArguments();
    return run(cli, o);
}
