#include "relaybridge.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <cstring>

#include "commandencoder.h"
#include "delaynumber.h"
#include "eventtime.h"
#include "hexbytetext.h"
#include "homeassistant.h"
#include "mqttclient.h"
#include "outsidetext.h"
#include "relaystate.h"
#include "serialportservice.h"

RelayBridge::RelayBridge(SerialPortService &serial, MqttClient &mqtt, BridgeSettings settings,
                         QObject *parent)
    : QObject(parent)
    , m_serial(serial)
    , m_mqtt(mqtt)
    , m_settings(std::move(settings))
    , m_line(lineBytesPerSecond, maxLineWaitMs)
{
    m_clock.start();
    m_pulseSeconds.fill(1);
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietMs);
    m_waitEnd.setSingleShot(true);
    m_birth.setSingleShot(true);
    m_pulseEnd.setSingleShot(true);
    m_pulseDefaults.setSingleShot(true);
    m_pulseDefaults.setInterval(1000);
    connect(&m_quiet, &QTimer::timeout, this, &RelayBridge::askState);
    connect(&m_waitEnd, &QTimer::timeout, this, [this] { expireWaiters(); });
    connect(&m_birth, &QTimer::timeout, this, &RelayBridge::publishAll);
    connect(&m_pulseEnd, &QTimer::timeout, this, &RelayBridge::pulsesEnded);
    connect(&m_pulseDefaults, &QTimer::timeout, this, [this] {
        // No retained length came back from the broker: the default, until somebody sets one.
        for (int ch = 0; ch < RelayState::channels; ++ch) {
            if (!m_pulseKnown[ch]) {
                m_pulseKnown[ch] = true;
                publishPulseLength(ch);
            }
        }
    });
    connect(&m_limiter, &LogLimiter::logLine, this, &RelayBridge::logLine);
    connect(&m_mqtt, &MqttClient::connected, this, &RelayBridge::brokerConnected);
    connect(&m_mqtt, &MqttClient::messageArrived, this, &RelayBridge::brokerMessage);
    connect(&m_mqtt, &MqttClient::subscribed, this, [this](const QString &pattern) {
        if (pattern == BoardContract::boardFilter(m_settings.id))
            m_pulseDefaults.start(); // the retained messages come right after the answer
    });
    connect(&m_serial, &SerialPortService::dataReceived, this, &RelayBridge::dataReceived);
    connect(&m_serial, &BoardLink::writeFailed, this,
            [this](BoardLink::WriteFailure failure, int systemError) {
                const int error = failure == BoardLink::WriteFailure::Stalled ? -1 : systemError;
                if (m_writing) {
                    m_droppedAtOnce = error; // the command being sent met it: its answer says so
                    return;
                }
                // A command written a while ago was dropped by the port afterwards.
                m_limiter.say(QStringLiteral("write failed"),
                              QStringLiteral("warning: %1 dropped a command: %2")
                                  .arg(m_settings.portName, writeFailureText(error)));
            });
}

QString RelayBridge::writeFailureText(int error)
{
    return error == -1
        ? QStringLiteral("the port took none of its bytes for %1 s")
              .arg(SerialPortService::stallMs / 1000)
        : QStringLiteral("writing failed: %1").arg(QString::fromLocal8Bit(std::strerror(error)));
}

QList<QPair<QString, QByteArray>> RelayBridge::discoveryMessages() const
{
    return HomeAssistant::discoveryMessages(m_settings.discoveryPrefix, m_settings.id);
}

void RelayBridge::publishAvailability()
{
    m_mqtt.publish(availabilityTopic(), BoardContract::availabilityPayload(m_portOpen), true);
}

void RelayBridge::publishPulseLength(int channel)
{
    m_mqtt.publish(topic(BoardContract::Leaf::PulseLength, channel),
                   QByteArray::number(m_pulseSeconds[channel]), true);
}

void RelayBridge::publishAll()
{
    if (!m_mqtt.isConnected())
        return;
    for (const auto &[topic, payload] : discoveryMessages())
        m_mqtt.publish(topic, payload, true);
    publishAvailability();
    for (int ch = 0; ch < RelayState::channels; ++ch) {
        if (m_pulseKnown[ch])
            publishPulseLength(ch);
    }
    // A restarted broker may have lost the retained state. A question of the bridge's own that
    // is still open serves: its answer is published now that the broker is there, and asking
    // again would put a second byte on the line for the same news.
    if (m_portOpen && !ownQuestionOpen())
        wantState();
}

