// relayctl: the relay board from scripts. The same command bytes, port settings, exclusivity and
// holder checks as the console; one line on stderr and a distinct exit status for each failure.
#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <optional>

#include "commandencoder.h"
#include "delaynumber.h"
#include "hexbytetext.h"
#include "receivedecoder.h"
#include "serialportservice.h"
#include "terminationsignals.h"
#include "version.h"

namespace {

enum Exit {
    Done = 0,
    Usage = 2,
    Busy = 3,
    OpenError = 4,
    NoReply = 5,
};

const char usageText[] = "Usage: relayctl (--port ComN | --device PATH) COMMAND [ARGS]\n"
                         "  set CH...            the listed channels on, the others off\n"
                         "  on CH...             energise the listed channels\n"
                         "  off CH...            release the listed channels\n"
                         "  read [CH...]         read the relay state; prints the reply as 0xNN\n"
                         "                       (--timeout MS, default 1000)\n"
                         "  delay SECONDS CH     timed relay of 1..255 s on one channel\n"
                         "  watch [--json]       print every reply and key report until "
                         "interrupted\n"
                         "  ports [--json]       the Com table and the state of each port\n"
                         "relayctl --help | --version\n"
                         "\n"
                         "Channels are CH1..CH4 (any case) or 1..4. Com ports: Com1-4 "
                         "/dev/ttyS0-3,\n"
                         "Com5-12 /dev/ttyUSB0-7, Com13-16 /dev/ttyACM0-3; the line is 9600 8N1.\n"
                         "Exit status: 0 done, 2 bad usage or input (nothing sent), 3 port held "
                         "by\n"
                         "another program, 4 any other failure to open, 5 no reply in time.\n";

void line(std::FILE *to, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fputc('\n', to);
    std::fflush(to);
}

int usageError(const QString &what)
{
    line(stderr, QStringLiteral("relayctl: %1; see relayctl --help").arg(what));
    return Usage;
}

struct Options
{
    int port = 0; // Com number
    QString device; // or a path
    bool portGiven = false;
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
    if (digits.size() != 1 || digits[0] < QLatin1Char('1') || digits[0] > QLatin1Char('4'))
        return -1;
    return digits[0].unicode() - '1';
}

// The port as the messages name it: "Com5 (/dev/ttyUSB0)" or the path given.
QString portName(const Options &o, const SerialPortService &service)
{
    if (!o.device.isEmpty())
        return o.device;
    return QStringLiteral("%1 (%2)").arg(ComPorts::entryText(o.port), service.deviceOf(o.port));
}

QString remedy(OpenResult code, const PortCheck &check)
{
    switch (code) {
    case OpenResult::PortInUse:
        return check.holder.isEmpty() ? QStringLiteral("close the program that holds it")
                                      : QStringLiteral("%1; close it first").arg(check.holder);
    case OpenResult::InvalidPort:
        return QStringLiteral("use Com1..Com16");
    case OpenResult::DeviceMissing:
        return QStringLiteral("plug the adapter in, or check the path");
    case OpenResult::PermissionDenied:
        return QStringLiteral("join group dialout (sudo usermod -aG dialout $USER) and log in "
                              "again");
    case OpenResult::StaleLockFile:
        return QStringLiteral("remove the stale lock file: sudo rm %1").arg(check.lockFile);
    case OpenResult::SettingsRejected:
        return QStringLiteral("not a serial line, or it refused 9600 8N1; check the path");
    case OpenResult::Ok:
    case OpenResult::OpenFailed:
        break;
    }
    return QStringLiteral("try again; see dmesg");
}

QString openFailureWords(OpenResult code)
{
    switch (code) {
    case OpenResult::PortInUse:
        return QStringLiteral("held by another program");
    case OpenResult::InvalidPort:
        return QStringLiteral("not a Com port of the table");
    case OpenResult::DeviceMissing:
        return QStringLiteral("no such device");
    case OpenResult::PermissionDenied:
        return QStringLiteral("no permission to read and write it");
    case OpenResult::StaleLockFile:
        return QStringLiteral("a lock file of an ended program is in the way");
    case OpenResult::SettingsRejected:
        return QStringLiteral("cannot be set to 9600 8N1");
    case OpenResult::Ok:
    case OpenResult::OpenFailed:
        break;
    }
    return QStringLiteral("cannot be opened");
}

// Opens the port; on failure prints the line and gives the exit status.
std::optional<int> openOrFail(SerialPortService &service, const Options &o)
{
    const OpenResult code = service.openPort(o.device.isEmpty() ? o.port : 1);
    if (code == OpenResult::Ok)
        return std::nullopt;
    line(stderr,
         QStringLiteral("relayctl: %1: %2 (%3): %4")
             .arg(portName(o, service), openFailureWords(code))
             .arg(int(code))
             .arg(remedy(code, service.lastCheck())));
    return code == OpenResult::PortInUse ? Busy : OpenError;
}

QString byteList(std::initializer_list<std::uint8_t> bytes, bool json)
{
    QStringList parts;
    for (const std::uint8_t b : bytes)
        parts << (json ? QStringLiteral("\"%1\"").arg(hexByteText(b)) : hexByteText(b));
    return json ? QLatin1Char('[') + parts.join(QLatin1String(", ")) + QLatin1Char(']')
                : parts.join(QLatin1Char(' '));
}

QString eventLine(const QString &kind, std::initializer_list<std::uint8_t> bytes, bool json)
{
    if (!json)
        return kind + QLatin1Char(' ') + byteList(bytes, false);
    return QStringLiteral("{\"kind\": \"%1\", \"bytes\": %2, \"time\": \"%3\"}")
        .arg(kind, byteList(bytes, true), QDateTime::currentDateTime().toString(Qt::ISODateWithMs));
}

int listPorts(const Options &o)
{
    SerialPortService service;
    for (int n = ComPorts::first; n <= ComPorts::last; ++n) {
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
        const QString name = ComPorts::entryText(n);
        const QString device = ComPorts::device(n);
        if (o.json) {
            QString holder;
            if (!check.holder.isEmpty())
                holder = QStringLiteral(", \"holder\": \"%1\"")
                             .arg(QString(check.holder)
                                      .replace(QLatin1Char('"'), QLatin1String("\\\"")));
            line(stdout,
                 QStringLiteral("{\"port\": \"%1\", \"device\": \"%2\", \"state\": "
                                "\"%3\"%4}")
                     .arg(name, device, state, holder));
        } else {
            QString text = QStringLiteral("%1 %2 %3").arg(name, -6).arg(device, -13).arg(state);
            if (!check.holder.isEmpty())
                text += QStringLiteral(" (%1)").arg(check.holder);
            line(stdout, text);
        }
    }
    return Done;
}

// Reads the channel words; prints the usage error and returns nullopt on a bad one.
std::optional<std::array<int, 4>> channelFlags(const QStringList &words)
{
    std::array<int, 4> flags {};
    for (const QString &word : words) {
        const int ch = channelIndex(word);
        if (ch < 0) {
            usageError(QStringLiteral("'%1' is no channel: use CH1..CH4 or 1..4").arg(word));
            return std::nullopt;
        }
        flags[ch] = 1;
    }
    return flags;
}

int run(const Options &o)
{
    const QString command = o.words.value(0);
    const QStringList args = o.words.mid(1);
    static const QStringList known {QStringLiteral("set"),   QStringLiteral("on"),
                                    QStringLiteral("off"),   QStringLiteral("read"),
                                    QStringLiteral("delay"), QStringLiteral("watch"),
                                    QStringLiteral("ports")};
    if (command.isEmpty())
        return usageError(QStringLiteral("no command given"));
    if (!known.contains(command))
        return usageError(QStringLiteral("unknown command '%1'").arg(command));
    if (o.json && command != QLatin1String("watch") && command != QLatin1String("ports"))
        return usageError(QStringLiteral("--json goes with watch and ports only"));
    if (command == QLatin1String("ports")) {
        if (!args.isEmpty())
            return usageError(QStringLiteral("ports takes no arguments"));
        return listPorts(o);
    }
    if (!o.portGiven)
        return usageError(QStringLiteral("say which port: --port ComN or --device PATH"));
    // From here on SIGINT, SIGTERM and SIGHUP end the program through its own close, so that
    // the port is never left locked.
    TerminationSignals terminations;
    bool interrupted = false;

    // Everything is checked before the port is opened: bad input sends nothing.
    CommandSelection selection;
    bool waitForReply = false;
    if (command == QLatin1String("watch")) {
        if (!args.isEmpty())
            return usageError(QStringLiteral("watch takes no arguments"));
    } else if (command == QLatin1String("delay")) {
        if (args.size() != 2)
            return usageError(QStringLiteral("delay takes SECONDS and one channel"));
        const DelayNumber delay = parseDelayNumber(args[0]);
        if (!delay.isDelay())
            return usageError(
                QStringLiteral("delay '%1' is not a number of seconds 1..255").arg(args[0]));
        const int ch = channelIndex(args[1]);
        if (ch < 0)
            return usageError(
                QStringLiteral("'%1' is no channel: use CH1..CH4 or 1..4").arg(args[1]));
        selection.operation = std::int16_t(RelayOperation::DelayedRelay);
        selection.delayText = args[0];
        selection.delayChannel = ch;
    } else {
        const auto flags = channelFlags(args);
        if (!flags)
            return Usage;
        if ((command == QLatin1String("on") || command == QLatin1String("off")) && args.isEmpty())
            return usageError(QStringLiteral("%1 needs at least one channel").arg(command));
        selection.channelFlags = *flags;
        const RelayOperation op = command == QLatin1String("set") ? RelayOperation::SetState
            : command == QLatin1String("on")                      ? RelayOperation::Energise
            : command == QLatin1String("off")                     ? RelayOperation::Release
                                                                  : RelayOperation::ReadState;
        selection.operation = std::int16_t(op);
        waitForReply = op == RelayOperation::ReadState;
    }

    SerialPortService service(o.device.isEmpty() ? SerialPortService::PortMap(ComPorts::device)
                                                 : [path = o.device](int) { return path; });
    if (const auto failed = openOrFail(service, o))
        return *failed;

    if (command != QLatin1String("watch")) {
        CommandEncoder encoder;
        encoder.compose(selection);
        if (!service.write(encoder.bytes()) || !service.waitForWritten(5000)) {
            line(stderr,
                 QStringLiteral("relayctl: %1: the command could not be written; check the "
                                "adapter")
                     .arg(portName(o, service)));
            return OpenError;
        }
        if (!waitForReply)
            return Done;
    }

    // Replies (and, for watch, key reports) as they come.
    const bool watch = command == QLatin1String("watch");
    ReceiveDecoder decoder;
    int status = Done;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, [&] {
        line(stderr,
             QStringLiteral("relayctl: %1: no reply within %2 ms; check the board's "
                            "power and wiring")
                 .arg(portName(o, service))
                 .arg(o.timeoutMs));
        status = NoReply;
        QCoreApplication::quit();
    });
    QObject::connect(&service, &SerialPortService::dataReceived, [&] {
        for (const char c : service.read()) {
            const DecodeResult r = decoder.onReceive(static_cast<std::uint8_t>(c));
            if (r.kind == DecodeResult::Kind::ReplyByte) {
                if (!watch) {
                    line(stdout, hexByteText(r.replyByte));
                    timeout.stop();
                    QCoreApplication::quit();
                    return;
                }
                line(stdout, eventLine(QStringLiteral("reply"), {r.replyByte}, o.json));
            } else if (r.kind == DecodeResult::Kind::KeyMessage && watch) {
                const IrKeyMessage &m = r.message;
                line(stdout,
                     eventLine(m.pressKind == PressKind::Long ? QStringLiteral("long")
                                                              : QStringLiteral("short"),
                               {m.userCode1, m.userCode2, m.operationCode, m.inverseCode}, o.json));
            }
        }
    });
    QObject::connect(&service, &SerialPortService::deviceLost, [&] {
        line(stderr,
             QStringLiteral("relayctl: %1: the device went away; plug it in again")
                 .arg(portName(o, service)));
        status = OpenError;
        QCoreApplication::quit();
    });
    QObject::connect(&terminations, &TerminationSignals::received, [&] {
        interrupted = true;
        QCoreApplication::quit();
    });
    if (!watch)
        timeout.start(o.timeoutMs);
    QCoreApplication::exec();
    service.close();
    if (interrupted && !watch && status == Done && timeout.isActive()) {
        line(stderr,
             QStringLiteral("relayctl: %1: interrupted before the reply came")
                 .arg(portName(o, service)));
        return NoReply;
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relayctl"));
    Options o;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&](QString *out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString v;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(usageText, stdout);
            return Done;
        } else if (a == QLatin1String("--version")) {
            std::printf("relayctl %s\n", RELAY_CONSOLE_VERSION);
            return Done;
        } else if (a == QLatin1String("--port")) {
            if (!value(&v))
                return usageError(QStringLiteral("--port needs ComN"));
            if (o.portGiven)
                return usageError(QStringLiteral("give one port only"));
            const int n = v.startsWith(QLatin1String("com"), Qt::CaseInsensitive)
                ? ComPorts::numberFromEntry(QStringLiteral("Com") + v.mid(3))
                : 0;
            if (!ComPorts::isValid(n) || ComPorts::entryText(n).compare(v, Qt::CaseInsensitive))
                return usageError(QStringLiteral("port '%1' is not one of Com1..Com16").arg(v));
            o.port = n;
            o.portGiven = true;
        } else if (a == QLatin1String("--device")) {
            if (!value(&v) || v.isEmpty())
                return usageError(QStringLiteral("--device needs a path"));
            if (o.portGiven)
                return usageError(QStringLiteral("give one port only"));
            o.device = v;
            o.portGiven = true;
        } else if (a == QLatin1String("--timeout")) {
            bool ok = false;
            const int ms = value(&v) ? v.toInt(&ok) : 0;
            if (!ok || ms < 1)
                return usageError(QStringLiteral("--timeout needs milliseconds, 1 or more"));
            o.timeoutMs = ms;
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a.startsWith(QLatin1String("--"))) {
            return usageError(QStringLiteral("unknown option '%1'").arg(a));
        } else {
            o.words << a;
        }
    }
    return run(o);
}
