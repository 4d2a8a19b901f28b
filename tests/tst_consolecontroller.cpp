#include <QFileInfo>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

#include "adapterfixture.h"
#include "consolerig.h"
#include "failingwrites.h"

#include "keyreportmodel.h"
#include "openresulttext.h"
#include <unistd.h>

Q_DECLARE_METATYPE(IrKeyMessage)
Q_DECLARE_METATYPE(PortCheck)
Q_DECLARE_METATYPE(OpenResult)

using Field = ConsoleController::Field;
using MessageIcon = ConsoleController::MessageIcon;
using PortState = ConsoleController::PortState;

namespace {
const QByteArray firstTenSteps("\x01\x00\x02\x00\x04\x00\x08\x00\x01\x00", 10);

QList<IrKeyMessage> rowsOf(const KeyReportModel &model)
{
    QList<IrKeyMessage> rows;
    for (int i = 0; i < model.rowCount(); ++i)
        rows << model.message(i);
    return rows;
}
} // namespace

class TestConsoleController : public QObject
{
    Q_OBJECT
private slots:
    void startUp();
    void previewFollowsEveryChange();
    void sendChecks_data();
    void sendChecks();
    void delayWithSpacesIsTrimmedAndSentInOneWrite();
    void sendRepeatsTheSameBytes();
    void openResults_data();
    void openResults();
    void openFailureTexts_data();
    void openFailureTexts();
    void portHeldByTheBridge();
    void reopenAfterTheDeviceWentAway();
    void closingReleasesThePort();
    void receivedBytes_data();
    void receivedBytes();
    void onlyReceivedDataIsRead();
    void stateAnswerInWords_data();
    void stateAnswerInWords();

    // The relay chaser (Ctrl+T).
    void testKeys_data();
    void testKeys();
    void ticksWriteTheChaserOneByteAtATime();
    void restartBeginsAtStepZeroAndKeepsTheLabel();
    void receivedBytesAreDroppedWhileTheChaserRuns();
    void portListFollowsDevices();
    void portListNamesEachAdapter();
    void lostPortStopsTheChaser();
    void failedWritesAreTold();
    void writeFaultsAreSaidOnce_data();
    void writeFaultsAreSaidOnce();
    void chaserStepThatCannotBeWrittenStopsIt();
    void escapeStopsTheChaser_data();
    void escapeStopsTheChaser();
};

void TestConsoleController::startUp()
{
    PtyBoard other;
    // One device under two numbers: both listed.
    ConsoleController controller([&](int n) {
        return n == 3 || n == 11 ? other.slavePath() : QStringLiteral("/nonexistent/%1").arg(n);
    });
    QSignalSpy listed(&controller, &ConsoleController::portsListed);
    QSignalSpy state(&controller, &ConsoleController::portStateChanged);
    QSignalSpy access(&controller, &ConsoleController::controlAccessChanged);
    QSignalSpy preview(&controller, &ConsoleController::previewChanged);
    QSignalSpy messages(&controller, &ConsoleController::messageRequested);
    controller.start();

    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed[0][0].toStringList(), (QStringList {"Com3", "Com11"}));
    QCOMPARE(state.size(), 1);
    QCOMPARE(state[0][0].value<PortState>(), PortState::Closed);
    QCOMPARE(access.last()[0].value<ControlAccess>(), ConsoleRig::closedAccess());
    QCOMPARE(preview.last()[0].toString(), QStringLiteral("--"));
    QCOMPARE(preview.last()[1].toString(), QString()); // second field hidden
    QVERIFY(messages.isEmpty());
    QVERIFY(!controller.serialPort().isOpen());
    QVERIFY(!controller.testRunning());
    QVERIFY(!controller.delayMode());
}

void TestConsoleController::previewFollowsEveryChange()
{
    ConsoleRig r;
    QVERIFY(r.open());
    ConsoleController &c = r.controller;

    c.chooseOperation(1);
    QCOMPARE(r.preview, "0x10");
    c.setChannel(0, true);
    QCOMPARE(r.preview, "0x11");
    c.setChannel(2, true);
    QCOMPARE(r.preview, "0x15");

    c.chooseOperation(4);
    QCOMPARE(r.preview, "--");
    QVERIFY(r.delayMode);
    c.setDelayText("200");
    QCOMPARE(r.preview, "0xF0 0xA0");
    c.chooseDelayChannel(1);
    QCOMPARE(r.preview, "0xF1 0xA1");
    c.setDelayText("5");
    QCOMPARE(r.preview, "0x95");
    c.setDelayText("");
    QCOMPARE(r.preview, "--");
    c.setDelayText("17");

    // Back to a relay command: the channels are as they were, the delay text stays.
    c.chooseOperation(1);
    QVERIFY(!r.delayMode);
    QCOMPARE(r.preview, "0x15");
    QCOMPARE(c.selection().channelFlags, (std::array<int, 4> {1, 0, 1, 0}));
    QCOMPARE(c.selection().delayText, "17");
    QVERIFY(r.messages.isEmpty());
    QCOMPARE(r.board->drain(), QByteArray()); // composing sends nothing
}

