#include "mqttclient.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>

namespace {

// A client left to a connect attempt that had not come back when it was destroyed: the library
// stays as it is until the process ends.
std::atomic<bool> clientLeft {false};

// One per process, before the first client and after the last.
struct Library
{
    Library() { mosquitto_lib_init(); }
    ~Library()
    {
        if (!clientLeft)
            mosquitto_lib_cleanup();
    }
};

void ensureLibrary()
{
    static Library library;
}

} // namespace

QString BrokerMessage::userProperty(const QString &name) const
{
    for (const auto &[key, value] : userProperties) {
        if (key == name)
            return value;
    }
    return {};
}

MqttClient::MqttClient(QObject *parent)
    : QObject(parent)
{
    ensureLibrary();
    m_housekeeping.setInterval(1000);
    connect(&m_housekeeping, &QTimer::timeout, this, &MqttClient::housekeeping);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &MqttClient::connectNow);
}

MqttClient::~MqttClient()
{
    dropSocket();
    if (m_attempt.joinable()) {
        std::unique_lock lock(m_attemptState->mutex);
        if (!m_attemptState->done) {
            // Still waiting for the resolver: not waited for. The attempt's thread keeps the
            // library's client and ends on its own.
            m_attemptState->abandoned = true;
            clientLeft = true;
            lock.unlock();
            m_attempt.detach();
            return;
        }
        lock.unlock();
        m_attempt.join();
    }
    if (m_client)
        mosquitto_destroy(m_client);
}

QString MqttClient::errorText(int code)
{
    switch (code) {
    case MOSQ_ERR_ERRNO:
        return QString::fromLocal8Bit(std::strerror(errno));
    case MOSQ_ERR_KEEPALIVE:
        return QStringLiteral("the broker stopped answering");
    case MOSQ_ERR_EAI:
        return QStringLiteral("the host name cannot be looked up");
    case MOSQ_ERR_CONN_LOST:
        return QStringLiteral("the connection was closed");
    default:
        return QString::fromUtf8(mosquitto_strerror(code));
    }
}

QString MqttClient::refusalText(int code)
{
    // MQTT 5 reason codes are 128 and up; 1..5 are MQTT 3.1.1's.
    return QString::fromUtf8(code >= 128 ? mosquitto_reason_string(code)
                                         : mosquitto_connack_string(code));
}

bool MqttClient::isFinalRefusal(int code)
{
    switch (code) {
    case CONNACK_REFUSED_BAD_USERNAME_PASSWORD:
    case CONNACK_REFUSED_NOT_AUTHORIZED:
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
    case MQTT_RC_NOT_AUTHORIZED:
    case MQTT_RC_BANNED:
    case MQTT_RC_BAD_AUTHENTICATION_METHOD:
        return true;
    default:
        return false;
    }
}

void MqttClient::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}

