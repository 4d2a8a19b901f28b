#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#include "portguard.h"
#include "portholder.h"
#include "ptyboard.h"
#include "ptyrelayboard.h"
#include "relayctlrun.h"
#include "serialportservice.h"

// relayctl as a script runs it: a separate process on the slave of a pseudo-terminal whose
// master the test plays, as raw bytes or as the simulated board.
class TestRelayctl : public QObject
{
    Q_OBJECT
private slots:
    void bytesOnTheWire_data();
    void bytesOnTheWire();
    void optionForms_data();
    void optionForms();
    void readPrintsTheReply();
    void readWithoutReply_data();
    void readWithoutReply();
    void badInputWritesNothing_data();
    void badInputWritesNothing();
    void portHeldByAnotherProgram();
    void otherOpenFailure();
    void watch_data();
    void watch();
    void watchEndsWhileItsReaderStalls_data();
    void watchEndsWhileItsReaderStalls();
    void watchEndsQuietlyWhenItsOutputCloses();
    void readAnswersForItsOwnCommand_data();
    void readAnswersForItsOwnCommand();
    void readStateAsJson_data();
    void readStateAsJson();
    void hostileHolderNames();
    void ports();

private:
    static bool held(const QString &path)
    {
        return PortGuard().inspect(path, path).result == OpenResult::PortInUse;
    }
    // relayctl with its standard output and error on pipes the test reads when it chooses
    // (QProcess would read them as soon as anything comes).
    struct Spawned
    {
        pid_t pid = -1;
        int out = -1;
        int err = -1;
    };
    static Spawned spawn(const QStringList &args)
    {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            return {};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        QList<QByteArray> words {QByteArray(RELAYCTL)};
        for (const QString &a : args)
            words << a.toLocal8Bit();
        std::vector<char *> argv;
        for (QByteArray &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        Spawned s;
        if (posix_spawn(&s.pid, RELAYCTL, &actions, nullptr, argv.data(), environ) != 0)
            s.pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        s.out = out[0];
        s.err = err[0];
        return s;
    }
    // The exit status once the process has ended (128 + signal when a signal ended it); -1 when
    // it is still running after `limit`, which only a hang reaches. The event loop runs meanwhile.
    static int waitExit(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(30))
    {
        QDeadlineTimer deadline(limit);
        while (!deadline.hasExpired()) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid)
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            QTest::qWait(10);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    }
    static QByteArray readAll(int fd)
    {
        QByteArray all;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            all.append(buf, n);
        return all;
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
    const Run r = relayctl(QStringList {"--device", board.slavePath()} + args);
    QCOMPARE(r.status, 0);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QString());
    QCOMPARE(board.drain(), bytes);
    QVERIFY(!held(board.slavePath())); // released on the way out
}

void TestRelayctl::optionForms_data()
{
    // "%1" stands for the board's device path.
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("bytes"); // on the wire
    QTest::addColumn<QString>("says"); // in stdout for status 0, in the one stderr line otherwise
    const QByteArray none;
    QTest::newRow("--device=PATH")
        << QStringList {"--device=%1", "set", "CH1"} << 0 << QByteArray("\x01") << "";
    QTest::newRow("option after the command")
        << QStringList {"on", "CH2", "--device", "%1"} << 0 << QByteArray("\x12") << "";
    QTest::newRow("-- ends the options")
        << QStringList {"--device", "%1", "--", "off", "4"} << 0 << QByteArray("\x28") << "";
    QTest::newRow("--timeout=MS") << QStringList {"--timeout=200", "--device", "%1", "read"} << 5
                                  << QByteArray("\x30") << "no reply within 200 ms";
    QTest::newRow("-h") << QStringList {"-h"} << 0 << none << "Usage: relayctl";
    QTest::newRow("-V") << QStringList {"-V"} << 0 << none << "relayctl ";
    QTest::newRow("--version") << QStringList {"--version"} << 0 << none << "relayctl ";
    QTest::newRow("--port=Com17") << QStringList {"--port=Com17", "set"} << 2 << none
                                  << "Com1..Com16";
    QTest::newRow("--port without a value")
        << QStringList {"set", "--port"} << 2 << none << "--port";
    QTest::newRow("two ports, = form")
        << QStringList {"--port=Com5", "--device=%1", "set"} << 2 << none << "one port only";
    QTest::newRow("unknown long option")
        << QStringList {"--bogus", "set"} << 2 << none << "unknown option '--bogus'";
    QTest::newRow("unknown short option")
        << QStringList {"-x", "set"} << 2 << none << "unknown option '-x'";
}

