// Figures of the running console, each beside its baseline in the same run:
//   latency     board byte on a pty -> txtByteRcv repainted, against a bare QSerialPort ->
//               QLabel in the same process, alternated byte by byte
//   startup     process start -> main window exposed, against an empty window of the same size,
//               alternated run by run (needs a display: xvfb-run -a build/bench/bench_console)
//   idle        event-loop wake-ups per second with the port open and quiet
//   throughput  bytes per second through the decoder, and through pty + receive handler + windows
//
//   build/bench/bench_console [latency|startup|idle|throughput]...   (default: all)
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "benchutil.h"
#include "hexbytetext.h"
#include "mainwindow.h"
#include "rawpty.h"
#include "receivedecoder.h"

extern char **environ;

namespace {

using Pty = RawPty;

void spin(int ms)
{
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(ms);
    loop.exec();
}

// Ends a wait when a widget paints the text it was told to expect.
class PaintWatch : public QObject
{
public:
    QWidget *target = nullptr;
    QString expected;
    QEventLoop *loop = nullptr;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && watched == target && loop) {
            const QString text = qobject_cast<QLineEdit *>(target)
                ? static_cast<QLineEdit *>(target)->text()
                : static_cast<QLabel *>(target)->text();
            if (text == expected) {
                loop->quit();
                loop = nullptr;
            }
        }
        return false;
    }
};

std::unique_ptr<MainWindow> consoleOn(const Pty &pty)
{
    auto window = std::make_unique<MainWindow>([path = pty.slavePath()](int n) {
        return n == 1 ? path : QStringLiteral("/nonexistent/%1").arg(n);
    });
    window->show();
    window->findChild<QComboBox *>(QStringLiteral("cboPort"))->setCurrentIndex(0);
    window->controller().openPort();
    return window;
}

// A bare QSerialPort whose bytes go straight into a text widget of its own window.
struct BareReceiver
{
    Pty pty;
    QWidget window;
    QWidget *text;
    QSerialPort port;
    template<typename W>
    BareReceiver(W *widget, QRect place)
        : text(widget)
    {
        widget->setParent(&window);
        widget->setGeometry(place);
        window.resize(120, 40);
        window.show();
        port.setPortName(pty.slavePath());
        port.setBaudRate(9600);
        port.open(QIODevice::ReadWrite);
        QObject::connect(&port, &QSerialPort::readyRead, widget, [this, widget] {
            const QByteArray got = port.readAll();
            if (!got.isEmpty())
                widget->setText(hexByteText(static_cast<std::uint8_t>(got.back())));
        });
    }
};

void latency()
{
    constexpr int bytes = 2000;
    constexpr int warmUp = 100; // first bytes of each path: caches, first layouts; not counted
    Pty ours;
    auto console = consoleOn(ours);
    auto *field = console->findChild<QLineEdit *>(QStringLiteral("txtByteRcv"));
    // The baseline, and beside it the same with the kind of widget the console's field is.
    BareReceiver label(new QLabel(QStringLiteral("0x00")), QRect(10, 10, 100, 20));
    auto *edit = new QLineEdit(QStringLiteral("0x00"));
    edit->setReadOnly(true);
    BareReceiver lineEdit(edit, QRect(10, 10, 41, 19));
    if (!label.port.isOpen() || !lineEdit.port.isOpen()) {
        std::printf("latency: cannot open the baseline ports\n");
        return;
    }
    spin(200);

    struct Path
    {
        int master;
        QWidget *text;
        std::vector<double> us;
    };
    Path paths[] = {{ours.master(), field, {}},
                    {label.pty.master(), label.text, {}},
                    {lineEdit.pty.master(), lineEdit.text, {}}};
    PaintWatch watch;
    for (Path &p : paths)
        p.text->installEventFilter(&watch);
    int value = 1;
    for (int i = 0; i < 3 * (bytes + warmUp); ++i) {
        // Every byte differs from the last, and none is a key report marker.
        do
            value = (value + 1) % 256;
        while (value == 0x53 || value == 0x4C);
        Path &path = paths[i % 3];
        watch.target = path.text;
        watch.expected = hexByteText(static_cast<std::uint8_t>(value));
        QEventLoop loop;
        watch.loop = &loop;
        QTimer giveUp; // dies with this step, so no stray timeouts wake the loop later
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);
        giveUp.start(1000);
        const char b = static_cast<char>(value);
        QElapsedTimer t;
        t.start();
        if (::write(path.master, &b, 1) != 1)
            break;
        loop.exec();
        if (i >= 3 * warmUp)
            path.us.push_back(t.nsecsElapsed() / 1000.0);
        spin(5);
    }
    const auto &c = paths[0].us;
    std::printf("reply latency, %d bytes each, alternated, pty write -> repainted text:\n", bytes);
    std::printf("  console                         p50 %7.1f us  p99 %7.1f us\n", percentile(c, 50),
                percentile(c, 99));
    const char *names[] = {"", "baseline: QSerialPort -> QLabel", "QSerialPort -> QLineEdit"};
    for (int k = 1; k < 3; ++k) {
        const auto &b = paths[k].us;
        std::printf("  %-31s p50 %7.1f us  p99 %7.1f us   console/this p50 %.2f p99 %.2f\n",
                    names[k], percentile(b, 50), percentile(b, 99),
                    percentile(c, 50) / percentile(b, 50), percentile(c, 99) / percentile(b, 99));
    }
}

