#include "mqttclient.h"

#include <QDeadlineTimer>
#include <QThread>

#include <mosquitto.h>

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
}

MqttClient::~MqttClient()
{
    if (!m_client)
        return;
    if (m_threadRunning) {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, true);
    }
    mosquitto_destroy(m_client);
}

QString MqttClient::errorText(int code)
{
    return QString::fromUtf8(mosquitto_strerror(code));
}

QString MqttClient::refusalText(int code)
{
    return QString::fromUtf8(mosquitto_connack_string(code));
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
    mosquitto_disconnect_callback_set(m_client, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(m_client, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_client, &MqttClient::onMessage);
    mosquitto_reconnect_delay_set(m_client, 1, 30, true);
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
    const QByteArray host = settings.host.toUtf8();
    // A broker that is not there yet is no error: the network thread keeps trying.
    rc = mosquitto_connect_async(m_client, host.constData(), settings.port,
                                 settings.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO) {
        *error = errorText(rc);
        return false;
    }
    rc = mosquitto_loop_start(m_client);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = errorText(rc);
        return false;
    }
    m_threadRunning = true;
    return true;
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    if (!m_client)
        return false;
    const QByteArray name = topic.toUtf8();
    return mosquitto_publish(m_client, nullptr, name.constData(), int(payload.size()),
                             payload.constData(), 1, retain)
        == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &pattern)
{
    if (!m_client)
        return false;
    const QByteArray name = pattern.toUtf8();
    return mosquitto_subscribe(m_client, nullptr, name.constData(), 1) == MOSQ_ERR_SUCCESS;
}

void MqttClient::finish(const QString &topic, const QByteArray &payload, int msecs)
{
    if (!m_client || !m_threadRunning)
        return;
    if (m_connected) {
        int mid = -1;
        const QByteArray name = topic.toUtf8();
        if (mosquitto_publish(m_client, &mid, name.constData(), int(payload.size()),
                              payload.constData(), 1, true)
            == MOSQ_ERR_SUCCESS) {
            // The acknowledgement comes on the network thread; a short, bounded wait.
            QDeadlineTimer deadline(msecs);
            while (m_lastAcknowledged != mid && m_connected && !deadline.hasExpired())
                QThread::msleep(2);
        }
    }
    mosquitto_disconnect(m_client);
    // Connected, the thread ends on the disconnect; otherwise it may be waiting to retry.
    mosquitto_loop_stop(m_client, !m_connected);
    m_threadRunning = false;
    m_connected = false;
}

void MqttClient::onConnect(mosquitto *, void *self, int code)
{
    auto *client = static_cast<MqttClient *>(self);
    if (code == 0)
        client->m_connected = true;
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

void MqttClient::onDisconnect(mosquitto *, void *self, int code)
{
    auto *client = static_cast<MqttClient *>(self);
    const bool wasConnected = client->m_connected.exchange(false);
    if (code == 0 || !wasConnected)
        return; // our own disconnect, or a refused connection already reported
    QMetaObject::invokeMethod(
        client, [client, code] { emit client->connectionLost(errorText(code)); },
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