void TestRelayctl::optionForms()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, says);
    PtyBoard board;
    for (QString &a : args)
        a.replace(QLatin1String("%1"), board.slavePath());
    const Run r = relayctl(args);
    QCOMPARE(r.status, exitCode);
    if (exitCode == 0) {
        QCOMPARE(r.err, QString());
        QVERIFY2(r.out.contains(says), qPrintable(r.out));
    } else {
        QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
        QVERIFY2(r.err.startsWith(QStringLiteral("relayctl: ")) && r.err.contains(says),
                 qPrintable(r.err));
    }
    QCOMPARE(board.drain(), bytes);
}

void TestRelayctl::readPrintsTheReply()
{
    qint64 clock = 0;
    PtyRelayBoard board([&clock] { return clock; });
    QCOMPARE(relayctl({"--device", board.slavePath(), "on", "CH1", "CH3"}).status, 0);
    const Run r = relayctl({"--device", board.slavePath(), "read"});
    QCOMPARE(r.status, 0);
    QCOMPARE(r.out, QStringLiteral("0x05\n"));
    QCOMPARE(r.err, QString());
}

void TestRelayctl::readWithoutReply_data()
{
    QTest::addColumn<QByteArray>("answer"); // the board's answer to the read-state command
    QTest::addColumn<QString>("says");
    QTest::newRow("nothing") << QByteArray() << "no reply within 200 ms; check the board's power";
    // A reply equal to a key report's marker starts a report that never ends: what came is
    // said, not blamed on the wiring.
    QTest::newRow("0x53") << QByteArray("\x53")
                          << "the board sent 0x53 and nothing more within 200 ms: the start of "
                             "a key report, not a reply";
    QTest::newRow("0x4C and a byte")
        << QByteArray("\x4C\x01") << "the board sent 0x4C 0x01 and nothing more";
}

void TestRelayctl::readWithoutReply()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, says);
    PtyBoard board;
    QByteArray received;
    QSocketNotifier notifier(board.masterFd(), QSocketNotifier::Read);
    connect(&notifier, &QSocketNotifier::activated, [&] {
        char buf[64];
        const ssize_t n = ::read(board.masterFd(), buf, sizeof buf);
        if (n > 0) {
            received.append(buf, n);
            if (!answer.isEmpty())
                (void)!::write(board.masterFd(), answer.constData(), size_t(answer.size()));
        }
    });
    const Run r = relayctl({"--device", board.slavePath(), "read", "--timeout", "200"});
    QCOMPARE(r.status, 5);
    QCOMPARE(r.out, QString());
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(r.err.contains(board.slavePath() + QStringLiteral(": ") + says), qPrintable(r.err));
    QCOMPARE(received, QByteArray("\x30"));
}

void TestRelayctl::badInputWritesNothing_data()
{
    QTest::addColumn<QStringList>("args"); // after --device PATH unless it starts with "-"
    QTest::addColumn<QString>("says");
    QTest::newRow("unknown command") << QStringList {"toggle", "CH1"} << "unknown command";
    // Words from the command line reach the terminal escaped.
    QTest::newRow("unknown command with an escape sequence")
        << QStringList {"\x1b]0;X\a"} << "unknown command '\\x1b]0;X\\x07'";
    QTest::newRow("bad channel with an escape sequence")
        << QStringList {"on", "\x1b[2J"} << "'\\x1b[2J' is no channel";
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
    // One range, here and through the broker (whose bridge waits no longer for a reply).
    QTest::newRow("timeout over a minute")
        << QStringList {"read", "--timeout", "60001"} << "--timeout needs milliseconds, 1..60000";
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
    const Run r = relayctl(args);
    QCOMPARE(r.status, 2);
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
    const Run r = relayctl({"--device", board.slavePath(), "set", "CH1"});
    QCOMPARE(r.status, 3);
    QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
    QVERIFY2(r.err.startsWith(QStringLiteral("relayctl: %1: held by another program (8005): ")
                                  .arg(board.slavePath())),
             qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("(PID %1)").arg(holder.pid())), qPrintable(r.err));
    QCOMPARE(board.drain(), QByteArray());
}