void TestConsoleController::sendChecks_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("delay");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QString>("message");
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<Field>("focus"); // where the focus goes once the message is dismissed
    QTest::addColumn<QString>("delayAfter");

    const auto info = MessageIcon::Information;
    const QString range = QStringLiteral("延时时间的范围是1-255秒。");
    const QString empty = QStringLiteral("请输入延时时间。");
    QTest::newRow("no command code")
        << -1 << "" << true << "请选择命令代码。" << info << Field::OperationList << "";
    QTest::newRow("delay empty") << 4 << "" << true << empty << info << Field::DelayText << "";
    QTest::newRow("delay spaces only")
        << 4 << "    " << true << empty << info << Field::DelayText << "";
    QTest::newRow("delay 0") << 4 << "0" << true << range << info << Field::DelayText << "0";
    QTest::newRow("delay 300") << 4 << " 300 " << true << range << info << Field::DelayText
                               << "300";
    QTest::newRow("delay -3") << 4 << "-3" << true << range << info << Field::DelayText << "-3";
    QTest::newRow("delay 0.5 rounds to 0")
        << 4 << "0.5" << true << range << info << Field::DelayText << "0.5";
    QTest::newRow("delay not a number")
        << 4 << "abc" << true << range << info << Field::DelayText << "abc";
    QTest::newRow("delay beyond 16 bits")
        << 4 << "65537" << true << range << info << Field::DelayText << "65537";
    QTest::newRow("port not open")
        << 1 << "" << false << "串口未被正常打开。" << MessageIcon::Warning << Field::None << "";
    QTest::newRow("delay checked before port")
        << 4 << "0" << false << range << info << Field::DelayText << "0";
}

void TestConsoleController::sendChecks()
{
    QFETCH(int, operation);
    QFETCH(QString, delay);
    QFETCH(bool, portOpen);
    QFETCH(QString, message);
    QFETCH(MessageIcon, icon);
    QFETCH(Field, focus);
    QFETCH(QString, delayAfter);

    ConsoleRig r;
    QVERIFY(r.open());
    if (operation >= 0)
        r.controller.chooseOperation(operation);
    r.controller.setDelayText(delay);
    if (!portOpen) {
        r.board->closeMaster();
        // Said at once; what matters here is what send says afterwards.
        QTRY_COMPARE(r.messages.size(), 1);
        QCOMPARE(r.messages[0].text, QStringLiteral("串口未被正常打开。"));
        r.messages.clear();
    }

    r.controller.send();
    QCOMPARE(r.messages.size(), 1);
    QCOMPARE(r.messages[0].text, message);
    QCOMPARE(r.messages[0].icon, icon);
    QCOMPARE(r.messages[0].focus, focus);
    QCOMPARE(r.controller.selection().delayText, delayAfter);
    if (portOpen)
        QCOMPARE(r.board->drain(), QByteArray());
    const bool reopen = !portOpen;
    QCOMPARE(r.controller.portState(), reopen ? PortState::Reopen : PortState::Opened);
    QCOMPARE(r.access, reopen ? ConsoleRig::reopenAccess() : ConsoleRig::openedAccess());
}

void TestConsoleController::delayWithSpacesIsTrimmedAndSentInOneWrite()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(4);
    r.controller.chooseDelayChannel(2);
    r.controller.setDelayText("  45  ");

    r.controller.send();
    QVERIFY(r.messages.isEmpty());
    QCOMPARE(r.delayTexts, QStringList {"45"});
    // 45 = 2 * 16 + 13 on CH3 (2): 0xC0 + 4*2 + 2, 0x80 + 4*13 + 2.
    QCOMPARE(r.preview, "0xCA 0xB6");
    QCOMPARE(r.board->receive(2), QByteArray("\xCA\xB6"));
    QCOMPARE(r.board->drain(), QByteArray());
}

void TestConsoleController::sendRepeatsTheSameBytes()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(1);
    r.controller.setChannel(0, true);
    r.controller.setChannel(2, true);
    r.controller.send();
    r.controller.send();
    QCOMPARE(r.board->receive(2), QByteArray("\x15\x15"));
    QCOMPARE(r.preview, "0x15");
    QVERIFY(r.messages.isEmpty());
}