void RelayBridge::brokerConnected()
{
    emit logLine(
        QStringLiteral("connected to the broker; topics under %1")
            .arg(QStringLiteral("%1/%2").arg(QLatin1String(BoardContract::root), m_settings.id)));
    if (!m_mqtt.isVersion5() && !m_saidVersion311) {
        m_saidVersion311 = true;
        emit logLine(QStringLiteral(
            "the broker speaks MQTT 3.1.1 only: requests work as before (their envelope is in "
            "the payload), but a retained command published while this bridge runs cannot be "
            "told from a live one and is carried out"));
    }
    if (m_droppedEvents > 0) {
        emit logLine(QStringLiteral("%1 replies and key reports came while the broker was away "
                                    "and were dropped")
                         .arg(m_droppedEvents));
        m_droppedEvents = 0;
    }
    m_mqtt.subscribe(BoardContract::boardFilter(m_settings.id));
    if (!m_settings.discoveryPrefix.isEmpty())
        m_mqtt.subscribe(m_settings.discoveryPrefix + QStringLiteral("/status"));
    publishAll();
}

void RelayBridge::portOpened()
{
    m_portOpen = true;
    m_decoder = ReceiveDecoder();
    expireWaiters(true);
    m_line.reset();
    publishAvailability();
    wantState();
}

void RelayBridge::portLost()
{
    m_portOpen = false;
    m_stateWanted = false;
    m_quiet.stop();
    expireWaiters(true);
    publishAvailability();
}

void RelayBridge::warn(const QString &topic, const QByteArray &payload, const QString &why)
{
    QByteArray shown = payload.left(maxPayload);
    // Counted by what was wrong, so that a flood of one kind does not hide another.
    m_limiter.say(why,
                  QStringLiteral("warning: %1 \"%2\"%3: %4; nothing sent")
                      .arg(escapeOutsideText(topic.left(200)),
                           escapeOutsideText(QString::fromUtf8(shown)),
                           payload.size() > maxPayload ? QStringLiteral("...") : QString(), why));
}

void RelayBridge::brokerMessage(const BrokerMessage &message)
{
    const QString &topic = message.topic;
    const QByteArray &payload = message.payload;
    const bool retained = message.retained;
    if (!m_settings.discoveryPrefix.isEmpty()
        && topic == m_settings.discoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant came (back): it may have lost everything retained with its broker.
        // A retained birth message is an old one; what it asks for was done at connect.
        if (!retained && payload == "online" && !m_birth.isActive()) {
            m_birth.start(int(QRandomGenerator::global()->bounded(birthAnswerMaxMs + 1)));
            if (m_settings.verbose)
                emit logLine(QStringLiteral("Home Assistant is back; publishing its topics "
                                            "again in %1 ms")
                                 .arg(m_birth.interval()));
        }
        return;
    }
    using BoardContract::Leaf;
    const auto parsed = BoardContract::parseTopic(topic);
    if (!parsed || parsed->id != m_settings.id) {
        if (BoardContract::isUnderBoard(topic, m_settings.id))
            warn(topic, payload,
                 QStringLiteral("not a topic of this bridge (chN/set, chN/pulse, "
                                "chN/pulse_length/set with N 1..%1, refresh, command)")
                     .arg(RelayState::channels));
        return;
    }
    const int channel = parsed->channel;
    if (parsed->leaf == Leaf::PulseLength) {
        // This bridge's own retained length from before, read back once at connect.
        const DelayNumber delay = parseDelayNumber(QString::fromUtf8(payload.left(maxPayload)));
        if (retained && !m_pulseKnown[channel] && delay.isDelay()) {
            m_pulseSeconds[channel] = delay.value;
            m_pulseKnown[channel] = true;
            if (m_settings.verbose)
                emit logLine(QStringLiteral("ch%1 pulse length %2 s, kept by the broker")
                                 .arg(channel + 1)
                                 .arg(delay.value));
        }
        return;
    }
    // What this bridge publishes itself comes back through the subscription.
    if (BoardContract::isBridgeOutput(parsed->leaf))
        return;
    if (parsed->leaf == Leaf::Command) {
        commandMessage(message);
        return;
    }
    if (retained) {
        // A command kept by the broker would switch relays whenever the bridge starts.
        warn(topic, payload, QStringLiteral("a retained command is not carried out"));
        return;
    }
    if (payload.size() > maxPayload) {
        warn(topic, payload, QStringLiteral("payload longer than %1 bytes").arg(maxPayload));
        return;
    }
    if (parsed->leaf == Leaf::Refresh) {
        wantState();
        return;
    }
    channelMessage(channel, parsed->leaf, topic, payload);
}