// One start of startup_child; milliseconds from spawn to its "shown" line.
double startOnce(const char *child, const char *what, QString *detail)
{
    int out[2];
    if (::pipe(out) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char *const argv[] = {const_cast<char *>(child), const_cast<char *>(what), nullptr};
    QElapsedTimer t;
    t.start();
    pid_t pid = -1;
    if (posix_spawn(&pid, child, &actions, nullptr, argv, environ) != 0)
        return -1;
    ::close(out[1]);
    char line[256] = {};
    ssize_t n = 0, got = 0;
    while (got < ssize_t(sizeof line) - 1
           && (n = ::read(out[0], line + got, sizeof line - 1 - got)) > 0) {
        got += n;
        if (std::memchr(line, '\n', got))
            break;
    }
    const double elapsed = t.nsecsElapsed() / 1e6;
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (detail)
        *detail = QString::fromLocal8Bit(line).trimmed();
    return std::strncmp(line, "shown", 5) == 0 ? elapsed : -1;
}

void startup()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        std::printf("startup: needs a display; run under xvfb-run -a\n");
        return;
    }
    const QByteArray child
        = (QCoreApplication::applicationDirPath() + QStringLiteral("/startup_child")).toLocal8Bit();
    constexpr int runs = 20;
    std::vector<double> console, empty;
    std::vector<double> app, window, exposed;
    startOnce(child.constData(), "console", nullptr); // warm the file cache for both
    startOnce(child.constData(), "empty", nullptr);
    for (int i = 0; i < runs; ++i) {
        QString detail;
        const double c = startOnce(child.constData(), "console", &detail);
        const double e = startOnce(child.constData(), "empty", nullptr);
        if (c < 0 || e < 0) {
            std::printf("startup: a run failed (%s)\n", qPrintable(detail));
            return;
        }
        console.push_back(c);
        empty.push_back(e);
        const QStringList f = detail.split(QLatin1Char(' '));
        if (f.size() == 7) {
            app.push_back(f[2].toDouble());
            window.push_back(f[4].toDouble() - f[2].toDouble());
            exposed.push_back(f[6].toDouble() - f[4].toDouble());
        }
    }
    std::printf("start-up, %d runs each, alternated, process spawn -> window exposed:\n", runs);
    std::printf("  console   median %6.1f ms  (in main: QApplication %.1f, window built %.1f,"
                " shown to exposed %.1f)\n",
                percentile(console, 50), percentile(app, 50), percentile(window, 50),
                percentile(exposed, 50));
    std::printf("  empty     median %6.1f ms\n", percentile(empty, 50));
    std::vector<double> probe;
    for (int i = 0; i < runs; ++i) {
        SerialPortService service;
        QElapsedTimer t;
        t.start();
        service.scanPorts();
        probe.push_back(t.nsecsElapsed() / 1e6);
    }
    std::printf("  of which the port probe of Com1..Com16 on this machine: median %.2f ms\n",
                percentile(probe, 50));
    std::printf("  ratio     %.2f\n", percentile(console, 50) / percentile(empty, 50));
}

