// Boards that relay-mqtt owns, driven through a real mosquitto: the bridge's requests and
// answers, relayctl --broker --board, and the console's controller and window on a broker link.
#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>

#include "brokerboards.h"
#include "brokerlink.h"
#include "brokertext.h"
#include "commandencoder.h"
#include "consolerig.h"
#include "mainwindow.h"
#include "mqttclient.h"
#include "mqttfixture.h"
#include "ptyrelayboard.h"
#include "rawpty.h"
#include "remoterig.h"

namespace {

// One board on a pseudo-terminal, its bridge and a broker; `wire` holds what reached the
// board's line after the bridge's first state question.
struct BridgedBoard
{
    TestBroker broker;
    PtyRelayBoard board {[] { return RelayBoardModel::Millis(0); }};
    QByteArray wire;
    std::unique_ptr<BridgeProcess> bridge;

    explicit BridgedBoard(const QString &id = QStringLiteral("bench"))
    {
        QObject::connect(&board, &PtyRelayBoard::byteReceived,
                         [this](std::uint8_t b) { wire.append(char(b)); });
        startBridge(id);
    }
    void startBridge(const QString &id)
    {
        bridge = std::make_unique<BridgeProcess>(
            QStringLiteral(RELAY_MQTT),
            QStringList {QStringLiteral("--device"), board.slavePath(), QStringLiteral("--broker"),
                         brokerAddress(), QStringLiteral("--id"), id});
    }
    QString brokerAddress() const { return QStringLiteral("127.0.0.1:%1").arg(broker.port()); }
};

// A board the test answers for, when it chooses, on a raw pseudo-terminal; its bridge and a
// broker. `wire` holds what reached the line and was not answered at start.
struct SlowBoard
{
    TestBroker broker;
    RawPty line;
    QByteArray wire;
    QSocketNotifier readable {line.master(), QSocketNotifier::Read};
    BridgeProcess bridge {QStringLiteral(RELAY_MQTT),
                          {"--device", line.slavePath(), "--broker",
                           QStringLiteral("127.0.0.1:%1").arg(broker.port()), "--id", "bench"}};
    Remote remote {broker.port()};

    SlowBoard()
    {
        QObject::connect(&readable, &QSocketNotifier::activated, [this] {
            char buffer[64];
            const ssize_t n = ::read(line.master(), buffer, sizeof buffer);
            if (n > 0)
                wire.append(buffer, n);
        });
    }
    [[nodiscard]] bool answer(char b) { return ::write(line.master(), &b, 1) == 1; }
    // The bridge's questions at start, each answered until the state is on the broker.
    [[nodiscard]] bool waitReady()
    {
        if (!remote.waitSynced())
            return false;
        QDeadlineTimer deadline(20000);
        while (!remote.online(QStringLiteral("bench")) && !deadline.hasExpired()) {
            if (wire.endsWith('\x30')) {
                wire.clear();
                if (!answer('\x00'))
                    return false;
            }
            QTest::qWait(5);
        }
        return remote.online(QStringLiteral("bench"));
    }
};

// The answer as the rows write it: the bridge's reason left out (it is there exactly when the
// answer says "error"). False, with both texts, when it differs.
bool answerIs(QJsonObject got, const QString &expected, QString *shown)
{
    const QString reason = got.take(QStringLiteral("reason")).toString();
    const QString text = QString::fromUtf8(QJsonDocument(got).toJson(QJsonDocument::Compact));
    *shown = reason.isEmpty() ? text : QStringLiteral("%1 (reason: %2)").arg(text, reason);
    return text == expected && reason.isEmpty() == !expected.contains(QLatin1String("error"));
}

// Sends a request as a raw message (what a requester of another make might send) and gives
// the answer's JSON, or nothing when none comes within `msecs`.
std::optional<QJsonObject> rawRequest(Remote &remote, BrokerMessage m, int msecs = 5000)
{
    m.responseTopic = remote.boards.responseTopic();
    if (m.correlationData.isEmpty())
        m.correlationData = QByteArray::number(QRandomGenerator::global()->generate());
    std::optional<QJsonObject> answer;
    QObject context;
    QObject::connect(&remote.client, &MqttClient::messageArrived, &context,
                     [&](const BrokerMessage &in) {
                         if (in.topic == m.responseTopic && in.correlationData == m.correlationData)
                             answer = QJsonDocument::fromJson(in.payload).object();
                     });
    if (!remote.client.publish(m))
        return std::nullopt;
    QDeadlineTimer deadline(msecs);
    while (!answer && !deadline.hasExpired())
        QTest::qWait(5);
    return answer;
}

// What a request wrote, as the line shows it before the marker: `wire` first (the bridge's
// state question may follow), or nothing at all, not even a state question, for an empty one.
bool lineIs(const QByteArray &before, const QByteArray &wire)
{
    if (wire.isEmpty())
        return before.isEmpty();
    return before.startsWith(wire) && withoutStateQuestions(before) == withoutStateQuestions(wire);
}

} // namespace