void TestConsoleController::openResults_data()
{
    QTest::addColumn<QString>("device"); // what Com3 is: "pty", "held", or a path
    QTest::addColumn<bool>("select");
    QTest::addColumn<QString>("message"); // the first line; empty: success
    QTest::addColumn<QString>("detail"); // what the lines below it must say
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<Field>("focus");
    const auto warn = MessageIcon::Warning;
    QTest::newRow("success") << "pty" << true << ""
                             << "" << warn << Field::None;
    QTest::newRow("nothing selected") << "pty" << false << "请选择串口。"
                                      << "" << MessageIcon::Information << Field::PortList;
    // Held through the library's lock file, by this very process.
    QTest::newRow("held by another")
        << "held" << true << "指定的串口已被占用。"
        << QStringLiteral("占用者：%1").arg(PortGuard::describeProcess(::getpid())) << warn
        << Field::None;
    QTest::newRow("not a serial line") << "/dev/null" << true << "打开串口时遇到错误（CODE=8020）。"
                                       << "/dev/null 不是串口" << warn << Field::None;
    QTest::newRow("device gone") << "/nonexistent/ttyUSB3" << true
                                 << "打开串口时遇到错误（CODE=8012）。"
                                 << "设备 /nonexistent/ttyUSB3 不存在" << warn << Field::None;
}

void TestConsoleController::openResults()
{
    QFETCH(QString, device);
    QFETCH(bool, select);
    QFETCH(QString, message);
    QFETCH(QString, detail);
    QFETCH(MessageIcon, icon);
    QFETCH(Field, focus);

    ConsoleRig r;
    SerialPortService holder([&](int) { return r.board->slavePath(); });
    if (device == "held")
        QCOMPARE(holder.openPort(1), OpenResult::Ok);
    if (device != "pty" && device != "held")
        *r.com3 = device;
    QCOMPARE(r.ports, QStringList {"Com3"});

    r.controller.choosePort(select ? 0 : -1);
    r.controller.openPort();

    if (message.isEmpty()) {
        QVERIFY(r.messages.isEmpty());
        QVERIFY(r.controller.serialPort().isOpen());
        QCOMPARE(r.access, ConsoleRig::openedAccess());
        return;
    }
    QCOMPARE(r.messages.size(), 1);
    const QStringList lines = r.messages[0].text.split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), message);
    QVERIFY2(lines.mid(1).join(QLatin1Char('\n')).contains(detail), qPrintable(r.messages[0].text));
    QCOMPARE(r.messages[0].icon, icon);
    QCOMPARE(r.messages[0].focus, focus);
    QVERIFY(!r.controller.serialPort().isOpen());
    QCOMPARE(r.controller.portState(), PortState::Closed);
    QCOMPARE(r.access, ConsoleRig::closedAccess());
}

void TestConsoleController::openFailureTexts_data()
{
    QTest::addColumn<OpenResult>("code");
    QTest::addColumn<PortCheck>("check");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QStringList>("below"); // each must be in a line below the first
    const QString dev = QStringLiteral("/dev/ttyUSB0");
    const QString lock = QStringLiteral("/run/lock/LCK..ttyUSB0");
    QTest::newRow("8002") << OpenResult::InvalidPort << PortCheck {}
                          << "打开串口时遇到错误（CODE=8002）。" << QStringList {"Com1 到 Com16"};
    QTest::newRow("8005, holder known")
        << OpenResult::PortInUse << PortCheck(OpenResult::PortInUse, "minicom (PID 4242)", lock)
        << "指定的串口已被占用。" << QStringList {"占用者：minicom (PID 4242)", "请先关闭"};
    QTest::newRow("8005, only a lock file")
        << OpenResult::PortInUse << PortCheck(OpenResult::PortInUse, {}, lock)
        << "指定的串口已被占用。" << QStringList {"锁文件：" + lock, "请先关闭"};
    PortCheck blocked(OpenResult::PortInUse, {}, lock);
    blocked.lockPathBlocked = true;
    QTest::newRow("8005, something else at the lock path")
        << OpenResult::PortInUse << blocked << "指定的串口已被占用。"
        << QStringList {lock + " 不是锁文件", "sudo rm -r " + lock};
    QTest::newRow("8005, hostile lock path")
        << OpenResult::PortInUse << PortCheck(OpenResult::PortInUse, {}, "/run/lock/LCK..\x1b[2J")
        << "指定的串口已被占用。" << QStringList {"锁文件：/run/lock/LCK..\\x1b[2J"};
    QTest::newRow("8005, holder unseen") << OpenResult::PortInUse << PortCheck {}
                                         << "指定的串口已被占用。" << QStringList {"请先关闭"};
    QTest::newRow("8012") << OpenResult::DeviceMissing << PortCheck {}
                          << "打开串口时遇到错误（CODE=8012）。"
                          << QStringList {"设备 " + dev + " 不存在", "插好"};
    QTest::newRow("8015") << OpenResult::PermissionDenied << PortCheck {}
                          << "打开串口时遇到错误（CODE=8015）。"
                          << QStringList {dev, "usermod -aG dialout", "重新登录"};
    QTest::newRow("8016") << OpenResult::StaleLockFile
                          << PortCheck(OpenResult::StaleLockFile, {}, lock)
                          << "打开串口时遇到错误（CODE=8016）。"
                          << QStringList {"锁文件 " + lock, "sudo rm " + lock};
    QTest::newRow("8020") << OpenResult::SettingsRejected << PortCheck {}
                          << "打开串口时遇到错误（CODE=8020）。" << QStringList {dev, "9600 8N1"};
    QTest::newRow("8099") << OpenResult::OpenFailed << PortCheck {}
                          << "打开串口时遇到错误（CODE=8099）。" << QStringList {"重试", "dmesg"};
}

