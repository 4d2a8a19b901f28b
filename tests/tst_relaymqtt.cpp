#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mqttfixture.h"
#include "portguard.h"
#include "portholder.h"
#include "ptyrelayboard.h"

namespace {

// relay-mqtt as a service runs it, its log lines collected.
class Bridge : public BridgeProcess
{
public:
    explicit Bridge(const QStringList &args)
        : BridgeProcess(QStringLiteral(RELAY_MQTT), args)
    { }
};

QStringList bridgeArgs(const TestBroker &broker, const QString &device,
                       const QString &id = QStringLiteral("bench"))
{
    return {QStringLiteral("--device"), device,
            QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(broker.port()),
            QStringLiteral("--id"),     id};
}

// A broker played by the test: it answers every CONNECT with a CONNACK carrying the code it was
// given (in the client's protocol version: MQTT 5 when the CONNECT says level 5, else 3.1.1).
// A refusal closes the connection, as a broker that refuses does; an accepted client has its
// publishes acknowledged and its subscriptions answered with `subackCode`.
class ScriptedBroker
{
public:
    ScriptedBroker(int code5, int code311, int subackCode = 1)
        : m_code5(code5)
        , m_code311(code311)
        , m_subackCode(subackCode)
    {
        m_server.listen(QHostAddress::LocalHost);
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket, buffer] {
                    *buffer += socket->readAll();
                    while (serve(socket, buffer.get())) { }
                });
            }
        });
    }
    int port() const { return m_server.serverPort(); }
    int connects() const { return m_connects; }

private:
    // Answers the first whole packet in `buffer` and removes it; false until one is whole.
    bool serve(QTcpSocket *socket, QByteArray *buffer)
    {
        int length = 0, shift = 0, at = 1;
        for (;; ++at) {
            if (at >= buffer->size())
                return false;
            const auto byte = quint8(buffer->at(at));
            length |= (byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80))
                break;
        }
        const int start = at + 1;
        if (buffer->size() < start + length)
            return false;
        const QByteArray body = buffer->mid(start, length);
        const auto type = quint8(buffer->at(0));
        buffer->remove(0, start + length);
        if (type == 0x10) { // CONNECT: "\0\4MQTT", then the level
            m_level = body.size() > 6 ? body[6] : 0;
            ++m_connects;
            const int code = m_level == 5 ? m_code5 : m_code311;
            socket->write(m_level == 5 ? QByteArray("\x20\x03\x00", 3) + char(code) + '\0'
                                       : QByteArray("\x20\x02\x00", 3) + char(code));
            if (code != 0)
                socket->disconnectFromHost();
        } else if ((type & 0xF0) == 0x30 && (type & 0x06) == 0x02) { // PUBLISH at QoS 1
            const int topicLength = (quint8(body[0]) << 8) | quint8(body[1]);
            socket->write(QByteArray("\x40\x02", 2) + body.mid(2 + topicLength, 2));
        } else if (type == 0x82) { // SUBSCRIBE: packet id, properties, one filter
            socket->write(QByteArray("\x90\x04", 2) + body.left(2) + '\0' + char(m_subackCode));
        }
        return true;
    }

    QTcpServer m_server;
    int m_code5, m_code311, m_subackCode;
    int m_level = 0;
    int m_connects = 0;
};

// A file with these lines, for the password option.
QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &content,
                  mode_t mode = 0600)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(content);
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
    return path;
}

bool isOnline(const MqttMessage &m)
{
    return m.topic == QLatin1String("relayboard/bench/availability") && m.payload == "online";
}

bool isOffline(const MqttMessage &m)
{
    return m.topic == QLatin1String("relayboard/bench/availability") && m.payload == "offline";
}

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

QByteArray state(const char *ch1, const char *ch2, const char *ch3, const char *ch4)
{
    return QStringLiteral("{\"ch1\":\"%1\",\"ch2\":\"%2\",\"ch3\":\"%3\",\"ch4\":\"%4\"}")
        .arg(ch1, ch2, ch3, ch4)
        .toUtf8();
}

} // namespace

// relay-mqtt as a separate process between a real mosquitto broker and the simulated board.
class TestRelayMqtt : public QObject
{
    Q_OBJECT
private slots:
    void discoveryAvailabilityAndState();
    void commandsReachTheLine_data();
    void commandsReachTheLine();
    void badMessagesWriteNothing_data();
    void badMessagesWriteNothing();
    void keyReportsBecomeEvents();
    void lastWillWhenKilled();
    void reconnectsAfterTheBrokerRestarts();
    void terminationSignals_data();
    void terminationSignals();
    void credentials_data();
    void credentials();
    void portBusyOrMissing();
    void deviceGoneAndBack();
    void unreachableBrokerSaidOnce();
    void refusals_data();
    void refusals();
    void tls_data();
    void tls();
    void usageErrors_data();
    void usageErrors();
    void addressForms_data();
    void addressForms();
    void accessListDenials();
    void subscriptionDenied();
    void waitsForAHeldPort();
    void waitsForAMissingDevice();
    void twoBridgesWithOneId();
    void brokerAwayWhileTheBoardTalks();
    void keepAliveTimeout();
    void brokerThatNeverAnswersConnect();
    void birthMessage();
    void pulseButtonAndLength();
    void commandsBeyondTheLinePaceAreRefused();
};

