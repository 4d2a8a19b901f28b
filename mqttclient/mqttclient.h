#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTimer>

#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "mqttsettings.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;
class QSocketNotifier;

// A message with what MQTT 5 requests carry beside it: where the answer goes, the requester's
// own token for it, and name/value pairs.
struct BrokerMessage
{
    QString topic;
    QByteArray payload;
    bool retained = false;
    QString responseTopic;
    QByteArray correlationData;
    QList<QPair<QString, QString>> userProperties;
    // Seconds the broker keeps the message for a subscriber that has not taken it yet; 0: no
    // limit.
    int expirySeconds = 0;

    // The value of the first user property of that name; empty when there is none.
    QString userProperty(const QString &name) const;
};
Q_DECLARE_METATYPE(BrokerMessage)

// A connection to an MQTT broker through libmosquitto, the broker project's own client, driven
// from the Qt event loop: the library's socket under socket notifiers, its housekeeping (keep
// alive) on a timer. Only the connect request itself (whose name lookup blocks) runs on a
// thread of its own; everything after it runs on this object's thread. A publish goes out in the
// call that makes it; while the connection is down nothing is queued (the library would keep every
// message and replay them all, stale, at the next connect). A failed or lost connection is tried
// again after 1 s, doubling up to 30 s; only a refusal that another attempt cannot change ends the
// attempts.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int firstRetryMs = 1000;
    static constexpr int lastRetryMs = 30000;
    // A connection that lasted this long was a good one: after it the attempts start again
    // from the first pause. One closed sooner by the broker, this many times in a row, is taken
    // for another client with the same ID.
    static constexpr int stableMs = 10000;
    static constexpr int maxShortLived = 3;

    enum class State {
        Idle, // not started, or finished
        Connecting, // a connect request is under way
        Connected,
        Waiting, // for the next attempt
        Refused, // for good: credentials or authorisation
    };
    Q_ENUM(State)

    // What the last failed attempt or lost connection met, as a kind with its particulars:
    // each program words it in its own language and names its own options.
    enum class FailureKind {
        Network, // the system's error: systemError
        NameLookup,
        Tls, // detail: the TLS library's words
        ClientCertificateWanted, // the broker ended a TLS connection before accepting it
        NoAnswer, // no answer to the keep-alive within `seconds`
        NoConnack, // the connection was taken, its CONNECT not answered within `seconds`
        Closed, // the connection was closed without a word
        ClosedByBroker, // with a DISCONNECT: code
        // Another client took the session (code: the broker's DISCONNECT reason), or the broker
        // keeps closing it right after accepting it (code 0).
        SameClientId,
        Refused, // a refusal another attempt may overcome: code
        Other, // detail: the library's words
    };
    Q_ENUM(FailureKind)
    struct Failure
    {
        FailureKind kind = FailureKind::Other;
        int systemError = 0;
        int code = 0;
        QString detail; // the library's own words, where it has some (English)
        int seconds = 0;
        bool operator==(const Failure &) const = default;
    };
    const Failure &lastFailure() const { return m_failure; }

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; false, with the reason, when the settings cannot be used. Connection
    // failures come as signals.
    bool start(const MqttSettings &settings, QString *error);
    State state() const { return m_state; }
    bool isConnected() const { return m_state == State::Connected; }
    // The broker took the connection and has not answered its CONNECT yet.
    bool isWaitingForConnack() const { return m_state == State::Connecting && m_read; }
    // QoS 1 (the broker has it at least once) or 0 (sent once, no acknowledgement). False, and
    // nothing kept for later, while not connected or when the library could not take it.
    bool publish(const QString &topic, const QByteArray &payload, bool retain, int qos = 1);
    // With the message's MQTT 5 properties. Over MQTT 3.1.1 the expiry is left out, and a
    // message with any other property is not sent (false).
    bool publish(const BrokerMessage &message, int qos = 1);
    // Whether the connection speaks MQTT 5 (requests and answers need it).
    bool isVersion5() const { return m_version5; }
    // At QoS 1; retained messages arrive marked as retained also after the subscription was
    // made. This client's own messages are not sent back unless asked for (over MQTT 3.1.1
    // they always are).
    enum class Echo { NotOwnMessages, OwnMessagesToo };
    bool subscribe(const QString &pattern, Echo echo = Echo::NotOwnMessages);
    bool unsubscribe(const QString &pattern);
    // The last words of a clean end: publishes `payload` (retained) and waits for the broker to
    // acknowledge it, at most `msecs`, then disconnects, so that no last will is sent.
    void finish(const QString &topic, const QByteArray &payload, int msecs);
    // QoS 1 messages sent and not acknowledged yet.
    int unacknowledged() const { return int(m_pendingTopics.size()); }

    // A library result code in words, with the system's reason where it has one.
    static QString errorText(int code);
    // A refusal (CONNACK code: 1..5 for MQTT 3.1.1, 128 and up for MQTT 5) in words.
    static QString refusalText(int code);
    // Whether another attempt could be accepted: bad credentials, not authorised, banned and a
    // bad authentication method stay as they are until somebody changes the settings.
    static bool isFinalRefusal(int code);