void TestConsoleController::openFailureTexts()
{
    QFETCH(OpenResult, code);
    QFETCH(PortCheck, check);
    QFETCH(QString, first);
    QFETCH(QStringList, below);
    const QStringList lines
        = openFailureMessage(code, check, QStringLiteral("/dev/ttyUSB0")).split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), first);
    QVERIFY(lines.size() >= 2); // never a code without what to do about it
    const QString rest = lines.mid(1).join(QLatin1Char('\n'));
    for (const QString &part : below)
        QVERIFY2(rest.contains(part), qPrintable(rest));
    // Nothing from a lock folder or a process name reaches the message box raw.
    for (const QChar c : lines.join(QString()))
        QVERIFY2(c.unicode() >= 0x20, qPrintable(rest));
    QVERIFY2(!rest.contains(QLatin1String("%1")), qPrintable(rest));

    // The command-line programs' English line comes from the same row: one line, every
    // placeholder filled, the code in it.
    PortCheck same = check;
    same.result = code;
    const QString line = openFailureLine(QStringLiteral("Com5"), same);
    QVERIFY2(line.contains(QStringLiteral("(%1): ").arg(int(code))), qPrintable(line));
    QVERIFY2(!line.contains(QLatin1String("%1")) && !line.contains(QLatin1Char('\n')),
             qPrintable(line));
}

void TestConsoleController::portHeldByTheBridge()
{
    // With a broker the console lists the bridged board itself: the message points there;
    // without one the holder is a holder like any other.
    const PortCheck check(OpenResult::PortInUse, "relay-mqtt (PID 77)",
                          QStringLiteral("/run/lock/LCK..ttyUSB0"));
    const QString dev = QStringLiteral("/dev/ttyUSB0");
    const QString withBroker = openFailureMessage(OpenResult::PortInUse, check, dev, true);
    QVERIFY2(withBroker.contains(QStringLiteral("占用者：relay-mqtt (PID 77)\n")),
             qPrintable(withBroker));
    QVERIFY2(withBroker.contains(QStringLiteral("经代理服务器")), qPrintable(withBroker));
    const QString without = openFailureMessage(OpenResult::PortInUse, check, dev, false);
    QVERIFY2(!without.contains(QStringLiteral("代理服务器")), qPrintable(without));
    QVERIFY(without.contains(QStringLiteral("请先关闭")));
    // The command-line programs always can: the line says how.
    const QString line = openFailureLine(QStringLiteral("Com5"), check);
    QVERIFY2(line.contains(QStringLiteral("relayctl --broker ADDRESS --board ID")),
             qPrintable(line));
}

void TestConsoleController::reopenAfterTheDeviceWentAway()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(0);
    r.controller.setChannel(1, true);

    r.board.reset(); // unplugged
    // Reported at once, without waiting for a send.
    QTRY_COMPARE(r.messages.size(), 1);
    QCOMPARE(r.messages[0].text, "串口未被正常打开。");
    QCOMPARE(r.messages[0].icon, MessageIcon::Warning);
    QVERIFY(!r.controller.serialPort().isOpen());
    QCOMPARE(r.controller.portState(), PortState::Reopen);
    QCOMPARE(r.access, ConsoleRig::reopenAccess());
    r.messages.clear();
    r.controller.send(); // the same words again, and still the reopen state
    QCOMPARE(r.messages.size(), 1);
    QCOMPARE(r.messages[0].text, "串口未被正常打开。");
    QCOMPARE(r.access, ConsoleRig::reopenAccess());

    // Still gone: the failure is reported and the reopen state stays.
    r.controller.openPort();
    QCOMPARE(r.messages.size(), 2);
    QVERIFY(r.messages[1].text.startsWith("打开串口时遇到错误（CODE=8012）。\n"));
    QCOMPARE(r.controller.portState(), PortState::Reopen);
    QCOMPARE(r.access, ConsoleRig::reopenAccess());

    // Plugged in again under the same name.
    r.board = std::make_unique<PtyBoard>();
    *r.com3 = r.board->slavePath();
    r.controller.openPort();
    QCOMPARE(r.messages.size(), 2);
    QCOMPARE(r.access, ConsoleRig::openedAccess());
    r.controller.send();
    QCOMPARE(r.board->receive(1), QByteArray("\x02"));
}