void TestRelayMqtt::discoveryAvailabilityAndState()
{
    TestBroker broker;
    QVERIFY(broker.isRunning());
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.isReady());

    QVERIFY(sub.waitFor(isOnline));
    const auto st = sub.waitForTopic(QStringLiteral("relayboard/bench/state"));
    QVERIFY(st);
    QCOMPARE(st->payload, state("OFF", "OFF", "OFF", "OFF"));
    for (int ch = 1; ch <= 4; ++ch) {
        const auto config
            = sub.waitForTopic(QStringLiteral("homeassistant/switch/bench_ch%1/config").arg(ch));
        QVERIFY(config);
        const QJsonObject o = json(config->payload);
        QCOMPARE(o.value("unique_id").toString(), QStringLiteral("bench_ch%1").arg(ch));
        QCOMPARE(o.value("command_topic").toString(),
                 QStringLiteral("relayboard/bench/ch%1/set").arg(ch));
        QCOMPARE(o.value("state_topic").toString(), QStringLiteral("relayboard/bench/state"));
        QCOMPARE(o.value("value_template").toString(),
                 QStringLiteral("{{ value_json.ch%1 }}").arg(ch));
        QCOMPARE(o.value("payload_on").toString(), QStringLiteral("ON"));
        QCOMPARE(o.value("payload_off").toString(), QStringLiteral("OFF"));
        QCOMPARE(o.value("availability_topic").toString(),
                 QStringLiteral("relayboard/bench/availability"));
        QCOMPARE(o.value("device").toObject().value("identifiers").toArray().first().toString(),
                 QStringLiteral("bench"));
    }
    const auto keys = sub.waitForTopic(QStringLiteral("homeassistant/event/bench_keys/config"));
    QVERIFY(keys);
    QCOMPARE(json(keys->payload).value("event_types").toArray(), (QJsonArray {"short", "long"}));
    QCOMPARE(json(keys->payload).value("state_topic").toString(),
             QStringLiteral("relayboard/bench/key"));

    // Retained: a client that comes later sees the same.
    TestSubscriber late(broker.port());
    QVERIFY(late.waitFor([](const MqttMessage &m) { return m.retained && isOnline(m); }));
    QVERIFY(late.waitFor([](const MqttMessage &m) {
        return m.retained && m.topic == QLatin1String("homeassistant/switch/bench_ch3/config");
    }));
}

void TestRelayMqtt::commandsReachTheLine_data()
{
    QTest::addColumn<QString>("topic"); // under relayboard/bench/
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QByteArray>("bytes"); // the command on the wire, before the state question
    QTest::addColumn<QByteArray>("state"); // published after it
    QTest::newRow("ch1 on") << "ch1/set" << QByteArray("ON") << QByteArray("\x11")
                            << state("ON", "OFF", "OFF", "OFF");
    QTest::newRow("ch3 off") << "ch3/set" << QByteArray("OFF") << QByteArray("\x24")
                             << state("OFF", "OFF", "OFF", "OFF");
    QTest::newRow("ch4 pulse 45 s") << "ch4/pulse" << QByteArray("45") << QByteArray("\xCB\xB7")
                                    << state("OFF", "OFF", "OFF", "ON");
    QTest::newRow("ch2 pulse, the console's number rule")
        << "ch2/pulse" << QByteArray(" 16 ") << QByteArray("\xC5")
        << state("OFF", "ON", "OFF", "OFF");
    QTest::newRow("refresh") << "refresh" << QByteArray("now") << QByteArray()
                             << state("OFF", "OFF", "OFF", "OFF");
}

void TestRelayMqtt::commandsReachTheLine()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, state);
    TestBroker broker;
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    const QString stateTopic = QStringLiteral("relayboard/bench/state");
    // The state at start, asked for with 0x30: once, or twice when the first answer came
    // before the broker connection did. Nothing else.
    QVERIFY(sub.waitForTopic(stateTopic));
    QVERIFY(!wire.isEmpty());
    QCOMPARE(wire, QByteArray(wire.size(), '\x30'));
    wire.clear();
    const int from = int(sub.messages().size());

    QVERIFY(mqttPublish(broker.port(), QStringLiteral("relayboard/bench/") + topic, payload));
    const auto after = sub.waitForTopic(stateTopic, from);
    QVERIFY2(after, qPrintable(bridge.log()));
    QCOMPARE(after->payload, state);
    QCOMPARE(wire, bytes + '\x30');
}

void TestRelayMqtt::badMessagesWriteNothing_data()
{
    QTest::addColumn<QString>("topic"); // under relayboard/bench/
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>(
        "retained"); // 0 no, 1 published before the bridge starts, 2 while it runs
    QTest::newRow("channel 5") << "ch5/set" << QByteArray("ON") << 0;
    QTest::newRow("channel 0") << "ch0/set" << QByteArray("ON") << 0;
    QTest::newRow("lower-case on") << "ch1/set" << QByteArray("on") << 0;
    QTest::newRow("ON with a space") << "ch1/set" << QByteArray("ON ") << 0;
    QTest::newRow("toggle") << "ch1/set" << QByteArray("TOGGLE") << 0;
    QTest::newRow("pulse 0") << "ch1/pulse" << QByteArray("0") << 0;
    QTest::newRow("pulse 256") << "ch1/pulse" << QByteArray("256") << 0;
    QTest::newRow("pulse in hex") << "ch1/pulse" << QByteArray("0x10") << 0;
    QTest::newRow("pulse, text") << "ch1/pulse" << QByteArray("\x1b[2Jsoon") << 0;
    QTest::newRow("huge payload") << "ch1/pulse" << QByteArray(100000, '7') << 0;
    QTest::newRow("unknown topic") << "reboot" << QByteArray("1") << 0;
    QTest::newRow("deeper topic") << "ch1/set/now" << QByteArray("ON") << 0;
    // Kept by the broker, it would switch the relay at every start of the bridge.
    QTest::newRow("retained command") << "ch1/set" << QByteArray("ON") << 1;
    // Seen as retained also when it comes in while the bridge runs (retain as published).
    QTest::newRow("retained command while running") << "ch2/set" << QByteArray("ON") << 2;
}