bool MqttClient::start(const MqttSettings &settings, QString *error)
{
    const QByteArray id = settings.clientId.toUtf8();
    m_client = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), true, this);
    if (!m_client) {
        *error = QStringLiteral("the MQTT library could not make a client");
        return false;
    }
    m_keepAliveSeconds = settings.keepAliveSeconds;
    m_tls = settings.tls;
    mosquitto_connect_v5_callback_set(m_client, &MqttClient::onConnect);
    mosquitto_disconnect_v5_callback_set(m_client, &MqttClient::onDisconnect);
    mosquitto_publish_v5_callback_set(m_client, &MqttClient::onPublish);
    mosquitto_subscribe_v5_callback_set(m_client, &MqttClient::onSubscribe);
    mosquitto_message_v5_callback_set(m_client, &MqttClient::onMessage);
    mosquitto_log_callback_set(m_client, &MqttClient::onLog);
    // MQTT 5 first, for subscriptions that do not send this client's own messages back and for
    // the reasons of refusals; a broker of MQTT 3.1.1 only is spoken to in its version (see
    // onConnect).
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Small messages in pairs (a key report right after another) must not wait for the
    // acknowledgement of the first.
    mosquitto_int_option(m_client, MOSQ_OPT_TCP_NODELAY, 1);
    // The retained messages of a subscription come at once, thousands of them where there are
    // thousands of boards: as many as MQTT 5 lets a broker send unacknowledged, so that none
    // waits behind the others (or is dropped by a broker whose queue for this client is full).
    mosquitto_int_option(m_client, MOSQ_OPT_RECEIVE_MAXIMUM, 65535);
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
    if (rc == MOSQ_ERR_SUCCESS && settings.tls) {
        const QByteArray ca = settings.caFile.toLocal8Bit();
        const QByteArray cert = settings.certFile.toLocal8Bit();
        const QByteArray key = settings.keyFile.toLocal8Bit();
        if (settings.caFile.isEmpty())
            mosquitto_int_option(m_client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        // A key with a pass phrase would be asked for on a terminal: the caller refuses those.
        rc = mosquitto_tls_set(m_client, ca.isEmpty() ? nullptr : ca.constData(),
                               ca.isEmpty() ? "/etc/ssl/certs" : nullptr,
                               cert.isEmpty() ? nullptr : cert.constData(),
                               key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("the TLS files cannot be used: %1").arg(errorText(rc));
            return false;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = errorText(rc);
        return false;
    }
    if (settings.host.isEmpty() || settings.port < 1 || settings.port > 65535) {
        *error = errorText(MOSQ_ERR_INVAL);
        return false;
    }
    m_host = settings.host.toUtf8();
    m_port = settings.port;
    m_housekeeping.start();
    attempt(true);
    return true;
}

void MqttClient::connectNow()
{
    if (!m_client || m_state == State::Refused || m_state == State::Idle)
        return;
    attempt(false);
}

void MqttClient::attempt(bool first)
{
    setState(State::Connecting);
    m_refusal = m_disconnectReason = 0;
    m_libraryError.clear();
    // The library looks the host name up with getaddrinfo(), which blocks for as long as the
    // resolver takes (seconds with a name server that does not answer): the attempt runs on a
    // thread of its own, and nothing else touches the library's client until it is back.
    if (m_attempt.joinable())
        m_attempt.join();
    auto state = std::make_shared<AttemptState>();
    m_attemptState = state;
    mosquitto *client = m_client;
    const QByteArray host = m_host;
    const int port = m_port;
    const int keepAlive = m_keepAliveSeconds;
    m_attempt = std::thread([this, state, client, host, port, keepAlive, first] {
        const int rc = first ? mosquitto_connect_async(client, host.constData(), port, keepAlive)
                             : mosquitto_reconnect_async(client);
        const int error = errno;
        std::lock_guard lock(state->mutex);
        if (state->abandoned)
            return; // this object is gone
        QMetaObject::invokeMethod(
            this, [this, rc, error] { attempted(rc, error); }, Qt::QueuedConnection);
        state->done = true;
    });
}

void MqttClient::attempted(int rc, int error)
{
    if (m_attempt.joinable())
        m_attempt.join();
    if (m_state != State::Connecting)
        return; // finished meanwhile
    if (rc == MOSQ_ERR_SUCCESS) {
        watchSocket();
        return;
    }
    errno = error; // the reason of MOSQ_ERR_ERRNO, from the thread that saw it
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

void MqttClient::afterLoop(int rc)
{
    // The library closes the socket itself on a DISCONNECT from the broker and still answers
    // success: a notifier must not stay on a closed descriptor.
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_client) < 0)
        rc = MOSQ_ERR_CONN_LOST;
    if (rc != MOSQ_ERR_SUCCESS)
        broken(rc);
    else
        updateWriteInterest();
}

void MqttClient::readable()
{
    // The broker may send with Nagle's algorithm (mosquitto does unless set_tcp_nodelay): a
    // message that follows an acknowledgement it sent waits until this side's kernel has
    // acknowledged that one, which it delays by up to 40 ms. Acknowledging at once keeps a
    // command's way through the broker under a millisecond. Linux resets the flag now and then,
    // so it is set before each read.
    const int fd = mosquitto_socket(m_client);
    if (fd >= 0) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    }
    afterLoop(mosquitto_loop_read(m_client, 1));
}

void MqttClient::writable()
{
    afterLoop(mosquitto_loop_write(m_client, 1));
}

void MqttClient::housekeeping()
{
    // Keep-alive pings, and noticing a broker that stopped answering them.
    if (!m_read)
        return;
    afterLoop(mosquitto_loop_misc(m_client));
}

