#include "brokerboards.h"

#include <QDateTime>
#include <QRandomGenerator>

#include "mqttclient.h"

namespace {

QString randomHex(int digits)
{
    QString text;
    for (int i = 0; i < digits; ++i)
        text += QLatin1Char("0123456789abcdef"[QRandomGenerator::global()->bounded(16)]);
    return text;
}

} // namespace

BrokerBoards::BrokerBoards(MqttClient &client, const QString &clientId, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_responseTopic(QLatin1String(BoardContract::responseRoot) + clientId
                      + QStringLiteral("/answer"))
    , m_syncTopic(QLatin1String(BoardContract::responseRoot) + clientId + QStringLiteral("/sync"))
{
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &BrokerBoards::expire);
    connect(&m_client, &MqttClient::connected, this, &BrokerBoards::connected);
    connect(&m_client, &MqttClient::messageArrived, this, &BrokerBoards::message);
    connect(&m_client, &MqttClient::subscribed, this, &BrokerBoards::subscribed);
    connect(&m_client, &MqttClient::stateChanged, this, [this](MqttClient::State state) {
        if (state == MqttClient::State::Connected)
            return;
        m_marker.clear();
        m_unacknowledged.clear();
        if (!m_synced)
            return;
        // What the broker told is not known any more; it tells it again at the next connect.
        m_synced = false;
        m_boards.clear();
        m_earlyStates.clear();
        emit boardsChanged();
    });
}

QString BrokerBoards::randomClientId(const QString &prefix)
{
    return prefix + randomHex(12);
}

std::optional<RemoteBoard> BrokerBoards::board(const QString &id) const
{
    const auto it = m_boards.constFind(id);
    if (it == m_boards.constEnd())
        return std::nullopt;
    return *it;
}

void BrokerBoards::connected()
{
    m_synced = false;
    m_marker.clear();
    m_boards.clear();
    m_earlyStates.clear();
    m_phase = 0;
    subscribePhase();
}

void BrokerBoards::subscribePhase()
{
    using BoardContract::Leaf;
    // The boards' availability first, their states after it: a broker that queues only so many
    // messages for a client (mosquitto, for one of MQTT 3.1.1) gets half as many at once.
    const auto boards = [this](Leaf leaf) {
        return m_only.isEmpty() ? BoardContract::everyBoard(leaf)
                                : BoardContract::topic(m_only, leaf);
    };
    m_unacknowledged = m_phase == 0
        ? QStringList {boards(Leaf::Availability), m_responseTopic, m_syncTopic}
        : QStringList {boards(Leaf::State)};
    for (const QString &pattern : std::as_const(m_unacknowledged))
        m_client.subscribe(pattern,
                           pattern == m_syncTopic ? MqttClient::Echo::OwnMessagesToo
                                                  : MqttClient::Echo::NotOwnMessages);
}

void BrokerBoards::subscribed(const QString &pattern)
{
    if (!m_unacknowledged.removeOne(pattern) || !m_unacknowledged.isEmpty())
        return;
    // Behind every retained message the broker queued for this client.
    m_marker = randomHex(16).toLatin1();
    m_client.publish(m_syncTopic, m_marker, false, 1);
}

void BrokerBoards::message(const BrokerMessage &m)
{
    if (m.topic == m_syncTopic) {
        if (m_synced || m_marker.isEmpty() || m.payload != m_marker)
            return;
        m_marker.clear();
        if (++m_phase < 2)
            return subscribePhase();
        m_synced = true;
        emit synced();
        emit boardsChanged();
        return;
    }
    if (m.topic == m_responseTopic) {
        const auto answer = BoardContract::parseAnswer(m.payload.left(1024));
        if (!answer || answer->transaction.isEmpty())
            return; // somebody else's words
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->transaction != answer->transaction)
                continue;
            const quint64 token = it.key();
            m_pending.erase(it);
            emit answered(token, *answer);
            return;
        }
        return; // an answer to a request given up
    }
    const auto topic = BoardContract::parseTopic(m.topic);
    if (topic)
        boardMessage(*topic, m.payload);
}

void BrokerBoards::boardMessage(const BoardContract::BoardTopic &topic, const QByteArray &payload)
{
    const QString &id = topic.id;
    const auto it = m_boards.find(id);
    if (topic.leaf == BoardContract::Leaf::Availability) {
        const std::optional<bool> online = BoardContract::parseAvailability(payload);
        if (payload.isEmpty()) { // the retained message was deleted: the board is gone
            m_earlyStates.remove(id);
            if (it == m_boards.end())
                return;
            m_boards.erase(it);
        } else if (!online) {
            return;
        } else if (it == m_boards.end()) {
            if (m_boards.size() >= maxBoards)
                return;
            RemoteBoard board {id, *online, std::nullopt};
            if (const auto early = m_earlyStates.find(id); early != m_earlyStates.end()) {
                board.state = *early;
                m_earlyStates.erase(early);
            }
            m_boards.insert(id, board);
        } else if (it->online == *online) {
            return;
        } else {
            it->online = *online;
        }
    } else if (topic.leaf == BoardContract::Leaf::State) {
        const auto state = BoardContract::parseState(payload);
        if (!state)
            return;
        if (it == m_boards.end()) {
            if (m_earlyStates.size() < maxBoards)
                m_earlyStates.insert(id, *state);
            return;
        }
        if (it->state == state)
            return;
        it->state = state;
    } else {
        return;
    }
    if (m_synced)
        emit boardsChanged();
}

quint64 BrokerBoards::request(const QString &id, const QByteArray &bytes, int replyWithinMs,
                              int timeoutMs)
{
    BoardContract::Envelope e;
    e.command = bytes;
    e.replyWithinMs = replyWithinMs;
    return send(id, e, timeoutMs);
}

quint64 BrokerBoards::probe(const QString &id, int timeoutMs)
{
    BoardContract::Envelope e;
    e.probe = true;
    return send(id, e, timeoutMs);
}

quint64 BrokerBoards::send(const QString &id, BoardContract::Envelope e, int timeoutMs)
{
    e.transaction = randomHex(16);
    e.answerTo = m_responseTopic;
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + timeoutMs;
    // Neither the bridge nor (over MQTT 5) the broker carries it out once the requester has
    // given up.
    e.expires = deadline;
    BrokerMessage m;
    m.topic = BoardContract::topic(id, BoardContract::Leaf::Command);
    m.payload = BoardContract::envelopeJson(e);
    m.expirySeconds = (timeoutMs + 999) / 1000;
    if (!m_client.publish(m, 1))
        return 0;
    const quint64 token = m_nextToken++;
    m_pending.insert(token, {e.transaction, deadline});
    if (!m_expiry.isActive() || m_expiry.remainingTime() > timeoutMs)
        m_expiry.start(timeoutMs);
    return token;
}

void BrokerBoards::forget(quint64 token)
{
    m_pending.remove(token);
}

void BrokerBoards::expire()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 next = -1;
    QList<quint64> late;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (it->deadline <= now) {
            late << it.key();
            it = m_pending.erase(it);
        } else {
            next = next < 0 ? it->deadline : qMin(next, it->deadline);
            ++it;
        }
    }
    if (next >= 0)
        m_expiry.start(int(next - now));
    for (const quint64 token : std::as_const(late))
        emit unanswered(token);
}