void TestRelayMqtt::badMessagesWriteNothing()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(int, retained);
    TestBroker broker;
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    const QString name = QStringLiteral("relayboard/bench/") + topic;
    // A retained command waits at the broker for the bridge to come.
    if (retained == 1)
        QVERIFY(mqttPublish(broker.port(), name, payload, {"-r"}));
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    if (retained != 1)
        QVERIFY(mqttPublish(broker.port(), name, payload,
                            retained == 2 ? QStringList {"-r"} : QStringList {}));
    QVERIFY2(bridge.waitForLog(QStringLiteral("warning: relayboard/bench/") + topic),
             qPrintable(bridge.log()));
    QVERIFY(bridge.log().contains(QStringLiteral("nothing sent")));
    // One line, and nothing from the payload raw.
    QCOMPARE(bridge.log().count(QStringLiteral("warning:")), 1);
    QVERIFY(!bridge.log().contains(QChar(0x1b)));
    // What reaches the line next is the answer to a refresh, and nothing came before it.
    const int from = int(sub.messages().size());
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("relayboard/bench/refresh"), "now"));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QCOMPARE(wire, QByteArray("\x30\x30")); // the state at start, and the refresh
    QCOMPARE(board.relays(), std::uint8_t(0));
}

void TestRelayMqtt::keyReportsBecomeEvents()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    const int from = int(sub.messages().size());
    board.sendKeyReport(false, 0x00, 0xFF, 0x12, 0xED);
    board.sendKeyReport(true, 0x53, 0x4C, 0x01, 0x02); // markers inside a report are data
    const QString topic = QStringLiteral("relayboard/bench/key");
    const auto first = sub.waitForTopic(topic, from);
    QVERIFY(first);
    const auto second = sub.waitFor(
        [&](const MqttMessage &m) { return m.topic == topic && m.payload != first->payload; },
        from);
    QVERIFY(second);
    const QJsonObject s = json(first->payload), l = json(second->payload);
    QCOMPARE(s.value("event_type").toString(), QStringLiteral("short"));
    QCOMPARE(s.value("bytes").toArray(), (QJsonArray {"0x00", "0xFF", "0x12", "0xED"}));
    QCOMPARE(l.value("event_type").toString(), QStringLiteral("long"));
    QCOMPARE(l.value("bytes").toArray(), (QJsonArray {"0x53", "0x4C", "0x01", "0x02"}));
    QVERIFY2(s.value("time").toString().contains(QRegularExpression(
                 "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$")),
             qPrintable(s.value("time").toString()));
    QVERIFY(!first->retained);
    // No line per key report without --verbose.
    QVERIFY(!bridge.log().contains(QStringLiteral("key short")));
}

void TestRelayMqtt::lastWillWhenKilled()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitFor(isOnline));
    const int from = int(sub.messages().size());
    ::kill(bridge.pid(), SIGKILL);
    QVERIFY(sub.waitFor(isOffline, from));
    TestSubscriber late(broker.port());
    QVERIFY(late.waitFor([](const MqttMessage &m) { return m.retained && isOffline(m); }));
}

void TestRelayMqtt::reconnectsAfterTheBrokerRestarts()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    {
        TestSubscriber sub(broker.port());
        QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    }
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("relayboard/bench/ch2/set"), "ON"));
    QTRY_COMPARE_WITH_TIMEOUT(board.relays(), std::uint8_t(0x02), 20000);

    broker.stop(); // and with it every retained message
    QVERIFY(bridge.waitForLog(QStringLiteral("lost the broker")));
    QVERIFY(broker.start());
    TestSubscriber sub(broker.port());
    // Back by itself, with everything a newcomer needs, the relay state included.
    QVERIFY(sub.waitFor(isOnline, 0, 60000));
    QVERIFY(sub.waitForTopic(QStringLiteral("homeassistant/switch/bench_ch1/config"), 0, 60000));
    const auto st = sub.waitForTopic(QStringLiteral("relayboard/bench/state"), 0, 60000);
    QVERIFY(st);
    QCOMPARE(st->payload, state("OFF", "ON", "OFF", "OFF"));
    QCOMPARE(bridge.log().count(QStringLiteral("connected to the broker")), 2);
}

void TestRelayMqtt::terminationSignals_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestRelayMqtt::terminationSignals()
{
    QFETCH(int, signalNumber);
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    const int from = int(sub.messages().size());
    ::kill(bridge.pid(), signalNumber);
    QCOMPARE(bridge.waitExit(), 0);
    QVERIFY(sub.waitFor(isOffline, from));
    QVERIFY(noLockLeft(board.slavePath()));
}

void TestRelayMqtt::credentials_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("exitCode"); // -1: still running, online
    QTest::newRow("right") << "s3cret-right" << -1;
    QTest::newRow("wrong") << "s3cret-wrong" << 6;
}

void TestRelayMqtt::credentials()
{
    QFETCH(QString, password);
    QFETCH(int, exitCode);
    TestBroker broker({{QStringLiteral("lab"), QStringLiteral("s3cret-right")}});
    QVERIFY(broker.isRunning());
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("password"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(password.toUtf8() + '\n');
    }
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath())
                  << QStringLiteral("--username") << QStringLiteral("lab")
                  << QStringLiteral("--password-file") << file);
    if (exitCode < 0) {
        // Logged in: online and the state, on a broker that takes no anonymous client.
        QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker")),
                 qPrintable(bridge.log()));
        QProcess sub;
        sub.start(QStringLiteral("mosquitto_sub"),
                  {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                   QString::number(broker.port()), QStringLiteral("-u"), QStringLiteral("lab"),
                   QStringLiteral("-P"), password, QStringLiteral("-t"),
                   QStringLiteral("relayboard/bench/availability"), QStringLiteral("-C"),
                   QStringLiteral("1")});
        QVERIFY(sub.waitForFinished(20000));
        QCOMPARE(sub.readAllStandardOutput(), QByteArray("online\n"));
    } else {
        // Said once, and the end, within moments rather than a retry loop (the limit is a hang
        // guard).
        QCOMPARE(bridge.waitExit(), exitCode);
        QCOMPARE(bridge.log().count(QStringLiteral("refused the connection of user lab")), 1);
        QVERIFY(noLockLeft(board.slavePath()));
    }
    QVERIFY(!bridge.log().contains(QStringLiteral("s3cret")));
}

