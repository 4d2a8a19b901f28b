#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

#include "portguard.h"
#include "portholder.h"
#include "ptyboard.h"
#include "ptyrelayboard.h"
#include "serialportservice.h"

// relayctl as a script runs it: a separate process on the slave of a pseudo-terminal whose
// master the test plays, as raw bytes or as the simulated board.
class TestRelayctl : public QObject
{
    Q_OBJECT
private slots:
    void bytesOnTheWire_data();
    void bytesOnTheWire();
    void readPrintsTheReply();
    void readWithoutReply();
    void badInputWritesNothing_data();
    void badInputWritesNothing();
    void portHeldByAnotherProgram();
    void otherOpenFailure();
    void watch_data();
    void watch();
    void ports();

private:
    struct Result
    {
        int exitCode = -1;
        QString out;
        QString err;
    };
    // Runs relayctl to its end while the event loop keeps running (the simulated board answers
    // from it).
    static Result run(const QStringList &args)
    {
        QProcess p;
        p.start(QStringLiteral(RELAYCTL), args);
        if (!p.waitForStarted())
            return {};
        QSignalSpy finished(&p, &QProcess::finished);
        finished.wait(20000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromLocal8Bit(p.readAllStandardOutput()),
                QString::fromLocal8Bit(p.readAllStandardError())};
    }
    static bool held(const QString &path)
    {
        return PortGuard().check(path, path).result == OpenResult::PortInUse;
    }
};

void TestRelayctl::bytesOnTheWire_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("set CH1 CH3") << QStringList {"set", "CH1", "CH3"} << QByteArray("\x05");
    QTest::newRow("set none: all off") << QStringList {"set"} << QByteArray("\x00", 1);
    QTest::newRow("on, any case and digits")
        << QStringList {"on", "ch2", "4"} << QByteArray("\x1A");
    QTest::newRow("off CH1") << QStringList {"off", "Ch1"} << QByteArray("\x21");
    QTest::newRow("delay 45 on CH3")
        << QStringList {"delay", "45", "CH3"} << QByteArray("\xCA\xB6");
    QTest::newRow("delay 2.5 rounds to 2")
        << QStringList {"delay", "2.5", "2"} << QByteArray("\x89");
    QTest::newRow("delay 16: high half only")
        << QStringList {"delay", "16", "1"} << QByteArray("\xC4");
    QTest::newRow("delay 255 on CH4")
        << QStringList {"delay", "255", "ch4"} << QByteArray("\xFF\xBF");
}

void TestRelayctl::bytesOnTheWire()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, bytes);
    PtyBoard board;
    const Result r = run(QStringList {"--device", board.slavePath()} + args);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QString());
    QCOMPARE(board.drain(), bytes);
    QVERIFY(!held(board.slavePath())); // released on the way out
}

void TestRelayctl::readPrintsTheReply()
{
    qint64 clock = 0;
    PtyRelayBoard board([&clock] { return clock; });
    QCOMPARE(run({"--device", board.slavePath(), "on", "CH1", "CH3"}).exitCode, 0);
    const Result r = run({"--device", board.slavePath(), "read"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QStringLiteral("0x05\n"));
    QCOMPARE(r.err, QString());
}

void TestRelayctl::readWithoutReply()
{
    PtyBoard board; // sends nothing back
    const Result r = run({"--device", board.slavePath(), "read", "--timeout", "200"});
    QCOMPARE(r.exitCode, 5);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(r.err.contains(board.slavePath() + QStringLiteral(": no reply within 200 ms")),
             qPrintable(r.err));
    QCOMPARE(board.drain(), QByteArray("\x30"));
}

void TestRelayctl::badInputWritesNothing_data()
{
    QTest::addColumn<QStringList>("args"); // after --device PATH unless it starts with "-"
    QTest::addColumn<QString>("says");
    QTest::newRow("unknown command") << QStringList {"toggle", "CH1"} << "unknown command";
    QTest::newRow("no command") << QStringList {} << "no command";
    QTest::newRow("channel 5") << QStringList {"on", "5"} << "'5' is no channel";
    QTest::newRow("channel CH0") << QStringList {"set", "CH0"} << "'CH0' is no channel";
    QTest::newRow("channel word") << QStringList {"off", "all"} << "'all' is no channel";
    QTest::newRow("on without channel") << QStringList {"on"} << "at least one channel";
    QTest::newRow("delay 0") << QStringList {"delay", "0", "CH1"} << "1..255";
    QTest::newRow("delay 256") << QStringList {"delay", "256", "CH1"} << "1..255";
    QTest::newRow("delay 0.4") << QStringList {"delay", "0.4", "CH1"} << "1..255";
    QTest::newRow("delay not a number") << QStringList {"delay", "0x10", "CH1"} << "1..255";
    QTest::newRow("delay without channel") << QStringList {"delay", "30"} << "one channel";
    QTest::newRow("delay bad channel") << QStringList {"delay", "30", "CH9"} << "no channel";
    QTest::newRow("json with set") << QStringList {"set", "--json"} << "--json";
    QTest::newRow("timeout 0") << QStringList {"read", "--timeout", "0"} << "--timeout";
    QTest::newRow("unknown option") << QStringList {"read", "--fast"} << "unknown option";
    QTest::newRow("port Com17") << QStringList {"-", "--port", "Com17", "set"} << "Com1..Com16";
    QTest::newRow("port Com0") << QStringList {"-", "--port", "Com0", "set"} << "Com1..Com16";
    QTest::newRow("port name") << QStringList {"-", "--port", "ttyUSB0", "set"} << "Com1..Com16";
    QTest::newRow("no port") << QStringList {"-", "set", "CH1"} << "--port ComN or --device";
    QTest::newRow("two ports") << QStringList {"set", "--port", "Com5"} << "one port only";
}

void TestRelayctl::badInputWritesNothing()
{
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    PtyBoard board;
    if (args.value(0) == QLatin1String("-"))
        args.removeFirst();
    else
        args = QStringList {"--device", board.slavePath()} + args;
    const Result r = run(args);
    QCOMPARE(r.exitCode, 2);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(r.err.startsWith(QStringLiteral("relayctl: ")) && r.err.contains(says),
             qPrintable(r.err));
    QCOMPARE(board.drain(), QByteArray());
}

void TestRelayctl::portHeldByAnotherProgram()
{
    PtyBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How::Flock);
    QVERIFY(holder.ok());
    const Result r = run({"--device", board.slavePath(), "set", "CH1"});
    QCOMPARE(r.exitCode, 3);
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(r.err.startsWith(QStringLiteral("relayctl: %1: held by another program (8005): ")
                                  .arg(board.slavePath())),
             qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("(PID %1)").arg(holder.pid())), qPrintable(r.err));
    QCOMPARE(board.drain(), QByteArray());
}