class TestRemoteBoards : public QObject
{
    Q_OBJECT
private slots:
    void requestsAreAnsweredOnce_data();
    void requestsAreAnsweredOnce();
    void concurrentReadsEachGetTheirOwnAnswer();
    void repliesGoToTheQuestionsInTheirOrder();
    void aPlainReadKeepsItsReply();
    void relayctlCommands_data();
    void relayctlCommands();
    void relayctlWatchAndBoards();
    void envelopesAreAnsweredOnce_data();
    void envelopesAreAnsweredOnce();
    void unplugDuringARead();
    void relayctlFailures_data();
    void relayctlFailures();
    void stoppedBridgeSwitchesNothingLater();
    void accessListExample();
    void consoleDrivesABridgedBoard();
    void consoleBoardListFollowsTheBroker();
    void windowListsBoards();
    void brokerOutageSaidOnce();
};

void TestRemoteBoards::requestsAreAnsweredOnce_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("replyWithin"); // the user property, when not empty
    QTest::addColumn<qint64>("expiresIn"); // ms from now, 0 for none
    QTest::addColumn<bool>("retained");
    QTest::addColumn<QString>("answer"); // the answer's JSON
    QTest::addColumn<QByteArray>("wire"); // on the line, before the bridge's state question

    QTest::newRow("energise CH1 and CH3") << QByteArray("0x15") << QString() << qint64(0) << false
                                          << R"({"written":true})" << QByteArray("\x15");
    QTest::newRow("timed relay in two halves, lower case")
        << QByteArray("0xc9 0xb5") << QString() << qint64(0) << false << R"({"written":true})"
        << QByteArray("\xC9\xB5");
    QTest::newRow("read state with its reply")
        << QByteArray("0x30") << QStringLiteral("1000") << qint64(5000) << false
        << R"({"reply":"0x00","written":true})" << QByteArray("\x30");
    QTest::newRow("reply asked of a command the board does not answer")
        << QByteArray("0x11") << QStringLiteral("500") << qint64(0) << false
        << R"({"reply":null,"written":true})" << QByteArray("\x11");
    const QString refused = QStringLiteral(R"({"error":"refused","written":false})");
    QTest::newRow("not hexadecimal text")
        << QByteArray("ON") << QString() << qint64(0) << false << refused << QByteArray();
    QTest::newRow("no command of the board")
        << QByteArray("0x40") << QString() << qint64(0) << false << refused << QByteArray();
    QTest::newRow("two commands in one")
        << QByteArray("0x11 0x22") << QString() << qint64(0) << false << refused << QByteArray();
    QTest::newRow("hex word with a sign")
        << QByteArray("0x+1") << QString() << qint64(0) << false << refused << QByteArray();
    QTest::newRow("reply time out of range") << QByteArray("0x30") << QStringLiteral("60001")
                                             << qint64(0) << false << refused << QByteArray();
    QTest::newRow("retained") << QByteArray("0x11") << QString() << qint64(0) << true << refused
                              << QByteArray();
    QTest::newRow("expired before the bridge saw it")
        << QByteArray("0x11") << QString() << qint64(-1000) << false
        << R"({"error":"expired","written":false})" << QByteArray();
}

void TestRemoteBoards::requestsAreAnsweredOnce()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, replyWithin);
    QFETCH(qint64, expiresIn);
    QFETCH(bool, retained);
    QFETCH(QString, answer);
    QFETCH(QByteArray, wire);
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));

    BrokerMessage m;
    m.topic = QStringLiteral("relayboard/bench/command");
    m.payload = payload;
    m.retained = retained;
    if (!replyWithin.isEmpty())
        m.userProperties.append({QStringLiteral("reply-within-ms"), replyWithin});
    if (expiresIn != 0)
        m.userProperties.append({QStringLiteral("expires"),
                                 QString::number(QDateTime::currentMSecsSinceEpoch() + expiresIn)});
    const auto got = rawRequest(remote, m);
    QVERIFY2(got, qPrintable(rig.bridge->log()));
    QString shown;
    QVERIFY2(answerIs(*got, answer, &shown),
             qPrintable(shown + QStringLiteral(", wanted ") + answer));
    auto before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(rig.bridge->log()));
    QVERIFY2(lineIs(*before, wire), before->toHex().constData());

    // An answer only to a topic of the requesters' own: one elsewhere is refused unanswered.
    rig.wire.clear();
    BrokerMessage elsewhere;
    elsewhere.topic = m.topic;
    elsewhere.payload = "0x1F";
    elsewhere.responseTopic = QStringLiteral("relayboard/bench/ch1/set");
    elsewhere.correlationData = "x";
    QVERIFY(remote.client.publish(elsewhere));
    QVERIFY(
        rig.bridge->waitForLog(QStringLiteral("the response topic must be under relayclient/")));
    before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(rig.bridge->log()));
    QCOMPARE(withoutStateQuestions(*before), QByteArray());
}

