#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// A real mosquitto broker on a free loopback port, with its configuration in a folder of its
// own; it is stopped with the object.
class TestBroker
{
public:
    // `users`: name and password pairs; with any, anonymous clients are refused.
    explicit TestBroker(const QList<QPair<QString, QString>> &users = {});
    ~TestBroker();
    bool isRunning() const { return m_process.state() == QProcess::Running; }
    int port() const { return m_port; }
    // Ends the broker (retained messages are not kept) and starts it again on the same port.
    void stop();
    bool start();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
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

// mosquitto_pub: one message; `extra` are further options (-r for retained).
bool mqttPublish(int port, const QString &topic, const QByteArray &payload,
                 const QStringList &extra = {});
