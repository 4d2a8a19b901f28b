// relay-mqtt: the relay board on an MQTT broker, for home automation and for many boards on
// many machines. One line on stderr per event (the journal under systemd).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>

#include <csignal>
#include <cstdio>

#include "mqttclient.h"
#include "openresulttext.h"
#include "portwatcher.h"
#include "relaybridge.h"
#include "serialportservice.h"
#include "terminationsignals.h"
#include "version.h"

namespace {

enum Exit {
    Done = 0,
    Usage = 2,
    Busy = 3,
    OpenError = 4,
    BrokerRefused = 6,
};

const char usageText[]
    = "Usage: relay-mqtt (--port ComN | --device PATH) [--broker HOST[:PORT]] [--id ID]\n"
      "                  [--username NAME --password-file FILE] [--cafile FILE]\n"
      "                  [--discovery-prefix PREFIX | --no-discovery] [--verbose]\n"
      "relay-mqtt -h | --help | -V | --version\n"
      "\n"
      "Puts the relay board on an MQTT broker under relayboard/ID: chN/set (ON, OFF),\n"
      "chN/pulse (seconds 1..255) and refresh in; availability, state, reply and key out;\n"
      "Home Assistant discovery under PREFIX (default homeassistant).\n"
      "Defaults: broker localhost:1883 (8883 with --cafile); ID the host name and the Com\n"
      "name (or the device's name), e.g. bench3-com5.\n"
      "Exit status: 0 stopped by a signal, 2 bad usage, 3 port held by another program,\n"
      "4 any other failure to open the port, 6 the broker refused the connection.\n";

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
    const QCommandLineOption brokerOption(QStringLiteral("broker"), {}, QStringLiteral("HOST"));
    const QCommandLineOption idOption(QStringLiteral("id"), {}, QStringLiteral("ID"));
    const QCommandLineOption userOption(QStringLiteral("username"), {}, QStringLiteral("NAME"));
    const QCommandLineOption passwordOption(QStringLiteral("password-file"), {},
                                            QStringLiteral("FILE"));
    const QCommandLineOption caOption(QStringLiteral("cafile"), {}, QStringLiteral("FILE"));
    const QCommandLineOption prefixOption(QStringLiteral("discovery-prefix"), {},
                                          QStringLiteral("PREFIX"));
    const QCommandLineOption noDiscovery(QStringLiteral("no-discovery"), {});
    const QCommandLineOption verbose(QStringLiteral("verbose"), {});
    parser.addOptions({help, version, portOption, deviceOption, brokerOption, idOption, userOption,
                       passwordOption, caOption, prefixOption, noDiscovery, verbose});
    if (!parser.parse(app.arguments()))
        return usageError(PortGuard::displayText(parser.errorText()));
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
                              .arg(PortGuard::displayText(parser.positionalArguments().first())));

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
                                  .arg(PortGuard::displayText(v)));
    } else if (device.isEmpty()) {
        return usageError(QStringLiteral("--device needs a path"));
    }
    const SerialPortService::PortMap map = device.isEmpty()
        ? SerialPortService::PortMap(ComPorts::device)
        : [device](int) { return device; };
    const int number = device.isEmpty() ? com : 1;

    // The broker.
    MqttSettings mqtt;
    if (parser.isSet(caOption)) {
        mqtt.caFile = parser.value(caOption);
        mqtt.port = 8883;
    }
    if (parser.isSet(brokerOption)) {
        const QString broker = parser.value(brokerOption);
        const int colon = int(broker.lastIndexOf(QLatin1Char(':')));
        mqtt.host = colon < 0 ? broker : broker.left(colon);
        if (colon >= 0) {
            bool ok = false;
            mqtt.port = broker.mid(colon + 1).toInt(&ok);
            if (!ok || mqtt.port < 1 || mqtt.port > 65535)
                return usageError(
                    QStringLiteral("--broker takes HOST or HOST:PORT, PORT 1..65535"));
        }
        if (mqtt.host.isEmpty())
            return usageError(QStringLiteral("--broker takes HOST or HOST:PORT"));
    }
    if (parser.isSet(passwordOption) && !parser.isSet(userOption))
        return usageError(QStringLiteral("--password-file goes with --username"));
    mqtt.username = parser.value(userOption);
    if (parser.isSet(passwordOption)) {
        // From a file, so that it shows in no process list and no shell history.
        QFile file(parser.value(passwordOption));
        if (!file.open(QIODevice::ReadOnly))
            return usageError(
                QStringLiteral("cannot read the password file %1: %2")
                    .arg(PortGuard::displayText(file.fileName()), file.errorString()));
        QByteArray password = file.readLine(4096);
        while (password.endsWith('\n') || password.endsWith('\r'))
            password.chop(1);
        mqtt.password = QString::fromUtf8(password);
    }

    // The names on the broker.
    BridgeSettings bridge;
    bridge.verbose = parser.isSet(verbose);
    if (parser.isSet(idOption)) {
        bridge.id = parser.value(idOption);
        if (bridge.id.isEmpty() || bridge.id.size() > 64
            || RelayBridge::sanitizedId(bridge.id) != bridge.id.toLower())
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
        : PortGuard::displayText(device);

    // From here on a termination signal ends the program through its own end.
    TerminationSignals terminations;
    SerialPortService serial(map);
    if (const OpenResult code = serial.openPort(number); code != OpenResult::Ok) {
        say(openFailureLine(bridge.portName, serial.lastCheck()));
        return code == OpenResult::PortInUse ? Busy : OpenError;
    }
    PortWatcher watcher(map);

    MqttClient client;
    RelayBridge relay(serial, client, bridge);
    QObject::connect(&relay, &RelayBridge::logLine, &say);
    mqtt.clientId = QStringLiteral("relay-mqtt-") + bridge.id;
    mqtt.willTopic = relay.base() + QStringLiteral("/availability");
    mqtt.willPayload = "offline";

    int status = Done;
    QObject::connect(&client, &MqttClient::refused, [&](int, const QString &reason) {
        say(QStringLiteral("the broker %1:%2 refused the connection%3: %4")
                .arg(mqtt.host)
                .arg(mqtt.port)
                .arg(mqtt.username.isEmpty()
                         ? QString()
                         : QStringLiteral(" of user %1").arg(PortGuard::displayText(mqtt.username)),
                     reason));
        status = BrokerRefused;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &MqttClient::connectionLost, [&](const QString &reason) {
        say(QStringLiteral("lost the broker %1:%2 (%3); reconnecting, waiting 1 s growing to 30 s")
                .arg(mqtt.host)
                .arg(mqtt.port)
                .arg(reason));
    });
    QObject::connect(&serial, &SerialPortService::deviceLost, [&] {
        say(QStringLiteral("%1: the device went away; offline until it is back")
                .arg(bridge.portName));
        relay.portLost();
    });
    QObject::connect(&watcher, &PortWatcher::portsChanged, [&](const QList<int> &appeared) {
        if (serial.isOpen() || !appeared.contains(number))
            return;
        if (const OpenResult code = serial.openPort(number); code != OpenResult::Ok) {
            say(openFailureLine(bridge.portName, serial.lastCheck()));
            return;
        }
        say(QStringLiteral("%1: the device is back; online").arg(bridge.portName));
        relay.portOpened();
    });
    QObject::connect(&terminations, &TerminationSignals::received,
                     [&] { QCoreApplication::quit(); });

    QString error;
    if (!client.start(mqtt, &error)) {
        say(QStringLiteral("cannot connect to the broker %1:%2: %3")
                .arg(mqtt.host)
                .arg(mqtt.port)
                .arg(error));
        return BrokerRefused;
    }
    say(QStringLiteral("%1 open; connecting to the broker %2:%3 as %4")
            .arg(bridge.portName, mqtt.host)
            .arg(mqtt.port)
            .arg(bridge.id));
    relay.portOpened();
    QCoreApplication::exec();

    // The last word: offline, kept by the broker; then the port and its locks go.
    client.finish(relay.base() + QStringLiteral("/availability"), "offline", 2000);
    serial.close();
    if (status == Done)
        say(QStringLiteral("stopped"));
    return status;
}
