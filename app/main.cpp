#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "appicons.h"
#include "mainwindow.h"
#include "translations.h"
#include "version.h"

namespace {

void printUsage(std::FILE *to)
{
    std::fprintf(
        to,
        "Usage: relay-console [--help | --version]\n"
        "\n"
        "A desktop console for a four-channel relay board on a serial line (9600 8N1):\n"
        "open a Com port, compose relay commands for CH1..CH4 with a hexadecimal\n"
        "preview, send them, read the board's replies and watch infrared key reports.\n"
        "Ctrl+T starts the relay chaser.\n"
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

} // namespace

int main(int argc, char **argv)
{
    // The command line is read before Qt starts, so that it works without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("relay-console %s\n", RELAY_CONSOLE_VERSION);
            return 0;
        }
        std::fprintf(stderr, "relay-console: unknown argument '%s'\n\n", argv[i]);
        printUsage(stderr);
        return 2;
    }
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "relay-console: no display to open the window on: run it in a desktop "
                     "session (DISPLAY or WAYLAND_DISPLAY set) or under a virtual one with "
                     "'xvfb-run -a relay-console'.\n");
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("relay-console"));
    QApplication::setApplicationVersion(QStringLiteral(RELAY_CONSOLE_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("relay-console"));
    installQtTranslations(app);
    QApplication::setWindowIcon(QIcon(AppIcons::application()));
    MainWindow window;
    window.show();
    return app.exec();
}