void TestConsoleController::closingReleasesThePort()
{
    ConsoleRig r;
    QVERIFY(r.open());
    // The window closes itself (Quit or its close box) and then tells the controller.
    r.controller.windowClosing();
    QVERIFY(!r.controller.serialPort().isOpen());
    SerialPortService next([&r](int) { return r.board->slavePath(); });
    QCOMPARE(next.openPort(1), OpenResult::Ok);
}

void TestConsoleController::receivedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("replies"); // texts for txtByteRcv, in order
    QTest::addColumn<QList<IrKeyMessage>>("rows");
    QTest::newRow("reply") << QByteArray("\x07") << QStringList {"0x07"} << QList<IrKeyMessage> {};
    QTest::newRow("two replies together")
        << QByteArray("\x07\x08") << QStringList {"0x07", "0x08"} << QList<IrKeyMessage> {};
    QTest::newRow("short press") << QByteArray("\x53\x00\xFF\x12\xED", 5) << QStringList {}
                                 << QList<IrKeyMessage> {
                                        {PressKind::Short, 0x00, 0xFF, 0x12, 0xED}};
    QTest::newRow("long press, markers as data")
        << QByteArray("\x4C\x53\x4C\x01\x02") << QStringList {}
        << QList<IrKeyMessage> {{PressKind::Long, 0x53, 0x4C, 0x01, 0x02}};
    QTest::newRow("mixed") << QByteArray("\x05\x53\x01\x02\x03\x04\x06\x4C\x0A\x0B\x0C\x0D")
                           << QStringList {"0x05", "0x06"}
                           << QList<IrKeyMessage> {{PressKind::Short, 1, 2, 3, 4},
                                                   {PressKind::Long, 10, 11, 12, 13}};
}

void TestConsoleController::receivedBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, replies);
    QFETCH(QList<IrKeyMessage>, rows);
    ConsoleRig r;
    QVERIFY(r.open());
    KeyReportController &reports = r.controller.keyReports();
    QSignalSpy added(&reports, &KeyReportController::reportsAdded);

    QVERIFY(r.board->send(bytes));
    QTRY_COMPARE(r.replies, replies);
    QTRY_COMPARE(rowsOf(*reports.model()), rows);
    QCOMPARE(added.isEmpty(), rows.isEmpty());
    if (!rows.isEmpty())
        QCOMPARE(added.last()[0].toInt(), int(rows.size()) - 1);
    QCOMPARE(r.controller.decoder().pendingMarker(), ReceiveDecoder::Marker::None);
}

void TestConsoleController::stateAnswerInWords_data()
{
    QTest::addColumn<int>("operation"); // the command sent
    QTest::addColumn<QByteArray>("answers"); // what the board sends back
    QTest::addColumn<QStringList>("meanings"); // beside each reply, in order
    const int read = int(RelayOperation::ReadState);
    QTest::newRow("CH1 and CH3") << read << QByteArray("\x05") << QStringList {"吸合：CH1、CH3"};
    QTest::newRow("all four") << read << QByteArray("\x0F")
                              << QStringList {"吸合：CH1、CH2、CH3、CH4"};
    QTest::newRow("none") << read << QByteArray(1, '\0') << QStringList {"吸合：无"};
    QTest::newRow("high bits carry nothing")
        << read << QByteArray("\xFA") << QStringList {"吸合：CH2、CH4"};
    QTest::newRow("only the first reply is the state")
        << read << QByteArray("\x05\x05") << QStringList {"吸合：CH1、CH3", ""};
    QTest::newRow("key report before the state")
        << read << QByteArray("\x53\x01\x02\x03\x04\x08") << QStringList {"吸合：CH4"};
    QTest::newRow("reply to another command")
        << int(RelayOperation::Energise) << QByteArray("\x05") << QStringList {""};
}

void TestConsoleController::stateAnswerInWords()
{
    QFETCH(int, operation);
    QFETCH(QByteArray, answers);
    QFETCH(QStringList, meanings);
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(operation);
    r.controller.setChannel(0, true);
    r.controller.send();
    QVERIFY(!r.board->receive(1).isEmpty());
    QVERIFY(r.board->send(answers));
    QTRY_COMPARE(r.meanings, meanings);
    QCOMPARE(r.replies.size(), meanings.size());

    // An unasked reply later says nothing of the state.
    QVERIFY(r.board->send(QByteArray("\x05")));
    QTRY_COMPARE(r.meanings.size(), meanings.size() + 1);
    QCOMPARE(r.meanings.last(), QString());
}

