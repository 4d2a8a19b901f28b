// One side of the key-rate benchmark, started by bench_keyrate with the pty's slave path:
//   console  the console's main window with that path as its port, opened as the operator
//            would; key reports fill the key report window
//   bare     a bare QSerialPort on the path whose every read sets a QLabel to the last byte
// Prints "ready" once the port is open; a line on standard input makes it print how many
// reports it has taken in (rows of the key list, or bytes / 5), so the figures count only runs
// that kept up. Runs until killed.
#include <QApplication>
#include <QLabel>
#include <QSerialPort>
#include <QSocketNotifier>

#include <functional>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "hexbytetext.h"
#include "keyreportmodel.h"
#include "mainwindow.h"

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString path = QString::fromLocal8Bit(argv[2]);
    std::function<long()> received;
    if (std::strcmp(argv[1], "console") == 0) {
        auto *window = new MainWindow([path](int n) { return n == 1 ? path : QString(); });
        window->show();
        window->controller().choosePort(0);
        window->controller().openPort();
        if (!window->controller().serialPort().isOpen())
            return 1;
        received = [window] { return long(window->controller().keyReports().model()->rowCount()); };
    } else {
        auto *port = new QSerialPort(path);
        port->setBaudRate(QSerialPort::Baud9600);
        if (!port->open(QIODevice::ReadWrite))
            return 1;
        auto *label = new QLabel(QStringLiteral("0x00"));
        label->resize(200, 40);
        label->show();
        static long bytesIn = 0;
        QObject::connect(port, &QSerialPort::readyRead, label, [port, label] {
            const QByteArray bytes = port->readAll();
            bytesIn += bytes.size();
            if (!bytes.isEmpty())
                label->setText(hexByteText(static_cast<std::uint8_t>(bytes.back())));
        });
        received = [] { return bytesIn / 5; };
    }
    auto *input = new QSocketNotifier(0, QSocketNotifier::Read);
    QObject::connect(input, &QSocketNotifier::activated, [received] {
        char buf[64];
        if (::read(0, buf, sizeof buf) <= 0)
            return;
        std::printf("%ld\n", received());
        std::fflush(stdout);
    });
    std::puts("ready");
    std::fflush(stdout);
    return app.exec();
}