void MqttClient::noteFailure(int code)
{
    const int systemError = errno;
    const auto is = [this](FailureKind kind, int code = 0, QString detail = {}, int seconds = 0) {
        m_failure = {kind, 0, code, std::move(detail), seconds};
    };
    if (m_refusal != 0)
        return is(FailureKind::Refused, m_refusal, refusalText(m_refusal));
    if (m_disconnectReason == MQTT_RC_SESSION_TAKEN_OVER)
        return is(FailureKind::SameClientId, m_disconnectReason);
    if (m_disconnectReason >= 128)
        return is(FailureKind::ClosedByBroker, m_disconnectReason, refusalText(m_disconnectReason));
    if (code == MOSQ_ERR_KEEPALIVE && m_state != State::Connected)
        return is(FailureKind::NoConnack, 0, {}, m_keepAliveSeconds);
    if (code == MOSQ_ERR_KEEPALIVE)
        return is(FailureKind::NoAnswer, 0, {}, m_keepAliveSeconds * 3 / 2);
    if (m_libraryError.startsWith(QLatin1String("OpenSSL Error"))) {
        // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed"
        const int words = int(m_libraryError.lastIndexOf(QLatin1Char(':')));
        return is(FailureKind::Tls, 0, m_libraryError.mid(words + 1).trimmed());
    }
    if (code == MOSQ_ERR_TLS && !m_libraryError.isEmpty())
        return is(FailureKind::Tls, 0, m_libraryError);
    // The broker's alert does not always reach the library: a TLS connection it ends before
    // accepting the client is most often one that wants a client certificate.
    if (m_tls && m_state == State::Connecting
        && (code == MOSQ_ERR_CONN_LOST || code == MOSQ_ERR_TLS
            || (code == MOSQ_ERR_ERRNO && (systemError == EPROTO || systemError == ECONNRESET))))
        return is(FailureKind::ClientCertificateWanted);
    errno = systemError;
    const QString words = errorText(code);
    if (!m_libraryError.isEmpty() && code != MOSQ_ERR_ERRNO)
        return is(FailureKind::Other, 0, QStringLiteral("%1 (%2)").arg(words, m_libraryError));
    switch (code) {
    case MOSQ_ERR_ERRNO:
        m_failure = {FailureKind::Network, systemError, 0, words, 0};
        return;
    case MOSQ_ERR_EAI:
        return is(FailureKind::NameLookup, 0, words);
    case MOSQ_ERR_CONN_LOST:
        return is(FailureKind::Closed, 0, words);
    default:
        return is(FailureKind::Other, 0, words);
    }
}

void MqttClient::broken(int code)
{
    noteFailure(code); // errno first, before anything else runs
    dropSocket();
    m_pendingTopics.clear();
    m_pendingSubscriptions.clear();
    if (m_state == State::Refused || m_state == State::Idle)
        return;
    const bool wasConnected = m_state == State::Connected;
    // A second client with this ID closes each connection soon after the broker accepted it,
    // and the next attempt is accepted again. An attempt that fails in between shows an outage
    // of the broker or the network instead: the closures before it were not a twin.
    if (!wasConnected
        && (m_failure.kind == FailureKind::Network || m_failure.kind == FailureKind::NameLookup))
        m_shortLived = 0;
    if (m_refusal != 0 && isFinalRefusal(m_refusal)) {
        setState(State::Refused);
        emit refused(m_refusal, refusalText(m_refusal));
        return;
    }
    if (m_retryMs == 0) {
        // Only the protocol version changes (see onConnect): nothing to tell.
        setState(State::Waiting);
        m_retry.start(0);
        m_retryMs = firstRetryMs;
        return;
    }
    if (wasConnected) {
        if (m_connectedClock.elapsed() >= stableMs) {
            // A connection that served a while: its end is news, and the next one is tried
            // at once.
            m_lastFailure.reset();
            m_shortLived = 0;
            m_retryMs = firstRetryMs;
        } else if (code == MOSQ_ERR_CONN_LOST && m_disconnectReason == 0) {
            ++m_shortLived; // closed by the broker without a word, right after accepting it
        }
    }
    // Two clients with one ID take the session from each other at once, forever. A broker of
    // MQTT 5 says so ("session taken over"); some just close the older connection, again and
    // again. The slowest pace leaves the other one be most of the time.
    const bool takenOver = m_disconnectReason == MQTT_RC_SESSION_TAKEN_OVER;
    if (takenOver || m_shortLived >= maxShortLived) {
        if (!takenOver)
            m_failure = {FailureKind::SameClientId, 0, 0, {}, 0}; // closed again and again
        m_retryMs = lastRetryMs;
    }
    setState(State::Waiting);
    m_retry.start(m_retryMs);
    if (m_failure != m_lastFailure) {
        m_lastFailure = m_failure;
        emit connectionFailed(m_failure, m_retryMs, wasConnected);
    }
    m_retryMs = qBound(firstRetryMs, m_retryMs * 2, lastRetryMs);
}

