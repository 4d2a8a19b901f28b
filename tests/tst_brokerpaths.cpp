// A bridged board over the paths a broker grows into: two mosquitto brokers joined by
// mosquitto's bridge (MQTT 3.1.1 between them, its default, or MQTT 5), a broker that speaks
// MQTT 3.1.1 only, and ejabberd's MQTT; thousands of retained boards; a steady command stream.
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

#include "brokerboards.h"
#include "brokerlink.h"
#include "commandencoder.h"
#include "mqttclient.h"
#include "mqttfixture.h"
#include "ptyrelayboard.h"
#include "remoterig.h"

namespace {

enum class Path {
    OneBroker, // the requester on the board's own mosquitto
    Bridge311, // on another mosquitto, bridged to the board's with MQTT 3.1.1
    Bridge5, // the same, the bridge speaking MQTT 5
    Only311, // on a broker of MQTT 3.1.1 only, as the bridge is
    Ejabberd, // both on ejabberd
};

// The board on a pseudo-terminal and its relay-mqtt on the board's broker; the requesters'
// broker at the other end of the path. `wire` holds what reached the board's line.
struct Rig
{
    explicit Rig(Path path, const QByteArray &farBridge = {})
        : path(path)
    {
        QObject::connect(&board, &PtyRelayBoard::byteReceived,
                         [this](std::uint8_t b) { wire.append(char(b)); });
        if (path == Path::Ejabberd) {
            ejabberd = std::make_unique<TestEjabberd>();
            homePort = farPort = ejabberd->port();
            user = QStringLiteral("relay");
        } else {
            home = std::make_unique<TestBroker>();
            homePort = farPort = home->port();
        }
        if (path == Path::Bridge311 || path == Path::Bridge5 || !farBridge.isEmpty()) {
            BrokerConfig config;
            config.tail = !farBridge.isEmpty()
                ? farBridge
                : bridgeTo(home->port(), path == Path::Bridge5 ? "mqttv50" : "mqttv311");
            far = std::make_unique<TestBroker>(config);
            farPort = far->port();
        }
        if (path == Path::Only311) {
            gate = std::make_unique<Mqtt311Gate>(home->port());
            homePort = farPort = gate->port();
        }
        QStringList args {QStringLiteral("--device"), board.slavePath(),
                          QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(homePort),
                          QStringLiteral("--id"),     QStringLiteral("bench")};
        if (!user.isEmpty())
            args << credentials();
        bridge = std::make_unique<BridgeProcess>(QStringLiteral(RELAY_MQTT), args);
    }
    QString error() const { return ejabberd ? ejabberd->error() : QString(); }
    bool unavailable() const { return ejabberd && ejabberd->isUnavailable(); }
    // relayctl's options for the requesters' broker.
    QStringList broker() const
    {
        return QStringList {QStringLiteral("--broker"), QStringLiteral("127.0.0.1:%1").arg(farPort)}
        + (user.isEmpty() ? QStringList() : credentials());
    }
    QStringList credentials() const
    {
        if (!passwordFile) {
            passwordFile = std::make_unique<QTemporaryDir>();
            QFile f(passwordFile->filePath(QStringLiteral("password")));
            if (f.open(QIODevice::WriteOnly))
                f.write("secret\n");
            f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        }
        return {QStringLiteral("--username"), user, QStringLiteral("--password-file"),
                passwordFile->filePath(QStringLiteral("password"))};
    }

