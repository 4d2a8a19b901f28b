#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "appicons.h"
#include "brokerboards.h"
#include "brokeroptions.h"
#include "brokertext.h"
#include "commandline.h"
#include "mainwindow.h"
#include "outsidetext.h"
#include "translations.h"
#include "version.h"

namespace {

// The console's command line: the broker options (read before Qt starts, so that a usage error
// needs no display), the help made from them, and Qt's own options beside them.
void declareOptions(CommandLine &cli)
{
    cli.setDescription(QStringLiteral(
        "A desktop console for a four-channel relay board on a serial line (9600 8N1):\n"
        "open a Com port, compose relay commands for CH1..CH4 with a hexadecimal\n"
        "preview, send them, read the board's replies and watch infrared key reports.\n"
        "Ctrl+T starts the relay chaser.\n"
        "\n"
        "With --broker the port list also shows the boards that relay-mqtt puts on that\n"
        "MQTT broker, by their IDs; they open and work as a local port does."));
    cli.addBrokerOptions();
    cli.addStandardOptions();
    cli.setEpilogue(
        QStringLiteral("Qt's standard options apply, for example -style Fusion, -platform "
                       "offscreen,\n-reverse.\n\nCom ports: %1.\n\n")
            .arg(ComPorts::tableText())
        + exitStatusHelp(
            {{ExitStatus::Done, QStringLiteral("closed")},
             {ExitStatus::CannotStart, QStringLiteral("no display to open the window on")},
             {ExitStatus::Usage,
              QStringLiteral("bad usage, or a broker address or file that cannot be used")}}));
}

const char *const program = "relay-console";
const char *const synopsis = "[--broker ADDRESS [BROKER OPTIONS]] [Qt options]";

void printHelp(std::FILE *to)
{
    CommandLine cli(QString::fromLatin1(program), {QString::fromLatin1(synopsis)});
    declareOptions(cli);
    std::fputs(cli.helpText().toLocal8Bit().constData(), to);
}

bool hasDisplay()
{
    // An explicit platform (offscreen, vnc, ...) needs no display of the usual kind.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// Whether argv[i] is one of the options QGuiApplication and QApplication take for themselves
// (their documented list); `i` moves past its value. Needed only to tell a usage error from a
// missing display before Qt, which needs the display, can say.
bool isQtOption(int argc, char **argv, int &i)
{
    static const char *const withValue[] = {"platform",        "platformpluginpath",
                                            "platformtheme",   "plugin",
                                            "qwindowgeometry", "qwindowicon",
                                            "qwindowtitle",    "session",
                                            "display",         "geometry",
                                            "style",           "stylesheet",
                                            "title",           "name",
                                            "qmljsdebugger",   "fontengine",
                                            "dialogs",         "visual"};
    static const char *const alone[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    const char *arg = argv[i];
    if (arg[0] != '-')
        return false;
    arg += arg[1] == '-' ? 2 : 1;
    for (const char *name : alone) {
        if (std::strcmp(arg, name) == 0)
            return true;
    }
    for (const char *name : withValue) {
        const size_t n = std::strlen(name);
        if (std::strncmp(arg, name, n) == 0 && arg[n] == '=')
            return true;
        if (std::strcmp(arg, name) == 0) {
            if (i + 1 >= argc)
                return false;
            ++i;
            return true;
        }
    }
    return false;
}

// The broker options, for CommandLine; `i` moves past the option's value. False for anything
// else.
bool takeBrokerOption(int argc, char **argv, int &i, QStringList &taken)
{
    static const char *const names[]
        = {"broker", "username", "password-file", "cafile", "cert", "key"};
    const char *arg = argv[i];
    if (std::strncmp(arg, "--", 2) != 0)
        return false;
    for (const char *name : names) {
        const size_t n = std::strlen(name);
        if (std::strncmp(arg + 2, name, n) == 0 && arg[2 + n] == '=') {
            taken << QString::fromLocal8Bit(arg);
            return true;
        }
        if (std::strcmp(arg + 2, name) == 0) {
            taken << QString::fromLocal8Bit(arg);
            if (i + 1 < argc)
                taken << QString::fromLocal8Bit(argv[++i]);
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    // --help and --version are read before Qt starts, so that they work without a display.
    bool platformGiven = false;
    QStringList brokerArgs {QStringLiteral("relay-console")};
    for (int i = 1; i < argc; ++i) {
        if (takeBrokerOption(argc, argv, i, brokerArgs))
            continue;
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printHelp(stdout);
            return exitCode(ExitStatus::Done);
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::printf("relay-console %s\n", RELAY_CONSOLE_VERSION);
            return exitCode(ExitStatus::Done);
        }
        const bool platform = std::strncmp(argv[i], "-platform", 9) == 0
            || std::strncmp(argv[i], "--platform", 10) == 0;
        if (!isQtOption(argc, argv, i)) {
            std::fprintf(stderr, "relay-console: unknown argument '%s'\n\n",
                         qPrintable(escapeOutsideText(QString::fromLocal8Bit(argv[i]))));
            printHelp(stderr);
            return exitCode(ExitStatus::Usage);
        }
        platformGiven = platformGiven || platform;
    }
    // The broker options are checked (and their files read) before anything else starts.
    std::optional<MqttSettings> broker;
    if (brokerArgs.size() > 1) {
        CommandLine cli(QString::fromLatin1(program), {QString::fromLatin1(synopsis)});
        declareOptions(cli);
        if (const auto end = cli.parse(brokerArgs))
            return exitCode(*end);
        if (!cli.isSet(QStringLiteral("broker")))
            return exitCode(cli.usageError(QStringLiteral("the broker options go with --broker")));
        ExitStatus status = ExitStatus::Done;
        broker = cli.broker(&status);
        if (!broker)
            return exitCode(status);
    }
    if (!platformGiven && !hasDisplay()) {
        std::fprintf(stderr,
                     "relay-console: no display to open the window on: run it in a desktop "
                     "session (DISPLAY or WAYLAND_DISPLAY set) or under a virtual one with "
                     "'xvfb-run -a relay-console'.\n");
        return exitCode(ExitStatus::CannotStart);
    }

    // Qt takes its own options out of the command line (-style, -platform, -reverse, ...).
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("relay-console"));
    QApplication::setApplicationVersion(QStringLiteral(RELAY_CONSOLE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("relay-console"));
    installQtTranslations(app);
    QApplication::setWindowIcon(QIcon(AppIcons::application()));
    // Only with --broker: no connection is made otherwise. Made before the window, which uses
    // them to its end.
    MqttClient client;
    std::optional<BrokerBoards> boards;
    MainWindow window;
    if (broker) {
        const QString clientId = BrokerBoards::randomClientId(QStringLiteral("relay-console-"));
        broker->clientId = clientId;
        boards.emplace(client, clientId);
        window.controller().setBroker(&*boards, brokerText(broker->host, broker->port));
        QString error;
        if (!client.start(*broker, &error)) {
            std::fprintf(
                stderr, "relay-console: %s\n",
                qPrintable(brokerStartFailedLine(brokerText(broker->host, broker->port), error)));
            return exitCode(ExitStatus::Usage);
        }
    }
    window.show();
    return app.exec();
}
