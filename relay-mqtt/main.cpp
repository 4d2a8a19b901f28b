// relay-mqtt: the relay board on an MQTT broker, for home automation and for many boards on
// many machines. One line on stderr per event (the journal under systemd).
#include <QCoreApplication>
#include <QFileInfo>
#include <QSysInfo>

#include <csignal>
#include <cstdio>

#include "boardcontract.h"
#include "brokeroptions.h"
#include "brokertext.h"
#include "commandline.h"
#include "mqttclient.h"
#include "openresulttext.h"
#include "outsidetext.h"
#include "portkeeper.h"
#include "portwatcher.h"
#include "relaybridge.h"
#include "serialportservice.h"
#include "terminationsignals.h"

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "relay-mqtt: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char **argv)
{
    // A daemon with a few descriptors: Qt's own event dispatcher wakes for less than GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relay-mqtt"));
    std::signal(SIGPIPE, SIG_IGN);

    CommandLine cli(QStringLiteral("relay-mqtt"),
                    {QStringLiteral("(--port ComN | --device PATH) [--wait] [--broker ADDRESS] "
                                    "[--id ID] [--username NAME --password-file FILE] "
                                    "[--cafile FILE] [--cert FILE --key FILE] "
                                    "[--discovery-prefix PREFIX | --no-discovery] [--verbose]")});
    cli.setDescription(QStringLiteral(
        "Puts the relay board on an MQTT broker under relayboard/ID: chN/set (ON, OFF),\n"
        "chN/pulse (seconds 1..255, or PRESS), chN/pulse_length/set, refresh and command\n"
        "(the command's bytes, 0x15, or a request in JSON, answered) in; availability,\n"
        "state, bytes, reply, key and chN/pulse_length out; Home Assistant discovery. relayctl\n"
        "--broker and relay-console --broker drive the board through the broker."));
    cli.addPortOptions();
    cli.addOption({QStringLiteral("wait")}, {},
                  QStringLiteral("a port that is missing or held at start is waited for (offline "
                                 "on the broker until it opens) instead of an error"));
    cli.addBrokerOptions();
    cli.addOption({QStringLiteral("id")}, QStringLiteral("ID"),
                  QStringLiteral("the board's name on the broker, 1..64 of a-z 0-9 _ -; default "
                                 "the host name and the Com name (or the device's name), e.g. "
                                 "bench3-com5"));
    cli.addOption({QStringLiteral("discovery-prefix")}, QStringLiteral("PREFIX"),
                  QStringLiteral("where Home Assistant's discovery messages go (default "
                                 "homeassistant)"));
    cli.addOption({QStringLiteral("no-discovery")}, {}, QStringLiteral("no discovery messages"));
    cli.addOption({QStringLiteral("verbose")}, {},
                  QStringLiteral("a log line for every key report and reply, every attempt to "
                                 "reach the broker and every look at a port it waits for"));
    cli.setEpilogue(QStringLiteral(
        "Exit status: 0 stopped by a signal, 2 bad usage or a file that cannot be used,\n"
        "3 port held by another program, 4 any other failure to open the port (both\n"
        "without --wait), 6 the broker refused the credentials for good."));
    if (const auto end = cli.parse(app.arguments()))
        return *end;
    if (!cli.positionalArguments().isEmpty())
        return cli.usageError(QStringLiteral("unexpected argument '%1'")
                                  .arg(escapeOutsideText(cli.positionalArguments().first())));
    int status = Done;
    const auto port = cli.port(&status);
    if (!port)
        return status;
    if (!port->given())
        return cli.usageError(QStringLiteral("say which port: --port ComN or --device PATH"));
    auto mqtt = cli.broker(&status);
    if (!mqtt)
        return status;

    // The names on the broker.
    BridgeSettings bridge;
    bridge.verbose = cli.isSet(QStringLiteral("verbose"));
    if (cli.isSet(QStringLiteral("id"))) {
        bridge.id = cli.value(QStringLiteral("id"));
        if (!BoardContract::isValidId(bridge.id))
            return cli.usageError(QStringLiteral("--id takes 1..64 of a-z 0-9 _ -"));
    } else {
        const QString where = port->device.isEmpty() ? ComPorts::entryText(port->number)
                                                     : QFileInfo(port->device).fileName();
        bridge.id = BoardContract::defaultId(QSysInfo::machineHostName(), where);
    }
    if (cli.isSet(QStringLiteral("no-discovery")) && cli.isSet(QStringLiteral("discovery-prefix")))
        return cli.usageError(
            QStringLiteral("--discovery-prefix and --no-discovery exclude each other"));
    if (cli.isSet(QStringLiteral("no-discovery")))
        bridge.discoveryPrefix.clear();
    else if (cli.isSet(QStringLiteral("discovery-prefix")))
        bridge.discoveryPrefix = cli.value(QStringLiteral("discovery-prefix"));
    if (!cli.isSet(QStringLiteral("no-discovery"))
        && (bridge.discoveryPrefix.isEmpty() || bridge.discoveryPrefix.contains(QLatin1Char('+'))
            || bridge.discoveryPrefix.contains(QLatin1Char('#'))))
        return cli.usageError(QStringLiteral("--discovery-prefix takes a topic without + and #"));
    bridge.portName = port->name;
    const QString brokerName = brokerText(mqtt->host, mqtt->port);

    // From here on a termination signal ends the program through its own end.
    TerminationSignals terminations;
    SerialPortService serial(port->map);
    PortWatcher watcher(port->map);
    const bool waitForPort = cli.isSet(QStringLiteral("wait"));
    if (!waitForPort) {
        if (const OpenResult code = serial.openPort(port->number); code != OpenResult::Ok) {
            say(openFailureLine(bridge.portName, serial.lastCheck()));
            return code == OpenResult::PortInUse ? Busy : OpenError;
        }
    }
    PortKeeper keeper(serial, watcher, port->number, bridge.portName);
    keeper.setVerbose(bridge.verbose);

    MqttClient client;
    RelayBridge relay(serial, client, bridge);
    QObject::connect(&relay, &RelayBridge::logLine, &say);
    QObject::connect(&keeper, &PortKeeper::logLine, &say);
    mqtt->clientId = QStringLiteral("relay-mqtt-") + bridge.id;
    mqtt->willTopic = relay.availabilityTopic();
    mqtt->willPayload = "offline";

    QObject::connect(&client, &MqttClient::refused, [&](int, const QString &reason) {
        say(brokerRefusedLine(brokerName, mqtt->username, reason)
            + QStringLiteral("; not trying again"));
        status = BrokerRefused;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &MqttClient::connectionFailed,
                     [&](const MqttClient::Failure &failure, int retryMs, bool wasConnected) {
                         say(brokerFailureLine(brokerName, failure, wasConnected)
                             + QStringLiteral("; trying again in %1 s, then up to every %2 s")
                                   .arg(retryMs / 1000)
                                   .arg(MqttClient::lastRetryMs / 1000));
                     });
    int attempts = 0;
    QObject::connect(&client, &MqttClient::stateChanged, [&](MqttClient::State state) {
        // A failure that repeats is said once; --verbose shows that the attempts go on.
        if (state == MqttClient::State::Connecting && ++attempts > 1 && bridge.verbose)
            say(QStringLiteral("trying the broker %1 again (attempt %2)")
                    .arg(brokerName)
                    .arg(attempts));
    });
    QObject::connect(&client, &MqttClient::publishDenied,
                     [&](const QString &topic, const QString &reason) {
                         say(QStringLiteral("the broker does not take %1 from this client: %2; "
                                            "check its access list")
                                 .arg(escapeOutsideText(topic), reason));
                     });
    QObject::connect(&client, &MqttClient::subscriptionDenied,
                     [&](const QString &pattern, const QString &reason) {
                         say(QStringLiteral("the broker does not grant the subscription to %1: "
                                            "%2; check its access list")
                                 .arg(escapeOutsideText(pattern), reason));
                     });
    QObject::connect(&serial, &SerialPortService::deviceLost, [&] {
        say(QStringLiteral("%1: the device went away; offline until it is back")
                .arg(bridge.portName));
        relay.portLost();
        keeper.keepOpen();
    });
    QObject::connect(&keeper, &PortKeeper::opened, [&] {
        say(QStringLiteral("%1 open; online").arg(bridge.portName));
        relay.portOpened();
    });
    QObject::connect(&terminations, &TerminationSignals::received,
                     [&] { QCoreApplication::quit(); });

    say(QStringLiteral("%1%2; connecting to the broker %3 as %4")
            .arg(bridge.portName,
                 serial.isOpen() ? QStringLiteral(" open") : QStringLiteral(" not open yet"),
                 brokerName, bridge.id));
    QString error;
    if (!client.start(*mqtt, &error)) {
        say(brokerStartFailedLine(brokerName, error));
        return Usage;
    }
    if (serial.isOpen())
        relay.portOpened();
    else
        keeper.keepOpen();
    QCoreApplication::exec();

    // The last word: offline, kept by the broker; then the port and its locks go.
    client.finish(relay.availabilityTopic(), "offline", 2000);
    serial.close();
    if (status == Done)
        say(QStringLiteral("stopped"));
    return status;
}