    Path path;
    std::unique_ptr<TestEjabberd> ejabberd;
    std::unique_ptr<TestBroker> home;
    std::unique_ptr<TestBroker> far;
    std::unique_ptr<Mqtt311Gate> gate;
    int homePort = 0;
    int farPort = 0;
    QString user;
    mutable std::unique_ptr<QTemporaryDir> passwordFile;
    PtyRelayBoard board {[] { return RelayBoardModel::Millis(0); }};
    QByteArray wire;
    std::unique_ptr<BridgeProcess> bridge;
};

// ejabberd cannot be started by every user: said as a skip, with the reason. Any other
// failure to start it fails the test.
#define RIG_READY(rig) \
    do { \
        if ((rig).unavailable()) \
            QSKIP(qPrintable((rig).error())); \
        QVERIFY2((rig).error().isEmpty(), qPrintable((rig).error())); \
    } while (false)

void addPaths(bool withOneBroker = true)
{
    QTest::addColumn<Path>("path");
    if (withOneBroker)
        QTest::newRow("one broker") << Path::OneBroker;
    QTest::newRow("two brokers bridged with MQTT 3.1.1") << Path::Bridge311;
    QTest::newRow("two brokers bridged with MQTT 5") << Path::Bridge5;
    QTest::newRow("a broker of MQTT 3.1.1 only") << Path::Only311;
    QTest::newRow("ejabberd") << Path::Ejabberd;
}

QByteArray command(RelayOperation op, int channel)
{
    std::array<int, RelayState::channels> flags {};
    flags[channel] = 1;
    return CommandEncoder::channelCommand(op, flags);
}

} // namespace

class TestBrokerPaths : public QObject
{
    Q_OBJECT
private slots:
    void requestsOverEveryPath_data() { addPaths(); }
    void requestsOverEveryPath();
    void expiryTravelsWithTheRequest_data() { addPaths(false); }
    void expiryTravelsWithTheRequest();
    void answersThatCannotComeBackAreFoundBeforeSending();
    void everyRetainedBoardIsFound_data();
    void everyRetainedBoardIsFound();
    void stateDuringASteadyStream();
};

void TestBrokerPaths::requestsOverEveryPath()
{
    QFETCH(Path, path);
    Rig rig(path);
    RIG_READY(rig);
    Remote remote(rig.farPort, QStringLiteral("tester"), rig.user);
    WAIT_READY(remote, rig, QStringLiteral("bench"));

    Run r = relayctl(rig.broker() + QStringList {"--board", "bench", "on", "1"});
    QVERIFY2(r.status == 0, qPrintable(r.err + rig.bridge->log()));
    r = relayctl(rig.broker() + QStringList {"--board", "bench", "read"});
    QVERIFY2(r.status == 0, qPrintable(r.err + rig.bridge->log()));
    QCOMPARE(r.out, QStringLiteral("0x01\n"));
    QCOMPARE(withoutStateQuestions(rig.wire), QByteArray("\x11"));
    // The state that answered the read was published before the answer.
    r = relayctl(rig.broker() + QStringList {"boards"});
    QVERIFY2(r.out.simplified().startsWith(QLatin1String("bench online ch1=ON ch2=OFF")),
             qPrintable(r.out + r.err));

    // The console's link: open once the bridge answered, then the board's bytes as it sent
    // them, in its order: the reply to the link's read, then a key report. The replies to the
    // bridge's own questions are not among them.
    BrokerLink link(remote.boards);
    QSignalSpy opened(&link, &BrokerLink::opened);
    QCOMPARE(link.open(QStringLiteral("bench")), BrokerLink::OpenResult::Pending);
    QVERIFY2(opened.wait(20000), qPrintable(rig.bridge->log()));
    QByteArray received;
    connect(&link, &BoardLink::dataReceived, [&](const QByteArray &b) { received += b; });
    QVERIFY(link.write(command(RelayOperation::ReadState, 0)));
    QTRY_COMPARE_WITH_TIMEOUT(received, QByteArray("\x01"), 20000);
    rig.board.sendKeyReport(true, 0x00, 0xFF, 0x16, 0xE9);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 6, 20000);
    QCOMPARE(received, QByteArray("\x01L\x00\xFF\x16\xE9", 6));

    if (path == Path::Only311) {
        QVERIFY(rig.gate->refusedVersion5() >= 3); // the bridge, the tester, relayctl
        QCOMPARE(rig.bridge->log().count(QLatin1String("speaks MQTT 3.1.1 only")), 1);
    } else {
        QVERIFY(!rig.bridge->log().contains(QLatin1String("MQTT 3.1.1")));
    }
}

