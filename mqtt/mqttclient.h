#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

struct mosquitto;
struct mosquitto_message;

struct MqttSettings
{
    QString host = QStringLiteral("localhost");
    int port = 1883;
    QString clientId;
    QString username;
    QString password; // read from a file by the caller; never logged
    QString caFile; // TLS when set
    QString willTopic; // published by the broker when this client vanishes
    QByteArray willPayload;
    int keepAliveSeconds = 10;
};

// A connection to an MQTT broker through libmosquitto, the broker project's own client. The
// library runs its network loop in a thread of its own, which also reconnects after a lost
// connection with a growing delay (1 s doubling to 30 s); everything it reports reaches this
// object's signals on the thread that made it, through queued calls.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; false, with the library's reason, when the settings cannot be used
    // (an unreadable CA file, say). Connection failures come as signals.
    bool start(const MqttSettings &settings, QString *error);
    bool isConnected() const { return m_connected; }
    // QoS 1: the broker has it at least once. False when the library could not queue it.
    bool publish(const QString &topic, const QByteArray &payload, bool retain);
    bool subscribe(const QString &pattern);
    // The last words of a clean end: publishes `payload` (retained) and waits for the broker to
    // acknowledge it, at most `msecs`, then disconnects (so no last will is sent) and stops the
    // network thread.
    void finish(const QString &topic, const QByteArray &payload, int msecs);

    // What the library says of a result code, and of a refused connection.
    static QString errorText(int code);
    static QString refusalText(int code);

signals:
    void connected();
    // The broker answered but refused this client (wrong credentials, not authorised).
    void refused(int code, const QString &reason);
    void connectionLost(const QString &reason);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int code);
    static void onDisconnect(mosquitto *, void *self, int code);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    mosquitto *m_client = nullptr;
    bool m_threadRunning = false;
    std::atomic<bool> m_connected {false};
    std::atomic<int> m_lastAcknowledged {-1};
};
