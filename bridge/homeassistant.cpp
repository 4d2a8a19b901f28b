#include "homeassistant.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "boardcontract.h"
#include "relaystate.h"
#include "version.h"

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

QList<QPair<QString, QByteArray>> HomeAssistant::discoveryMessages(const QString &prefix,
                                                                   const QString &id)
{
    QList<QPair<QString, QByteArray>> messages;
    if (prefix.isEmpty())
        return messages;
    using BoardContract::Leaf;
    const auto topic
        = [&id](Leaf leaf, int channel = 0) { return BoardContract::topic(id, leaf, channel); };
    const QJsonObject device {
        {QStringLiteral("identifiers"), QJsonArray {id}},
        {QStringLiteral("name"), QStringLiteral("Relay board %1").arg(id)},
        {QStringLiteral("model"),
         QStringLiteral("four-channel relay board with infrared receiver")},
        {QStringLiteral("sw_version"), QStringLiteral(RELAY_CONSOLE_VERSION)}};
    const QJsonObject origin {
        {QStringLiteral("name"), QStringLiteral("relay-mqtt")},
        {QStringLiteral("sw_version"), QStringLiteral(RELAY_CONSOLE_VERSION)}};
    // What every entity of the board shares.
    QJsonObject common {{QStringLiteral("availability_topic"), topic(Leaf::Availability)},
                        {QStringLiteral("payload_available"), QStringLiteral("online")},
                        {QStringLiteral("payload_not_available"), QStringLiteral("offline")},
                        {QStringLiteral("device"), device},
                        {QStringLiteral("origin"), origin}};
    const auto add = [&](const QString &component, const QString &object, QJsonObject config) {
        for (auto it = common.constBegin(); it != common.constEnd(); ++it)
            config.insert(it.key(), it.value());
        config.insert(QStringLiteral("unique_id"), object);
        messages.append(
            {QStringLiteral("%1/%2/%3/config").arg(prefix, component, object), compact(config)});
    };
    for (int ch = 1; ch <= RelayState::channels; ++ch) {
        add(QStringLiteral("switch"), QStringLiteral("%1_ch%2").arg(id).arg(ch),
            {{QStringLiteral("name"), QStringLiteral("CH%1").arg(ch)},
             {QStringLiteral("command_topic"), topic(Leaf::ChannelSet, ch - 1)},
             {QStringLiteral("state_topic"), topic(Leaf::State)},
             {QStringLiteral("value_template"), QStringLiteral("{{ value_json.ch%1 }}").arg(ch)},
             {QStringLiteral("payload_on"), QStringLiteral("ON")},
             {QStringLiteral("payload_off"), QStringLiteral("OFF")},
             {QStringLiteral("state_on"), QStringLiteral("ON")},
             {QStringLiteral("state_off"), QStringLiteral("OFF")}});
        add(QStringLiteral("button"), QStringLiteral("%1_ch%2_pulse").arg(id).arg(ch),
            {{QStringLiteral("name"), QStringLiteral("CH%1 pulse").arg(ch)},
             {QStringLiteral("command_topic"), topic(Leaf::Pulse, ch - 1)},
             {QStringLiteral("payload_press"), QStringLiteral("PRESS")}});
        add(QStringLiteral("number"), QStringLiteral("%1_ch%2_pulse_length").arg(id).arg(ch),
            {{QStringLiteral("name"), QStringLiteral("CH%1 pulse length").arg(ch)},
             {QStringLiteral("command_topic"), topic(Leaf::PulseLengthSet, ch - 1)},
             {QStringLiteral("state_topic"), topic(Leaf::PulseLength, ch - 1)},
             {QStringLiteral("min"), 1},
             {QStringLiteral("max"), 255},
             {QStringLiteral("step"), 1},
             {QStringLiteral("mode"), QStringLiteral("box")},
             {QStringLiteral("unit_of_measurement"), QStringLiteral("s")},
             {QStringLiteral("entity_category"), QStringLiteral("config")}});
    }
    add(QStringLiteral("event"), id + QStringLiteral("_keys"),
        {{QStringLiteral("name"), QStringLiteral("Remote keys")},
         {QStringLiteral("state_topic"), topic(Leaf::Key)},
         {QStringLiteral("device_class"), QStringLiteral("button")},
         {QStringLiteral("event_types"),
          QJsonArray {QStringLiteral("short"), QStringLiteral("long")}}});
    return messages;
}
