// A board through the broker beside a board on a local port, in one run:
//   - the console's controller: from send() until the command byte is on the board's line, on
//     a local port and through relay-mqtt and a real mosquitto on loopback (p50/p99);
//   - relayctl as whole processes: --device against --broker --board, for "on" and "read".
//
//   build/bench/bench_remote [commands per path, default 500]
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <cstdio>
#include <vector>

#include "benchutil.h"
#include "brokerboards.h"
#include "consolecontroller.h"
#include "mqttclient.h"
#include "mqttfixture.h"
#include "ptyrelayboard.h"

namespace {

// Sends `count` commands from the controller, alternating energise and release of CH1, each
// after the last one reached the board; the microseconds from send() to the byte on the line.
std::vector<double> sendToLine(ConsoleController &controller, PtyRelayBoard &board, int count)
{
    std::vector<double> micros;
    QElapsedTimer clock;
    bool arrived = false;
    std::uint8_t expected = 0;
    QObject context;
    QObject::connect(&board, &PtyRelayBoard::byteReceived, &context, [&](std::uint8_t b) {
        if (b == expected && !arrived) {
            micros.push_back(clock.nsecsElapsed() / 1000.0);
            arrived = true;
        }
    });
    controller.setChannel(0, true);
    for (int i = 0; i < count; ++i) {
        const bool on = i % 2 == 0;
        controller.chooseOperation(on ? 1 : 2); // energise, release
        expected = on ? 0x11 : 0x21;
        arrived = false;
        clock.start();
        controller.send();
        // Sleeping in the event loop until the byte comes: a spinning loop would take the CPU
        // the bridge and the broker need.
        QDeadlineTimer limit(5000);
        while (!arrived && !limit.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (!arrived) {
            std::fprintf(stderr, "bench_remote: command %d did not reach the line\n", i);
            break;
        }
        QTest::qWait(10); // an operator's pace, far below the line's
    }
    return micros;
}

// Whole relayctl runs: wall-clock milliseconds each.
std::vector<double> relayctlRuns(const QStringList &args, int count)
{
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer clock;
        clock.start();
        QProcess p;
        p.start(QStringLiteral(RELAYCTL), args);
        // The boards live in this process: the event loop runs while relayctl does.
        QDeadlineTimer limit(20000);
        while (p.state() != QProcess::NotRunning && !limit.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (p.state() != QProcess::NotRunning || p.exitCode() != 0) {
            std::fprintf(stderr, "bench_remote: relayctl %s failed: %s\n",
                         qPrintable(args.join(u' ')), p.readAllStandardError().constData());
            break;
        }
        ms.push_back(clock.nsecsElapsed() / 1e6);
    }
    return ms;
}

void print(const char *what, const std::vector<double> &sample, const char *unit)
{
    std::printf("  %-44s n=%4zu  p50 %8.2f %s  p99 %8.2f %s\n", what, sample.size(),
                percentile(sample, 50), unit, percentile(sample, 99), unit);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv); // the controller's key reports want no window, only the loop
    const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 500;

    PtyRelayBoard localBoard;
    ConsoleController local([&](int n) {
        return n == 3 ? localBoard.slavePath() : QStringLiteral("/nonexistent/%1").arg(n);
    });
    local.start();
    local.choosePort(0);
    local.openPort();
    if (local.portState() != ConsoleController::PortState::Opened) {
        std::fprintf(stderr, "bench_remote: the local port did not open\n");
        return 1;
    }

    TestBroker broker;
    PtyRelayBoard bridgedBoard;
    const QString address = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    BridgeProcess bridge(QStringLiteral(RELAY_MQTT),
                         {"--device", bridgedBoard.slavePath(), "--broker", address, "--id",
                          "bench", "--no-discovery"});
    MqttClient client;
    BrokerBoards boards(client, QStringLiteral("bench-remote"));
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = broker.port();
    settings.clientId = QStringLiteral("bench-remote");
    QString error;
    client.start(settings, &error);
    ConsoleController remote([](int n) { return QStringLiteral("/nonexistent/%1").arg(n); });
    remote.setBroker(&boards, address);
    remote.start();
    QStringList entries;
    QObject::connect(&remote, &ConsoleController::portsListed,
                     [&](const QStringList &e) { entries = e; });
    QDeadlineTimer limit(20000);
    while (!(boards.board(QStringLiteral("bench")) && boards.board(QStringLiteral("bench"))->online
             && boards.board(QStringLiteral("bench"))->state)
           && !limit.hasExpired())
        QTest::qWait(10);
    remote.choosePort(int(entries.indexOf(QStringLiteral("bench"))));
    remote.openPort();
    if (remote.portState() != ConsoleController::PortState::Opened) {
        std::fprintf(stderr, "bench_remote: the bridged board did not open\n%s",
                     qPrintable(bridge.log()));
        return 1;
    }
    QTest::qWait(300); // the link's subscriptions in place, the bridge's question answered

    std::printf("console: send() to the command byte on the line (%d commands each)\n", count);
    const auto localMicros = sendToLine(local, localBoard, count);
    const auto remoteMicros = sendToLine(remote, bridgedBoard, count);
    print("local port", localMicros, "us");
    print("through relay-mqtt and the broker", remoteMicros, "us");
    std::printf("  p99 difference: %.2f ms (goal: within 3 ms)\n",
                (percentile(remoteMicros, 99) - percentile(localMicros, 99)) / 1000.0);

    local.windowClosing();
    remote.windowClosing();
    const int runs = std::max(10, count / 10);
    std::printf("relayctl as whole processes (%d runs each)\n", runs);
    const QStringList byDevice {"--device", localBoard.slavePath()};
    const QStringList byBroker {"--broker", address, "--board", "bench"};
    print("relayctl --device on 1", relayctlRuns(byDevice + QStringList {"on", "1"}, runs), "ms");
    print("relayctl --broker --board on 1", relayctlRuns(byBroker + QStringList {"on", "1"}, runs),
          "ms");
    print("relayctl --device read", relayctlRuns(byDevice + QStringList {"read"}, runs), "ms");
    print("relayctl --broker --board read", relayctlRuns(byBroker + QStringList {"read"}, runs),
          "ms");
    return 0;
}
