#include "relaybridge.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "commandencoder.h"
#include "delaynumber.h"
#include "eventtime.h"
#include "hexbytetext.h"
#include "mqttclient.h"
#include "portguard.h"
#include "relaystate.h"
#include "serialportservice.h"
#include "version.h"

namespace {

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

RelayBridge::RelayBridge(SerialPortService &serial, MqttClient &mqtt, BridgeSettings settings,
                         QObject *parent)
    : QObject(parent)
    , m_serial(serial)
    , m_mqtt(mqtt)
    , m_settings(std::move(settings))
{
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietMs);
    m_answer.setSingleShot(true);
    m_answer.setInterval(answerMs);
    connect(&m_quiet, &QTimer::timeout, this, &RelayBridge::askState);
    connect(&m_answer, &QTimer::timeout, this, [this] {
        m_stateAsked = false;
        if (!m_saidNoAnswer) {
            m_saidNoAnswer = true;
            emit logLine(QStringLiteral("%1: the board did not answer the read-state command "
                                        "within %2 ms; no state is published (commands still "
                                        "go out)")
                             .arg(m_settings.portName)
                             .arg(answerMs));
        }
    });
    connect(&m_mqtt, &MqttClient::connected, this, &RelayBridge::brokerConnected);
    connect(&m_mqtt, &MqttClient::messageReceived, this, &RelayBridge::messageReceived);
    connect(&m_serial, &SerialPortService::dataReceived, this, &RelayBridge::dataReceived);
}

QString RelayBridge::sanitizedId(const QString &text)
{
    QString id = text.toLower();
    for (QChar &c : id) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_')
            || c == QLatin1Char('-');
        if (!plain)
            c = QLatin1Char('-');
    }
    return id;
}

QByteArray RelayBridge::stateJson(std::uint8_t state)
{
    return compact(RelayState::channelsJson(state));
}

QList<QPair<QString, QByteArray>> RelayBridge::discoveryMessages() const
{
    QList<QPair<QString, QByteArray>> messages;
    if (m_settings.discoveryPrefix.isEmpty())
        return messages;
    const QString id = m_settings.id;
    const QJsonObject device {
        {QStringLiteral("identifiers"), QJsonArray {id}},
        {QStringLiteral("name"), QStringLiteral("Relay board %1").arg(id)},
        {QStringLiteral("model"),
         QStringLiteral("four-channel relay board with infrared receiver")},
        {QStringLiteral("sw_version"), QStringLiteral(RELAY_CONSOLE_VERSION)}};
    const QJsonObject availability {
        {QStringLiteral("availability_topic"), base() + QStringLiteral("/availability")},
        {QStringLiteral("payload_available"), QStringLiteral("online")},
        {QStringLiteral("payload_not_available"), QStringLiteral("offline")}};
    for (int ch = 1; ch <= 4; ++ch) {
        QJsonObject config = availability;
        config.insert(QStringLiteral("name"), QStringLiteral("CH%1").arg(ch));
        config.insert(QStringLiteral("unique_id"), QStringLiteral("%1_ch%2").arg(id).arg(ch));
        config.insert(QStringLiteral("command_topic"),
                      base() + QStringLiteral("/ch%1/set").arg(ch));
        config.insert(QStringLiteral("state_topic"), base() + QStringLiteral("/state"));
        config.insert(QStringLiteral("value_template"),
                      QStringLiteral("{{ value_json.ch%1 }}").arg(ch));
        config.insert(QStringLiteral("payload_on"), QStringLiteral("ON"));
        config.insert(QStringLiteral("payload_off"), QStringLiteral("OFF"));
        config.insert(QStringLiteral("state_on"), QStringLiteral("ON"));
        config.insert(QStringLiteral("state_off"), QStringLiteral("OFF"));
        config.insert(QStringLiteral("device"), device);
        messages.append(
            {QStringLiteral("%1/switch/%2_ch%3/config").arg(m_settings.discoveryPrefix, id).arg(ch),
             compact(config)});
    }
    QJsonObject keys = availability;
    keys.insert(QStringLiteral("name"), QStringLiteral("Remote keys"));
    keys.insert(QStringLiteral("unique_id"), id + QStringLiteral("_keys"));
    keys.insert(QStringLiteral("state_topic"), base() + QStringLiteral("/key"));
    keys.insert(QStringLiteral("event_types"),
                QJsonArray {QStringLiteral("short"), QStringLiteral("long")});
    keys.insert(QStringLiteral("device"), device);
    messages.append({QStringLiteral("%1/event/%2_keys/config").arg(m_settings.discoveryPrefix, id),
                     compact(keys)});
    return messages;
}

