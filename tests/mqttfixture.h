#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>

struct BrokerConfig
{
    // Name and password pairs; with any, anonymous clients are refused.
    QList<QPair<QString, QString>> users;
    QByteArray acl; // the text of an access list, when the broker is to have one
    QString address = QStringLiteral("127.0.0.1"); // where it listens: "::1" for IPv6
    // A TLS listener with this certificate and key, trusting this CA for client certificates.
    QString caFile;
    QString certFile;
    QString keyFile;
    bool requireCertificate = false;
    // Lines at the end of the configuration: a bridge to another broker.
    QByteArray tail;
};

// The lines that join a broker to the one at `port` with mosquitto's bridge, every topic both
// ways; `protocol`: mqttv311 (the bridge's default) or mqttv50.
QByteArray bridgeTo(int port, const QByteArray &protocol);

// A real mosquitto broker on a free loopback port, with its configuration in a folder of its
// own; it is stopped with the object.
class TestBroker
{
public:
    explicit TestBroker(const QList<QPair<QString, QString>> &users = {});
    explicit TestBroker(const BrokerConfig &config);
    ~TestBroker();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    int port() const { return m_port; }
    // Ends the broker (retained messages are not kept) and starts it again on the same port.
    void stop();
    bool start();
    // Stops and continues the process: a broker that holds its connections and answers nothing.
    void freeze();
    void thaw();
    // What the broker logged so far.
    QString log() const;

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_address;
    QByteArray m_listener; // the listener's own settings (TLS)
    int m_port = 0;
};

// Certificates made by openssl for the test, in a folder of their own: a CA; a broker
// certificate from it for localhost and 127.0.0.1 ("server") and one for another host name
// ("elsewhere"); a client certificate from it ("client"); and a CA nobody uses ("other-ca").
// path("server.crt"), path("server.key"), ...
class TestCertificates
{
public:
    TestCertificates();
    bool ok() const { return m_ok; }
    QString path(const QString &name) const { return m_dir.filePath(name); }

private:
    bool run(const QStringList &args);
    bool issue(const QString &name, const QString &subjectAltName);
    QTemporaryDir m_dir;
    bool m_ok = false;
};

struct MqttMessage
{
    bool retained = false;
    QString topic;
    QByteArray payload;
};

// mosquitto_sub on every topic, as any client of the broker would see the traffic.
class TestSubscriber
{
public:
    explicit TestSubscriber(int port, const QString &filter = QStringLiteral("#"));
    ~TestSubscriber();
    // Subscribed (a probe message came back).
    bool isReady() const { return m_ready; }
    QList<MqttMessage> messages();
    // The first message after `from` (an index into messages()) that matches; waits up to
    // `msecs` while the event loop runs.
    std::optional<MqttMessage> waitFor(const std::function<bool(const MqttMessage &)> &match,
                                       int from = 0, int msecs = 20000);
    std::optional<MqttMessage> waitForTopic(const QString &topic, int from = 0, int msecs = 20000);

private:
    void readLines();
    QProcess m_process;
    QByteArray m_partial;
    QList<MqttMessage> m_messages;
    bool m_ready = false;
};

// A program that runs until it is stopped (relay-mqtt), its standard error collected; ended
// with SIGTERM (killed if it hangs) with the object.
class BridgeProcess
{
public:
    BridgeProcess(const QString &program, const QStringList &args);
    ~BridgeProcess();
    QString log();
    bool waitForLog(const QString &text, int msecs = 20000);
    // The exit status once it has ended; -1 while it still runs after `msecs` (a hang).
    int waitExit(int msecs = 30000);
    pid_t pid() const { return pid_t(m_process.processId()); }

private:
    QProcess m_process;
    QString m_log;
};

// A broker that speaks MQTT 3.1.1 only, played in front of a real one: a CONNECT of MQTT 5 is
// refused as an unsupported protocol version; any other connection is passed through to the
// broker at `port` as it is.
class Mqtt311Gate
{
public:
    explicit Mqtt311Gate(int port);
    ~Mqtt311Gate();
    int port() const;
    int refusedVersion5() const { return m_refused; }

private:
    struct Private;
    std::unique_ptr<Private> d;
    int m_refused = 0;
};

// ejabberd's MQTT, another broker implementation: started in the foreground with a
// configuration of its own (a mod_mqtt listener on a free loopback port, any user name and
// password taken, its Erlang distribution on loopback) and ended with the object. ejabberdctl
// runs the node as the user ejabberd when started by root.
class TestEjabberd
{
public:
    TestEjabberd();
    ~TestEjabberd();
    // Accepting MQTT connections; otherwise why not.
    bool isRunning() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // Not startable by this user at all (not a failure of ejabberd).
    bool isUnavailable() const { return m_unavailable; }
    int port() const { return m_port; }

private:
    // Its own for each run (two suites may run one each at the same time).
    QByteArray nodeName() const { return "relaytest" + QByteArray::number(m_port) + "@localhost"; }

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
    bool m_unavailable = false;
};

// mosquitto_pub: one message; `extra` are further options (-r for retained).
bool mqttPublish(int port, const QString &topic, const QByteArray &payload,
                 const QStringList &extra = {});