void TestConsoleController::onlyReceivedDataIsRead()
{
    ConsoleRig r;
    QVERIFY(r.open());
    SerialPortService &port = r.controller.serialPort();
    // Reports about the line show no reply; the bytes handed over do, once.
    emit port.lineError(QSerialPort::UnsupportedOperationError);
    emit port.deviceLost();
    QVERIFY(r.replies.isEmpty());
    emit port.dataReceived(QByteArray("\x09"));
    QCOMPARE(r.replies, QStringList {"0x09"});
}

void TestConsoleController::testKeys_data()
{
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("starts");
    QTest::newRow("port open") << true << true;
    QTest::newRow("port closed") << false << false;
}

void TestConsoleController::testKeys()
{
    QFETCH(bool, opened);
    QFETCH(bool, starts);
    ConsoleRig r;
    if (opened)
        QVERIFY(r.open());
    r.controller.chooseOperation(4);
    const ControlAccess before = r.access;

    r.controller.startChaser();
    QCOMPARE(r.controller.testRunning(), starts);
    QCOMPARE(r.testRunning, starts ? QList<bool> {true} : QList<bool> {});
    // While it runs, the command controls are locked; the delay field and its option buttons
    // are not part of that (delay mode stays as it was).
    QCOMPARE(r.access, starts ? ControlAccess {} : before);
    QVERIFY(r.delayMode);
    QVERIFY(r.labelShown.isEmpty()); // nothing shows before the first tick
    if (!starts) {
        r.controller.chaser().tick(); // a stray tick does nothing either
        QVERIFY(r.labelShown.isEmpty());
    }
    QCOMPARE(r.board->drain(), QByteArray());
    QVERIFY(r.messages.isEmpty());
}

void TestConsoleController::ticksWriteTheChaserOneByteAtATime()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.startChaser();
    for (int i = 0; i < firstTenSteps.size(); ++i) {
        r.controller.chaser().tick();
        QCOMPARE(r.board->receive(1), firstTenSteps.mid(i, 1));
        QCOMPARE(r.board->drain(), QByteArray()); // exactly one byte per tick
        QCOMPARE(r.labelShown.last(), i % 2 == 0);
    }
    QVERIFY(r.messages.isEmpty());
}

void TestConsoleController::restartBeginsAtStepZeroAndKeepsTheLabel()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.startChaser();
    for (int i = 0; i < 3; ++i)
        r.controller.chaser().tick();
    QCOMPARE(r.board->receive(3), QByteArray("\x01\x00\x02", 3));
    QCOMPARE(r.labelShown, (QList<bool> {true, false, true}));

    r.controller.startChaser();
    QCOMPARE(r.controller.testStep(), 0);
    QCOMPARE(r.labelShown.size(), 3); // not reset by the restart
    QCOMPARE(r.testRunning, (QList<bool> {true, true}));
    r.controller.chaser().tick();
    QCOMPARE(r.board->receive(1), QByteArray("\x01"));
    QCOMPARE(r.labelShown.last(), false);
}

void TestConsoleController::receivedBytesAreDroppedWhileTheChaserRuns()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.startChaser();
    SerialPortService &port = r.controller.serialPort();
    QSignalSpy notifications(&port, &SerialPortService::dataReceived);
    QSignalSpy added(&r.controller.keyReports(), &KeyReportController::reportsAdded);

    // A reply, a whole key report and the start of another.
    QVERIFY(r.board->send(QByteArray("\x07\x53\x01\x02\x03\x04\x4C\x09", 8)));
    QVERIFY(notifications.wait(2000));
    QTRY_COMPARE(port.bytesAvailable(), 0); // taken off the line, so nothing piles up
    QVERIFY(r.replies.isEmpty());
    QVERIFY(added.isEmpty());
    QCOMPARE(r.controller.keyReports().model()->rowCount(), 0);
    QCOMPARE(r.controller.decoder().pendingMarker(), ReceiveDecoder::Marker::None);
    QCOMPARE(r.controller.decoder().irByteCount(), 0);
}

void TestConsoleController::portListNamesEachAdapter()
{
    ConsoleRig r(false);
    const FakeAdapter fake(r.board->slavePath(), "USB-Serial <b>Bridge</b>\x1b[2J\n", "Vantrel\n",
                           "A7K3Q9\n",
                           QStringLiteral("usb-Vantrel_USB-Serial_Bridge_A7K3Q9-if00-port0"));
    QVERIFY(fake.ok());
    r.controller.serialPort().setSysfsRoot(fake.sysfsRoot());
    r.controller.serialPort().setByIdDirectory(fake.byIdDirectory());
    r.controller.start();
    QCOMPARE(r.ports, QStringList {"Com3"});
    QCOMPARE(r.adapters.size(), 1);
    const QStringList lines = r.adapters[0].split(u'\n');
    QCOMPARE(lines,
             (QStringList {"适配器：USB-Serial <b>Bridge</b>\\x1b[2J", "制造商：Vantrel",
                           "序列号：A7K3Q9",
                           "设备：" + QFileInfo(r.board->slavePath()).canonicalFilePath(),
                           "固定名称：" + fake.byIdPath()}));
}

