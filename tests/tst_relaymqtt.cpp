#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "mqttfixture.h"
#include "portguard.h"
#include "portholder.h"
#include "ptyrelayboard.h"

namespace {

// relay-mqtt as a service runs it, its log lines collected.
class Bridge
{
public:
    explicit Bridge(const QStringList &args)
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
            m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        });
        m_process.start(QStringLiteral(RELAY_MQTT), args);
        m_process.waitForStarted();
    }
    ~Bridge()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    QString log()
    {
        QTest::qWait(0);
        return m_log;
    }
    bool waitForLog(const QString &text, int msecs = 20000)
    {
        QDeadlineTimer deadline(msecs);
        while (!m_log.contains(text) && !deadline.hasExpired())
            QTest::qWait(5);
        return m_log.contains(text);
    }
    // The exit status once it has ended; -1 while it still runs after `msecs` (a hang).
    int waitExit(int msecs = 30000)
    {
        QDeadlineTimer deadline(msecs);
        while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(5);
        if (m_process.state() != QProcess::NotRunning)
            return -1;
        m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
        return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
    }
    pid_t pid() const { return pid_t(m_process.processId()); }

private:
    QProcess m_process;
    QString m_log;
};

QStringList bridgeArgs(const TestBroker &broker, const QString &device,
                       const QString &id = QStringLiteral("bench"))
{
    return {QStringLiteral("--device"), device,
            QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(broker.port()),
            QStringLiteral("--id"),     id};
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
};

void TestRelayMqtt::discoveryAvailabilityAndState()
{
    TestBroker broker;
    QVERIFY(broker.isRunning());
    PtyRelayBoard board;
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.isReady());

    QVERIFY(sub.waitFor([](const MqttMessage &m) {
        return m.topic == QLatin1String("relayboard/bench/availability") && m.payload == "online";
    }));
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
    QVERIFY(late.waitFor([](const MqttMessage &m) {
        return m.retained && m.topic == QLatin1String("relayboard/bench/availability")
            && m.payload == "online";
    }));
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
    QVERIFY(sub.waitForTopic(stateTopic)); // the state at start, asked for with 0x30
    QCOMPARE(wire, QByteArray("\x30"));
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
    QTest::addColumn<bool>("retained");
    QTest::newRow("channel 5") << "ch5/set" << QByteArray("ON") << false;
    QTest::newRow("channel 0") << "ch0/set" << QByteArray("ON") << false;
    QTest::newRow("lower-case on") << "ch1/set" << QByteArray("on") << false;
    QTest::newRow("ON with a space") << "ch1/set" << QByteArray("ON ") << false;
    QTest::newRow("toggle") << "ch1/set" << QByteArray("TOGGLE") << false;
    QTest::newRow("pulse 0") << "ch1/pulse" << QByteArray("0") << false;
    QTest::newRow("pulse 256") << "ch1/pulse" << QByteArray("256") << false;
    QTest::newRow("pulse in hex") << "ch1/pulse" << QByteArray("0x10") << false;
    QTest::newRow("pulse, text") << "ch1/pulse" << QByteArray("\x1b[2Jsoon") << false;
    QTest::newRow("huge payload") << "ch1/pulse" << QByteArray(100000, '7') << false;
    QTest::newRow("unknown topic") << "reboot" << QByteArray("1") << false;
    QTest::newRow("deeper topic") << "ch1/set/now" << QByteArray("ON") << false;
    // Kept by the broker, it would switch the relay at every start of the bridge.
    QTest::newRow("retained command") << "ch1/set" << QByteArray("ON") << true;
}

void TestRelayMqtt::badMessagesWriteNothing()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    TestBroker broker;
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    const QString name = QStringLiteral("relayboard/bench/") + topic;
    // A retained command waits at the broker for the bridge to come.
    if (retained)
        QVERIFY(mqttPublish(broker.port(), name, payload, {"-r"}));
    Bridge bridge(bridgeArgs(broker, board.slavePath()));
    TestSubscriber sub(broker.port());
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state")));
    if (!retained)
        QVERIFY(mqttPublish(broker.port(), name, payload));
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
    QVERIFY(sub.waitFor([](const MqttMessage &m) { return m.payload == "online"; }));
    const int from = int(sub.messages().size());
    ::kill(bridge.pid(), SIGKILL);
    QVERIFY(sub.waitFor(
        [](const MqttMessage &m) {
            return m.topic == QLatin1String("relayboard/bench/availability")
                && m.payload == "offline";
        },
        from));
    TestSubscriber late(broker.port());
    QVERIFY(late.waitFor([](const MqttMessage &m) {
        return m.retained && m.topic == QLatin1String("relayboard/bench/availability")
            && m.payload == "offline";
    }));
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
    QVERIFY(sub.waitFor(
        [](const MqttMessage &m) {
            return m.topic == QLatin1String("relayboard/bench/availability")
                && m.payload == "online";
        },
        0, 60000));
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
    QVERIFY(sub.waitFor(
        [](const MqttMessage &m) {
            return m.topic == QLatin1String("relayboard/bench/availability")
                && m.payload == "offline";
        },
        from));
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
        QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker")),
                 qPrintable(bridge.log()));
        QCOMPARE(bridge.waitExit(300), -1);
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
    QVERIFY(sub.waitFor([](const MqttMessage &m) { return m.payload == "offline"; }, from));
    from = int(sub.messages().size());
    board = std::make_unique<PtyRelayBoard>();
    QVERIFY(board->link(path));
    QVERIFY(sub.waitFor([](const MqttMessage &m) { return m.payload == "online"; }, from));
    QVERIFY(sub.waitForTopic(QStringLiteral("relayboard/bench/state"), from));
    QVERIFY(bridge.log().contains(QStringLiteral("the device went away")));
}

QTEST_GUILESS_MAIN(TestRelayMqtt)
#include "tst_relaymqtt.moc"