void TestRemoteBoards::concurrentReadsEachGetTheirOwnAnswer()
{
    BridgedBoard rig;
    Remote first(rig.broker.port(), QStringLiteral("first"));
    Remote second(rig.broker.port(), QStringLiteral("second"));
    Remote third(rig.broker.port(), QStringLiteral("third"));
    WAIT_READY(first, rig, QStringLiteral("bench"));
    QVERIFY(second.waitSynced());
    QVERIFY(third.waitSynced());
    // CH1 and CH3 on; the third client's commands release CH4, which is off: the state the
    // reads must report stays 0x05 while the line is busy with them and with the bridge's own
    // questions.
    QSignalSpy set(&third.boards, &BrokerBoards::answered);
    third.boards.request(QStringLiteral("bench"), QByteArray("\x05"), 0, 5000);
    QVERIFY(set.wait(5000));
    QTimer noise;
    int sent = 0;
    QObject::connect(&noise, &QTimer::timeout, [&] {
        third.boards.request(QStringLiteral("bench"), QByteArray("\x28"), 0, 5000);
        ++sent;
    });
    // Pauses longer than the bridge's quiet time: its own state questions go out among the
    // reads.
    noise.start(170);

    QSignalSpy firstAnswers(&first.boards, &BrokerBoards::answered);
    QSignalSpy secondAnswers(&second.boards, &BrokerBoards::answered);
    constexpr int rounds = 10;
    QList<quint64> firstTokens, secondTokens;
    for (int i = 0; i < rounds; ++i) {
        firstTokens << first.boards.request(QStringLiteral("bench"), QByteArray("\x30"), 2000,
                                            5000);
        secondTokens << second.boards.request(QStringLiteral("bench"), QByteArray("\x30"), 2000,
                                              5000);
        QTRY_COMPARE_WITH_TIMEOUT(firstAnswers.size(), i + 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(secondAnswers.size(), i + 1, 10000);
        QTest::qWait(60);
    }
    // Two relayctl reads at once, as two scripts would run them.
    QProcess one, two;
    const QStringList read {"--broker", rig.brokerAddress(), "--board", "bench", "read"};
    one.start(QStringLiteral(RELAYCTL), read);
    two.start(QStringLiteral(RELAYCTL), read);
    QTRY_VERIFY_WITH_TIMEOUT(
        one.state() == QProcess::NotRunning && two.state() == QProcess::NotRunning, 20000);
    for (QProcess *p : {&one, &two}) {
        QCOMPARE(p->exitCode(), 0);
        QCOMPARE(p->readAllStandardOutput(), QByteArray("0x05\n"));
    }
    noise.stop();
    QTest::qWait(200); // an answer too many would have come by now
    QCOMPARE(firstAnswers.size(), rounds);
    QCOMPARE(secondAnswers.size(), rounds);
    for (const QSignalSpy *spy : {&firstAnswers, &secondAnswers}) {
        const QList<quint64> &tokens = spy == &firstAnswers ? firstTokens : secondTokens;
        for (int i = 0; i < rounds; ++i) {
            QCOMPARE(spy->at(i).at(0).value<quint64>(), tokens[i]);
            const auto answer = spy->at(i).at(1).value<BoardContract::Answer>();
            QVERIFY(answer.written);
            QCOMPARE(answer.reply, std::optional<std::uint8_t>(0x05));
        }
    }
    QVERIFY(sent > 2);
    // Every read reached the line, and so did some of the bridge's own questions, which took
    // none of the replies.
    QTRY_VERIFY2_WITH_TIMEOUT(rig.wire.count('\x30') > 2 * rounds + 2,
                              qPrintable(QString::number(rig.wire.count('\x30'))), 10000);
}

void TestRemoteBoards::repliesGoToTheQuestionsInTheirOrder()
{
    // A requester's read is on the line, its reply held back until the bridge's own question
    // follows it; the two replies differ.
    SlowBoard rig;
    QVERIFY(rig.waitReady());
    QTest::qWait(300);
    QCOMPARE(rig.wire, QByteArray());

    QSignalSpy answers(&rig.remote.boards, &BrokerBoards::answered);
    rig.remote.boards.request(QStringLiteral("bench"), QByteArray("\x30"), 5000, 8000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire, QByteArray("\x30"), 5000);
    // The line falls quiet: the bridge asks for the state itself.
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire, QByteArray("\x30\x30"), 5000);
    QVERIFY(rig.answer('\x01')); // the requester's
    QVERIFY(rig.answer('\x02')); // the bridge's
    QVERIFY(answers.wait(5000));
    QCOMPARE(answers.at(0).at(1).value<BoardContract::Answer>().reply,
             std::optional<std::uint8_t>(0x01));
    QTRY_COMPARE_WITH_TIMEOUT(rig.remote.boards.board(QStringLiteral("bench"))->state,
                              std::optional<std::uint8_t>(0x02), 5000);
}