void TestRelayctl::otherOpenFailure()
{
    const Run r = relayctl({"--device", "/nonexistent/ttyUSB0", "set", "CH1"});
    QCOMPARE(r.status, 4);
    QCOMPARE(r.err,
             QStringLiteral("relayctl: /nonexistent/ttyUSB0: no such device (8012): plug "
                            "the adapter in, or check the path\n"));
    // No serial line: a file that is no terminal, the pty multiplexer (opening it makes a new
    // terminal), the terminal relayctl runs in, a folder. Nothing is written anywhere.
    for (const char *path : {"/dev/null", "/dev/ptmx", "/dev/tty", "/tmp"}) {
        const Run notTty = relayctl({"--device", path, "set", "CH1"});
        QCOMPARE(notTty.status, 4);
        QVERIFY2(notTty.err.contains(QStringLiteral("(8020)")), qPrintable(notTty.err));
    }
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
        // A moment anywhere: local time with its offset from UTC.
        QVERIFY2(o.value("time").toString().contains(QRegularExpression("[+-]\\d\\d:\\d\\d$")),
                 qPrintable(o.value("time").toString()));
    }
}

void TestRelayctl::watchEndsWhileItsReaderStalls_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestRelayctl::watchEndsWhileItsReaderStalls()
{
    // A paused pager or a stalled consumer: relayctl waits on a full pipe, and must still end
    // when told, with the port released.
    QFETCH(int, signalNumber);
    PtyBoard board;
    const Spawned p = spawn({"--device", board.slavePath(), "watch"});
    QVERIFY(p.pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(held(board.slavePath()), 10000);

    const int capacity = ::fcntl(p.out, F_GETPIPE_SZ);
    QVERIFY(capacity > 0);
    const QByteArray reports = QByteArray("\x53\x00\xFF\x12\xED", 5).repeated(40);
    // Reports until relayctl has stopped taking them: its pipe holds half its capacity or more
    // and has not grown while the line to relayctl was full, twenty times in a row.
    int queued = 0;
    int still = 0;
    QDeadlineTimer deadline(std::chrono::seconds(60));
    while (still < 20 && !deadline.hasExpired()) {
        const bool lineFull
            = ::write(board.masterFd(), reports.constData(), size_t(reports.size())) < 0
            && errno == EAGAIN;
        QTest::qWait(5);
        int now = 0;
        ::ioctl(p.out, FIONREAD, &now);
        still = lineFull && now == queued && now >= capacity / 2 ? still + 1 : 0;
        queued = now;
    }
    QVERIFY2(still >= 20, qPrintable(QString::number(queued)));

    ::kill(p.pid, signalNumber);
    QCOMPARE(waitExit(p.pid), 0);
    QVERIFY(noLockLeft(board.slavePath()));
    QCOMPARE(readAll(p.err), QByteArray());
    ::close(p.out);
    ::close(p.err);
}

void TestRelayctl::watchEndsQuietlyWhenItsOutputCloses()
{
    // watch | head -n 2
    PtyBoard board;
    const Spawned p = spawn({"--device", board.slavePath(), "watch"});
    QVERIFY(p.pid > 0);
    QTRY_VERIFY_WITH_TIMEOUT(held(board.slavePath()), 10000);
    QVERIFY(board.send(QByteArray("\x07\x08")));
    QByteArray out;
    QDeadlineTimer deadline(std::chrono::seconds(30));
    while (out.count('\n') < 2 && !deadline.hasExpired()) {
        QTest::qWait(5);
        char buf[256];
        ::fcntl(p.out, F_SETFL, O_NONBLOCK);
        const ssize_t n = ::read(p.out, buf, sizeof buf);
        if (n > 0)
            out.append(buf, n);
    }
    QCOMPARE(out, QByteArray("reply 0x07\nreply 0x08\n"));
    ::close(p.out);

    QVERIFY(board.send(QByteArray("\x09")));
    QCOMPARE(waitExit(p.pid), 0);
    QCOMPARE(readAll(p.err), QByteArray());
    ::close(p.err);
    QVERIFY(noLockLeft(board.slavePath()));
}

void TestRelayctl::readAnswersForItsOwnCommand_data()
{
    QTest::addColumn<QByteArray>("waiting"); // on the line before relayctl starts
    QTest::newRow("a reply nobody read") << QByteArray("\x07");
    QTest::newRow("the start of a key report") << QByteArray("\x53\x00", 2);
    QTest::newRow("a reply and a report's start") << QByteArray("\x09\x4C\x01\x02");
}

void TestRelayctl::readAnswersForItsOwnCommand()
{
    QFETCH(QByteArray, waiting);
    PtyBoard board;
    QVERIFY(board.send(waiting));
    // The board answers the read-state command with its state, CH1 and CH3 on.
    QByteArray received;
    QSocketNotifier answer(board.masterFd(), QSocketNotifier::Read);
    connect(&answer, &QSocketNotifier::activated, [&] {
        char buf[64];
        const ssize_t n = ::read(board.masterFd(), buf, sizeof buf);
        if (n > 0 && QByteArray(buf, n).contains('\x30')) {
            received.append(buf, n);
            (void)!::write(board.masterFd(), "\x05", 1);
        }
    });
    const Run r = relayctl({"--device", board.slavePath(), "read"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.out, QStringLiteral("0x05\n"));
    QCOMPARE(r.status, 0);
    QCOMPARE(received, QByteArray("\x30"));
}

void TestRelayctl::readStateAsJson_data()
{
    QTest::addColumn<QByteArray>("state"); // the board's answer
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("json");
    QTest::newRow("all released")
        << QByteArray(1, '\x00') << "0x00"
        << R"({"reply":"0x00","ch1":"OFF","ch2":"OFF","ch3":"OFF","ch4":"OFF"})";
    QTest::newRow("CH1 and CH3")
        << QByteArray("\x05") << "0x05"
        << R"({"reply":"0x05","ch1":"ON","ch2":"OFF","ch3":"ON","ch4":"OFF"})";
    QTest::newRow("all energised")
        << QByteArray("\x0F") << "0x0F"
        << R"({"reply":"0x0F","ch1":"ON","ch2":"ON","ch3":"ON","ch4":"ON"})";
    QTest::newRow("high bits carry nothing")
        << QByteArray("\xFA") << "0xFA"
        << R"({"reply":"0xFA","ch1":"OFF","ch2":"ON","ch3":"OFF","ch4":"ON"})";
}

void TestRelayctl::readStateAsJson()
{
    QFETCH(QByteArray, state);
    QFETCH(QString, plain);
    QFETCH(QString, json);
    PtyBoard board;
    QSocketNotifier answer(board.masterFd(), QSocketNotifier::Read);
    connect(&answer, &QSocketNotifier::activated, [&] {
        char buf[64];
        if (::read(board.masterFd(), buf, sizeof buf) > 0)
            (void)!::write(board.masterFd(), state.constData(), 1);
    });
    const Run asJson = relayctl({"--device", board.slavePath(), "read", "--json"});
    QCOMPARE(asJson.err, QString());
    QCOMPARE(asJson.status, 0);
    QCOMPARE(asJson.out, json + u'\n');
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(asJson.out.toUtf8(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(object.size(), 5);
    // The plain output stays the reply alone.
    const Run asText = relayctl({"--device", board.slavePath(), "read"});
    QCOMPARE(asText.out, plain + u'\n');
    QCOMPARE(asText.status, 0);
}

void TestRelayctl::hostileHolderNames()
{
    // Anyone may name a process, and the lock folder is anyone's: what comes from there reaches
    // neither a terminal nor a JSON reader raw.
    PtyBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How::Plain, QByteArray("ev\x1b]0;x\a\t\\"));
    QVERIFY(holder.ok());
    const QString shown = QStringLiteral("ev\\x1b]0;x\\x07\\t\\\\ (PID %1)").arg(holder.pid());
    const auto clean = [](const QString &text) {
        for (const QChar c : text) {
            if (c.unicode() < 0x20 && c != QLatin1Char('\n'))
                return false;
        }
        return true;
    };

    const Run refused = relayctl({"--device", board.slavePath(), "set", "CH1"});
    QCOMPARE(refused.status, 3);
    QVERIFY2(refused.err.contains(shown) && clean(refused.err), qPrintable(refused.err));

    const Run text = relayctl({"--device", board.slavePath(), "ports"});
    QCOMPARE(text.status, 0);
    QVERIFY2(text.out.contains(shown) && clean(text.out), qPrintable(text.out));

    const Run json = relayctl({"--device", board.slavePath(), "ports", "--json"});
    QCOMPARE(json.status, 0);
    QJsonParseError error;
    const QJsonObject port = QJsonDocument::fromJson(json.out.toUtf8(), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(json.out));
    QCOMPARE(port.value("state").toString(), QStringLiteral("busy"));
    QCOMPARE(port.value("holder").toString(), shown);
    QCOMPARE(board.drain(), QByteArray());
}

void TestRelayctl::ports()
{
    const Run r = relayctl({"ports", "--json"});
    QCOMPARE(r.status, 0);
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
    const Run text = relayctl({"ports"});
    QCOMPARE(text.status, 0);
    QVERIFY(text.out.startsWith(QStringLiteral("Com1   /dev/ttyS0")));
}

QTEST_GUILESS_MAIN(TestRelayctl)
#include "tst_relayctl.moc"