void TestBrokerPaths::expiryTravelsWithTheRequest()
{
    // A request the requester gave up on is not carried out later, whatever lies between: a
    // bridge of MQTT 3.1.1 drops the message expiry and every other MQTT 5 property.
    QFETCH(Path, path);
    Rig rig(path);
    RIG_READY(rig);
    Remote remote(rig.farPort, QStringLiteral("tester"), rig.user);
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    ::kill(rig.bridge->pid(), SIGSTOP);
    QSignalSpy unanswered(&remote.boards, &BrokerBoards::unanswered);
    QVERIFY(
        remote.boards.request(QStringLiteral("bench"), command(RelayOperation::Energise, 1), 0, 300)
        != 0);
    QVERIFY(unanswered.wait(20000));
    ::kill(rig.bridge->pid(), SIGCONT);
    // The bridge reads it and leaves it as expired, or (where MQTT 5 reaches it, and the machine
    // was slow enough) the broker has dropped it already: either way it is not on the line before
    // a command sent after it.
    const auto before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(rig.bridge->log()));
    QCOMPARE(withoutStateQuestions(*before), QByteArray());
}

void TestBrokerPaths::answersThatCannotComeBackAreFoundBeforeSending()
{
    // The requesters' broker is bridged for the boards' topics only: requests reach the bridge,
    // its answers (under relayclient/) never come back. Found by the probe, before any command.
    TestBroker home;
    BrokerConfig config;
    config.tail = "connection site\naddress 127.0.0.1:" + QByteArray::number(home.port())
        + "\ntopic relayboard/# both 0\nrestart_timeout 1\ncleansession true\n";
    TestBroker far(config);
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    BridgeProcess bridge(QStringLiteral(RELAY_MQTT),
                         {"--device", board.slavePath(), "--broker",
                          QStringLiteral("127.0.0.1:%1").arg(home.port()), "--id", "bench"});
    Remote remote(far.port());
    QVERIFY(remote.waitSynced());
    QTRY_VERIFY2_WITH_TIMEOUT(remote.online(QStringLiteral("bench")), qPrintable(bridge.log()),
                              20000);
    const Run r = relayctl({"--broker", QStringLiteral("127.0.0.1:%1").arg(far.port()), "--board",
                            "bench", "--timeout", "500", "on", "1"});
    QCOMPARE(r.status, 9);
    QVERIFY2(r.err.contains(QLatin1String("did not answer a probe"))
                 && r.err.contains(QLatin1String("relayclient/#"))
                 && r.err.contains(QLatin1String("nothing was sent")),
             qPrintable(r.err));
    BrokerLink link(remote.boards);
    QSignalSpy failed(&link, &BrokerLink::openFailed);
    QCOMPARE(link.open(QStringLiteral("bench"), 500), BrokerLink::OpenResult::Pending);
    QVERIFY(failed.wait(20000));
    QCOMPARE(failed.at(0).at(0).value<BrokerLink::OpenResult>(), BrokerLink::OpenResult::NoAnswer);
    QVERIFY(!link.isOpen());
    const auto before = lineBeforeMarker(wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(bridge.log()));
    QCOMPARE(withoutStateQuestions(*before), QByteArray());
}

void TestBrokerPaths::everyRetainedBoardIsFound_data()
{
    QTest::addColumn<Path>("path");
    QTest::addColumn<int>("boards");
    QTest::newRow("1,000 on one broker") << Path::OneBroker << 1000;
    QTest::newRow("10,000 on one broker") << Path::OneBroker << 10000;
    QTest::newRow("1,000 beside one across a bridge") << Path::Bridge311 << 1000;
    QTest::newRow("1,000 on ejabberd") << Path::Ejabberd << 1000;
    QTest::newRow("1,000 on a broker of MQTT 3.1.1 only") << Path::Only311 << 1000;
}

