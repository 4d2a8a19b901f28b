// relay-mqtt: the relay board on an MQTT broker, for home automation and for many boards on
// many machines. One line on stderr per event (the journal under systemd).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <csignal>
#include <cstdio>

#include "brokeroptions.h"
#include "mqttclient.h"
#include "openresulttext.h"
#include "portkeeper.h"
#include "portwatcher.h"
#include "relaybridge.h"
#include "serialportservice.h"
#include "terminationsignals.h"
#include "version.h"
#include "outsidetext.h"

namespace {

enum Exit {
    Done = 0,
    Usage = 2,
    Busy = 3,
    OpenError = 4,
    BrokerRefused = 6, // for good: credentials, authorisation
};

const char usageText[]
    = "Usage: relay-mqtt (--port ComN | --device PATH) [--wait] [--broker ADDRESS] [--id ID]\n"
      "                  [--username NAME --password-file FILE]\n"
      "                  [--cafile FILE] [--cert FILE --key FILE]\n"
      "                  [--discovery-prefix PREFIX | --no-discovery] [--verbose]\n"
      "relay-mqtt -h | --help | -V | --version\n"
      "\n"
      "Puts the relay board on an MQTT broker under relayboard/ID: chN/set (ON, OFF),\n"
      "chN/pulse (seconds 1..255, or PRESS), chN/pulse_length/set and refresh in;\n"
      "availability, state, reply, key and chN/pulse_length out; Home Assistant discovery\n"
      "under PREFIX (default homeassistant).\n"
      "ADDRESS: HOST, HOST:PORT, [IPV6]:PORT, IPV6, mqtt://HOST[:PORT] or mqtts://HOST[:PORT]\n"
      "(TLS; the system's CA store unless --cafile). Default localhost:1883 (8883 with TLS).\n"
      "--cafile, --cert and --key also mean TLS. ID: a-z 0-9 _ -; default the host name and\n"
      "the Com name (or the device's name), e.g. bench3-com5.\n"
      "--wait: a port that is missing or held at start is waited for, not an error.\n"
      "Exit status: 0 stopped by a signal, 2 bad usage or a file that cannot be used,\n"
      "3 port held by another program, 4 any other failure to open the port,\n"
      "6 the broker refused the credentials for good.\n";

void say(const QString &text)
{
    std::fprintf(stderr, "relay-mqtt: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

int usageError(const QString &what)
{
    say(QStringLiteral("%1; see relay-mqtt --help").arg(what));
    return Usage;
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

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")}, {});
    const QCommandLineOption portOption(QStringLiteral("port"), {}, QStringLiteral("ComN"));
    const QCommandLineOption deviceOption(QStringLiteral("device"), {}, QStringLiteral("PATH"));
    const QCommandLineOption waitOption(QStringLiteral("wait"), {});
    const QCommandLineOption brokerOption(QStringLiteral("broker"), {}, QStringLiteral("ADDRESS"));
    const QCommandLineOption idOption(QStringLiteral("id"), {}, QStringLiteral("ID"));
    const QCommandLineOption userOption(QStringLiteral("username"), {}, QStringLiteral("NAME"));
    const QCommandLineOption passwordOption(QStringLiteral("password-file"), {},
                                            QStringLiteral("FILE"));
    const QCommandLineOption caOption(QStringLiteral("cafile"), {}, QStringLiteral("FILE"));
    const QCommandLineOption certOption(QStringLiteral("cert"), {}, QStringLiteral("FILE"));
    const QCommandLineOption keyOption(QStringLiteral("key"), {}, QStringLiteral("FILE"));
    const QCommandLineOption prefixOption(QStringLiteral("discovery-prefix"), {},
                                          QStringLiteral("PREFIX"));
    const QCommandLineOption noDiscovery(QStringLiteral("no-discovery"), {});
    const QCommandLineOption verbose(QStringLiteral("verbose"), {});
    parser.addOptions({help, version, portOption, deviceOption, waitOption, brokerOption, idOption,
                       userOption, passwordOption, caOption, certOption, keyOption, prefixOption,
                       noDiscovery, verbose});
    if (!parser.parse(app.arguments()))
        return usageError(escapeOutsideText(parser.errorText()));
    if (parser.isSet(help)) {
        std::fputs(usageText, stdout);
        return Done;
    }
    if (parser.isSet(version)) {
        std::printf("relay-mqtt %s\n", RELAY_CONSOLE_VERSION);
        return Done;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument '%1'")
                              .arg(escapeOutsideText(parser.positionalArguments().first())));

    // The port.
    if (parser.values(portOption).size() + parser.values(deviceOption).size() != 1)
        return usageError(QStringLiteral("say which port, once: --port ComN or --device PATH"));
    int com = 0;
    QString device = parser.value(deviceOption);
    if (parser.isSet(portOption)) {
        const QString v = parser.value(portOption);
        com = ComPorts::numberFromName(v);
        if (com == 0)
            return usageError(QStringLiteral("port '%1' is not one of Com1..Com16")
                                  .arg(escapeOutsideText(v)));
    } else if (device.isEmpty()) {
        return usageError(QStringLiteral("--device needs a path"));
    }
    const ComPorts::PortMap map = device.isEmpty()
        ? ComPorts::PortMap(ComPorts::device)
        : [device](int) { return device; };
    const int number = device.isEmpty() ? com : 1;

    // The broker.
    MqttSettings mqtt;
    if (parser.isSet(brokerOption)) {
        const auto address = parseBrokerAddress(parser.value(brokerOption));
        if (!address)
            return usageError(QStringLiteral("--broker '%1' is none of HOST, HOST:PORT, "
                                             "[IPV6]:PORT, IPV6, mqtt://HOST[:PORT], "
                                             "mqtts://HOST[:PORT] (PORT 1..65535)")
                                  .arg(escapeOutsideText(parser.value(brokerOption))));
        mqtt.host = address->host;
        mqtt.port = address->port;
        mqtt.tls = address->tls;
        if (address->plainAsked
            && (parser.isSet(caOption) || parser.isSet(certOption) || parser.isSet(keyOption)))
            return usageError(QStringLiteral("mqtt:// is a plain connection; TLS options go with "
                                             "mqtts://"));
    }
    if (parser.isSet(certOption) != parser.isSet(keyOption))
        return usageError(QStringLiteral("--cert and --key go together"));
    mqtt.caFile = parser.value(caOption);
    mqtt.certFile = parser.value(certOption);
    mqtt.keyFile = parser.value(keyOption);
    if (parser.isSet(caOption) || parser.isSet(certOption))
        mqtt.tls = true;
    if (mqtt.port == 0)
        mqtt.port = mqtt.tls ? 8883 : 1883;
    if (parser.isSet(passwordOption) && !parser.isSet(userOption))
        return usageError(QStringLiteral("--password-file goes with --username"));
    mqtt.username = parser.value(userOption);
    if (parser.isSet(passwordOption)) {
        // From a file, so that it shows in no process list and no shell history.
        QString error, warning;
        if (!readPasswordFile(parser.value(passwordOption), &mqtt.password, &error, &warning))
            return usageError(error);
        if (!warning.isEmpty())
            say(warning);
    }
    if (mqtt.tls) {
        if (const QString problem = tlsFilesProblem(mqtt.caFile, mqtt.certFile, mqtt.keyFile);
            !problem.isEmpty())
            return usageError(problem);
    }

    // The names on the broker.
    BridgeSettings bridge;
    bridge.verbose = parser.isSet(verbose);
    if (parser.isSet(idOption)) {
        bridge.id = parser.value(idOption);
        if (!RelayBridge::isValidId(bridge.id))
            return usageError(QStringLiteral("--id takes 1..64 of a-z 0-9 _ -"));
    } else {
        const QString where
            = device.isEmpty() ? ComPorts::entryText(com) : QFileInfo(device).fileName();
        bridge.id
            = RelayBridge::sanitizedId(QSysInfo::machineHostName() + QLatin1Char('-') + where);
    }
    if (parser.isSet(noDiscovery) && parser.isSet(prefixOption))
        return usageError(
            QStringLiteral("--discovery-prefix and --no-discovery exclude each other"));
    if (parser.isSet(noDiscovery))
        bridge.discoveryPrefix.clear();
    else if (parser.isSet(prefixOption))
        bridge.discoveryPrefix = parser.value(prefixOption);
    if (!parser.isSet(noDiscovery)
        && (bridge.discoveryPrefix.isEmpty() || bridge.discoveryPrefix.contains(QLatin1Char('+'))
            || bridge.discoveryPrefix.contains(QLatin1Char('#'))))
        return usageError(QStringLiteral("--discovery-prefix takes a topic without + and #"));
    bridge.portName = device.isEmpty()
        ? QStringLiteral("%1 (%2)").arg(ComPorts::entryText(com), ComPorts::device(com))
        : escapeOutsideText(device);
    const QString brokerName = brokerText(mqtt.host, mqtt.port);

    // From here on a termination signal ends the program through its own end.
    TerminationSignals terminations;
    SerialPortService serial(map);
    PortWatcher watcher(map);
    const bool waitForPort = parser.isSet(waitOption);
    if (!waitForPort) {
        if (const OpenResult code = serial.openPort(number); code != OpenResult::Ok) {
            say(openFailureLine(bridge.portName, serial.lastCheck()));
            return code == OpenResult::PortInUse ? Busy : OpenError;
        }
    }
    PortKeeper keeper(serial, watcher, number, bridge.portName);

    MqttClient client;
    RelayBridge relay(serial, client, bridge);
    QObject::connect(&relay, &RelayBridge::logLine, &say);
    QObject::connect(&keeper, &PortKeeper::logLine, &say);
    mqtt.clientId = QStringLiteral("relay-mqtt-") + bridge.id;
    mqtt.willTopic = relay.base() + QStringLiteral("/availability");
    mqtt.willPayload = "offline";

    int status = Done;
    QObject::connect(&client, &MqttClient::refused, [&](int, const QString &reason) {
        say(QStringLiteral("the broker %1 refused the connection%2: %3; not trying again")
                .arg(brokerName,
                     mqtt.username.isEmpty()
                         ? QString()
                         : QStringLiteral(" of user %1").arg(escapeOutsideText(mqtt.username)),
                     reason));
        status = BrokerRefused;
        QCoreApplication::quit();
    });
    QObject::connect(
        &client, &MqttClient::connectionFailed,
        [&](const QString &reason, int retryMs, bool wasConnected) {
            say(QStringLiteral("%1 the broker %2: %3; trying again in %4 s, then "
                               "up to every %5 s")
                    .arg(wasConnected ? QStringLiteral("lost") : QStringLiteral("cannot reach"),
                         brokerName, escapeOutsideText(reason))
                    .arg(retryMs / 1000)
                    .arg(MqttClient::lastRetryMs / 1000));
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
    if (!client.start(mqtt, &error)) {
        say(QStringLiteral("cannot connect to the broker %1: %2").arg(brokerName, error));
        return Usage;
    }
    if (serial.isOpen())
        relay.portOpened();
    else
        keeper.keepOpen();
    QCoreApplication::exec();

    // The last word: offline, kept by the broker; then the port and its locks go.
    client.finish(relay.base() + QStringLiteral("/availability"), "offline", 2000);
    serial.close();
    if (status == Done)
        say(QStringLiteral("stopped"));
    return status;
}