signals:
    void stateChanged(MqttClient::State state);
    void connected();
    // The broker refused this client for good (see isFinalRefusal); no further attempt is made.
    void refused(int code, const QString &reason);
    // An attempt failed (the broker cannot be reached, TLS failed, a passing refusal) or a
    // connection was lost; said once for each new failure, not for every attempt. `retryMs`:
    // when the next attempt is made.
    void connectionFailed(const MqttClient::Failure &failure, int retryMs, bool wasConnected);
    // The broker answered a publish or a subscription with a refusal (an access list).
    void publishDenied(const QString &topic, const QString &reason);
    void subscriptionDenied(const QString &pattern, const QString &reason);
    void subscribed(const QString &pattern);
    // A message of a subscription, with its properties.
    void messageArrived(const BrokerMessage &message);

private:
    static void onConnect(mosquitto *, void *self, int code, int flags, const mosquitto_property *);
    static void onDisconnect(mosquitto *, void *self, int code, const mosquitto_property *);
    static void onPublish(mosquitto *, void *self, int mid, int code, const mosquitto_property *);
    static void onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                            const mosquitto_property *);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message,
                          const mosquitto_property *);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void setState(State state);
    void connectNow();
    // A connect request (the first, or a reconnect) on a thread of its own; attempted() is
    // its end, back on this object's thread.
    void attempt(bool first);
    void attempted(int rc, int error);
    void watchSocket();
    void dropSocket();
    void readable();
    void writable();
    void housekeeping();
    void afterLoop(int rc);
    void broken(int code);
    void noteFailure(int code); // sets m_failure
    void updateWriteInterest();

    mosquitto *m_client = nullptr;
    struct AttemptState
    {
        std::mutex mutex;
        bool done = false; // its end is posted to this object
        bool abandoned = false; // this object is gone: the thread keeps the client
    };
    std::thread m_attempt;
    std::shared_ptr<AttemptState> m_attemptState;
    QByteArray m_host;
    int m_port = 0;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    QTimer m_housekeeping; // keep-alive pings and the library's other periodic work
    QTimer m_retry;
    State m_state = State::Idle;
    int m_retryMs = firstRetryMs;
    QElapsedTimer m_connectedClock; // since the last connect was accepted
    int m_shortLived = 0; // connections in a row the broker closed soon after accepting them
    int m_keepAliveSeconds = 10;
    bool m_version5 = true;
    bool m_tls = false;
    int m_lastAcknowledged = -1;
    // What the library told during the last attempt, for the reason of its failure.
    int m_refusal = 0; // CONNACK code
    int m_disconnectReason = 0; // the broker's DISCONNECT reason code
    QString m_libraryError; // its last error log line (TLS failures come only this way)
    // Said already; not again until it changes or a connect succeeds.
    std::optional<Failure> m_lastFailure;
    Failure m_failure;
    QHash<int, QString> m_pendingTopics; // QoS 1 publishes by message id, until acknowledged
    QHash<int, QString> m_pendingSubscriptions;
    QSet<QString> m_deniedTopics; // said once each
};
Q_DECLARE_METATYPE(MqttClient::Failure)