bool MqttClient::publish(const QString &topic, const QByteArray &payload, bool retain, int qos)
{
    if (!m_client || m_state != State::Connected)
        return false;
    const QByteArray name = topic.toUtf8();
    int mid = 0;
    const int rc = mosquitto_publish(m_client, &mid, name.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS && qos > 0)
        m_pendingTopics.insert(mid, topic);
    updateWriteInterest(); // what the socket did not take at once
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::publish(const BrokerMessage &message, int qos)
{
    if (!m_client || m_state != State::Connected)
        return false;
    if (!m_version5) {
        // The expiry is the broker's courtesy; the rest MQTT 3.1.1 cannot carry.
        if (!message.responseTopic.isEmpty() || !message.correlationData.isEmpty()
            || !message.userProperties.isEmpty())
            return false;
        return publish(message.topic, message.payload, message.retained, qos);
    }
    mosquitto_property *properties = nullptr;
    int rc = MOSQ_ERR_SUCCESS;
    if (!message.responseTopic.isEmpty())
        rc = mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC,
                                           message.responseTopic.toUtf8().constData());
    if (rc == MOSQ_ERR_SUCCESS && !message.correlationData.isEmpty())
        rc = mosquitto_property_add_binary(
            &properties, MQTT_PROP_CORRELATION_DATA, message.correlationData.constData(),
            uint16_t(qMin<qsizetype>(message.correlationData.size(), 0xFFFF)));
    if (rc == MOSQ_ERR_SUCCESS && message.expirySeconds > 0)
        rc = mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL,
                                          uint32_t(message.expirySeconds));
    for (const auto &[name, value] : message.userProperties) {
        if (rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_property_add_string_pair(&properties, MQTT_PROP_USER_PROPERTY,
                                                    name.toUtf8().constData(),
                                                    value.toUtf8().constData());
    }
    int mid = 0;
    if (rc == MOSQ_ERR_SUCCESS) {
        const QByteArray name = message.topic.toUtf8();
        rc = mosquitto_publish_v5(m_client, &mid, name.constData(), int(message.payload.size()),
                                  message.payload.constData(), qos, message.retained, properties);
    }
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS && qos > 0)
        m_pendingTopics.insert(mid, message.topic);
    updateWriteInterest();
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::unsubscribe(const QString &pattern)
{
    if (!m_client || m_state != State::Connected)
        return false;
    const QByteArray name = pattern.toUtf8();
    const int rc = mosquitto_unsubscribe(m_client, nullptr, name.constData());
    updateWriteInterest();
    return rc == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const QString &pattern, Echo echo)
{
    if (!m_client || m_state != State::Connected)
        return false;
    const QByteArray name = pattern.toUtf8();
    int mid = 0;
    const int options = MQTT_SUB_OPT_RETAIN_AS_PUBLISHED
        | (echo == Echo::NotOwnMessages ? MQTT_SUB_OPT_NO_LOCAL : 0);
    const int rc = m_version5
        ? mosquitto_subscribe_v5(m_client, &mid, name.constData(), 1, options, nullptr)
        : mosquitto_subscribe(m_client, &mid, name.constData(), 1);
    if (rc == MOSQ_ERR_SUCCESS)
        m_pendingSubscriptions.insert(mid, pattern);
    updateWriteInterest();
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::finish(const QString &topic, const QByteArray &payload, int msecs)
{
    m_retry.stop();
    m_housekeeping.stop();
    if (!m_client)
        return;
    if (m_state == State::Connected) {
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
    setState(State::Idle);
}

void MqttClient::onConnect(mosquitto *, void *self, int code, int, const mosquitto_property *)
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
    if (code != 0) {
        client->m_refusal = code; // the library reports the closed connection next
        return;
    }
    client->m_connectedClock.start();
    client->setState(State::Connected);
    // Queued: the slots publish and subscribe, which is best done outside the library's call.
    QMetaObject::invokeMethod(
        client,
        [client] {
            if (client->isConnected())
                emit client->connected();
        },
        Qt::QueuedConnection);
}

void MqttClient::onDisconnect(mosquitto *, void *self, int code, const mosquitto_property *)
{
    // Library result codes are small; the broker's reason codes are 128 and up.
    if (code >= 128)
        static_cast<MqttClient *>(self)->m_disconnectReason = code;
}

void MqttClient::onPublish(mosquitto *, void *self, int mid, int code, const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    client->m_lastAcknowledged = mid;
    const QString topic = client->m_pendingTopics.take(mid);
    if (code < 128 || topic.isEmpty() || client->m_deniedTopics.contains(topic))
        return;
    client->m_deniedTopics.insert(topic);
    const QString reason = refusalText(code);
    QMetaObject::invokeMethod(
        client, [client, topic, reason] { emit client->publishDenied(topic, reason); },
        Qt::QueuedConnection);
}

void MqttClient::onSubscribe(mosquitto *, void *self, int mid, int count, const int *granted,
                             const mosquitto_property *)
{
    auto *client = static_cast<MqttClient *>(self);
    const QString pattern = client->m_pendingSubscriptions.take(mid);
    if (pattern.isEmpty())
        return;
    // MQTT 3.1.1 says 0x80 for every refusal; MQTT 5 gives the reason.
    const int code = count > 0 ? granted[0] : MQTT_RC_UNSPECIFIED;
    QMetaObject::invokeMethod(
        client,
        [client, pattern, code] {
            if (code < 128)
                emit client->subscribed(pattern);
            else
                emit client->subscriptionDenied(pattern, refusalText(code));
        },
        Qt::QueuedConnection);
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message,
                           const mosquitto_property *properties)
{
    auto *client = static_cast<MqttClient *>(self);
    BrokerMessage m;
    m.topic = QString::fromUtf8(message->topic);
    m.payload = QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    m.retained = message->retain;
    char *text = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &text, false)) {
        m.responseTopic = QString::fromUtf8(text);
        std::free(text);
    }
    void *data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length,
                                       false)) {
        m.correlationData = QByteArray(static_cast<const char *>(data), length);
        std::free(data);
    }
    uint32_t expiry = 0;
    if (mosquitto_property_read_int32(properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry,
                                      false))
        m.expirySeconds = int(qMin<uint32_t>(expiry, INT32_MAX));
    // A few pairs at most are of use; the rest of a flood is not read.
    constexpr int maxPairs = 16;
    const mosquitto_property *at = properties;
    bool skipFirst = false;
    for (int i = 0; i < maxPairs; ++i) {
        char *name = nullptr;
        char *value = nullptr;
        at = mosquitto_property_read_string_pair(at, MQTT_PROP_USER_PROPERTY, &name, &value,
                                                 skipFirst);
        if (!at)
            break;
        m.userProperties.append({QString::fromUtf8(name), QString::fromUtf8(value)});
        std::free(name);
        std::free(value);
        skipFirst = true;
    }
    QMetaObject::invokeMethod(
        client, [client, m] { emit client->messageArrived(m); }, Qt::QueuedConnection);
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    // TLS failures are told only here ("OpenSSL Error[0]: ...certificate verify failed").
    if (level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING)) {
        QString line = QString::fromUtf8(text).simplified();
        if (line.startsWith(QLatin1String("Error: ")))
            line = line.mid(7);
        auto *client = static_cast<MqttClient *>(self);
        if (client->m_libraryError.isEmpty()) // the first says most; the rest follow from it
            client->m_libraryError = line.left(300);
    }
}
