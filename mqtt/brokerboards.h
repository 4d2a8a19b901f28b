#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <optional>

#include "boardrequest.h"

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
// them: a command goes to relayboard/ID/command with this client's response topic and a
// correlation token of its own, and the bridge's answer comes back to the request that made it.
//
// The picture is whole ("synced") once the broker has sent the retained messages of the
// subscriptions: the answer to the last subscription, made after the others, comes after them.
class BrokerBoards : public QObject
{
    Q_OBJECT
public:
    // `clientId`: the connection's own, for the response topic (checked as the bridge's IDs:
    // a-z 0-9 _ -).
    BrokerBoards(MqttClient &client, const QString &clientId, QObject *parent = nullptr);
    // A client ID of its own for each run: `prefix` and twelve random hex digits.
    static QString randomClientId(const QString &prefix);

    MqttClient &client() { return m_client; }
    bool isSynced() const { return m_synced; }
    QList<RemoteBoard> boards() const { return m_boards.values(); } // by ID
    std::optional<RemoteBoard> board(const QString &id) const;
    QString responseTopic() const { return m_responseTopic; }

    // Publishes the command; the answer comes as answered(token, ...), or unanswered(token)
    // when none came within `timeoutMs`. The bridge carries out no command it sees after that
    // time. `replyWithinMs` > 0: the answer carries the board's reply byte. 0 when the command
    // could not be published (the broker is not connected).
    quint64 request(const QString &id, const QByteArray &bytes, int replyWithinMs, int timeoutMs);
    // Forgets a request: its answer, if it comes, is dropped.
    void forget(quint64 token);

signals:
    void synced();
    // A board appeared or went, or its availability or state changed.
    void boardsChanged();
    void answered(quint64 token, const BoardRequest::Answer &answer);
    void unanswered(quint64 token);

private:
    void connected();
    void message(const BrokerMessage &message);
    void expire();

    MqttClient &m_client;
    QString m_responseTopic;
    bool m_synced = false;
    QMap<QString, RemoteBoard> m_boards;
    struct Pending
    {
        QByteArray correlation;
        qint64 deadline; // ms since the epoch
    };
    QHash<quint64, Pending> m_pending;
    quint64 m_nextToken = 1;
    QTimer m_expiry;
};
