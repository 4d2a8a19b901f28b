// relay-mqtt: the relay board on an MQTT broker, for home automation and for many boards on
// many machines. One line on stderr per event (the journal under systemd). The options are
// read in bridgeoptions; here the port, the bridge and the broker connection are wired.
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <memory>

#include "bridgeoptions.h"
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

// The broker connection's events as log lines; a final refusal ends the program.
void logBrokerEvents(MqttClient &client, const BridgeOptions &o, ExitStatus *status)
{
    const QString brokerName = brokerText(o.broker.host, o.broker.port);
    const QString username = o.broker.username;
    QObject::connect(&client, &MqttClient::refused, [=](int, const QString &reason) {
        say(brokerRefusedLine(brokerName, username, reason) + QStringLiteral("; not trying again"));
        *status = ExitStatus::BrokerRefused;
        QCoreApplication::quit();
    });
    QObject::connect(&client, &MqttClient::connectionFailed,
                     [=](const MqttClient::Failure &failure, int retryMs, bool wasConnected) {
                         say(brokerFailureLine(brokerName, failure, wasConnected)
                             + QStringLiteral("; trying again in %1 s, then up to every %2 s")
                                   .arg(retryMs / 1000)
                                   .arg(MqttClient::lastRetryMs / 1000));
                     });
    auto attempts = std::make_shared<int>(0);
    const bool verbose = o.bridge.verbose;
    QObject::connect(&client, &MqttClient::stateChanged, [=](MqttClient::State state) {
        // A failure that repeats is said once; --verbose shows that the attempts go on.
        if (state == MqttClient::State::Connecting && ++*attempts > 1 && verbose)
            say(QStringLiteral("trying the broker %1 again (attempt %2)")
                    .arg(brokerName)
                    .arg(*attempts));
    });
    QObject::connect(&client, &MqttClient::publishDenied,
                     [](const QString &topic, const QString &reason) {
                         say(QStringLiteral("the broker does not take %1 from this client: %2; "
                                            "check its access list")
                                 .arg(escapeOutsideText(topic), reason));
                     });
    QObject::connect(&client, &MqttClient::subscriptionDenied,
                     [](const QString &pattern, const QString &reason) {
                         say(QStringLiteral("the broker does not grant the subscription to %1: "
                                            "%2; check its access list")
                                 .arg(escapeOutsideText(pattern), reason));
                     });
}

// The port, the bridge and the broker, until a termination signal or a final refusal.
ExitStatus run(BridgeOptions &o)
{
    // From here on a termination signal ends the program through its own end.
    TerminationSignals terminations;
    SerialPortService serial(o.port.map);
    PortWatcher watcher(o.port.map);
    if (!o.waitForPort) {
        if (const OpenResult code = serial.openPort(o.port.number); code != OpenResult::Ok) {
            say(openFailureLine(o.bridge.portName, serial.lastCheck()));
            return code == OpenResult::PortInUse ? ExitStatus::Busy : ExitStatus::OpenError;
        }
    }
    PortKeeper keeper(serial, watcher, o.port.number, o.bridge.portName);
    keeper.setVerbose(o.bridge.verbose);

    MqttClient client;
    RelayBridge relay(serial, client, o.bridge);
    QObject::connect(&relay, &RelayBridge::logLine, &say);
    QObject::connect(&keeper, &PortKeeper::logLine, &say);
    o.broker.clientId = QStringLiteral("relay-mqtt-") + o.bridge.id;
    o.broker.willTopic = relay.availabilityTopic();
    o.broker.willPayload = "offline";
    ExitStatus status = ExitStatus::Done;
    logBrokerEvents(client, o, &status);
    QObject::connect(&serial, &SerialPortService::deviceLost, [&] {
        say(QStringLiteral("%1: the device went away; offline until it is back")
                .arg(o.bridge.portName));
        relay.portLost();
        keeper.keepOpen();
    });
    QObject::connect(&keeper, &PortKeeper::opened, [&] {
        say(QStringLiteral("%1 open; online").arg(o.bridge.portName));
        relay.portOpened();
    });
    QObject::connect(&terminations, &TerminationSignals::received,
                     [&] { QCoreApplication::quit(); });

    const QString brokerName = brokerText(o.broker.host, o.broker.port);
    say(QStringLiteral("%1%2; connecting to the broker %3 as %4")
            .arg(o.bridge.portName,
                 serial.isOpen() ? QStringLiteral(" open") : QStringLiteral(" not open yet"),
                 brokerName, o.bridge.id));
    QString error;
    if (!client.start(o.broker, &error)) {
        say(brokerStartFailedLine(brokerName, error));
        return ExitStatus::Usage;
    }
    if (serial.isOpen())
        relay.portOpened();
    else
        keeper.keepOpen();
    QCoreApplication::exec();

    // The last word: offline, kept by the broker; then the port and its locks go.
    client.finish(relay.availabilityTopic(), "offline", 2000);
    serial.close();
    if (status == ExitStatus::Done)
        say(QStringLiteral("stopped"));
    return status;
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
    declareBridgeOptions(cli);
    if (const auto end = cli.parse(app.arguments()))
        return exitCode(*end);
    ExitStatus status = ExitStatus::Done;
    auto options = readBridgeOptions(cli, &status);
    if (!options)
        return exitCode(status);
    return exitCode(run(*options));
}