void TestRelayMqtt::portBusyOrMissing()
{
    TestBroker broker;
    PtyRelayBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How::Plain, "minicom");
    QVERIFY(holder.ok());
    Bridge busy(bridgeArgs(broker, board.slavePath()));
    QCOMPARE(busy.waitExit(), 3);
    QCOMPARE(
        busy.log(),
        QStringLiteral(
            "relay-mqtt: %1: held by another program (8005): minicom (PID %2); close it first\n")
            .arg(board.slavePath())
            .arg(holder.pid()));
    Bridge missing(bridgeArgs(broker, QStringLiteral("/nonexistent/ttyUSB0")));
    QCOMPARE(missing.waitExit(), 4);
    QCOMPARE(missing.log(),
             QStringLiteral("relay-mqtt: /nonexistent/ttyUSB0: no such device (8012): plug the "
                            "adapter in, or check the path\n"));
}

void TestRelayMqtt::deviceGoneAndBack()
{
    TestBroker broker;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyUSB9"));
    auto board = std::make_unique<PtyRelayBoard>();
    QVERIFY(board->link(path));
    Bridge bridge(bridgeArgs(broker, path));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    int from = int(sub.messages().size());

    board.reset(); // the adapter is pulled: the link goes with it
    QVERIFY(sub.waitFor(isOffline, from));
    from = int(sub.messages().size());
    board = std::make_unique<PtyRelayBoard>();
    QVERIFY(board->link(path));
    QVERIFY(sub.waitFor(isOnline, from));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QVERIFY(bridge.log().contains(QStringLiteral("the device went away")));
}

void TestRelayMqtt::unreachableBrokerSaidOnce()
{
    // Nobody listens on the port: every attempt fails the same way, and it is said once.
    TestBroker broker;
    const int port = broker.port();
    broker.stop();
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()) << QStringLiteral("--verbose"));
    const QString line = QStringLiteral("cannot reach the broker 127.0.0.1:%1: Connection refused; "
                                        "trying again in 1 s")
                             .arg(port);
    QVERIFY2(bridge.waitForLog(line), qPrintable(bridge.log()));
    // The attempts after 1 s and 3 s fail alike, and say nothing new (--verbose shows them).
    QVERIFY2(bridge.waitForLog(QStringLiteral("(attempt 3)")), qPrintable(bridge.log()));
    QCOMPARE(bridge.log().count(QStringLiteral("cannot reach the broker")), 1);
    // It still waits for the broker, and takes it when it comes.
    QVERIFY(broker.start());
    QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker"), 60000),
             qPrintable(bridge.log()));
}

void TestRelayMqtt::refusals_data()
{
    QTest::addColumn<int>("code5"); // the CONNACK reason code for an MQTT 5 CONNECT
    QTest::addColumn<int>("code311"); // the return code for an MQTT 3.1.1 one
    QTest::addColumn<int>("exitCode"); // -1: keeps trying
    QTest::addColumn<QString>("said");
    QTest::newRow("server unavailable, MQTT 5") << 0x88 << 0 << -1 << "Server unavailable";
    QTest::newRow("server busy") << 0x89 << 0 << -1 << "Server busy";
    QTest::newRow("connection rate exceeded") << 0x9F << 0 << -1 << "Connection rate exceeded";
    QTest::newRow("server unavailable, MQTT 3.1.1")
        << 0x84 << 3 << -1 << "Connection Refused: broker unavailable";
    QTest::newRow("bad user name or password") << 0x86 << 0 << 6 << "Bad User Name or Password";
    QTest::newRow("not authorised") << 0x87 << 0 << 6 << "Not authorized";
    QTest::newRow("banned") << 0x8A << 0 << 6 << "Banned";
    QTest::newRow("bad authentication method") << 0x8C << 0 << 6 << "Bad authentication method";
    QTest::newRow("bad user name or password, MQTT 3.1.1")
        << 0x84 << 4 << 6 << "Connection Refused: bad user name or password";
    QTest::newRow("not authorised, MQTT 3.1.1")
        << 0x84 << 5 << 6 << "Connection Refused: not authorised";
}

void TestRelayMqtt::refusals()
{
    QFETCH(int, code5);
    QFETCH(int, code311);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    ScriptedBroker broker(code5, code311);
    PtyRelayBoard board;
    Bridge bridge({QStringLiteral("--device"), board.slavePath(), QStringLiteral("--broker"),
                   QStringLiteral("127.0.0.1:%1").arg(broker.port()), QStringLiteral("--id"),
                   QStringLiteral("bench")});
    if (exitCode < 0) {
        // Tried again on the backoff, and said once: the third attempt comes after the second
        // failed alike.
        QTRY_VERIFY_WITH_TIMEOUT(broker.connects() >= (code311 ? 4 : 3), 30000);
        QVERIFY2(bridge.log().contains(said), qPrintable(bridge.log()));
        QCOMPARE(bridge.log().count(said), 1);
        QCOMPARE(bridge.waitExit(0), -1);
    } else {
        QCOMPARE(bridge.waitExit(), exitCode);
        QVERIFY2(bridge.log().count(said) == 1, qPrintable(bridge.log()));
        QVERIFY2(bridge.log().contains(QStringLiteral("not trying again")),
                 qPrintable(bridge.log()));
        QCOMPARE(broker.connects(), code311 ? 2 : 1);
        QVERIFY(noLockLeft(board.slavePath()));
    }
}

