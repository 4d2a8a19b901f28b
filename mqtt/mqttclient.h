#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

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

// A connection to an MQTT broker through libmosquitto, the broker project's own client, driven
// from the Qt event loop: the library's socket under socket notifiers, its housekeeping (keep
// alive) on a timer, no thread of its own. A publish goes out in the call that makes it. A lost
// or failed connection is tried again after 1 s, doubling up to 30 s.
class MqttClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int firstRetryMs = 1000;
    static constexpr int lastRetryMs = 30000;

    explicit MqttClient(QObject *parent = nullptr);
    ~MqttClient() override;

    // Starts connecting; false, with the library's reason, when the settings cannot be used
    // (an unreadable CA file, say). Connection failures come as signals.
    bool start(const MqttSettings &settings, QString *error);
    bool isConnected() const { return m_connected; }
    // QoS 1 (the broker has it at least once) or 0 (sent once, no acknowledgement). False when
    // the library could not take it.
    bool publish(const QString &topic, const QByteArray &payload, bool retain, int qos = 1);
    bool subscribe(const QString &pattern);
    // The last words of a clean end: publishes `payload` (retained) and waits for the broker to
    // acknowledge it, at most `msecs`, then disconnects, so that no last will is sent.
    void finish(const QString &topic, const QByteArray &payload, int msecs);

    // What the library says of a result code, and of a refused connection.
    static QString errorText(int code);
    static QString refusalText(int code);

signals:
    void connected();
    // The broker answered but refused this client (wrong credentials, not authorised); no
    // further attempt is made.
    void refused(int code, const QString &reason);
    void connectionLost(const QString &reason);
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int code);
    static void onPublish(mosquitto *, void *self, int mid);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);

    void connectNow();
    void watchSocket();
    void dropSocket();
    void readable();
    void writable();
    void housekeeping();
    void broken(int code);
    void updateWriteInterest();

    mosquitto *m_client = nullptr;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    QTimer m_misc;
    QTimer m_retry;
    int m_retryMs = firstRetryMs;
    bool m_started = false; // the first connect was made; later ones reconnect
    bool m_connected = false;
    bool m_refused = false;
    bool m_version5 = true;
    int m_lastAcknowledged = -1;
};