void TestBrokerPaths::everyRetainedBoardIsFound()
{
    // Boards retained on the requesters' broker, each with its state; the real one among them
    // (across the bridge in that row). Every one is listed with its state, and the real one
    // found and driven.
    QFETCH(Path, path);
    QFETCH(int, boards);
    Rig rig(path);
    RIG_READY(rig);
    Remote remote(rig.farPort, QStringLiteral("tester"), rig.user);
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    for (int i = 0; i < boards; ++i) {
        const QString id = QStringLiteral("many%1").arg(i, 5, 10, QLatin1Char('0'));
        QVERIFY(remote.client.publish(BoardContract::topic(id, BoardContract::Leaf::Availability),
                                      "online", true));
        QVERIFY(remote.client.publish(BoardContract::topic(id, BoardContract::Leaf::State),
                                      BoardContract::stateJson(std::uint8_t(i & 15)), true));
        if (remote.client.unacknowledged() > 500)
            QTRY_VERIFY_WITH_TIMEOUT(remote.client.unacknowledged() < 100, 30000);
    }
    // Kept by the broker: every publish acknowledged.
    QTRY_COMPARE_WITH_TIMEOUT(remote.client.unacknowledged(), 0, 60000);

    Run r = relayctl(rig.broker() + QStringList {"boards"});
    QCOMPARE(r.status, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList missing;
    for (int i = 0; i < boards && missing.size() < 5; ++i) {
        const QString id = QStringLiteral("many%1").arg(i, 5, 10, QLatin1Char('0'));
        if (!r.out.contains(id + QLatin1Char(' ')))
            missing << id;
    }
    QVERIFY2(missing.isEmpty() && lines.size() == boards + 1,
             qPrintable(QStringLiteral("%1 lines, missing %2")
                            .arg(lines.size())
                            .arg(missing.join(QLatin1Char(' ')))));
    QVERIFY(lines.last().startsWith(QLatin1String("many")));
    QVERIFY2(!r.out.contains(QLatin1String("state unknown")), qPrintable(r.out.left(2000)));
    QCOMPARE(lines.filter(QLatin1String(" ch1=ON ch2=ON ch3=ON ch4=ON")).size(), boards / 16);
    QCOMPARE(lines.first().simplified(),
             QStringLiteral("bench online ch1=OFF ch2=OFF ch3=OFF ch4=OFF"));
    r = relayctl(rig.broker() + QStringList {"--board", "bench", "on", "1"});
    QVERIFY2(r.status == 0, qPrintable(r.err));
    QTRY_COMPARE_WITH_TIMEOUT(withoutStateQuestions(rig.wire), QByteArray("\x11"), 20000);
}

void TestBrokerPaths::stateDuringASteadyStream()
{
    // Commands that never leave the line quiet for long: the state is published all the same
    // while they keep coming.
    Rig rig(Path::OneBroker);
    Remote remote(rig.farPort);
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    TestSubscriber states(rig.home->port(), QStringLiteral("relayboard/bench/state"));
    QVERIFY(states.isReady());
    const qsizetype from = states.messages().size();
    const auto published = [&] {
        for (const MqttMessage &m : states.messages().mid(from)) {
            if (!m.retained)
                return true;
        }
        return false;
    };
    int sent = 0;
    QDeadlineTimer deadline(60000);
    while (!published() && !deadline.hasExpired()) {
        const QByteArray bytes
            = command(sent % 2 ? RelayOperation::Release : RelayOperation::Energise, 2);
        QVERIFY(remote.client.publish(
            BoardContract::topic(QStringLiteral("bench"), BoardContract::Leaf::Command),
            BoardContract::bytesText(bytes), false));
        ++sent;
        QTest::qWait(60); // a stream of commands 60 ms apart, and more for the machine's load
    }
    QVERIFY2(published(), qPrintable(QStringLiteral("%1 commands, no state").arg(sent)));
}

QTEST_MAIN(TestBrokerPaths)
#include "tst_brokerpaths.moc"