void TestRelayMqtt::tls_data()
{
    QTest::addColumn<QString>("serverCert"); // the broker's certificate
    QTest::addColumn<bool>("requireCertificate");
    QTest::addColumn<QStringList>("options"); // the bridge's, files named in the fixture
    QTest::addColumn<QString>("said"); // a pattern; empty: connects
    QTest::newRow("right CA") << "server" << false << QStringList {"--cafile", "ca.crt"} << "";
    QTest::newRow("right CA, client certificate")
        << "server" << true
        << QStringList {"--cafile", "ca.crt", "--cert", "client.crt", "--key", "client.key"} << "";
    QTest::newRow("another CA") << "server" << false << QStringList {"--cafile", "other-ca.crt"}
                                << "certificate verify failed";
    QTest::newRow("certificate for another host")
        << "elsewhere" << false << QStringList {"--cafile", "ca.crt"}
        << "host name verification failed";
    QTest::newRow("client certificate required, none given")
        << "server" << true << QStringList {"--cafile", "ca.crt"}
        << "certificate required|client certificate";
    QTest::newRow("system CA store")
        << "server" << false << QStringList {"--broker-scheme"} << "certificate verify failed";
}

void TestRelayMqtt::tls()
{
    QFETCH(QString, serverCert);
    QFETCH(bool, requireCertificate);
    QFETCH(QStringList, options);
    QFETCH(QString, said);
    static TestCertificates certificates;
    QVERIFY(certificates.ok());
    BrokerConfig config;
    config.caFile = certificates.path(QStringLiteral("ca.crt"));
    config.certFile = certificates.path(serverCert + QStringLiteral(".crt"));
    config.keyFile = certificates.path(serverCert + QStringLiteral(".key"));
    config.requireCertificate = requireCertificate;
    TestBroker broker(config);
    QVERIFY(broker.isRunning());
    PtyRelayBoard board;
    QStringList args {QStringLiteral("--device"), board.slavePath(), QStringLiteral("--id"),
                      QStringLiteral("bench")};
    if (options == QStringList {QStringLiteral("--broker-scheme")}) {
        args << QStringLiteral("--broker")
             << QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port());
    } else {
        args << QStringLiteral("--broker") << QStringLiteral("127.0.0.1:%1").arg(broker.port());
        for (const QString &o : options)
            args << (o.startsWith(QLatin1String("--")) ? o : certificates.path(o));
    }
    Bridge bridge(args);
    if (said.isEmpty()) {
        QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker")),
                 qPrintable(bridge.log() + broker.log()));
        return;
    }
    QVERIFY2(bridge.waitForLog(QStringLiteral("cannot reach the broker")),
             qPrintable(bridge.log()));
    const QString log = bridge.log();
    QVERIFY2(log.contains(QStringLiteral("TLS failed")) && log.contains(QRegularExpression(said)),
             qPrintable(log));
    // The bridge goes on trying (somebody may fix the broker), and no CONNECT, nor a word of
    // it, went out in plain text.
    QCOMPARE(bridge.waitExit(0), -1);
    QVERIFY2(!broker.log().contains(QStringLiteral("as relay-mqtt-bench")),
             qPrintable(broker.log()));
}

void TestRelayMqtt::usageErrors_data()
{
    QTest::addColumn<QStringList>("options"); // beyond --device; FILE: a file of the test
    QTest::addColumn<QString>("said");
    QTest::newRow("address with a path")
        << QStringList {"--broker", "mqtt://broker/x"} << "--broker 'mqtt://broker/x' is none of";
    QTest::newRow("port out of range")
        << QStringList {"--broker", "broker:70000"} << "--broker 'broker:70000' is none of";
    QTest::newRow("plain scheme with TLS options")
        << QStringList {"--broker", "mqtt://broker", "--cafile", "CA"} << "TLS options go with";
    QTest::newRow("upper-case id") << QStringList {"--id", "Bench"} << "--id takes";
    QTest::newRow("Kelvin sign in the id") << QStringList {"--id", "\u212Ailn"} << "--id takes";
    QTest::newRow("id with a slash") << QStringList {"--id", "a/b"} << "--id takes";
    QTest::newRow("certificate without key")
        << QStringList {"--cert", "CA"} << "--cert and --key go together";
    QTest::newRow("junk CA file") << QStringList {"--cafile", "JUNK"} << "holds no usable";
    QTest::newRow("password file is a fifo")
        << QStringList {"--username", "lab", "--password-file", "FIFO"} << "not a regular file";
    QTest::newRow("password file is a device")
        << QStringList {"--username", "lab", "--password-file", "/dev/zero"}
        << "not a regular file";
}

void TestRelayMqtt::usageErrors()
{
    QFETCH(QStringList, options);
    QFETCH(QString, said);
    static TestCertificates certificates;
    QVERIFY(certificates.ok());
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const QString junk = writeFile(dir, QStringLiteral("junk"), "junk\n");
    for (QString &o : options) {
        if (o == QLatin1String("CA"))
            o = certificates.path(QStringLiteral("ca.crt"));
        else if (o == QLatin1String("FIFO"))
            o = fifo;
        else if (o == QLatin1String("JUNK"))
            o = junk;
    }
    PtyRelayBoard board;
    Bridge bridge(QStringList {QStringLiteral("--device"), board.slavePath()} + options);
    // Found before anything is opened or connected: status 2, one line naming it.
    QCOMPARE(bridge.waitExit(), 2);
    QVERIFY2(bridge.log().contains(said), qPrintable(bridge.log()));
    QCOMPARE(bridge.log().count(QLatin1Char('\n')), 1);
}

void TestRelayMqtt::addressForms_data()
{
    QTest::addColumn<QString>("listen");
    QTest::addColumn<QString>("address"); // %1: the broker's port
    QTest::newRow("IPv4 and port") << "127.0.0.1"
                                   << "127.0.0.1:%1";
    QTest::newRow("host name and port") << "127.0.0.1"
                                        << "localhost:%1";
    QTest::newRow("mqtt scheme") << "127.0.0.1"
                                 << "mqtt://127.0.0.1:%1/";
    QTest::newRow("IPv6 in brackets") << "::1"
                                      << "[::1]:%1";
    QTest::newRow("mqtt scheme, IPv6") << "::1"
                                       << "mqtt://[::1]:%1";
}

