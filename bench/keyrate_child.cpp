// One side of the key-rate benchmark, started by bench_keyrate with the pty's slave path:
//   console  the console's main window with that path as its port, opened as the operator
//            would; key reports fill the key report window
//   bare     a bare QSerialPort on the path whose every read sets a QLabel to the last byte
// Prints "ready" once the port is open, then runs until killed.
#include <QApplication>
#include <QLabel>
#include <QSerialPort>

#include <cstdio>
#include <cstring>

#include "hexbytetext.h"
#include "mainwindow.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[2]);
    if (std::strcmp(argv[1], "console") == 0) {
        auto *window = new MainWindow([path](int n) { return n == 1 ? path : QString(); });
        window->show();
        window->controller().choosePort(0);
        window->controller().openPort();
        if (!window->controller().serialPort().isOpen())
            return 1;
    } else {
        auto *port = new QSerialPort(path);
        port->setBaudRate(QSerialPort::Baud9600);
        if (!port->open(QIODevice::ReadWrite))
            return 1;
        auto *label = new QLabel(QStringLiteral("0x00"));
        label->resize(200, 40);
        label->show();
        QObject::connect(port, &QSerialPort::readyRead, label, [port, label] {
            const QByteArray bytes = port->readAll();
            if (!bytes.isEmpty())
                label->setText(hexByteText(static_cast<std::uint8_t>(bytes.back())));
        });
    }
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