void RelayBridge::channelMessage(int channel, BoardContract::Leaf what, const QString &topic,
                                 const QByteArray &payload)
{
    using BoardContract::Leaf;
    if (what == Leaf::ChannelSet) {
        if (payload != "ON" && payload != "OFF") {
            warn(topic, payload, QStringLiteral("the payload is ON or OFF"));
            return;
        }
        std::array<int, RelayState::channels> flags {};
        flags[channel] = 1;
        sendCommand(CommandEncoder::channelCommand(payload == "ON" ? RelayOperation::Energise
                                                                   : RelayOperation::Release,
                                                   flags),
                    0, topic, payload);
        return;
    }
    int seconds = 0;
    if (payload == "PRESS" && what == Leaf::Pulse) {
        seconds = m_pulseSeconds[channel];
    } else {
        const DelayNumber delay = parseDelayNumber(QString::fromUtf8(payload));
        if (!delay.isDelay()) {
            warn(topic, payload,
                 what == Leaf::Pulse
                     ? QStringLiteral("the payload is a number of seconds 1..255, or PRESS")
                     : QStringLiteral("the payload is a number of seconds 1..255"));
            return;
        }
        seconds = delay.value;
    }
    if (what == Leaf::PulseLengthSet) {
        m_pulseSeconds[channel] = seconds;
        m_pulseKnown[channel] = true;
        publishPulseLength(channel);
        return;
    }
    sendCommand(CommandEncoder::timedRelay(channel, seconds), seconds, topic, payload);
}

BoardContract::Failure RelayBridge::sendCommand(const QByteArray &bytes, int pulseSeconds,
                                                const QString &topic, const QByteArray &payload,
                                                QString *reason)
{
    using BoardContract::Failure;
    const auto fail = [&](Failure failure, const QString &why) {
        warn(topic, payload, why);
        if (reason)
            *reason = why;
        return failure;
    };
    if (!m_portOpen)
        return fail(Failure::Offline, notOpenText());
    if (!m_line.take(int(bytes.size()), true))
        return fail(Failure::Busy,
                    QStringLiteral("the line is busy: the command would wait more than %1 ms "
                                   "behind the ones before it")
                        .arg(maxLineWaitMs));
    m_writing = true; // a failure said now belongs to this command
    m_droppedAtOnce.reset();
    const bool taken = m_serial.write(bytes);
    m_writing = false;
    if (!taken)
        return fail(Failure::LineFailed,
                    QStringLiteral("writing to %1 failed").arg(m_settings.portName));
    if (m_droppedAtOnce)
        return fail(
            Failure::LineFailed,
            QStringLiteral("%1: %2").arg(m_settings.portName, writeFailureText(*m_droppedAtOnce)));
    if (pulseSeconds > 0)
        pulseStarted(pulseSeconds);
    wantState();
    return Failure::None;
}

void RelayBridge::commandMessage(const BrokerMessage &m)
{
    const auto parsed = BridgeRequest::parse(m, QDateTime::currentMSecsSinceEpoch());
    if (const auto *refusal = std::get_if<BridgeRequest::Refusal>(&parsed))
        return refuse(m, *refusal);
    carryOut(m, std::get<BridgeRequest::Request>(parsed));
}

void RelayBridge::refuse(const BrokerMessage &m, const BridgeRequest::Refusal &refusal)
{
    warn(m.topic, m.payload, refusal.reason);
    if (refusal.route.topic.isEmpty())
        return;
    BoardContract::Answer a;
    a.probe = refusal.probe;
    a.failure = refusal.failure;
    a.reason = refusal.reason;
    answer(refusal.route, a);
}

QString RelayBridge::notOpenText() const
{
    return QStringLiteral("%1 is not open (the device is away)").arg(m_settings.portName);
}

