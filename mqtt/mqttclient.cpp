#include "mqttclient.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// One per process, before the first client and after the last.
struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void ensureLibrary()
{
    static Library library;
}

} // namespace

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
{
    ensureLibrary();
    m_misc.setInterval(1000);
    connect(&m_misc, &QTimer::timeout, this, &MqttClient::housekeeping);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::connectNow);
}

MqttClient::~MqttClient()
{
    dropSocket();
    if (m_client)
        mosquitto_destroy(m_client);
}

QString MqttClient::errorText(int code)
{
    return QString::fromUtf8(mosquitto_strerror(code));
}

QString MqttClient::refusalText(int code)
{
    // MQTT 5 reason codes are 128 and up; 1..5 are MQTT 3.1.1's.
    return QString::fromUtf8(code >= 128 ? mosquitto_reason_string(code)
                                         : mosquitto_connack_string(code));
}

bool MqttClient::start(const MqttSettings &settings, QString *error)
{
    const QByteArray id = settings.clientId.toUtf8();
    m_client = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!m_client) {
        *error = QStringLiteral("the MQTT library could not make a client");
        return false;
    }
    mosquitto_connect_callback_set(m_client, &MqttClient::onConnect);
    mosquitto_publish_callback_set(m_client, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_client, &MqttClient::onMessage);
    // MQTT 5 first, for subscriptions that do not send this client's own messages back; a
    // broker of MQTT 3.1.1 only is spoken to in its version (see onConnect).
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    int rc = MOSQ_ERR_SUCCESS;
    if (!settings.willTopic.isEmpty()) {
        const QByteArray topic = settings.willTopic.toUtf8();
        rc = mosquitto_will_set(m_client, topic.constData(), int(settings.willPayload.size()),
                                settings.willPayload.constData(), 1, true);
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.username.isEmpty()) {
        const QByteArray user = settings.username.toUtf8();
        const QByteArray password = settings.password.toUtf8();
        rc = mosquitto_username_pw_set(m_client, user.constData(),
                                       settings.password.isNull() ? nullptr : password.constData());
    }
    if (rc == MOSQ_ERR_SUCCESS && !settings.caFile.isEmpty()) {
        const QByteArray ca = settings.caFile.toLocal8Bit();
        rc = mosquitto_tls_set(m_client, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("the CA file cannot be used: %1").arg(errorText(rc));
            return false;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = errorText(rc);
        return false;
    }
    // The library keeps host, port and keep-alive for the reconnects.
    const QByteArray host = settings.host.toUtf8();
    rc = mosquitto_connect_async(m_client, host.constData(), settings.port,
                                 settings.keepAliveSeconds);
    m_started = true;
    if (rc == MOSQ_ERR_INVAL) {
        *error = errorText(rc);
        return false;
    }
    if (rc == MOSQ_ERR_SUCCESS)
        watchSocket();
    else
        broken(rc); // a broker that is not there yet: try again later
    m_misc.start();
    return true;
}

void MqttClient::connectNow()
{
    if (!m_client || m_refused)
        return;
    const int rc = mosquitto_reconnect_async(m_client);
    if (rc == MOSQ_ERR_SUCCESS)
        watchSocket();
    else
        broken(rc);
}

void MqttClient::watchSocket()
{
    dropSocket();
    const int fd = mosquitto_socket(m_client);
    if (fd < 0)
        return;
    m_read = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_read, &QSocketNotifier::activated, this, &MqttClient::readable);
    m_write = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(m_write, &QSocketNotifier::activated, this, &MqttClient::writable);
    updateWriteInterest(); // the connect request waits for the socket to connect
}

void MqttClient::dropSocket()
{
    delete m_read;
    delete m_write;
    m_read = m_write = nullptr;
}

void MqttClient::updateWriteInterest()
{
    if (m_write)
        m_write->setEnabled(m_client && mosquitto_want_write(m_client));
}