void TestRelayMqtt::addressForms()
{
    QFETCH(QString, listen);
    QFETCH(QString, address);
    BrokerConfig config;
    config.address = listen;
    TestBroker broker(config);
    QVERIFY(broker.isRunning());
    PtyRelayBoard board;
    Bridge bridge({QStringLiteral("--device"), board.slavePath(), QStringLiteral("--broker"),
                   address.arg(broker.port()), QStringLiteral("--id"), QStringLiteral("bench")});
    QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker")),
             qPrintable(bridge.log()));
}

void TestRelayMqtt::accessListDenials()
{
    // Anonymous clients may only send channel 1's commands and use Home Assistant's status.
    BrokerConfig config;
    config.acl = "topic readwrite homeassistant/status\ntopic write relayboard/bench/ch1/set\n";
    TestBroker broker(config);
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    int questions = 0;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&questions](std::uint8_t b) { questions += b == 0x30; });
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    const QStringList denied {QStringLiteral("homeassistant/switch/bench_ch1/config"),
                              QStringLiteral("relayboard/bench/availability"),
                              QStringLiteral("relayboard/bench/state")};
    for (const QString &topic : denied)
        QVERIFY2(bridge.waitForLog(
                     QStringLiteral("the broker does not take %1 from this client").arg(topic)),
                 qPrintable(bridge.log()));
    // Home Assistant's birth message (a topic this client may read) makes it publish all again:
    // nothing is said twice.
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("homeassistant/status"), "online"));
    QTRY_COMPARE_WITH_TIMEOUT(questions, 2, 20000); // the state asked for again
    QVERIFY(bridge.waitForLog(QStringLiteral("relayboard/bench/state from this client")));
    QTest::qWait(500);
    for (const QString &topic : denied)
        QCOMPARE(bridge.log().count(QStringLiteral("does not take %1 ").arg(topic)), 1);
}

void TestRelayMqtt::subscriptionDenied()
{
    // mosquitto grants every subscription and applies its access list on delivery: this broker
    // refuses them, as others do.
    ScriptedBroker broker(0, 0, 0x87);
    PtyRelayBoard board;
    Bridge bridge({QStringLiteral("--device"), board.slavePath(), QStringLiteral("--broker"),
                   QStringLiteral("127.0.0.1:%1").arg(broker.port()), QStringLiteral("--id"),
                   QStringLiteral("bench")});
    for (const QString &pattern :
         {QStringLiteral("relayboard/bench/#"), QStringLiteral("homeassistant/status")})
        QVERIFY2(bridge.waitForLog(QStringLiteral("the broker does not grant the subscription to "
                                                  "%1: Not authorized; check its access list")
                                       .arg(pattern)),
                 qPrintable(bridge.log()));
}

void TestRelayMqtt::waitsForAHeldPort()
{
    TestBroker broker;
    PtyRelayBoard board;
    auto holder
        = std::make_unique<PortHolder>(board.slavePath(), PortHolder::How::Plain, "minicom");
    QVERIFY(holder->ok());
    TestSubscriber sub(broker.port());
    Bridge bridge(bridgeArgs(broker, board.slavePath())
                  << QStringLiteral("--wait") << QStringLiteral("--verbose"));
    // On the broker, and offline while the port is held; who holds it is said once.
    QVERIFY(sub.waitFor(isOffline));
    const QString held = QStringLiteral("%1: held by another program (8005): minicom (PID %2); "
                                        "close it first; waiting for it")
                             .arg(board.slavePath())
                             .arg(holder->pid());
    QVERIFY2(bridge.waitForLog(held), qPrintable(bridge.log()));
    // Two more looks at the holders (--verbose tells each) find the same and say nothing new.
    QTRY_VERIFY2_WITH_TIMEOUT(bridge.log().count(QStringLiteral("looked again")) >= 2,
                              qPrintable(bridge.log()), 20000);
    QCOMPARE(bridge.log().count(QStringLiteral("held by another program")), 1);
    const int from = int(sub.messages().size());
    holder.reset();
    QVERIFY(sub.waitFor(isOnline, from));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QCOMPARE(bridge.waitExit(0), -1);
}

void TestRelayMqtt::waitsForAMissingDevice()
{
    TestBroker broker;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyUSB9"));
    TestSubscriber sub(broker.port());
    Bridge bridge(bridgeArgs(broker, path) << QStringLiteral("--wait"));
    QVERIFY(sub.waitFor(isOffline));
    QVERIFY2(bridge.waitForLog(QStringLiteral("%1: no such device (8012): plug the adapter in, or "
                                              "check the path; waiting for it")
                                   .arg(path)),
             qPrintable(bridge.log()));
    const int from = int(sub.messages().size());
    PtyRelayBoard board;
    QVERIFY(board.link(path)); // plugged in
    QVERIFY(sub.waitFor(isOnline, from));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QCOMPARE(bridge.log().count(QStringLiteral("no such device")), 1);
}

