#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <optional>

#include "boardcontract.h"

class MqttClient;
struct BrokerMessage;

// A board that a bridge announced on the broker (its retained availability).
struct RemoteBoard
{
    QString id;
    bool online = false;
    std::optional<std::uint8_t> state; // the relays, from the retained state, when known
};

// The boards a broker knows, for the programs that drive them from afar, and the requests to
// them: a command goes to relayboard/ID/command in a request envelope with this client's
// answer topic and a transaction of its own, and the bridge's answer comes back to the
// request that made it.
//
// The picture is whole ("synced") once the broker has sent the retained messages of the
// subscriptions. MQTT does not promise them before the subscription's acknowledgement (a
// broker may send them after it, or hold some back while others wait for acknowledgement):
// once every subscription is acknowledged, this client sends a message of its own to its own
// topic, relayclient/ID/sync, and the broker hands it over behind what it had queued before.
// The availability comes first, then the states, each followed by such a message.
class BrokerBoards : public QObject
{
    Q_OBJECT
public:
    // A hostile broker (or client) cannot make the list grow without bound.
    static constexpr int maxBoards = 100000;

    // `clientId`: the connection's own, for the answer topic (checked as the bridge's IDs:
    // a-z 0-9 _ -).
    BrokerBoards(MqttClient &client, const QString &clientId, QObject *parent = nullptr);
    // A client ID of its own for each run: `prefix` and twelve random hex digits.
    static QString randomClientId(const QString &prefix);

    // Only this board is asked for (before the connection is made): a program that drives one
    // board does not wait for the retained messages of all the others.
    void followOnly(const QString &id) { m_only = id; }

    MqttClient &client() { return m_client; }
    bool isSynced() const { return m_synced; }
    // Connected, subscriptions acknowledged, waiting for the marker to come back.
    bool isWaitingForMarker() const { return !m_marker.isEmpty() && !m_synced; }
    QString syncTopic() const { return m_syncTopic; }
    QList<RemoteBoard> boards() const { return m_boards.values(); } // by ID
    std::optional<RemoteBoard> board(const QString &id) const;
    QString responseTopic() const { return m_responseTopic; }

    // Publishes the command; the answer comes as answered(token, ...), or unanswered(token)
    // when none came within `timeoutMs`. The bridge carries out no command it sees after that
    // time. `replyWithinMs` > 0: the answer carries the board's reply byte. 0 when the command
    // could not be published (the broker is not connected).
    quint64 request(const QString &id, const QByteArray &bytes, int replyWithinMs, int timeoutMs);
    // Asks the board's bridge whether it hears requests and its answers come back, without
    // anything reaching the board: answered with Answer::probe, or unanswered.
    quint64 probe(const QString &id, int timeoutMs);
    // Forgets a request: its answer, if it comes, is dropped.
    void forget(quint64 token);

signals:
    void synced();
    // A board appeared or went, or its availability or state changed.
    void boardsChanged();
    void answered(quint64 token, const BoardContract::Answer &answer);
    void unanswered(quint64 token);

private:
    void connected();
    void subscribePhase();
    void subscribed(const QString &pattern);
    void message(const BrokerMessage &message);
    void boardMessage(const BoardContract::BoardTopic &topic, const QByteArray &payload);
    quint64 send(const QString &id, BoardContract::Envelope envelope, int timeoutMs);
    void expire();

    MqttClient &m_client;
    QString m_responseTopic;
    QString m_syncTopic;
    bool m_synced = false;
    QString m_only;
    int m_phase = 0; // subscriptions: 0 the boards' availability, 1 their states
    QStringList m_unacknowledged; // subscriptions of this phase, not acknowledged yet
    QByteArray m_marker; // sent to the sync topic, on its way back
    QMap<QString, RemoteBoard> m_boards;
    // States of boards whose availability has not come yet (the broker's order between two
    // subscriptions is its own).
    QHash<QString, std::uint8_t> m_earlyStates;
    struct Pending
    {
        QString transaction;
        qint64 deadline; // ms since the epoch
    };
    QHash<quint64, Pending> m_pending;
    quint64 m_nextToken = 1;
    QTimer m_expiry;
};
