// relayctl's command words and options into a command or a usage error: the rules for which
// options go with which command, checked without a process, a port or a broker.
#include <QTest>

#include "commandwords.h"

class TestCommandWords : public QObject
{
    Q_OBJECT
private slots:
    void commands_data();
    void commands();
    void usageErrors_data();
    void usageErrors();
};

namespace {

enum Given { None = 0, Json = 1, Broker = 2, Port = 4, Board = 8 };

CommandContext context(int given)
{
    return {bool(given & Json), bool(given & Broker), bool(given & Port), bool(given & Board)};
}

} // namespace

void TestCommandWords::commands_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<int>("given");
    QTest::addColumn<int>("kind");
    // What goes to the board, from the protocol's table; empty for what only listens or lists.
    QTest::addColumn<QByteArray>("bytes");
    using K = BoardCommand::Kind;
    QTest::newRow("set on a port")
        << QStringList {"set", "CH1", "ch3"} << int(Port) << int(K::Set) << QByteArray("\x05");
    QTest::newRow("on through the broker")
        << QStringList {"on", "2"} << (Broker | Board) << int(K::On) << QByteArray("\x12");
    QTest::newRow("off") << QStringList {"off", "4"} << int(Port) << int(K::Off)
                         << QByteArray("\x28");
    QTest::newRow("read with --json")
        << QStringList {"read"} << (Port | Json) << int(K::Read) << QByteArray("\x30");
    QTest::newRow("delay") << QStringList {"delay", "45", "CH3"} << int(Port) << int(K::Delay)
                           << QByteArray("\xCA\xB6");
    QTest::newRow("watch through the broker")
        << QStringList {"watch"} << (Broker | Board | Json) << int(K::Watch) << QByteArray();
    QTest::newRow("ports without a port")
        << QStringList {"ports"} << int(None) << int(K::Ports) << QByteArray();
    QTest::newRow("boards") << QStringList {"boards"} << (Broker | Json) << int(K::Boards)
                            << QByteArray();
}

void TestCommandWords::commands()
{
    QFETCH(QStringList, words);
    QFETCH(int, given);
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    const auto parsed = parseCommandWords(words, context(given));
    const auto *command = std::get_if<BoardCommand>(&parsed);
    if (!command)
        QFAIL(qPrintable(std::get<UsageProblem>(parsed).text));
    QCOMPARE(int(command->kind), kind);
    QCOMPARE(command->bytes, bytes);
    // Only read prints the board's reply.
    QCOMPARE(command->waitsForReply, kind == int(BoardCommand::Kind::Read));
}

void TestCommandWords::usageErrors_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<int>("given");
    QTest::addColumn<QString>("problem");
    QTest::newRow("nothing") << QStringList {} << int(Port) << "no command given";
    QTest::newRow("unknown, escaped")
        << QStringList {"\x1b[2J"} << int(Port) << "unknown command '\\x1b[2J'";
    QTest::newRow("--json with set") << QStringList {"set", "1"} << (Port | Json)
                                     << "--json goes with read, watch, ports and boards";
    QTest::newRow("ports with --broker")
        << QStringList {"ports"} << int(Broker) << "with --broker use boards";
    QTest::newRow("ports with an argument")
        << QStringList {"ports", "x"} << int(None) << "ports takes no arguments";
    QTest::newRow("broker and port")
        << QStringList {"on", "1"} << (Broker | Port | Board) << "exclude each other";
    QTest::newRow("boards with --board")
        << QStringList {"boards"} << (Broker | Board) << "without --board";
    QTest::newRow("boards without --broker")
        << QStringList {"boards"} << int(Port) << "boards goes with --broker";
    QTest::newRow("broker without --board")
        << QStringList {"read"} << int(Broker) << "say which board: --board ID";
    QTest::newRow("--board without --broker")
        << QStringList {"read"} << (Port | Board) << "--board goes with --broker";
    QTest::newRow("no way to the board") << QStringList {"read"} << int(None) << "say which port";
    QTest::newRow("watch with an argument")
        << QStringList {"watch", "1"} << int(Port) << "watch takes no arguments";
    QTest::newRow("off without a channel")
        << QStringList {"off"} << int(Port) << "off needs at least one channel";
    QTest::newRow("channel 5") << QStringList {"set", "5"} << int(Port)
                               << "'5' is no channel: use CH1..CH4 or 1..4";
    QTest::newRow("delay 256") << QStringList {"delay", "256", "1"} << int(Port)
                               << "not a number of seconds 1..255";
    QTest::newRow("delay on two channels")
        << QStringList {"delay", "5", "1", "2"} << int(Port) << "SECONDS and one channel";
}

void TestCommandWords::usageErrors()
{
    QFETCH(QStringList, words);
    QFETCH(int, given);
    QFETCH(QString, problem);
    const auto parsed = parseCommandWords(words, context(given));
    const auto *usage = std::get_if<UsageProblem>(&parsed);
    QVERIFY2(usage, "a command was made");
    QVERIFY2(usage->text.contains(problem), qPrintable(usage->text));
}

QTEST_GUILESS_MAIN(TestCommandWords)
#include "tst_commandwords.moc"
