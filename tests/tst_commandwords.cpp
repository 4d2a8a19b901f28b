// relayctl's command words and options into a command or a usage error: the rules for which
// options go with which command, checked without a process, a port or a broker.
#include <QTest>

#include "commandwords.h"

class TestCommandWords : public QObject
{
    Q_OBJECT
private slots:
    void words_data();
    void words();
};

namespace {

enum Given { None = 0, Json = 1, Broker = 2, Port = 4, Board = 8 };

CommandContext context(int given)
{
    return {bool(given & Json), bool(given & Broker), bool(given & Port), bool(given & Board)};
}

} // namespace

void TestCommandWords::words_data()
{
    QTest::addColumn<QStringList>("words");
    QTest::addColumn<int>("given");
    // The command's kind and bytes (from the protocol's table), or the usage error's words.
    QTest::addColumn<int>("kind");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("waitsForReply");
    QTest::addColumn<QString>("problem");
    using K = BoardCommand::Kind;
    const QByteArray none;
    QTest::newRow("set on a port") << QStringList {"set", "CH1", "ch3"} << int(Port) << int(K::Set)
                                   << QByteArray("\x05") << false << "";
    QTest::newRow("on through the broker") << QStringList {"on", "2"} << (Broker | Board)
                                           << int(K::On) << QByteArray("\x12") << false << "";
    QTest::newRow("read with --json") << QStringList {"read"} << (Port | Json) << int(K::Read)
                                      << QByteArray("\x30") << true << "";
    QTest::newRow("delay") << QStringList {"delay", "45", "CH3"} << int(Port) << int(K::Delay)
                           << QByteArray("\xCA\xB6") << false << "";
    QTest::newRow("watch through the broker")
        << QStringList {"watch"} << (Broker | Board | Json) << int(K::Watch) << none << false << "";
    QTest::newRow("ports without a port")
        << QStringList {"ports"} << int(None) << int(K::Ports) << none << false << "";
    QTest::newRow("boards") << QStringList {"boards"} << (Broker | Json) << int(K::Boards) << none
                            << false << "";

    QTest::newRow("nothing") << QStringList {} << int(Port) << -1 << none << false
                             << "no command given";
    QTest::newRow("unknown, escaped") << QStringList {"\x1b[2J"} << int(Port) << -1 << none << false
                                      << "unknown command '\\x1b[2J'";
    QTest::newRow("--json with set") << QStringList {"set", "1"} << (Port | Json) << -1 << none
                                     << false << "--json goes with read, watch, ports and boards";
    QTest::newRow("ports with --broker") << QStringList {"ports"} << int(Broker) << -1 << none
                                         << false << "with --broker use boards";
    QTest::newRow("ports with an argument") << QStringList {"ports", "x"} << int(None) << -1 << none
                                            << false << "ports takes no arguments";
    QTest::newRow("broker and port") << QStringList {"on", "1"} << (Broker | Port | Board) << -1
                                     << none << false << "exclude each other";
    QTest::newRow("boards with --board")
        << QStringList {"boards"} << (Broker | Board) << -1 << none << false << "without --board";
    QTest::newRow("boards without --broker") << QStringList {"boards"} << int(Port) << -1 << none
                                             << false << "boards goes with --broker";
    QTest::newRow("broker without --board") << QStringList {"read"} << int(Broker) << -1 << none
                                            << false << "say which board: --board ID";
    QTest::newRow("--board without --broker") << QStringList {"read"} << (Port | Board) << -1
                                              << none << false << "--board goes with --broker";
    QTest::newRow("no way to the board")
        << QStringList {"read"} << int(None) << -1 << none << false << "say which port";
    QTest::newRow("watch with an argument") << QStringList {"watch", "1"} << int(Port) << -1 << none
                                            << false << "watch takes no arguments";
    QTest::newRow("off without a channel") << QStringList {"off"} << int(Port) << -1 << none
                                           << false << "off needs at least one channel";
    QTest::newRow("channel 5") << QStringList {"set", "5"} << int(Port) << -1 << none << false
                               << "'5' is no channel: use CH1..CH4 or 1..4";
    QTest::newRow("delay 256") << QStringList {"delay", "256", "1"} << int(Port) << -1 << none
                               << false << "not a number of seconds 1..255";
    QTest::newRow("delay on two channels") << QStringList {"delay", "5", "1", "2"} << int(Port)
                                           << -1 << none << false << "SECONDS and one channel";
}

void TestCommandWords::words()
{
    QFETCH(QStringList, words);
    QFETCH(int, given);
    QFETCH(int, kind);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, waitsForReply);
    QFETCH(QString, problem);
    const auto parsed = parseCommandWords(words, context(given));
    if (kind < 0) {
        const auto *usage = std::get_if<UsageProblem>(&parsed);
        QVERIFY2(usage, "a command was made");
        QVERIFY2(usage->text.contains(problem), qPrintable(usage->text));
        return;
    }
    const auto *command = std::get_if<BoardCommand>(&parsed);
    if (!command)
        QFAIL(qPrintable(std::get<UsageProblem>(parsed).text));
    QCOMPARE(int(command->kind), kind);
    QCOMPARE(command->bytes, bytes);
    QCOMPARE(command->waitsForReply, waitsForReply);
}

QTEST_GUILESS_MAIN(TestCommandWords)
#include "tst_commandwords.moc"