void TestRelayMqtt::twoBridgesWithOneId()
{
    TestBroker broker;
    PtyRelayBoard boardA, boardB;
    Bridge first(bridgeArgs(broker, boardA.slavePath(), QStringLiteral("twin")));
    QVERIFY(first.waitForLog(QStringLiteral("connected to the broker")));
    Bridge second(bridgeArgs(broker, boardB.slavePath(), QStringLiteral("twin")));
    // They take the session from each other a few times, until one of them (or both) sees why
    // and steps back to the longest pause.
    const QString said = QStringLiteral("another client may be using this client ID");
    QDeadlineTimer deadline(60000);
    while (!first.log().contains(said) && !second.log().contains(said) && !deadline.hasExpired())
        QTest::qWait(50);
    QVERIFY2(first.log().contains(said) || second.log().contains(said),
             qPrintable(first.log() + second.log()));
    for (Bridge *b : {&first, &second}) {
        if (b->log().contains(said)) {
            QCOMPARE(b->log().count(said), 1);
            QVERIFY(b->log().contains(said
                                      + QStringLiteral(" (a second bridge with the same "
                                                       "--id?); trying again in 30 s")));
        }
    }
    // Then the flapping stops. Settled first: each log ends with its step back or with the
    // connection it holds, so that no line still on its way is counted as a new connect.
    const auto settled = [&](Bridge &b) {
        const QStringList lines = b.log().trimmed().split(QLatin1Char('\n'));
        return lines.last().contains(said)
            || lines.last().contains(QLatin1String("connected to the broker"));
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(first) && settled(second), 60000);
    const int connects = int(first.log().count(QStringLiteral("connected to the broker"))
                             + second.log().count(QStringLiteral("connected to the broker")));
    // A pair still taking the session from each other connects again within a few seconds
    // (their pauses are 1, 2 and 4 s before one steps back to 30 s): none may come now.
    QTest::qWait(5000);
    QCOMPARE(int(first.log().count(QStringLiteral("connected to the broker"))
                 + second.log().count(QStringLiteral("connected to the broker"))),
             connects);
}

void TestRelayMqtt::brokerAwayWhileTheBoardTalks()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    {
        TestSubscriber sub(broker.port());
        QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    }
    broker.stop();
    QVERIFY(bridge.waitForLog(QStringLiteral("lost the broker")));
    constexpr int reports = 300;
    for (int i = 0; i < reports; ++i)
        board.sendKeyReport(false, 0x00, 0xFF, quint8(i), quint8(~i));
    QVERIFY(broker.start());
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitFor(isOnline, 0, 60000));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), 0, 60000));
    // Every report is either dropped and counted or (read after the broker came back) sent
    // once: none kept to be replayed stale, none lost unsaid.
    QVERIFY(bridge.waitForLog(QStringLiteral("came while the broker was away")));
    const QRegularExpression count(QStringLiteral("(\\d+) replies and key reports came while"));
    const int dropped = count.match(bridge.log()).captured(1).toInt();
    QVERIFY2(dropped > 0, qPrintable(bridge.log()));
    const auto sent = [&sub] {
        int n = 0;
        for (const MqttMessage &m : sub.messages())
            n += m.topic == QLatin1String("relayboard/bench/key");
        return n;
    };
    QTRY_COMPARE_WITH_TIMEOUT(dropped + sent(), reports, 20000);
}

void TestRelayMqtt::keepAliveTimeout()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    QVERIFY(bridge.waitForLog(QStringLiteral("connected to the broker")));
    broker.freeze(); // holds the connection, answers nothing
    QVERIFY2(bridge.waitForLog(QStringLiteral("lost the broker 127.0.0.1:%1: the broker stopped "
                                              "answering")
                                   .arg(broker.port()),
                               60000),
             qPrintable(bridge.log()));
    broker.thaw();
    QTRY_VERIFY2_WITH_TIMEOUT(bridge.log().count(QStringLiteral("connected to the broker")) == 2,
                              qPrintable(bridge.log()), 60000);
}

void TestRelayMqtt::brokerThatNeverAnswersConnect()
{
    // The kernel takes the connection for a stopped broker; its CONNECT is never answered.
    // That is said as such, not as a broker that stopped answering its keep-alive.
    TestBroker broker;
    broker.freeze();
    const QString address = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    QProcess relayctl;
    relayctl.start(QStringLiteral(RELAYCTL), {"--broker", address, "boards"});
    QVERIFY(relayctl.waitForFinished(30000));
    QCOMPARE(relayctl.exitCode(), 7);
    const QString err = QString::fromLocal8Bit(relayctl.readAllStandardError());
    QVERIFY2(err.contains(QLatin1String("took the connection but did not answer its CONNECT")),
             qPrintable(err));
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    QVERIFY2(bridge.waitForLog(QStringLiteral("did not answer its CONNECT"), 60000),
             qPrintable(bridge.log()));
    QVERIFY(!bridge.log().contains(QLatin1String("keep-alive")));
    broker.thaw();
    QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker"), 60000),
             qPrintable(bridge.log()));
}

void TestRelayMqtt::birthMessage()
{
    TestBroker broker;
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()) << QStringLiteral("--verbose"));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    const int from = int(sub.messages().size());
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("homeassistant/status"), "online"));
    QVERIFY(sub.waitForTopic(QStringLiteral("homeassistant/switch/bench_ch4/config"), from));
    QVERIFY(sub.waitForTopic(QStringLiteral("homeassistant/event/bench_keys/config"), from));
    QVERIFY(sub.waitFor(isOnline, from));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    // Home Assistant going away is no reason to publish anything: the bridge takes up the
    // next birth message (acknowledged after the "offline", so it comes after it) and only that.
    const QString back = QStringLiteral("Home Assistant is back");
    QVERIFY2(bridge.waitForLog(back), qPrintable(bridge.log()));
    const int after = int(sub.messages().size());
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("homeassistant/status"), "offline",
                        {QStringLiteral("-q"), QStringLiteral("1")}));
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("homeassistant/status"), "online"));
    QTRY_VERIFY2_WITH_TIMEOUT(bridge.log().count(back) == 2, qPrintable(bridge.log()), 20000);
    QVERIFY(sub.waitForTopic(QStringLiteral("homeassistant/event/bench_keys/config"), after));
    int rounds = 0;
    for (const MqttMessage &m : sub.messages().mid(after))
        rounds += m.topic == QLatin1String("homeassistant/event/bench_keys/config");
    QCOMPARE(rounds, 1);
}

