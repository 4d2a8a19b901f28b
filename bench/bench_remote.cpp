// A board through the broker beside a board on a local port, in one run:
//   - the console's controller: from send() until the command byte is on the board's line, on
//     a local port, through relay-mqtt and a real mosquitto on loopback, and through a second
//     mosquitto joined to the first by mosquitto's bridge (MQTT 3.1.1 between them) (p50/p99);
//   - relayctl as whole processes: --device against --broker --board, for "on" and "read";
//   - relayctl boards and --board ID on 1 with 10, 100, 1,000 and 10,000 retained boards.
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

// Opens the board's entry and waits until the link is open (the broker and the board's bridge
// answered).
bool openBoard(ConsoleController &controller, const QStringList &entries)
{
    QDeadlineTimer limit(20000);
    while (!entries.contains(QStringLiteral("bench")) && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    controller.choosePort(int(entries.indexOf(QStringLiteral("bench"))));
    controller.openPort();
    while (controller.portState() != ConsoleController::PortState::Opened && !limit.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    return controller.portState() == ConsoleController::PortState::Opened;
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

    // Both brokers as the README advises: without Nagle's algorithm on their connections (the
    // bridge's among them).
    BrokerConfig homeConfig;
    homeConfig.tail = "set_tcp_nodelay true\n";
    TestBroker broker(homeConfig);
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
    if (!openBoard(remote, entries)) {
        std::fprintf(stderr, "bench_remote: the bridged board did not open\n%s",
                     qPrintable(bridge.log()));
        return 1;
    }

    std::printf("console: send() to the command byte on the line (%d commands each)\n", count);
    const auto localMicros = sendToLine(local, localBoard, count);
    const auto remoteMicros = sendToLine(remote, bridgedBoard, count);

    // The same board from a second broker, bridged to the first.
    BrokerConfig farConfig;
    farConfig.tail = "set_tcp_nodelay true\n" + bridgeTo(broker.port(), "mqttv311");
    TestBroker far(farConfig);
    MqttClient farClient;
    BrokerBoards farBoards(farClient, QStringLiteral("bench-far"));
    settings.port = far.port();
    settings.clientId = QStringLiteral("bench-far");
    farClient.start(settings, &error);
    ConsoleController bridged([](int n) { return QStringLiteral("/nonexistent/%1").arg(n); });
    bridged.setBroker(&farBoards, QStringLiteral("127.0.0.1:%1").arg(far.port()));
    bridged.start();
    QStringList farEntries;
    QObject::connect(&bridged, &ConsoleController::portsListed,
                     [&](const QStringList &e) { farEntries = e; });
    limit = QDeadlineTimer(20000);
    while (!(farBoards.board(QStringLiteral("bench"))
             && farBoards.board(QStringLiteral("bench"))->online)
           && !limit.hasExpired())
        QTest::qWait(10);
    if (!openBoard(bridged, farEntries)) {
        std::fprintf(stderr, "bench_remote: the board did not open across the bridge\n");
        return 1;
    }

    const auto bridgedMicros = sendToLine(bridged, bridgedBoard, count);
    print("local port", localMicros, "us");
    print("through relay-mqtt and the broker", remoteMicros, "us");
    print("through two brokers joined by a bridge", bridgedMicros, "us");
    std::printf("  p99 difference, one broker to the local port: %.2f ms (goal: within 3 ms)\n",
                (percentile(remoteMicros, 99) - percentile(localMicros, 99)) / 1000.0);
    std::printf("  p99 difference, bridged to one broker: %.2f ms (goal: within 3 ms)\n",
                (percentile(bridgedMicros, 99) - percentile(remoteMicros, 99)) / 1000.0);

    local.windowClosing();
    remote.windowClosing();
    bridged.windowClosing();
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

    std::printf("relayctl with many retained boards on the broker (%d runs each)\n", runs);
    int published = 0;
    double onWithFew = 0;
    for (const int total : {10, 100, 1000, 10000}) {
        for (; published < total; ++published) {
            const QString id = QStringLiteral("many%1").arg(published, 5, 10, QLatin1Char('0'));
            client.publish(BoardContract::topic(id, BoardContract::Leaf::Availability), "online",
                           true);
            client.publish(BoardContract::topic(id, BoardContract::Leaf::State),
                           BoardContract::stateJson(std::uint8_t(published & 15)), true);
            while (client.unacknowledged() > 500)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        while (client.unacknowledged() > 0)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const auto list = relayctlRuns({"--broker", address, "boards"}, runs);
        const auto on = relayctlRuns(byBroker + QStringList {"on", "1"}, runs);
        if (onWithFew == 0)
            onWithFew = percentile(on, 50);
        char what[64];
        std::snprintf(what, sizeof what, "boards, %d boards", total);
        print(what, list, "ms");
        std::snprintf(what, sizeof what, "--board bench on 1, %d boards", total);
        print(what, on, "ms");
        std::printf("  --board bench on 1: %.2fx the time with 10 boards (goal: within 1.5x)\n",
                    percentile(on, 50) / onWithFew);
    }
    return 0;
}