void RelayBridge::carryOut(const BrokerMessage &m, const BridgeRequest::Request &request)
{
    using BoardContract::Failure;
    const Route &route = request.route;
    BoardContract::Answer result;
    result.probe = request.probe;
    if (request.probe) {
        // Heard, and the answer found its way: nothing goes to the line.
        if (!m_portOpen) {
            result.failure = Failure::Offline;
            result.reason = notOpenText();
        }
        answer(route, result);
        return;
    }
    const BoardContract::CommandKind kind = request.kind;
    // Every read on the line is a question in line order, whoever sent it and whether or not
    // anybody waits for its reply: the board's answer to it must not go to a later one.
    const bool waits = !route.topic.isEmpty() && request.replyWithinMs > 0 && kind.answered;
    if (kind.answered && m_waiters.size() >= std::size_t(maxWaiting))
        return refuse(
            m,
            {route, false, Failure::Busy,
             QStringLiteral("%1 reads are waiting for the board's reply already").arg(maxWaiting)});
    result.failure
        = sendCommand(request.bytes, kind.timedSeconds, m.topic, m.payload, &result.reason);
    result.written = result.failure == Failure::None;
    result.replyAsked = request.replyWithinMs > 0;
    if (result.written && kind.answered) {
        if (waits)
            wait({false, route, m_clock.elapsed() + request.replyWithinMs});
        else
            wait({false, {}, m_clock.elapsed() + boardReplyMs}); // nobody waits: no answer
    }
    if (!(result.written && waits) && !route.topic.isEmpty())
        answer(route, result);
}

void RelayBridge::answer(const Route &route, BoardContract::Answer answer)
{
    BrokerMessage m;
    m.topic = route.topic;
    answer.transaction = route.transaction;
    m.payload = BoardContract::answerJson(answer);
    m.correlationData = route.correlationData;
    // An answer nobody took soon is nobody's any more.
    m.expirySeconds = 60;
    m_mqtt.publish(m, 1);
}

void RelayBridge::wait(Waiter waiter)
{
    m_waiters.push_back(std::move(waiter));
    expireWaiters(); // sets the timer for the earliest deadline
}

bool RelayBridge::ownQuestionOpen() const
{
    return std::any_of(m_waiters.begin(), m_waiters.end(), [](const Waiter &w) { return w.own; });
}

void RelayBridge::expireWaiters(bool all)
{
    // All of them at once: the port went away (or came back after it did) before the board
    // answered.
    const qint64 now = m_clock.elapsed();
    qint64 next = -1;
    for (auto it = m_waiters.begin(); it != m_waiters.end();) {
        if (!all && it->deadline > now) {
            next = next < 0 ? it->deadline : qMin(next, it->deadline);
            ++it;
            continue;
        }
        if (!it->own) {
            if (!it->route.topic.isEmpty()) {
                BoardContract::Answer a;
                a.written = true;
                a.replyAsked = true;
                if (all) {
                    a.failure = BoardContract::Failure::Offline;
                    a.reason = QStringLiteral("%1 went away before the board answered")
                                   .arg(m_settings.portName);
                }
                answer(it->route, a);
            }
        } else if (!all && !m_saidNoAnswer) {
            m_saidNoAnswer = true;
            emit logLine(QStringLiteral("%1: the board did not answer the read-state command "
                                        "within %2 ms; no state is published (commands still "
                                        "go out)")
                             .arg(m_settings.portName)
                             .arg(boardReplyMs));
        }
        it = m_waiters.erase(it);
    }
    if (next >= 0)
        m_waitEnd.start(int(qMax<qint64>(0, next - now)));
    else
        m_waitEnd.stop();
}

void RelayBridge::pulseStarted(int seconds)
{
    // The relay drops by itself at the end: ask again then. One timer for all pulses; ends
    // that fall into the same tenth of a second share one question.
    constexpr qint64 grain = 100;
    const qint64 end = m_clock.elapsed() + seconds * 1000 + quietMs;
    m_pulseEnds.insert((end + grain - 1) / grain * grain);
    const qint64 first = *m_pulseEnds.begin();
    m_pulseEnd.start(int(qMax<qint64>(0, first - m_clock.elapsed())));
}

void RelayBridge::pulsesEnded()
{
    const qint64 now = m_clock.elapsed();
    bool ended = false;
    while (!m_pulseEnds.empty() && *m_pulseEnds.begin() <= now) {
        m_pulseEnds.erase(m_pulseEnds.begin());
        ended = true;
    }
    if (ended)
        wantState();
    if (!m_pulseEnds.empty())
        m_pulseEnd.start(int(qMax<qint64>(0, *m_pulseEnds.begin() - now)));
}

