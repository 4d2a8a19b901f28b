#pragma once

#include <QByteArray>
#include <QString>

#include <variant>

#include "boardcontract.h"
#include "mqttclient.h"

// A message to a board's command topic, taken apart before anything acts on it: a request the
// bridge carries out, or a refusal with its reason. Nothing here touches the line or the broker.
namespace BridgeRequest {

// Where a request's answer goes: an envelope's answer topic and transaction, or an MQTT 5
// request's response topic and correlation data. No topic: nobody is answered.
struct Route
{
    QString topic;
    QByteArray correlationData;
    QString transaction;
};

struct Request
{
    Route route;
    bool probe = false; // asks only whether the bridge hears requests: nothing is written
    QByteArray bytes; // the command (empty for a probe)
    BoardContract::CommandKind kind;
    int replyWithinMs = 0; // > 0: the answer carries the board's reply to a read
};

struct Refusal
{
    Route route; // answered there, when it has a topic
    bool probe = false;
    BoardContract::Failure failure = BoardContract::Failure::Refused;
    QString reason;
};

// `nowMs`: UTC milliseconds since 1970, for the request's expiry. A plain command (its bytes in
// hexadecimal text) is a request nobody is answered for.
std::variant<Request, Refusal> parse(const BrokerMessage &message, qint64 nowMs);

} // namespace BridgeRequest