void idle()
{
    auto *dispatcher = QAbstractEventDispatcher::instance();
    int wakeups = 0;
    const auto connection
        = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, [&] { ++wakeups; });
    auto count = [&](int seconds) {
        wakeups = 0;
        QElapsedTimer t;
        t.start();
        // Sleep in the event loop itself, as the program does; only the end timer should wake it.
        spin(seconds * 1000);
        return (wakeups - 1) / (t.nsecsElapsed() / 1e9);
    };
    const double nothing = count(10);
    Pty pty;
    auto console = consoleOn(pty);
    spin(500); // let the first paint and the port's start-up settle
    const double open = count(10);
    std::printf(
        "idle, 10 s each, event-loop wake-ups per second (excluding the end of the count):\n");
    std::printf("  bare event loop            %.2f /s\n", nothing);
    std::printf("  console, port open, quiet  %.2f /s   (Timer1 %s)\n", open,
                console->controller().chaser().timer().isActive() ? "running" : "stopped");
    QObject::disconnect(connection);
}

void throughput()
{
    QByteArray noise(4 << 20, Qt::Uninitialized);
    QRandomGenerator random(7);
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);

    ReceiveDecoder decoder;
    int reports = 0, lastReply = -1;
    QElapsedTimer t;
    t.start();
    for (int round = 0; round < 8; ++round) {
        for (const char c : noise) {
            const DecodeResult r = decoder.onReceive(static_cast<std::uint8_t>(c));
            reports += r.kind == DecodeResult::Kind::KeyMessage;
            if (r.kind == DecodeResult::Kind::ReplyByte)
                lastReply = r.replyByte;
        }
    }
    const double decoderRate = 8.0 * noise.size() / (t.nsecsElapsed() / 1e9);
    reports /= 8;

    Pty pty;
    auto console = consoleOn(pty);
    spin(100);
    t.start();
    qsizetype sent = 0;
    auto rows = [&] { return console->controller().keyReports().model()->rowCount(); };
    auto *field = console->findChild<QLineEdit *>(QStringLiteral("txtByteRcv"));
    const QString last = hexByteText(static_cast<std::uint8_t>(lastReply));
    while (sent < noise.size() || rows() < reports || field->text() != last
           || console->controller().serialPort().bytesAvailable() > 0) {
        if (sent < noise.size()) {
            const ssize_t n = ::write(pty.master(), noise.constData() + sent, noise.size() - sent);
            if (n > 0)
                sent += n;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (t.elapsed() > 120'000)
            break;
    }
    const double handlerRate = noise.size() / (t.nsecsElapsed() / 1e9);
    std::printf("byte path, random bytes (%d key reports per 4 MiB):\n", reports);
    std::printf(
        "  decoder alone                          %12.0f B/s  (%.0f x the line's 960 B/s)\n",
        decoderRate, decoderRate / 960);
    std::printf(
        "  pty -> receive handler -> both windows %12.0f B/s  (%.0f x the line's 960 B/s)\n",
        handlerRate, handlerRate / 960);
}

} // namespace

int main(int argc, char **argv)
{
    // The windows of this process stay off screen; start-up children use the real display.
    const QByteArray display = qgetenv("QT_QPA_PLATFORM");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (display.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", display);

    QStringList parts = app.arguments().mid(1);
    if (parts.isEmpty())
        parts = {"latency", "startup", "idle", "throughput"};
    for (const QString &part : parts) {
        if (part == QLatin1String("latency"))
            latency();
        else if (part == QLatin1String("startup"))
            startup();
        else if (part == QLatin1String("idle"))
            idle();
        else if (part == QLatin1String("throughput"))
            throughput();
        else
            std::printf("unknown part %s\n", qPrintable(part));
        std::fflush(stdout);
    }
    return 0;
}