void TestRemoteBoards::aPlainReadKeepsItsReply()
{
    // A read published plainly (mosquitto_pub, Home Assistant: nobody waits for its answer) is
    // on the line before a requester's; the board answers both, slowly, in that order. The
    // requester gets the second reply, not the first.
    SlowBoard rig;
    QVERIFY(rig.waitReady());
    QVERIFY(mqttPublish(rig.broker.port(), QStringLiteral("relayboard/bench/command"), "0x30",
                        {QStringLiteral("-q"), QStringLiteral("1")}));
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire, QByteArray("\x30"), 5000);
    QSignalSpy answers(&rig.remote.boards, &BrokerBoards::answered);
    rig.remote.boards.request(QStringLiteral("bench"), QByteArray("\x30"), 5000, 8000);
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire, QByteArray("\x30\x30"), 5000);
    QVERIFY(rig.answer('\x07')); // the plain read's
    QVERIFY(rig.answer('\x05')); // the requester's
    QVERIFY(answers.wait(5000));
    QCOMPARE(answers.at(0).at(1).value<BoardContract::Answer>().reply,
             std::optional<std::uint8_t>(0x05));
}

void TestRemoteBoards::envelopesAreAnsweredOnce_data()
{
    // The payload: %1 the transaction, %2 the answer topic, %3 a time 5 s ahead, %4 one 1 s
    // ago.
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<QString>("answer"); // the answer's JSON, without its reason; empty: none
    QTest::addColumn<QByteArray>("wire"); // on the line, before the bridge's state question

    QTest::newRow("energise CH1 and CH3")
        << QByteArray(R"({"command":"0x15","transaction":"%1","answer_to":"%2"})") << false
        << R"({"transaction":"T","written":true})" << QByteArray("\x15");
    QTest::newRow("read state with its reply, before it expires")
        << QByteArray(R"({"command":"0x30","transaction":"%1","answer_to":"%2",)"
                      R"("reply_within_ms":1000,"expires":%3})")
        << false << R"({"reply":"0x00","transaction":"T","written":true})" << QByteArray("\x30");
    QTest::newRow("probe") << QByteArray(R"({"probe":true,"transaction":"%1","answer_to":"%2"})")
                           << false << R"({"probe":true,"transaction":"T","written":false})"
                           << QByteArray();
    const QString refused
        = QStringLiteral(R"({"error":"refused","transaction":"T","written":false})");
    QTest::newRow("not a command of the board")
        << QByteArray(R"({"command":"0x40","transaction":"%1","answer_to":"%2"})") << false
        << refused << QByteArray();
    QTest::newRow("command not in hexadecimal text")
        << QByteArray(R"({"command":21,"transaction":"%1","answer_to":"%2"})") << false << refused
        << QByteArray();
    QTest::newRow("probe with a command")
        << QByteArray(R"({"probe":true,"command":"0x15","transaction":"%1","answer_to":"%2"})")
        << false << refused << QByteArray();
    QTest::newRow("reply time out of range")
        << QByteArray(R"({"command":"0x30","transaction":"%1","answer_to":"%2",)"
                      R"("reply_within_ms":60001})")
        << false << refused << QByteArray();
    QTest::newRow("retained") << QByteArray(
        R"({"command":"0x11","transaction":"%1","answer_to":"%2"})")
                              << true << refused << QByteArray();
    QTest::newRow("expired before the bridge saw it")
        << QByteArray(R"({"command":"0x11","transaction":"%1","answer_to":"%2","expires":%4})")
        << false << R"({"error":"expired","transaction":"T","written":false})" << QByteArray();
    // Where the answer would go is not sound: nothing is written, nobody answered.
    QTest::newRow("no transaction") << QByteArray(R"({"command":"0x11","answer_to":"%2"})") << false
                                    << QString() << QByteArray();
    QTest::newRow("answer topic outside relayclient/") << QByteArray(
        R"({"command":"0x11","transaction":"%1","answer_to":"relayboard/bench/state"})")
                                                       << false << QString() << QByteArray();
    QTest::newRow("not JSON") << QByteArray(R"({"command":"0x11")") << false << QString()
                              << QByteArray();
}

void TestRemoteBoards::envelopesAreAnsweredOnce()
{
    // Requests as a requester of another make sends them: the envelope in the payload of a
    // plain message, which every broker and bridge carries as it is.
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QString, answer);
    QFETCH(QByteArray, wire);
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));

    const QByteArray transaction = QByteArray::number(QRandomGenerator::global()->generate());
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    payload.replace("%1", transaction)
        .replace("%2", remote.boards.responseTopic().toUtf8())
        .replace("%3", QByteArray::number(now + 5000))
        .replace("%4", QByteArray::number(now - 1000));
    QList<QJsonObject> answers;
    connect(&remote.client, &MqttClient::messageArrived, this, [&](const BrokerMessage &in) {
        const QJsonObject o = QJsonDocument::fromJson(in.payload).object();
        if (in.topic == remote.boards.responseTopic()
            && o.value(QStringLiteral("transaction")).toString()
                == QString::fromLatin1(transaction))
            answers << o;
    });
    QVERIFY(remote.client.publish(QStringLiteral("relayboard/bench/command"), payload, retained));
    auto before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(rig.bridge->log()));
    if (!answer.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(!answers.isEmpty(), 10000);
    QVERIFY2(lineIs(*before, wire), before->toHex().constData());
    if (answer.isEmpty()) {
        // The marker's way through the bridge is behind the request's: an answer would have
        // come before the marker reached the line.
        QVERIFY2(rig.bridge->waitForLog(QStringLiteral("nothing sent")),
                 qPrintable(rig.bridge->log()));
        QCOMPARE(answers.size(), 0);
        return;
    }
    QCOMPARE(answers.size(), 1);
    QJsonObject got = answers.first();
    got.insert(QStringLiteral("transaction"), QStringLiteral("T"));
    QString shown;
    QVERIFY2(answerIs(got, answer, &shown),
             qPrintable(shown + QStringLiteral(", wanted ") + answer));
}

