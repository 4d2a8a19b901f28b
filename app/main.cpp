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
#include "translations.h"
#include "version.h"

namespace {

void printUsage(std::FILE *to)
{
    std::fprintf(
        to,
        "Usage: relay-console [--broker ADDRESS [BROKER OPTIONS]] [Qt options]\n"
        "       relay-console -h | --help | -V | --version\n"
        "\n"
        "A desktop console for a four-channel relay board on a serial line (9600 8N1):\n"
        "open a Com port, compose relay commands for CH1..CH4 with a hexadecimal\n"
        "preview, send them, read the board's replies and watch infrared key reports.\n"
        "Ctrl+T starts the relay chaser.\n"
        "\n"
        "With --broker the port list also shows the boards that relay-mqtt puts on that\n"
        "MQTT broker, by their IDs; they open and work as a local port does.\n"
        "  --broker ADDRESS        HOST, HOST:PORT, [IPV6]:PORT, IPV6, mqtt://HOST[:PORT]\n"
        "                          or mqtts://HOST[:PORT] (TLS)\n"
        "  --username NAME         log in to the broker as NAME\n"
        "  --password-file FILE    the password is the first line of FILE\n"
        "  --cafile FILE           TLS, checking the broker against this CA\n"
        "  --cert FILE, --key FILE TLS with this client certificate and its key\n"
        "\n"
        "Qt's standard options apply, for example -style Fusion, -platform offscreen,\n"
        "-reverse.\n"
        "\n"
        "Com ports: Com1-4 /dev/ttyS0-3, Com5-12 /dev/ttyUSB0-7, Com13-16 /dev/ttyACM0-3.\n");
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
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
            std::printf("relay-console %s\n", RELAY_CONSOLE_VERSION);
            return 0;
        }
        const bool platform = std::strncmp(argv[i], "-platform", 9) == 0
            || std::strncmp(argv[i], "--platform", 10) == 0;
        if (!isQtOption(argc, argv, i)) {
            std::fprintf(stderr, "relay-console: unknown argument '%s'\n\n", argv[i]);
            printUsage(stderr);
            return 2;
        }
        platformGiven = platformGiven || platform;
    }
    // The broker options are checked (and their files read) before anything else starts.
    std::optional<MqttSettings> broker;
    if (brokerArgs.size() > 1) {
        CommandLine cli(QStringLiteral("relay-console"), {});
        cli.addBrokerOptions();
        if (const auto end = cli.parse(brokerArgs))
            return *end;
        if (!cli.isSet(QStringLiteral("broker")))
            return cli.usageError(QStringLiteral("the broker options go with --broker"));
        int status = 0;
        broker = cli.broker(&status);
        if (!broker)
            return status;
    }
    if (!platformGiven && !hasDisplay()) {
        std::fprintf(stderr,
                     "relay-console: no display to open the window on: run it in a desktop "
                     "session (DISPLAY or WAYLAND_DISPLAY set) or under a virtual one with "
                     "'xvfb-run -a relay-console'.\n");
        return 1;
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
            return 2;
        }
    }
    window.show();
    return app.exec();
}
