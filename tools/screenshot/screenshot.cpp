// Renders the main window as the operator sees it and saves it as a PNG:
//   xvfb-run -a build/tools/screenshot/screenshot docs/main-window.png
// The ports come from the real Com table; on a machine without serial ports the list is empty.
#include <QApplication>
#include <QScreen>
#include <QTimer>

#include "frmmain.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    frmMain window;
    window.show();
    int result = 1;
    QTimer::singleShot(500, [&] {
        result = window.grab().save(out) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return result;
}