void TestRemoteBoards::unplugDuringARead()
{
    // relayctl read through the broker; the board's adapter is pulled before the board
    // answered: the board went offline (status 8), not "no reply, check its power" (5).
    SlowBoard rig;
    QVERIFY(rig.waitReady());
    QProcess relayctl;
    relayctl.start(QStringLiteral(RELAYCTL),
                   {"--broker", QStringLiteral("127.0.0.1:%1").arg(rig.broker.port()), "--board",
                    "bench", "--timeout", "10000", "read"});
    QTRY_VERIFY_WITH_TIMEOUT(rig.wire.startsWith('\x30'), 20000);
    rig.line.closeMaster();
    QVERIFY(relayctl.waitForFinished(30000));
    const QString err = QString::fromLocal8Bit(relayctl.readAllStandardError());
    QCOMPARE(relayctl.exitCode(), 8);
    QVERIFY2(err.contains(QLatin1String("went offline")), qPrintable(err));
}

void TestRemoteBoards::relayctlCommands_data()
{
    QTest::addColumn<QStringList>("command");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("on") << QStringList {"on", "1", "CH3"} << QString() << QByteArray("\x15");
    QTest::newRow("set") << QStringList {"set", "ch2"} << QString() << QByteArray("\x02");
    QTest::newRow("off") << QStringList {"off", "4"} << QString() << QByteArray("\x28");
    QTest::newRow("delay") << QStringList {"delay", "45", "CH2"} << QString()
                           << QByteArray("\xC9\xB5");
    QTest::newRow("read") << QStringList {"read"} << QStringLiteral("0x00\n") << QByteArray("\x30");
    QTest::newRow("read --json")
        << QStringList {"read", "--json"}
        << QStringLiteral(R"({"reply":"0x00","ch1":"OFF","ch2":"OFF","ch3":"OFF","ch4":"OFF"})"
                          "\n")
        << QByteArray("\x30");
}

void TestRemoteBoards::relayctlCommands()
{
    QFETCH(QStringList, command);
    QFETCH(QString, out);
    QFETCH(QByteArray, wire);
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    const Run r
        = relayctl(QStringList {"--broker", rig.brokerAddress(), "--board", "bench"} + command);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, out);
    // It returned once the bridge had written the command: the bytes are on their way.
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire.left(wire.size()), wire, 5000);
}

void TestRemoteBoards::relayctlWatchAndBoards()
{
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));

    QProcess watch;
    watch.start(QStringLiteral(RELAYCTL),
                {"--broker", rig.brokerAddress(), "--board", "bench", "watch", "--json"});
    QVERIFY(watch.waitForStarted());
    // Subscribed once the first event comes through: a reply is sent until one does.
    QByteArray out;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            rig.board.sendRaw(QByteArray("\x07"));
            QTest::qWait(100);
            out += watch.readAllStandardOutput();
            return out.contains("reply");
        }(),
        20000);
    out.clear();
    rig.board.sendKeyReport(true, 0x00, 0xFF, 0x45, 0xBA);
    QTRY_VERIFY_WITH_TIMEOUT((out += watch.readAllStandardOutput()).contains('\n'), 10000);
    const QJsonObject event = QJsonDocument::fromJson(out.trimmed()).object();
    QCOMPARE(event.value(QStringLiteral("kind")).toString(), QStringLiteral("long"));
    QCOMPARE(event.value(QStringLiteral("bytes")).toVariant().toStringList(),
             QStringList({"0x00", "0xFF", "0x45", "0xBA"}));
    watch.terminate();
    QVERIFY(watch.waitForFinished(10000));
    QCOMPARE(watch.exitCode(), 0);

    // A second board whose bridge waits for its device: known, offline.
    BridgeProcess away(QStringLiteral(RELAY_MQTT),
                       {"--device", "/nonexistent/tty", "--wait", "--broker", rig.brokerAddress(),
                        "--id", "attic"});
    QTRY_VERIFY_WITH_TIMEOUT(remote.boards.board(QStringLiteral("attic")).has_value(), 20000);
    Run r = relayctl({"--broker", rig.brokerAddress(), "boards"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
             QStringList({"attic                offline state unknown",
                          "bench                online  ch1=OFF ch2=OFF ch3=OFF ch4=OFF"}));
    r = relayctl({"--broker", rig.brokerAddress(), "boards", "--json"});
    QCOMPARE(r.status, 0);
    QCOMPARE(
        r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts),
        QStringList(
            {R"({"availability":"offline","board":"attic","state":null})",
             R"({"availability":"online","board":"bench","state":{"ch1":"OFF","ch2":"OFF","ch3":"OFF","ch4":"OFF"}})"}));
}

