#include "bridgerequest.h"

namespace BridgeRequest {

namespace {

using namespace BoardContract;

// What the message asks for, in any of its forms, before it is checked against the time and
// the board's commands.
struct Asked
{
    Route route;
    bool probe = false;
    QByteArray bytes;
    int replyWithinMs = 0;
    std::optional<qint64> expires;
};

QString hexPayloadText()
{
    return QStringLiteral("the payload is a command's bytes in hexadecimal text (0x15, or 0xC9 "
                          "0xB5)");
}

Refusal refused(const Route &route, const QString &why)
{
    return {route, false, Failure::Refused, why};
}

// An MQTT 5 request: the envelope in the message's properties.
std::variant<Asked, Refusal> fromProperties(const BrokerMessage &m)
{
    if (!isAnswerTopic(m.responseTopic) || m.correlationData.size() > maxCorrelationData)
        return refused({},
                       QStringLiteral("the response topic must be under %1 (at most %2 "
                                      "bytes, no wildcards) and the correlation data at "
                                      "most %3 bytes; not answered")
                           .arg(QLatin1String(responseRoot))
                           .arg(maxResponseTopic)
                           .arg(maxCorrelationData));
    Asked a;
    a.route = {m.responseTopic, m.correlationData, {}};
    if (const QString text = m.userProperty(QLatin1String(replyWithinProperty)); !text.isEmpty()) {
        bool ok = false;
        a.replyWithinMs = text.toInt(&ok);
        if (!ok || a.replyWithinMs < 1 || a.replyWithinMs > maxReplyWithinMs)
            return refused(a.route,
                           QStringLiteral("%1 is 1..%2 ms")
                               .arg(QLatin1String(replyWithinProperty))
                               .arg(maxReplyWithinMs));
    }
    if (const QString text = m.userProperty(QLatin1String(expiresProperty)); !text.isEmpty()) {
        bool ok = false;
        a.expires = text.toLongLong(&ok);
        if (!ok)
            return refused(a.route,
                           QStringLiteral("%1 is UTC milliseconds since 1970")
                               .arg(QLatin1String(expiresProperty)));
    }
    const auto bytes = parseBytesText(m.payload);
    if (!bytes)
        return refused(a.route, hexPayloadText());
    a.bytes = *bytes;
    return a;
}

// The envelope in the payload, the properties, or a plain command.
std::variant<Asked, Refusal> asked(const BrokerMessage &m)
{
    if (isEnvelope(m.payload)) {
        Asked a;
        QString error;
        const auto e = parseEnvelope(m.payload, &error, &a.route.transaction, &a.route.topic);
        if (!e)
            return refused(a.route, error);
        a.probe = e->probe;
        a.bytes = e->command;
        a.replyWithinMs = e->replyWithinMs;
        a.expires = e->expires;
        return a;
    }
    if (!m.responseTopic.isEmpty())
        return fromProperties(m);
    const auto bytes = parseBytesText(m.payload);
    if (!bytes)
        return refused({}, hexPayloadText() + QStringLiteral(", or a request in JSON"));
    Asked a;
    a.bytes = *bytes;
    return a; // a plain command: nobody is answered
}

} // namespace

std::variant<Request, Refusal> parse(const BrokerMessage &m, qint64 nowMs)
{
    if (m.payload.size() > maxRequestPayload)
        return refused(
            {},
            QStringLiteral("payload longer than %1 bytes; not answered").arg(maxRequestPayload));
    const auto taken = asked(m);
    if (const auto *refusal = std::get_if<Refusal>(&taken))
        return *refusal;
    const Asked &a = std::get<Asked>(taken);
    if (m.retained)
        return Refusal {a.route, a.probe, Failure::Refused,
                        QStringLiteral("a retained command is not carried out")};
    // The requester gives up in the millisecond named: from then on it is too late.
    if (a.expires && nowMs >= *a.expires)
        return Refusal {a.route, a.probe, Failure::Expired,
                        QStringLiteral("the command expired before the bridge saw it (its "
                                       "requester gave up; if this repeats, compare the clocks "
                                       "of both machines)")};
    Request r {a.route, a.probe, a.bytes, {}, a.replyWithinMs};
    if (a.probe)
        return r; // nothing goes to the line
    r.kind = classify(a.bytes);
    if (!r.kind.valid)
        return refused(a.route, QStringLiteral("not a command of the relay board"));
    return r;
}

} // namespace BridgeRequest
