// Renders a window as the operator sees it and saves it as a PNG:
//   xvfb-run -a build/tools/screenshot/screenshot docs/main-window.png
//   xvfb-run -a build/tools/screenshot/screenshot docs/ir-window.png ir
// The main window lists the ports of the real Com table (none on a machine without serial
// ports); the key report window shows a few sample reports.
#include <QApplication>
#include <QTimer>

#include "keyreportcontroller.h"
#include "keyreportwindow.h"
#include "mainwindow.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString out = QString::fromLocal8Bit(argv[1]);
    const bool ir = argc > 2 && QByteArrayView(argv[2]) == "ir";

    MainWindow window;
    KeyReportController reports;
    KeyReportWindow::serve(reports);
    QWidget *shown = &window;
    if (ir) {
        for (const IrKeyMessage &m : {IrKeyMessage {PressKind::Short, 0x00, 0xFF, 0x12, 0xED},
                                      IrKeyMessage {PressKind::Short, 0x00, 0xFF, 0x18, 0xE7},
                                      IrKeyMessage {PressKind::Long, 0x00, 0xFF, 0x18, 0xE7}})
            reports.addReport(m);
        shown = qobject_cast<QWidget *>(reports.window());
    } else {
        window.show();
    }
    int result = 1;
    QTimer::singleShot(500, [&] {
        result = shown->grab().save(out) ? 0 : 1;
        app.quit();
    });
    app.exec();
    return result;
}