void TestRemoteBoards::relayctlFailures_data()
{
    QTest::addColumn<QString>("board");
    QTest::addColumn<bool>("brokerThere");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("unknown board") << "cellar" << true << 8 << "board cellar is not known";
    QTest::newRow("offline board") << "attic" << true << 8 << "board attic is offline";
    QTest::newRow("no broker") << "bench" << false << 7 << "cannot reach the broker";
}

void TestRemoteBoards::relayctlFailures()
{
    QFETCH(QString, board);
    QFETCH(bool, brokerThere);
    QFETCH(int, status);
    QFETCH(QString, says);
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    BridgeProcess away(QStringLiteral(RELAY_MQTT),
                       {"--device", "/nonexistent/tty", "--wait", "--broker", rig.brokerAddress(),
                        "--id", "attic"});
    QTRY_VERIFY_WITH_TIMEOUT(remote.boards.board(QStringLiteral("attic")).has_value(), 20000);
    if (!brokerThere)
        rig.broker.stop();
    const Run r = relayctl({"--broker", rig.brokerAddress(), "--board", board, "on", "1"});
    QCOMPARE(r.status, status);
    QVERIFY2(r.err.contains(says), qPrintable(r.err));
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    if (brokerThere) {
        const auto before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
        QVERIFY2(before, qPrintable(rig.bridge->log()));
        QCOMPARE(*before, QByteArray());
    } else {
        QCOMPARE(rig.wire, QByteArray()); // nothing can come without the broker
    }
}

void TestRemoteBoards::stoppedBridgeSwitchesNothingLater()
{
    BridgedBoard rig;
    Remote remote(rig.broker.port());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    ::kill(rig.bridge->pid(), SIGSTOP);
    const Run r = relayctl(
        {"--broker", rig.brokerAddress(), "--board", "bench", "--timeout", "300", "on", "2"});
    // It is found silent before the command goes out.
    QCOMPARE(r.status, 9);
    QVERIFY2(r.err.contains(QLatin1String("did not answer a probe within 300 ms")),
             qPrintable(r.err));
    QVERIFY2(r.err.contains(QLatin1String("nothing was sent")), qPrintable(r.err));
    ::kill(rig.bridge->pid(), SIGCONT);
    // The bridge reads the command it was sent while stopped, and leaves it.
    QVERIFY(rig.bridge->waitForLog(QStringLiteral("expired before the bridge saw it")));
    const auto before = lineBeforeMarker(rig.wire, remote, QStringLiteral("bench"));
    QVERIFY2(before, qPrintable(rig.bridge->log()));
    QCOMPARE(*before, QByteArray());
}