void MqttClient::readable()
{
    const int rc = mosquitto_loop_read(m_client, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        broken(rc);
    else
        updateWriteInterest();
}

void MqttClient::writable()
{
    const int rc = mosquitto_loop_write(m_client, 1);
    if (rc != MOSQ_ERR_SUCCESS)
        broken(rc);
    else
        updateWriteInterest();
}

void MqttClient::housekeeping()
{
    // Keep-alive pings, and noticing a broker that stopped answering them.
    if (!m_read)
        return;
    const int rc = mosquitto_loop_misc(m_client);
    if (rc != MOSQ_ERR_SUCCESS)
        broken(rc);
    else
        updateWriteInterest();
}

void MqttClient::broken(int code)
{
    dropSocket();
    const bool wasConnected = m_connected;
    m_connected = false;
    if (m_refused)
        return;
    if (wasConnected) {
        m_retryMs = firstRetryMs;
        emit connectionLost(errorText(code));
    }
    m_retry.start(m_retryMs);
    m_retryMs = qBound(firstRetryMs, m_retryMs * 2, lastRetryMs);
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain, int qos)
{
    if (!m_client)
        return false;
    const QByteArray name = topic.toUtf8();
    const int rc = mosquitto_publish(m_client, nullptr, name.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    updateWriteInterest(); // what the socket did not take at once
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &pattern)
{
    if (!m_client)
        return false;
    const QByteArray name = pattern.toUtf8();
    const int rc = m_version5 ? mosquitto_subscribe_v5(m_client, nullptr, name.constData(), 1,
                                                       MQTT_SUB_OPT_NO_LOCAL, nullptr)
                              : mosquitto_subscribe(m_client, nullptr, name.constData(), 1);
    updateWriteInterest();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::finish(const QString &topic, const QByteArray &payload, int msecs)
{
    m_retry.stop();
    m_misc.stop();
    if (!m_client)
        return;
    if (m_connected) {
        int mid = -1;
        const QByteArray name = topic.toUtf8();
        if (mosquitto_publish(m_client, &mid, name.constData(), int(payload.size()),
                              payload.constData(), 1, true)
            == MOSQ_ERR_SUCCESS) {
            // Outside the event loop now: the library's own loop, briefly.
            QDeadlineTimer deadline(msecs);
            while (m_lastAcknowledged != mid && !deadline.hasExpired()) {
                if (mosquitto_loop(m_client, int(qMin<qint64>(deadline.remainingTime(), 50)), 1)
                    != MOSQ_ERR_SUCCESS)
                    break;
            }
        }
        mosquitto_disconnect(m_client);
        mosquitto_loop_write(m_client, 1);
    }
    dropSocket();
    m_connected = false;
}

void MqttClient::onConnect(mosquitto *, void *self, int code)
{
    auto *client = static_cast<MqttClient *>(self);
    if (client->m_version5
        && (code == CONNACK_REFUSED_PROTOCOL_VERSION
            || code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
        // An MQTT 3.1.1 broker: again at once, in its version.
        client->m_version5 = false;
        mosquitto_int_option(client->m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
        client->m_retryMs = 0;
        return;
    }
    if (code == 0) {
        client->m_connected = true;
        client->m_retryMs = firstRetryMs;
    } else {
        client->m_refused = true;
    }
    // Queued: the slots publish and subscribe, which is best done outside the library's call.
    QMetaObject::invokeMethod(
        client,
        [client, code] {
            if (code == 0)
                emit client->connected();
            else
                emit client->refused(code, refusalText(code));
        },
        Qt::QueuedConnection);
}

void MqttClient::onPublish(mosquitto *, void *self, int mid)
{
    static_cast<MqttClient *>(self)->m_lastAcknowledged = mid;
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    const QString topic = QString::fromUtf8(message->topic);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    QMetaObject::invokeMethod(
        client,
        [client, topic, payload, retained] {
            emit client->messageReceived(topic, payload, retained);
        },
        Qt::QueuedConnection);
}