void RelayBridge::wantState()
{
    if (!m_portOpen)
        return;
    if (!m_stateWanted)
        m_stateWantedAt = m_clock.elapsed();
    m_stateWanted = true;
    restartQuiet();
}

void RelayBridge::restartQuiet()
{
    // A steady stream of commands or bytes would keep the line from ever falling quiet: the
    // question goes out anyway once it has waited stateWithinMs.
    const qint64 left = m_stateWantedAt + stateWithinMs - m_clock.elapsed();
    m_quiet.start(int(qBound(qint64(0), left, qint64(quietMs))));
}

void RelayBridge::askState()
{
    if (!m_stateWanted || !m_portOpen)
        return;
    if (ownQuestionOpen()) {
        m_quiet.start(quietMs); // the last question is still open
        return;
    }
    m_stateWanted = false;
    const QByteArray question = CommandEncoder::channelCommand(RelayOperation::ReadState);
    if (m_serial.write(question)) {
        m_line.take(int(question.size()), false);
        wait({true, {}, m_clock.elapsed() + boardReplyMs});
    }
}

void RelayBridge::publishEvent(const QString &topic, const QByteArray &payload, int qos,
                               bool counted)
{
    // An event is news only now: one the broker cannot take now is dropped and counted, never
    // kept to be replayed stale.
    if (!m_mqtt.isConnected()) {
        m_droppedEvents += counted;
        return;
    }
    if (m_mqtt.unacknowledged() >= maxUnacknowledged) {
        m_limiter.say(QStringLiteral("dropped"),
                      QStringLiteral("warning: the broker has not acknowledged %1 messages; "
                                     "%2 dropped")
                          .arg(maxUnacknowledged)
                          .arg(topic));
        return;
    }
    m_mqtt.publish(topic, payload, false, qos);
}

void RelayBridge::publishKey(const IrKeyMessage &m)
{
    const QByteArray json = BoardContract::keyJson(m, eventTimeNow());
    publishEvent(topic(BoardContract::Leaf::Key), json, 0);
    if (m_settings.verbose) {
        QStringList texts;
        for (const std::uint8_t b : {m.userCode1, m.userCode2, m.operationCode, m.inverseCode})
            texts << hexByteText(b);
        emit logLine(QStringLiteral("key %1 %2")
                         .arg(m.pressKind == PressKind::Long ? QStringLiteral("long")
                                                             : QStringLiteral("short"),
                              texts.join(QLatin1Char(' '))));
    }
}

void RelayBridge::publishBytes(const QByteArray &bytes)
{
    for (qsizetype at = 0; at < bytes.size(); at += BoardContract::maxStreamBytes)
        publishEvent(topic(BoardContract::Leaf::Bytes),
                     BoardContract::bytesText(bytes.mid(at, BoardContract::maxStreamBytes)), 1,
                     false); // counted as replies and key reports
}

void RelayBridge::dataReceived(const QByteArray &bytes)
{
    if (m_stateWanted)
        restartQuiet(); // the line is not quiet yet
    // The byte stream: what the board sent, as it sent it, but for the replies to this
    // bridge's own questions (its conversation, not the board's news).
    QByteArray stream;
    for (const char c : bytes) {
        stream += c;
        const DecodeResult r = m_decoder.onReceive(std::uint8_t(c));
        if (r.kind == DecodeResult::Kind::KeyMessage) {
            publishKey(r.message);
            continue;
        }
        if (r.kind != DecodeResult::Kind::ReplyByte)
            continue;
        // The board answers in order: a reply byte belongs to the oldest question still open.
        expireWaiters();
        if (!m_waiters.empty()) {
            const Waiter w = m_waiters.front();
            m_waiters.pop_front();
            expireWaiters(); // the next deadline
            m_mqtt.publish(topic(BoardContract::Leaf::State), BoardContract::stateJson(r.replyByte),
                           true);
            if (w.own) {
                m_saidNoAnswer = false;
                stream.chop(1);
                continue;
            }
            if (!w.route.topic.isEmpty()) {
                BoardContract::Answer a;
                a.written = a.replyAsked = true;
                a.reply = r.replyByte;
                answer(w.route, a);
            }
        }
        publishEvent(topic(BoardContract::Leaf::Reply), hexByteText(r.replyByte).toLatin1(), 1);
        if (m_settings.verbose)
            emit logLine(QStringLiteral("reply %1").arg(hexByteText(r.replyByte)));
    }
    if (!stream.isEmpty())
        publishBytes(stream);
}