void TestRemoteBoards::accessListExample()
{
    // The README's example, as shipped: the operator switches relays, anybody else reads.
    QFile file(QStringLiteral(EXAMPLE_ACL));
    QVERIFY(file.open(QIODevice::ReadOnly));
    BrokerConfig config;
    config.acl = file.readAll();
    QFile readme(QStringLiteral(README_MD));
    QVERIFY(readme.open(QIODevice::ReadOnly));
    QVERIFY2(readme.readAll().contains(config.acl.trimmed()),
             "the README shows another access list than the example file");
    config.users = {{"bridge", "b-secret"}, {"operator", "o-secret"}, {"viewer", "v-secret"}};
    QTemporaryDir dir;
    for (const auto &[user, password] : std::as_const(config.users)) {
        QFile pw(dir.filePath(user));
        QVERIFY(pw.open(QIODevice::WriteOnly));
        pw.write(password.toUtf8() + '\n');
        pw.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    TestBroker broker(config);
    PtyRelayBoard board([] { return RelayBoardModel::Millis(0); });
    QByteArray wire;
    connect(&board, &PtyRelayBoard::byteReceived,
            [&wire](std::uint8_t b) { wire.append(char(b)); });
    const QString address = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    BridgeProcess bridge(QStringLiteral(RELAY_MQTT),
                         {"--device", board.slavePath(), "--broker", address, "--id", "bench",
                          "--username", "bridge", "--password-file", dir.filePath("bridge")});
    QVERIFY2(bridge.waitForLog(QStringLiteral("connected to the broker")),
             qPrintable(bridge.log()));
    const auto as = [&](const QString &user, const QStringList &command) {
        return relayctl(QStringList {"--broker", address, "--username", user, "--password-file",
                                     dir.filePath(user)}
                        + command);
    };
    // Online with its state: the bridge's questions at start are behind it (see WAIT_READY).
    Run r;
    QTRY_VERIFY_WITH_TIMEOUT((r = as("viewer", {"boards"})).out.startsWith("bench "), 20000);
    QTRY_VERIFY2_WITH_TIMEOUT(
        (r = as("viewer", {"boards"})).out.contains(QLatin1String(" online  ch1=OFF")),
        qPrintable(r.out + r.err), 20000);
    QVERIFY(wire.endsWith('\x30'));
    wire.clear();
    r = as("viewer", {"--board", "bench", "on", "2"});
    QCOMPARE(r.status, 6);
    QVERIFY2(r.err.contains(QLatin1String("does not take relayboard/bench/command")),
             qPrintable(r.err));
    r = as("operator", {"--board", "bench", "on", "1"});
    QVERIFY2(r.status == 0, qPrintable(r.err + bridge.log()));
    r = as("operator", {"--board", "bench", "read"});
    QCOMPARE(r.out, QStringLiteral("0x01\n"));
    // The viewer's command never reached the line; the operator's did, first.
    QTRY_COMPARE_WITH_TIMEOUT(withoutStateQuestions(wire), QByteArray("\x11"), 5000);
    QVERIFY(wire.startsWith('\x11'));
    QVERIFY(!bridge.log().contains(QLatin1String("does not take")));
}

void TestRemoteBoards::consoleDrivesABridgedBoard()
{
    BridgedBoard rig;
    Remote remote(rig.broker.port(), QStringLiteral("console"));
    ConsoleRig console;
    console.controller.setBroker(&remote.boards, rig.brokerAddress());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    QTRY_COMPARE_WITH_TIMEOUT(console.ports.last(), QStringLiteral("bench"), 10000);
    const int entry = int(console.ports.size()) - 1;
    QVERIFY(console.adapters[entry].contains(rig.brokerAddress()));
    QVERIFY(console.adapters[entry].contains(QStringLiteral("在线")));

    // Com3 is a pseudo-terminal of the rig: held by nobody. The board's entry opens the broker
    // link.
    console.controller.choosePort(entry);
    console.controller.openPort();
    QTRY_COMPARE_WITH_TIMEOUT(console.controller.portState(), ConsoleController::PortState::Opened,
                              10000);
    QCOMPARE(console.messages.size(), 0);
    QVERIFY(qobject_cast<BrokerLink *>(&console.controller.link()));

    console.controller.chooseOperation(1); // energise
    console.controller.setChannel(0, true);
    console.controller.send();
    QTRY_COMPARE_WITH_TIMEOUT(rig.wire.left(1), QByteArray("\x11"), 5000);
    // What the list tells of the board follows it while it is open.
    QTRY_VERIFY_WITH_TIMEOUT(console.adapters[entry].contains(QStringLiteral("吸合：CH1")), 10000);
    console.controller.chooseOperation(3); // read state
    console.controller.send();
    // Open means the board's byte stream is subscribed: the first reply is not lost.
    QTRY_COMPARE_WITH_TIMEOUT(console.replies.value(0), QStringLiteral("0x01"), 10000);
    QCOMPARE(console.replies.size(), 1);
    QCOMPARE(console.meanings.value(0), QStringLiteral("吸合：CH1"));

    rig.board.sendKeyReport(false, 0x00, 0xFF, 0x16, 0xE9);
    QTRY_COMPARE_WITH_TIMEOUT(console.controller.keyReports().model()->rowCount(), 1, 10000);

    // The chaser's steps go out through the broker (the bridge's question after the reads may
    // still come among them).
    rig.wire.clear();
    console.controller.startChaser();
    console.controller.chaser().tick();
    console.controller.chaser().tick();
    QTRY_COMPARE_WITH_TIMEOUT(withoutStateQuestions(rig.wire).left(2), QByteArray("\x01\x00", 2),
                              5000);

    // The board goes offline (its bridge ends): the same as a lost device.
    rig.bridge.reset();
    QTRY_COMPARE_WITH_TIMEOUT(console.controller.portState(), ConsoleController::PortState::Reopen,
                              20000);
    QCOMPARE(console.testRunning.last(), false);
    QCOMPARE(console.messages.last().text, QStringLiteral("串口未被正常打开。"));
    // And while it waits to be opened again.
    QTRY_VERIFY_WITH_TIMEOUT(console.adapters[entry].contains(QStringLiteral("离线")), 10000);
    // Opening it again says why it cannot be done.
    console.controller.openPort();
    QVERIFY2(console.messages.last().text.contains(QStringLiteral("已离线")),
             qPrintable(console.messages.last().text));
    QCOMPARE(console.controller.portState(), ConsoleController::PortState::Reopen);
}

void TestRemoteBoards::consoleBoardListFollowsTheBroker()
{
    BridgedBoard rig;
    Remote remote(rig.broker.port(), QStringLiteral("console"));
    // The bridge holds Com3 of this console: the open failure points at the broker.
    ConsoleRig console;
    *console.com3 = rig.board.slavePath();
    console.controller.setBroker(&remote.boards, rig.brokerAddress());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    QTRY_COMPARE_WITH_TIMEOUT(console.ports, QStringList({"Com3", "bench"}), 10000);
    console.controller.choosePort(0);
    console.controller.openPort();
    QVERIFY2(console.messages.last().text.contains(QStringLiteral("relay-mqtt")),
             qPrintable(console.messages.last().text));
    QVERIFY(console.messages.last().text.contains(QStringLiteral("经代理服务器")));
    QVERIFY2(console.messages.last().text.contains(QStringLiteral("名称：bench")),
             qPrintable(console.messages.last().text));

    // A second board comes and goes; the selection stays on its entry.
    console.controller.choosePort(1);
    PtyRelayBoard other;
    auto second
        = std::make_unique<BridgeProcess>(QStringLiteral(RELAY_MQTT),
                                          QStringList {"--device", other.slavePath(), "--broker",
                                                       rig.brokerAddress(), "--id", "attic"});
    QTRY_COMPARE_WITH_TIMEOUT(console.ports, QStringList({"Com3", "attic", "bench"}), 20000);
    QCOMPARE(console.currentPort, 2);
    // Its bridge ends: offline (its last words), still listed, and said so.
    second.reset();
    QTRY_VERIFY_WITH_TIMEOUT(console.adapters.value(1).contains(QStringLiteral("离线")), 20000);
    // Its retained availability deleted: gone from the list.
    Remote cleaner(rig.broker.port(), QStringLiteral("cleaner"));
    QVERIFY(cleaner.waitSynced());
    QVERIFY(cleaner.client.publish(QStringLiteral("relayboard/attic/availability"), {}, true));
    QTRY_COMPARE_WITH_TIMEOUT(console.ports, QStringList({"Com3", "bench"}), 20000);
    QCOMPARE(console.currentPort, 1);
}

void TestRemoteBoards::windowListsBoards()
{
    BridgedBoard rig;
    Remote remote(rig.broker.port(), QStringLiteral("window"));
    MainWindow window([](int n) { return QStringLiteral("/nonexistent/%1").arg(n); });
    window.controller().setBroker(&remote.boards, rig.brokerAddress());
    WAIT_READY(remote, rig, QStringLiteral("bench"));
    auto *list = window.findChild<QComboBox *>(QStringLiteral("cboPort"));
    QVERIFY(list);
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 1, 10000);
    QCOMPARE(list->itemText(0), QStringLiteral("bench"));
    const QString description = list->itemData(0, Qt::AccessibleDescriptionRole).toString();
    QVERIFY2(description.contains(rig.brokerAddress()), qPrintable(description));
    QVERIFY(description.contains(QStringLiteral("在线")));
    QVERIFY(description.contains(QStringLiteral("吸合：无")));
    QVERIFY(!list->itemData(0, Qt::ToolTipRole).toString().isEmpty());

    // A long ID is readable whole in the open list.
    const QString longId = QStringLiteral("a-very-long-board-name-for-the-lab-bench-number-7");
    PtyRelayBoard other;
    BridgeProcess second(
        QStringLiteral(RELAY_MQTT),
        {"--device", other.slavePath(), "--broker", rig.brokerAddress(), "--id", longId});
    QTRY_COMPARE_WITH_TIMEOUT(list->count(), 2, 20000);
    QCOMPARE(list->itemText(0), longId);
    const int needed = list->view()->fontMetrics().horizontalAdvance(longId);
    QVERIFY2(list->view()->minimumWidth() > needed,
             qPrintable(QStringLiteral("%1 px for %2 px of text")
                            .arg(list->view()->minimumWidth())
                            .arg(needed)));
    QVERIFY(list->width() < needed); // the field itself is narrower: the list had to grow
}

