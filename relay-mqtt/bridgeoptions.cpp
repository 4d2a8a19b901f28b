#include "bridgeoptions.h"

#include <QFileInfo>
#include <QSysInfo>

#include "boardcontract.h"
#include "outsidetext.h"

void declareBridgeOptions(CommandLine &cli)
{
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
    cli.setEpilogue(exitStatusHelp(
        {{ExitStatus::Done, QStringLiteral("stopped by a signal")},
         {ExitStatus::Usage, QStringLiteral("bad usage or a file that cannot be used")},
         {ExitStatus::Busy, {}},
         {ExitStatus::OpenError,
          QStringLiteral("any other failure to open the port (3 and 4 without --wait)")},
         {ExitStatus::BrokerRefused,
          QStringLiteral("the broker refused the credentials for good")}}));
}

namespace {

// The board's name on the broker, and where Home Assistant's discovery goes.
std::optional<ExitStatus> readNames(const CommandLine &cli, const CommandLine::Port &port,
                                    BridgeSettings *bridge)
{
    bridge->verbose = cli.isSet(QStringLiteral("verbose"));
    if (cli.isSet(QStringLiteral("id"))) {
        bridge->id = cli.value(QStringLiteral("id"));
        if (!BoardContract::isValidId(bridge->id))
            return cli.usageError(QStringLiteral("--id takes 1..64 of a-z 0-9 _ -"));
    } else {
        const QString where = port.device.isEmpty() ? ComPorts::entryText(port.number)
                                                    : QFileInfo(port.device).fileName();
        bridge->id = BoardContract::defaultId(QSysInfo::machineHostName(), where);
    }
    const bool noDiscovery = cli.isSet(QStringLiteral("no-discovery"));
    if (noDiscovery && cli.isSet(QStringLiteral("discovery-prefix")))
        return cli.usageError(
            QStringLiteral("--discovery-prefix and --no-discovery exclude each other"));
    if (noDiscovery)
        bridge->discoveryPrefix.clear();
    else if (cli.isSet(QStringLiteral("discovery-prefix")))
        bridge->discoveryPrefix = cli.value(QStringLiteral("discovery-prefix"));
    if (!noDiscovery
        && (bridge->discoveryPrefix.isEmpty() || bridge->discoveryPrefix.contains(QLatin1Char('+'))
            || bridge->discoveryPrefix.contains(QLatin1Char('#'))))
        return cli.usageError(QStringLiteral("--discovery-prefix takes a topic without + and #"));
    bridge->portName = port.name;
    return std::nullopt;
}

} // namespace

std::optional<BridgeOptions> readBridgeOptions(const CommandLine &cli, ExitStatus *status)
{
    if (!cli.positionalArguments().isEmpty()) {
        *status = cli.usageError(QStringLiteral("unexpected argument '%1'")
                                     .arg(escapeOutsideText(cli.positionalArguments().first())));
        return std::nullopt;
    }
    BridgeOptions o;
    const auto port = cli.port(status);
    if (!port)
        return std::nullopt;
    if (!port->given()) {
        *status = cli.usageError(QStringLiteral("say which port: --port ComN or --device PATH"));
        return std::nullopt;
    }
    o.port = *port;
    o.waitForPort = cli.isSet(QStringLiteral("wait"));
    const auto broker = cli.broker(status);
    if (!broker)
        return std::nullopt;
    o.broker = *broker;
    if (const auto failed = readNames(cli, o.port, &o.bridge)) {
        *status = *failed;
        return std::nullopt;
    }
    return o;
}
