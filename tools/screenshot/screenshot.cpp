// Renders a window as the operator sees it and saves it as a PNG:
//   xvfb-run -a build/tools/screenshot/screenshot docs/main-window.png
//   xvfb-run -a build/tools/screenshot/screenshot docs/ir-window.png ir
//   xvfb-run -a build/tools/screenshot/screenshot docs/main-window-dark.png dark
//   xvfb-run -a build/tools/screenshot/screenshot docs/ir-window-large.png ir large
// "dark" renders under a dark palette (Fusion style), as under a dark desktop theme: the byte
// fields take the theme's tooltip pair. "large" sets the application font to 1.5 times the
// default, as a larger desktop font does. tools/screenshots makes every picture in docs/.
// The main window lists the ports of the real Com table (none on a machine without serial
// ports); the key report window shows a few sample reports.
#include <QApplication>
#include <QPalette>
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
    bool ir = false, dark = false, large = false;
    for (int i = 2; i < argc; ++i) {
        const QByteArrayView word(argv[i]);
        if (word == "ir")
            ir = true;
        else if (word == "dark")
            dark = true;
        else if (word == "large")
            large = true;
        else
            return 2;
    }
    if (large) {
        QFont font = QApplication::font();
        font.setPointSizeF(font.pointSizeF() * 1.5);
        QApplication::setFont(font);
    }
    if (dark) {
        QApplication::setStyle(QStringLiteral("Fusion"));
        QPalette dark;
        dark.setColor(QPalette::Window, QColor(0x35, 0x35, 0x35));
        dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
        dark.setColor(QPalette::Base, QColor(0x24, 0x24, 0x24));
        dark.setColor(QPalette::AlternateBase, QColor(0x30, 0x30, 0x30));
        dark.setColor(QPalette::Text, QColor(0xee, 0xee, 0xee));
        dark.setColor(QPalette::Button, QColor(0x40, 0x40, 0x40));
        dark.setColor(QPalette::ButtonText, QColor(0xee, 0xee, 0xee));
        dark.setColor(QPalette::ToolTipBase, QColor(0x1e, 0x1e, 0x1e));
        dark.setColor(QPalette::ToolTipText, QColor(0xf0, 0xf0, 0xf0));
        dark.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
        dark.setColor(QPalette::HighlightedText, Qt::white);
        dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
        dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
        dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
        QApplication::setPalette(dark);
    }

    MainWindow window;
    QWidget *shown = &window;
    if (ir) {
        KeyReportController &reports = window.controller().keyReports();
        for (const IrKeyMessage &m : {IrKeyMessage {PressKind::Short, 0x00, 0xFF, 0x12, 0xED},
                                      IrKeyMessage {PressKind::Short, 0x00, 0xFF, 0x18, 0xE7},
                                      IrKeyMessage {PressKind::Long, 0x00, 0xFF, 0x18, 0xE7}})
            reports.addReport(m);
        shown = window.keyReportWindow();
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