void RelayBridge::publishAvailability()
{
    m_mqtt.publish(base() + QStringLiteral("/availability"),
                   m_portOpen ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"), true);
}

void RelayBridge::brokerConnected()
{
    emit logLine(QStringLiteral("connected to the broker; topics under %1").arg(base()));
    m_mqtt.subscribe(base() + QStringLiteral("/#"));
    for (const auto &[topic, payload] : discoveryMessages())
        m_mqtt.publish(topic, payload, true);
    publishAvailability();
    if (m_portOpen)
        wantState(); // a restarted broker may have lost the retained state
}

void RelayBridge::portOpened()
{
    m_portOpen = true;
    m_decoder = ReceiveDecoder();
    m_stateAsked = false;
    if (m_mqtt.isConnected())
        publishAvailability();
    wantState();
}

void RelayBridge::portLost()
{
    m_portOpen = false;
    m_stateWanted = m_stateAsked = false;
    m_quiet.stop();
    m_answer.stop();
    publishAvailability();
}

void RelayBridge::warn(const QString &topic, const QByteArray &payload, const QString &why)
{
    QByteArray shown = payload.left(maxPayload);
    emit logLine(QStringLiteral("warning: %1 \"%2\"%3: %4; nothing sent")
                     .arg(PortGuard::displayText(topic.left(200)),
                          PortGuard::displayText(QString::fromUtf8(shown)),
                          payload.size() > maxPayload ? QStringLiteral("...") : QString(), why));
}

void RelayBridge::messageReceived(const QString &topic, const QByteArray &payload, bool retained)
{
    const QString prefix = base() + QLatin1Char('/');
    if (!topic.startsWith(prefix))
        return;
    const QString rest = topic.mid(prefix.size());
    // What this bridge publishes itself comes back through the subscription.
    static const QStringList outgoing {QStringLiteral("availability"), QStringLiteral("state"),
                                       QStringLiteral("reply"), QStringLiteral("key")};
    if (outgoing.contains(rest))
        return;
    if (retained) {
        // A command kept by the broker would switch relays whenever the bridge starts.
        warn(topic, payload, QStringLiteral("a retained command is not carried out"));
        return;
    }
    if (payload.size() > maxPayload) {
        warn(topic, payload, QStringLiteral("payload longer than %1 bytes").arg(maxPayload));
        return;
    }
    if (rest == QLatin1String("refresh")) {
        wantState();
        return;
    }
    const QStringList parts = rest.split(QLatin1Char('/'));
    const bool channelTopic = parts.size() == 2 && parts[0].size() == 3
        && parts[0].startsWith(QLatin1String("ch")) && parts[0][2] >= QLatin1Char('1')
        && parts[0][2] <= QLatin1Char('4')
        && (parts[1] == QLatin1String("set") || parts[1] == QLatin1String("pulse"));
    if (!channelTopic) {
        warn(topic, payload,
             QStringLiteral("not a topic of this bridge (chN/set, chN/pulse with N 1..4, "
                            "refresh)"));
        return;
    }
    const int channel = parts[0][2].unicode() - '1';
    CommandSelection selection;
    if (parts[1] == QLatin1String("set")) {
        if (payload != "ON" && payload != "OFF") {
            warn(topic, payload, QStringLiteral("the payload is ON or OFF"));
            return;
        }
        selection.operation = payload == "ON" ? RelayOperation::Energise : RelayOperation::Release;
        selection.channelFlags[channel] = 1;
    } else {
        const QString seconds = QString::fromUtf8(payload);
        const DelayNumber delay = parseDelayNumber(seconds);
        if (!delay.isDelay()) {
            warn(topic, payload, QStringLiteral("the payload is a number of seconds 1..255"));
            return;
        }
        selection.operation = RelayOperation::DelayedRelay;
        selection.delayText = seconds;
        selection.delayChannel = channel;
        // The relay drops by itself at the end: ask again then.
        QTimer::singleShot(delay.value * 1000 + quietMs, this, &RelayBridge::wantState);
    }
    CommandEncoder encoder;
    encoder.compose(selection);
    sendCommand(encoder.bytes());
}

void RelayBridge::sendCommand(const QByteArray &bytes)
{
    if (!m_portOpen || !m_serial.write(bytes)) {
        emit logLine(
            QStringLiteral("%1: the port is not open; command dropped").arg(m_settings.portName));
        return;
    }
    wantState();
}

void RelayBridge::wantState()
{
    if (!m_portOpen)
        return;
    m_stateWanted = true;
    m_quiet.start();
}

void RelayBridge::askState()
{
    if (!m_stateWanted || !m_portOpen)
        return;
    if (m_stateAsked) {
        m_quiet.start(); // the last question is still open
        return;
    }
    m_stateWanted = false;
    CommandSelection selection;
    selection.operation = RelayOperation::ReadState;
    CommandEncoder encoder;
    encoder.compose(selection);
    if (m_serial.write(encoder.bytes())) {
        m_stateAsked = true;
        m_answer.start();
    }
}

void RelayBridge::publishKey(const IrKeyMessage &m)
{
    QStringList texts;
    for (const std::uint8_t b : {m.userCode1, m.userCode2, m.operationCode, m.inverseCode})
        texts << hexByteText(b);
    const QString kind
        = m.pressKind == PressKind::Long ? QStringLiteral("long") : QStringLiteral("short");
    m_mqtt.publish(base() + QStringLiteral("/key"),
                   compact({{QStringLiteral("event_type"), kind},
                            {QStringLiteral("bytes"), QJsonArray::fromStringList(texts)},
                            {QStringLiteral("time"), eventTimeNow()}}),
                   false, 0);
    if (m_settings.verbose)
        emit logLine(QStringLiteral("key %1 %2").arg(kind, texts.join(QLatin1Char(' '))));
}

void RelayBridge::dataReceived()
{
    const QByteArray bytes = m_serial.read();
    if (m_stateWanted)
        m_quiet.start(); // the line is not quiet yet
    for (const char c : bytes) {
        const DecodeResult r = m_decoder.onReceive(static_cast<std::uint8_t>(c));
        if (r.kind == DecodeResult::Kind::KeyMessage) {
            publishKey(r.message);
        } else if (r.kind == DecodeResult::Kind::ReplyByte) {
            if (m_stateAsked) {
                m_stateAsked = false;
                m_answer.stop();
                m_saidNoAnswer = false;
                m_mqtt.publish(base() + QStringLiteral("/state"), stateJson(r.replyByte), true);
            } else {
                m_mqtt.publish(base() + QStringLiteral("/reply"),
                               hexByteText(r.replyByte).toLatin1(), false);
                if (m_settings.verbose)
                    emit logLine(QStringLiteral("reply %1").arg(hexByteText(r.replyByte)));
            }
        }
    }
}