void TestRelayctl::otherOpenFailure()
{
    const Result r = run({"--device", "/nonexistent/ttyUSB0", "set", "CH1"});
    QCOMPARE(r.exitCode, 4);
    QCOMPARE(r.err,
             QStringLiteral("relayctl: /nonexistent/ttyUSB0: no such device (8012): plug "
                            "the adapter in, or check the path\n"));
    const Result notTty = run({"--device", "/dev/null", "set", "CH1"});
    QCOMPARE(notTty.exitCode, 4);
    QVERIFY2(notTty.err.contains(QStringLiteral("(8020)")), qPrintable(notTty.err));
}

void TestRelayctl::watch_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("text, SIGINT") << false << SIGINT;
    QTest::newRow("json, SIGTERM") << true << SIGTERM;
}

void TestRelayctl::watch()
{
    QFETCH(bool, json);
    QFETCH(int, signalNumber);
    PtyBoard board;
    QProcess p;
    QStringList args {"--device", board.slavePath(), "watch"};
    if (json)
        args << "--json";
    p.start(QStringLiteral(RELAYCTL), args);
    QVERIFY(p.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(held(board.slavePath()), 10000); // open, signals handled

    QString out;
    const auto lines = [&] {
        out += QString::fromLocal8Bit(p.readAllStandardOutput());
        return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    };
    // A reply, then a short report split across two reads, then a long one.
    QVERIFY(board.send(QByteArray("\x07\x53\x00", 3)));
    QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 1, 10000);
    QVERIFY(board.send(QByteArray("\xFF\x12\xED\x4C\x01\x02\x03\x04")));
    QTRY_COMPARE_WITH_TIMEOUT(lines().size(), 3, 10000);

    ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    QCOMPARE(p.readAllStandardError(), QByteArray());
    QVERIFY(!held(board.slavePath()));

    const QStringList got = lines();
    const QStringList expected {"reply 0x07", "short 0x00 0xFF 0x12 0xED",
                                "long 0x01 0x02 0x03 0x04"};
    QCOMPARE(got.size(), expected.size());
    for (int i = 0; i < got.size(); ++i) {
        if (!json) {
            QCOMPARE(got[i], expected[i]);
            continue;
        }
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(got[i].toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(got[i]));
        QStringList bytes;
        for (const QJsonValue &b : o.value("bytes").toArray())
            bytes << b.toString();
        QCOMPARE(o.value("kind").toString() + ' ' + bytes.join(' '), expected[i]);
        QVERIFY(QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).isValid());
    }
}

void TestRelayctl::ports()
{
    const Result r = run({"ports", "--json"});
    QCOMPARE(r.exitCode, 0);
    const QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 16);
    const QStringList states {"free", "busy", "no permission", "missing"};
    for (int n = 1; n <= 16; ++n) {
        const QJsonObject o = QJsonDocument::fromJson(lines[n - 1].toUtf8()).object();
        QCOMPARE(o.value("port").toString(), QStringLiteral("Com%1").arg(n));
        QCOMPARE(o.value("device").toString(), ComPorts::device(n));
        const QString state = o.value("state").toString();
        QVERIFY2(states.contains(state) || state.startsWith("error 80"), qPrintable(state));
    }
    const Result text = run({"ports"});
    QCOMPARE(text.exitCode, 0);
    QVERIFY(text.out.startsWith(QStringLiteral("Com1   /dev/ttyS0")));
}

QTEST_GUILESS_MAIN(TestRelayctl)
#include "tst_relayctl.moc"
