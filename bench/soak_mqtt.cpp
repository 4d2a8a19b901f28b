// relay-mqtt left running through bad days, for N minutes (default 10): a real mosquitto
// restarted every ~20 s, the simulated board unplugged and plugged in again every ~30 s, and a
// client publishing commands at 20 a second whenever broker, bridge and port are all up. At the
// end it prints the commands published against the commands on the line (none lost, none
// extra, in order), the bridge's reconnects, and its resident memory and open descriptors at
// the start and the end.
//
//   build/bench/soak_mqtt [minutes]
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

#include "commandencoder.h"
#include "mqttclient.h"
#include "mqttfixture.h"
#include "ptyrelayboard.h"

namespace {

void runFor(int msecs)
{
    QTest::qWait(msecs);
}

bool waitUntil(const std::function<bool()> &done, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!done() && !deadline.hasExpired())
        QTest::qWait(10);
    return done();
}

// Resident memory (kB) and open descriptors of a process.
std::pair<long, int> footprint(qint64 pid)
{
    long rss = -1;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                rss = line.mid(6).trimmed().split(' ').first().toLong();
        }
    }
    const int fds = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                            .size());
    return {rss, fds};
}

QByteArray commandBytes(int index)
{
    CommandSelection selection;
    selection.operation = index % 2 ? RelayOperation::Release : RelayOperation::Energise;
    selection.channelFlags[(index / 2) % 4] = 1;
    CommandEncoder encoder;
    encoder.compose(selection);
    return encoder.bytes();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10;
    const QString bridgePath = QStringLiteral(RELAY_MQTT);

    TestBroker broker;
    if (!broker.isRunning()) {
        std::fprintf(stderr, "soak_mqtt: mosquitto did not start\n");
        return 1;
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyUSB9"));
    QByteArray wire; // command bytes on the line, the bridge's own state questions left out
    std::unique_ptr<PtyRelayBoard> board;
    const auto plugIn = [&] {
        board = std::make_unique<PtyRelayBoard>([] { return RelayBoardModel::Millis(0); });
        QObject::connect(board.get(), &PtyRelayBoard::byteReceived, [&wire](std::uint8_t b) {
            if (b != 0x30)
                wire.append(char(b));
        });
        board->link(path);
    };
    plugIn();

    QProcess bridge;
    const QString log = dir.filePath(QStringLiteral("bridge.log"));
    bridge.setStandardErrorFile(log);
    bridge.start(bridgePath,
                 {QStringLiteral("--device"), path, QStringLiteral("--broker"),
                  QStringLiteral("127.0.0.1:%1").arg(broker.port()), QStringLiteral("--id"),
                  QStringLiteral("soak"), QStringLiteral("--wait")});
    if (!bridge.waitForStarted()) {
        std::fprintf(stderr, "soak_mqtt: %s does not start\n", qPrintable(bridgePath));
        return 1;
    }

    // The commanding client: the project's own, which reconnects by itself.
    MqttClient commander;
    bool online = false;
    QObject::connect(&commander, &MqttClient::connected,
                     [&] { commander.subscribe(QStringLiteral("relayboard/soak/availability")); });
    QObject::connect(&commander, &MqttClient::connectionFailed, [&] { online = false; });
    QObject::connect(&commander, &MqttClient::messageArrived,
                     [&](const BrokerMessage &message) { online = message.payload == "online"; });
    MqttSettings settings;
    settings.host = QStringLiteral("127.0.0.1");
    settings.port = broker.port();
    settings.clientId = QStringLiteral("soak-commander");
    QString error;
    if (!commander.start(settings, &error)) {
        std::fprintf(stderr, "soak_mqtt: %s\n", qPrintable(error));
        return 1;
    }
    if (!waitUntil([&] { return online && commander.isConnected(); }, 30000)) {
        std::fprintf(stderr, "soak_mqtt: the bridge did not come online\n");
        return 1;
    }
    runFor(1000);
    const auto [rssStart, fdsStart] = footprint(bridge.processId());

    QByteArray published;
    int commands = 0, brokerRestarts = 0, unplugs = 0;
    QElapsedTimer clock;
    clock.start();
    const qint64 end = qint64(minutes * 60000);
    qint64 nextRestart = 20000, nextUnplug = 30000, nextCommand = 0;
    const auto settle = [&] {
        // Publishing resumes once everything is back, and a moment after.
        waitUntil([&] { return online && commander.isConnected(); }, 120000);
        runFor(500);
    };
    while (clock.elapsed() < end) {
        const qint64 now = clock.elapsed();
        if (now >= nextRestart) {
            runFor(500); // what was published is delivered first
            broker.stop();
            online = false;
            runFor(1000);
            broker.start();
            ++brokerRestarts;
            settle();
            nextRestart = clock.elapsed() + 20000;
            continue;
        }
        if (now >= nextUnplug) {
            runFor(500);
            board.reset();
            waitUntil([&] { return !online; }, 30000);
            runFor(1000);
            plugIn();
            ++unplugs;
            settle();
            nextUnplug = clock.elapsed() + 30000;
            continue;
        }
        if (now >= nextCommand && online && commander.isConnected()) {
            const QByteArray bytes = commandBytes(commands);
            const char *payload = commands % 2 ? "OFF" : "ON";
            if (commander.publish(
                    QStringLiteral("relayboard/soak/ch%1/set").arg((commands / 2) % 4 + 1), payload,
                    false)) {
                published += bytes;
                ++commands;
            }
            nextCommand = now + 50;
        }
        QTest::qWait(5);
    }
    waitUntil([&] { return wire.size() >= published.size(); }, 10000);
    runFor(1000);
    const auto [rssEnd, fdsEnd] = footprint(bridge.processId());

    int missing = 0, extra = 0;
    bool inOrder = wire == published;
    if (!inOrder) {
        // How far the two differ: bytes of the published sequence not found in order on the line.
        int w = 0;
        for (const char c : published) {
            int at = int(wire.indexOf(c, w));
            if (at < 0)
                ++missing;
            else {
                extra += at - w;
                w = at + 1;
            }
        }
        extra += int(wire.size()) - w;
    }
    QFile logFile(log);
    logFile.open(QIODevice::ReadOnly);
    const QByteArray lines = logFile.readAll();
    const int connects = int(lines.count("connected to the broker"));

    std::printf("relay-mqtt soak: %.1f min, broker restarted %d times, board unplugged %d times\n",
                double(clock.elapsed()) / 60000, brokerRestarts, unplugs);
    std::printf("  commands published while broker, bridge and port were up: %d\n", commands);
    std::printf("  commands on the line: %lld (%s; %d missing, %d extra)\n",
                static_cast<long long>(wire.size()), inOrder ? "the same, in order" : "DIFFERENT",
                missing, extra);
    std::printf("  bridge reconnects to the broker: %d\n", connects - 1);
    std::printf("  bridge resident memory: %ld kB at start, %ld kB at end\n", rssStart, rssEnd);
    std::printf("  bridge open descriptors: %d at start, %d at end\n", fdsStart, fdsEnd);
    bridge.terminate();
    bridge.waitForFinished(10000);
    return inOrder ? 0 : 1;
}
