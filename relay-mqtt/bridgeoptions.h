#pragma once

#include <optional>

#include "commandline.h"
#include "relaybridge.h"

// relay-mqtt's command line: its options declared with their help, and read into what the
// program starts with. Every check is made here, before a port is opened or the broker is
// reached.
struct BridgeOptions
{
    CommandLine::Port port;
    bool waitForPort = false; // --wait
    MqttSettings broker;
    BridgeSettings bridge;
};

void declareBridgeOptions(CommandLine &cli);
// The options given, or the status to end with after a usage error (said already).
std::optional<BridgeOptions> readBridgeOptions(const CommandLine &cli, ExitStatus *status);
