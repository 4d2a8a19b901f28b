#include "brokerboards.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include "mqttclient.h"
#include "relaystate.h"

namespace {

// A hostile broker (or client) cannot make the list grow without bound.
constexpr int maxBoards = 1000;

std::optional<std::uint8_t> parseState(const QByteArray &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    std::uint8_t state = 0;
    for (int ch = 0; ch < RelayState::channels; ++ch) {
        const QString value = o.value(QStringLiteral("ch%1").arg(ch + 1)).toString();
        if (value == QLatin1String("ON"))
            state |= std::uint8_t(1 << ch);
        else if (value != QLatin1String("OFF"))
            return std::nullopt;
    }
    return state;
}

} // namespace

BrokerBoards::BrokerBoards(MqttClient &client, const QString &clientId, QObject *parent)
    : QObject(parent)
    , m_client(client)
    , m_responseTopic(QLatin1String(BoardRequest::responseRoot) + clientId
                      + QStringLiteral("/answer"))
{
    m_expiry.setSingleShot(true);
    connect(&m_expiry, &QTimer::timeout, this, &BrokerBoards::expire);
    connect(&m_client, &MqttClient::connected, this, &BrokerBoards::connected);
    connect(&m_client, &MqttClient::messageArrived, this, &BrokerBoards::message);
    connect(&m_client, &MqttClient::subscribed, this, [this](const QString &pattern) {
        if (pattern != m_responseTopic || m_synced)
            return;
        m_synced = true;
        emit synced();
        emit boardsChanged();
    });
    connect(&m_client, &MqttClient::stateChanged, this, [this](MqttClient::State state) {
        if (state == MqttClient::State::Connected || !m_synced)
            return;
        // What the broker told is not known any more; it tells it again at the next connect.
        m_synced = false;
        m_boards.clear();
        emit boardsChanged();
    });
}

QString BrokerBoards::randomClientId(const QString &prefix)
{
    QString id = prefix;
    for (int i = 0; i < 12; ++i)
        id += QLatin1Char("0123456789abcdef"[QRandomGenerator::global()->bounded(16)]);
    return id;
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
    m_boards.clear();
    m_client.subscribe(QStringLiteral("relayboard/+/availability"));
    m_client.subscribe(QStringLiteral("relayboard/+/state"));
    m_client.subscribe(m_responseTopic); // the last: its answer marks the picture whole
}

void BrokerBoards::message(const BrokerMessage &m)
{
    if (m.topic == m_responseTopic) {
        const auto answer = BoardRequest::parseAnswer(m.payload);
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->correlation != m.correlationData)
                continue;
            const quint64 token = it.key();
            m_pending.erase(it);
            if (answer)
                emit answered(token, *answer);
            else
                emit unanswered(token);
            return;
        }
        return; // an answer to a request given up, or somebody else's words
    }
    const QStringList parts = m.topic.split(QLatin1Char('/'));
    if (parts.size() != 3 || parts[0] != QLatin1String("relayboard")
        || !BoardRequest::isValidId(parts[1]))
        return;
    const QString &id = parts[1];
    const auto it = m_boards.find(id);
    if (parts[2] == QLatin1String("availability")) {
        if (m.payload.isEmpty()) { // the retained message was deleted: the board is gone
            if (it == m_boards.end())
                return;
            m_boards.erase(it);
        } else if (m.payload == "online" || m.payload == "offline") {
            const bool online = m.payload == "online";
            if (it == m_boards.end()) {
                if (m_boards.size() >= maxBoards)
                    return;
                m_boards.insert(id, {id, online, std::nullopt});
            } else if (it->online == online) {
                return;
            } else {
                it->online = online;
            }
        } else {
            return;
        }
    } else if (parts[2] == QLatin1String("state")) {
        const auto state = parseState(m.payload.left(200));
        if (it == m_boards.end() || !state || it->state == state)
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
    BrokerMessage m;
    m.topic = BoardRequest::boardTopic(id, "command");
    m.payload = BoardRequest::commandText(bytes);
    m.responseTopic = m_responseTopic;
    m.correlationData.resize(16);
    QRandomGenerator::global()->generate(m.correlationData.begin(), m.correlationData.end());
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + timeoutMs;
    // Neither the broker nor the bridge carries it out once the requester has given up.
    m.expirySeconds = (timeoutMs + 999) / 1000;
    m.userProperties.append(
        {QLatin1String(BoardRequest::expiresProperty), QString::number(deadline)});
    if (replyWithinMs > 0)
        m.userProperties.append(
            {QLatin1String(BoardRequest::replyWithinProperty), QString::number(replyWithinMs)});
    if (!m_client.publish(m, 1))
        return 0;
    const quint64 token = m_nextToken++;
    m_pending.insert(token, {m.correlationData, deadline});
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