void TestConsoleController::portListFollowsDevices()
{
    PtyBoard first, second;
    QTemporaryDir dev;
    const auto path = [&dev](int n) { return dev.filePath(QStringLiteral("tty%1").arg(n)); };
    QVERIFY(QFile::link(first.slavePath(), path(5)));
    ConsoleController controller(path);
    QStringList ports, adapters;
    int current = -2;
    connect(&controller, &ConsoleController::portsListed,
            [&](const QStringList &p, int c, const QStringList &a) {
                ports = p;
                current = c;
                adapters = a;
            });
    controller.start();
    QCOMPARE(ports, QStringList {"Com5"});
    QCOMPARE(current, -1);
    controller.choosePort(0);

    // Plugged in (a link made, as udev rules and the simulator do): listed, selection kept.
    QVERIFY(QFile::link(second.slavePath(), path(2)));
    QTRY_COMPARE(ports, (QStringList {"Com2", "Com5"}));
    QCOMPARE(current, 1);
    // Nothing polls while nothing changes.
    const int wakeUps = eventLoopWakeUps(std::chrono::milliseconds(300));
    QVERIFY2(wakeUps < 20, qPrintable(QStringLiteral("%1 wake-ups in 0.3 s").arg(wakeUps)));

    // Com2's link pointed at another device in one step, as udev replaces a link: the entry
    // stays, and what it says of its adapter names the device behind it now.
    const auto device = [](const PtyBoard &b) {
        return QStringLiteral("设备：") + QFileInfo(b.slavePath()).canonicalFilePath();
    };
    QVERIFY(adapters.value(0).contains(device(second)));
    QVERIFY(QFile::link(first.slavePath(), path(2) + QStringLiteral(".new")));
    QVERIFY(::rename(QFile::encodeName(path(2) + QStringLiteral(".new")).constData(),
                     QFile::encodeName(path(2)).constData())
            == 0);
    QTRY_VERIFY2(adapters.value(0).contains(device(first)), qPrintable(adapters.value(0)));
    QCOMPARE(ports, (QStringList {"Com2", "Com5"}));
    QCOMPARE(current, 1);

    // The selected one pulled out: gone from the list, nothing selected.
    QVERIFY(QFile::remove(path(5)));
    QTRY_COMPARE(ports, QStringList {"Com2"});
    QCOMPARE(current, -1);

    // While a port is open the list is not in use and stays as it is.
    controller.choosePort(0);
    controller.openPort();
    QCOMPARE(controller.portState(), PortState::Opened);
    QSignalSpy seen(&controller.portWatcher(), &PortWatcher::portsChanged);
    QVERIFY(QFile::link(first.slavePath(), path(9)));
    QVERIFY(seen.wait(5000));
    QCOMPARE(ports, QStringList {"Com2"});
}

void TestConsoleController::failedWritesAreTold()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(1);
    r.controller.setChannel(0, true);
    // The device went away before the send: one message, the lost port's, and reopen offered.
    r.board->closeMaster();
    r.controller.send();
    QTRY_COMPARE(r.access, ConsoleRig::reopenAccess());
    QCOMPARE(r.messages.size(), 1);
    QCOMPARE(r.messages[0].text, QStringLiteral("串口未被正常打开。"));
}

void TestConsoleController::writeFaultsAreSaidOnce_data()
{
    QTest::addColumn<int>("error"); // the errno of each failing write; 0: it takes nothing
    QTest::addColumn<int>("failures"); // failing writes before they pass again; -1: all
    QTest::addColumn<QString>("said"); // in the one message; empty: no message, it went out
    QTest::addColumn<int>("maxAttempts"); // a retry loop without a pause makes thousands
    QTest::newRow("protocol error for a moment") << EPROTO << 3 << "协议错误" << 1;
    QTest::newRow("driver buffer full for a while") << ENOSPC << 50 << "缓冲区已满" << 1;
    QTest::newRow("adapter away, device still there") << ENODEV << -1 << "暂时不可用" << 1;
    QTest::newRow("unusual error, in the system's words") << EPERM << -1 << "系统错误" << 1;
    QTest::newRow("the line takes nothing") << 0 << -1 << "1 秒内没有接收" << 100;
    QTest::newRow("no room for a few writes, then room") << EAGAIN << 3 << QString() << 100;
    QTest::newRow("no room at all") << EAGAIN << -1 << "1 秒内没有接收" << 100;
}

