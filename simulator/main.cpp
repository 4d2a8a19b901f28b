// relayboard-sim: a relay board on a pseudo-terminal, for trying the console without hardware.
//
//   relayboard-sim [--link PATH]
//
// Prints the terminal it serves and every byte it receives. Commands on standard input:
//   s U1 U2 OP INV   send a short-press key report (hexadecimal bytes)
//   l U1 U2 OP INV   send a long-press key report
//   raw XX XX ...    send bytes as they are
//   state            print the relay states
//   quit             stop (so do end of input, Ctrl+C and SIGTERM)
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <variant>

#include "exitstatus.h"
#include "ptyrelayboard.h"
#include "terminationsignals.h"
#include "version.h"

namespace {

QString relayText(std::uint8_t relays)
{
    QString s;
    for (int ch = 1; ch <= 4; ++ch)
        s += QStringLiteral("CH%1 %2  ").arg(ch).arg(relays & (1 << (ch - 1)) ? "on " : "off");
    return s.trimmed();
}

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

bool parseBytes(const QStringList &words, int from, QByteArray &out)
{
    for (int i = from; i < words.size(); ++i) {
        bool ok = false;
        const uint v = words[i].toUInt(&ok, 16);
        if (!ok || v > 0xFF)
            return false;
        out.append(static_cast<char>(v));
    }
    return true;
}

// The link path (empty: none), or the status to end with after --help, --version or a usage
// error.
std::variant<QString, ExitStatus> readOptions(const QCoreApplication &app)
{
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, {});
    const QCommandLineOption link(QStringLiteral("link"), {}, QStringLiteral("PATH"));
    parser.addOptions({help, version, link});
    const char usage[] = "Usage: relayboard-sim [--link PATH] | -h | --help | -V | --version\n"
                         "A relay board on a pseudo-terminal: prints the terminal it serves and\n"
                         "every byte it receives. --link PATH makes a symlink to it (for example\n"
                         "/dev/ttyUSB7 for Com12). Commands on standard input:\n"
                         "  s U1 U2 OP INV   send a short-press key report (hexadecimal bytes)\n"
                         "  l U1 U2 OP INV   send a long-press key report\n"
                         "  raw XX XX ...    send bytes as they are\n"
                         "  state            print the relay states\n"
                         "  quit             stop (so do end of input, Ctrl+C and SIGTERM)\n";
    if (!parser.parse(app.arguments()) || !parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "relayboard-sim: %s\n%s",
                     parser.errorText().isEmpty() ? "unexpected argument"
                                                  : qPrintable(parser.errorText()),
                     usage);
        return ExitStatus::Usage;
    }
    if (parser.isSet(help)) {
        std::fputs(usage, stdout);
        return ExitStatus::Done;
    }
    if (parser.isSet(version)) {
        std::printf("relayboard-sim %s\n", RELAY_CONSOLE_VERSION);
        return ExitStatus::Done;
    }
    return parser.value(link);
}

// The terminal given to the user who ran sudo, and linked where asked; false (said) when the
// link cannot be made.
bool prepare(PtyRelayBoard &board, const QString &linkPath)
{
    say(QStringLiteral("relay board on %1").arg(board.slavePath()));
    // Started with sudo (root for a link under /dev): the device belongs to the user who ran
    // sudo, so that user's console can open it, not only root's.
    if (::geteuid() == 0) {
        bool uidOk = false, gidOk = false;
        const uint uid = qEnvironmentVariable("SUDO_UID").toUInt(&uidOk);
        const uint gid = qEnvironmentVariable("SUDO_GID").toUInt(&gidOk);
        if (uidOk && gidOk) {
            if (board.giveTo(uid, gid))
                say(QStringLiteral("given to user %1, group %2").arg(uid).arg(gid));
            else
                std::fprintf(stderr, "relayboard-sim: could not give the device to user %u: %s\n",
                             uid, std::strerror(errno));
        }
    }
    if (!linkPath.isEmpty()) {
        QString error;
        if (!board.link(linkPath, &error)) {
            std::fprintf(stderr, "relayboard-sim: %s\n", qPrintable(error));
            return false;
        }
        say(QStringLiteral("linked at %1").arg(linkPath));
    }
    return true;
}

// One line of standard input; false for quit.
bool runCommand(PtyRelayBoard &board, const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return true;
    const QString command = words[0].toLower();
    QByteArray bytes;
    if ((command == QLatin1String("s") || command == QLatin1String("l")) && words.size() == 5
        && parseBytes(words, 1, bytes)) {
        board.sendKeyReport(command == QLatin1String("l"), bytes[0], bytes[1], bytes[2], bytes[3]);
        say(QStringLiteral("tx %1 press report")
                .arg(command == QLatin1String("l") ? "long" : "short"));
    } else if (command == QLatin1String("raw") && parseBytes(words, 1, bytes)) {
        board.sendRaw(bytes);
        say(QStringLiteral("tx %1 bytes").arg(bytes.size()));
    } else if (command == QLatin1String("state")) {
        board.advance();
        say(relayText(board.relays()));
    } else if (command == QLatin1String("quit")) {
        return false;
    } else {
        say(QStringLiteral("? commands: s|l U1 U2 OP INV, raw XX.., state, quit"));
    }
    return true;
}

// The board's timed relays run on a timer set to the next deadline; every byte it receives is
// printed.
void runBoard(PtyRelayBoard &board, QTimer &release)
{
    release.setSingleShot(true);
    auto reschedule = [&board, &release] {
        const auto next = board.model().nextDeadline();
        if (!next)
            return release.stop();
        using namespace std::chrono;
        const auto now
            = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
        release.start(static_cast<int>(std::max<qint64>(0, *next - now)));
    };
    QObject::connect(&release, &QTimer::timeout, &board, [&board, reschedule] {
        const std::uint8_t before = board.relays();
        board.advance();
        if (board.relays() != before)
            say(QStringLiteral("timer     %1").arg(relayText(board.relays())));
        reschedule();
    });
    QObject::connect(&board, &PtyRelayBoard::byteReceived, &board,
                     [reschedule](std::uint8_t b, std::uint8_t relays) {
                         const QString hex
                             = QString::number(b, 16).toUpper().rightJustified(2, u'0');
                         say(QStringLiteral("rx 0x%1   %2").arg(hex, relayText(relays)));
                         reschedule();
                     });
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const auto options = readOptions(app);
    if (const auto *end = std::get_if<ExitStatus>(&options))
        return exitCode(*end);
    PtyRelayBoard board;
    if (!board.isValid()) {
        std::fprintf(stderr, "relayboard-sim: no pseudo-terminal available\n");
        return exitCode(ExitStatus::CannotStart);
    }
    if (!prepare(board, std::get<QString>(options)))
        return exitCode(ExitStatus::CannotStart);
    QTimer release;
    runBoard(board, release);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            return app.quit();
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromLocal8Bit(pending.left(end)).trimmed();
            pending.remove(0, end + 1);
            if (!runCommand(board, line))
                return app.quit();
        }
    });

    // Leave through the event loop on SIGTERM, SIGINT or SIGHUP, so the link is removed.
    TerminationSignals terminations;
    QObject::connect(&terminations, &TerminationSignals::received, &app, [&] { app.quit(); });

    return app.exec();
}