void TestRelayMqtt::pulseButtonAndLength()
{
    TestBroker broker;
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    TestSubscriber sub(broker.port());
    auto bridge = std::make_unique<Bridge>(bridgeArgs(broker, board.slavePath()));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    // Discovery: a button and a length for each channel.
    const auto button
        = sub.waitForTopic(QStringLiteral("homeassistant/button/bench_ch3_pulse/config"));
    QVERIFY(button);
    QCOMPARE(json(button->payload).value("command_topic").toString(),
             QStringLiteral("relayboard/bench/ch3/pulse"));
    QCOMPARE(json(button->payload).value("payload_press").toString(), QStringLiteral("PRESS"));
    const auto number
        = sub.waitForTopic(QStringLiteral("homeassistant/number/bench_ch3_pulse_length/config"));
    QVERIFY(number);
    const QJsonObject n = json(number->payload);
    QCOMPARE(n.value("command_topic").toString(),
             QStringLiteral("relayboard/bench/ch3/pulse_length/set"));
    QCOMPARE(n.value("state_topic").toString(),
             QStringLiteral("relayboard/bench/ch3/pulse_length"));
    QCOMPARE(n.value("min").toInt(), 1);
    QCOMPARE(n.value("max").toInt(), 255);
    QCOMPARE(n.value("mode").toString(), QStringLiteral("box"));
    QCOMPARE(n.value("unit_of_measurement").toString(), QStringLiteral("s"));
    QCOMPARE(n.value("entity_category").toString(), QStringLiteral("config"));
    QCOMPARE(n.value("origin").toObject().value("name").toString(), QStringLiteral("relay-mqtt"));
    // 1 s until set, kept by the broker.
    QVERIFY(sub.waitFor([](const MqttMessage &m) {
        return m.topic == QLatin1String("relayboard/bench/ch3/pulse_length") && m.payload == "1";
    }));
    wire.clear();
    int from = int(sub.messages().size());
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("relayboard/bench/ch3/pulse"), "PRESS"));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    // CH3's timed relay of 1 s (its low half only), then the state question.
    QCOMPARE(wire, QByteArray("\x86\x30"));

    from = int(sub.messages().size());
    QVERIFY(
        mqttPublish(broker.port(), QStringLiteral("relayboard/bench/ch3/pulse_length/set"), "45"));
    QVERIFY(sub.waitFor(
        [](const MqttMessage &m) {
            return m.topic == QLatin1String("relayboard/bench/ch3/pulse_length")
                && m.payload == "45";
        },
        from));
    // Kept across a restart of the bridge: read back from the broker. The state it publishes
    // follows its last question at start: nothing of its own comes to the line after it.
    bridge.reset();
    from = int(sub.messages().size());
    bridge = std::make_unique<Bridge>(bridgeArgs(broker, board.slavePath())
                                      << QStringLiteral("--verbose"));
    QVERIFY2(bridge->waitForLog(QStringLiteral("ch3 pulse length 45 s, kept by the broker")),
             qPrintable(bridge->log()));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    wire.clear();
    from = int(sub.messages().size());
    QVERIFY(mqttPublish(broker.port(), QStringLiteral("relayboard/bench/ch3/pulse"), "PRESS"));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QVERIFY(wire.startsWith("\xCA\xB6")); // 45 s on CH3: 2 high, 13 low
    for (const MqttMessage &m : sub.messages().mid(from))
        QVERIFY2(m.topic != QLatin1String("relayboard/bench/ch3/pulse_length"),
                 qPrintable(m.payload)); // not set back to 1
}

void TestRelayMqtt::commandsBeyondTheLinePaceAreRefused()
{
    TestBroker broker;
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    int onTheLine = 0;
    bool markerOnTheLine = false;
    connect(&board, &PtyRelayBoard::byteReceived, [&](std::uint8_t b) {
        onTheLine += b == 0x11;
        markerOnTheLine = markerOnTheLine || b == 0x12;
    });
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    // Far more than the line takes in the time they take to arrive: each is one byte, 960 a
    // second, and one that would wait more than a second is refused.
    constexpr int commands = 20000;
    constexpr int bytesPerSecond = 960;
    QElapsedTimer clock;
    clock.start();
    QProcess pub;
    pub.start(QStringLiteral("mosquitto_pub"),
              {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
               QString::number(broker.port()), QStringLiteral("-t"),
               QStringLiteral("relayboard/bench/ch1/set"), QStringLiteral("-l")});
    QVERIFY(pub.waitForStarted());
    QByteArray lines;
    for (int i = 0; i < commands; ++i)
        lines += "ON\n";
    pub.write(lines);
    pub.closeWriteChannel();
    QVERIFY(pub.waitForFinished(60000));
    QVERIFY2(bridge.waitForLog(QStringLiteral("the line is busy")), qPrintable(bridge.log()));
    // The refusals are counted, not told one by one: a line a second at most, and the last
    // tells how many.
    QVERIFY2(bridge.waitForLog(QStringLiteral("more like this in the last second")),
             qPrintable(bridge.log()));
    // A command after the flood reaches the line once the line took it (one sent while the
    // line is still full is refused like the others): everything accepted before it is on the
    // line by then, in line order.
    QTRY_VERIFY_WITH_TIMEOUT(
        (mqttPublish(broker.port(), QStringLiteral("relayboard/bench/ch2/set"), "ON"),
         markerOnTheLine),
        30000);
    const qint64 elapsedMs = clock.elapsed();
    const QStringList logLines = bridge.log().split(QLatin1Char('\n'));
    QVERIFY2(logLines.filter(QStringLiteral("the line is busy")).size() <= elapsedMs / 1000 + 2,
             qPrintable(bridge.log()));
    // The line's pace: no more than 960 bytes a second went out, plus the one second's worth a
    // command may wait behind the others.
    QVERIFY2(onTheLine <= bytesPerSecond * elapsedMs / 1000 + bytesPerSecond + 1,
             qPrintable(
                 QStringLiteral("%1 commands on the line in %2 ms").arg(onTheLine).arg(elapsedMs)));
    QVERIFY(onTheLine < commands);
    QVERIFY(onTheLine > 0);
}

QTEST_GUILESS_MAIN(TestRelayMqtt)
#include "tst_relaymqtt.moc"