void TestConsoleController::writeFaultsAreSaidOnce()
{
    QFETCH(int, error);
    QFETCH(int, failures);
    QFETCH(QString, said);
    QFETCH(int, maxAttempts);
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.chooseOperation(1); // energise CH1: 0x11
    r.controller.setChannel(0, true);
    FailingWrites::arm(r.board->slavePath(), error, failures);
    const auto disarm = qScopeGuard([] { FailingWrites::disarm(); });
    r.controller.send();
    if (said.isEmpty()) {
        // A line with no room now is waited for, not given up as lost.
        QCOMPARE(r.board->receive(1), QByteArray("\x11"));
        QCOMPARE(r.messages.size(), 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(r.messages.size(), 1, 10000);
        QCOMPARE(r.messages[0].icon, ConsoleController::MessageIcon::Warning);
        QVERIFY2(r.messages[0].text.contains(said), qPrintable(r.messages[0].text));
        // The fault clears: the command the operator was told had failed never goes out; the
        // next one does, alone.
        FailingWrites::disarm();
        r.controller.setChannel(1, true); // CH1 and CH2: 0x13
        r.controller.send();
        QCOMPARE(r.board->receive(1), QByteArray("\x13"));
        QCOMPARE(r.board->drain(), QByteArray());
        QCOMPARE(r.messages.size(), 1);
    }
    QVERIFY2(FailingWrites::attempts() <= maxAttempts,
             qPrintable(QString::number(FailingWrites::attempts())));
    QCOMPARE(r.access, ConsoleRig::openedAccess()); // still open: no lost port
}

void TestConsoleController::chaserStepThatCannotBeWrittenStopsIt()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.startChaser();
    FailingWrites::arm(r.board->slavePath(), EPROTO);
    const auto disarm = qScopeGuard([] { FailingWrites::disarm(); });
    r.controller.chaser().tick();
    QTRY_COMPARE(r.messages.size(), 1);
    QVERIFY2(r.messages[0].text.contains(QStringLiteral("协议错误")),
             qPrintable(r.messages[0].text));
    QCOMPARE(r.testRunning, (QList<bool> {true, false}));
    r.controller.chaser().tick(); // a tick already on its way does nothing
    QCOMPARE(FailingWrites::attempts(), 1);
    QCOMPARE(r.messages.size(), 1);
    QCOMPARE(r.access, ConsoleRig::openedAccess());
}

void TestConsoleController::lostPortStopsTheChaser()
{
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.startChaser();
    r.controller.chaser().tick();
    QCOMPARE(r.board->receive(1), QByteArray("\x01"));

    r.board->closeMaster();
    QTRY_COMPARE(r.messages.size(), 1);
    QCOMPARE(r.messages[0].text, QStringLiteral("串口未被正常打开。"));
    QVERIFY(!r.controller.testRunning());
    QCOMPARE(r.testRunning, (QList<bool> {true, false}));
    QCOMPARE(r.labelShown, (QList<bool> {true, false})); // the label does not blink on
    QCOMPARE(r.access, ConsoleRig::reopenAccess());
    r.controller.chaser().tick(); // a tick already on its way does nothing
    QCOMPARE(r.labelShown.size(), 2);
}

void TestConsoleController::escapeStopsTheChaser_data()
{
    QTest::addColumn<int>("ticks");
    QTest::newRow("label shown") << 1;
    QTest::newRow("label hidden") << 2;
}

void TestConsoleController::escapeStopsTheChaser()
{
    QFETCH(int, ticks);
    ConsoleRig r;
    QVERIFY(r.open());
    r.controller.stopChaser(); // nothing to stop
    QVERIFY(r.testRunning.isEmpty());

    r.controller.startChaser();
    for (int i = 0; i < ticks; ++i)
        r.controller.chaser().tick();
    QCOMPARE(r.board->receive(ticks), QByteArray("\x01\x00", ticks));

    r.controller.stopChaser();
    QVERIFY(!r.controller.testRunning());
    QCOMPARE(r.testRunning, (QList<bool> {true, false}));
    QCOMPARE(r.labelShown.last(), false);
    QCOMPARE(r.access, ConsoleRig::openedAccess());
    QVERIFY(r.messages.isEmpty());
    r.controller.chaser().tick();
    QCOMPARE(r.board->drain(), QByteArray()); // no further byte

    // Ctrl+T starts over at the first step.
    r.controller.startChaser();
    r.controller.chaser().tick();
    QCOMPARE(r.board->receive(1), QByteArray("\x01"));
}

QTEST_GUILESS_MAIN(TestConsoleController)
#include "tst_consolecontroller.moc"