void TestRemoteBoards::brokerOutageSaidOnce()
{
    TestBroker broker;
    Remote remote(broker.port(), QStringLiteral("console"));
    ConsoleRig console;
    console.controller.setBroker(&remote.boards, QStringLiteral("127.0.0.1:%1").arg(broker.port()));
    QVERIFY(remote.waitSynced());
    QSignalSpy failures(&remote.client, &MqttClient::connectionFailed);
    // Short outages one after another are outages, not a second client with this ID.
    for (int outage = 1; outage <= 3; ++outage) {
        broker.stop();
        // The client tells two reasons: the connection lost, then the attempts refused.
        QTRY_VERIFY_WITH_TIMEOUT(failures.size() >= 2 * outage, 20000);
        QCOMPARE(console.messages.size(), outage);
        const QString text = console.messages.last().text;
        QVERIFY2(text.contains(QStringLiteral("连接已断开（连接已关闭）")), qPrintable(text));
        QVERIFY2(!text.contains(QLatin1String("connection")), qPrintable(text));
        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(remote.client.isConnected(), 60000);
    }
    for (const QList<QVariant> &failure : std::as_const(failures)) {
        const auto f = failure.at(0).value<MqttClient::Failure>();
        QVERIFY2(f.kind != MqttClient::FailureKind::SameClientId,
                 qPrintable(brokerFailureWords(f)));
    }
}

QTEST_MAIN(TestRemoteBoards)
#include "tst_remoteboards.moc"
