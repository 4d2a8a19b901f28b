#include <QTest>

#include <memory>

#include "consolebench.h"

Q_DECLARE_METATYPE(Control)
Q_DECLARE_METATYPE(MessageIcon)
Q_DECLARE_METATYPE(IrKeyMessage)

class TestMainConsole : public QObject {
    Q_OBJECT
private slots:
    void startUp();
    void previewFollowsEveryEvent();
    void sendChecks_data();
    void sendChecks();
    void delayWithSpacesIsTrimmedAndSentInOneWrite();
    void sendRepeatsTheSameBytes();
    void openResults_data();
    void openResults();
    void reopenAfterTheDeviceWentAway();
    void quitClosesWindowAndPort();
    void receivedBytes_data();
    void receivedBytes();
    void onlyDataNotificationsAreRead();
};

void TestMainConsole::startUp()
{
    PtyBoard other;
    FakeMainView view;
    MainConsole console(view, [&](int n) {
        if (n == 3) return other.slavePath();
        if (n == 11) return other.slavePath();  // one device, two numbers: both listed
        return QStringLiteral("/nonexistent/%1").arg(n);
    });
    view.console = &console;
    console.onLoad();

    QCOMPARE(view.state[Control::cboPort].items, (QStringList{"Com3", "Com11"}));
    QCOMPARE(view.currentIndex(Control::cboPort), -1);
    QCOMPARE(view.text(Control::txtByteSend), QStringLiteral("--"));
    QCOMPARE(view.text(Control::txtByteRcv), QStringLiteral("0x00"));
    QVERIFY(!view.isVisible(Control::txtByteSend2));
    QVERIFY(!console.serialPort().isOpen());
    QVERIFY(!console.testRunning());
    QVERIFY(view.messages.isEmpty());

    ConsoleBench bench;
    bench.expectClosedState();
}

void TestMainConsole::previewFollowsEveryEvent()
{
    ConsoleBench b;
    b.open();
    FakeMainView& v = b.view;
    auto preview = [&] {
        QString s = v.text(Control::txtByteSend);
        if (v.isVisible(Control::txtByteSend2)) s += " " + v.text(Control::txtByteSend2);
        return s;
    };

    v.choose(Control::cboOperation, 1);
    QCOMPARE(preview(), "0x10");
    v.click(Control::cbCh1);
    QCOMPARE(preview(), "0x11");
    v.click(Control::cbCh3);
    QCOMPARE(preview(), "0x15");

    v.choose(Control::cboOperation, 4);
    QCOMPARE(preview(), "--");
    for (const Control c : {Control::cbCh1, Control::cbCh2, Control::cbCh3, Control::cbCh4})
        QVERIFY(!v.isVisible(c));
    for (const Control c : {Control::rbCH1, Control::rbCH2, Control::rbCH3, Control::rbCH4})
        QVERIFY(v.isVisible(c));
    QVERIFY(v.isEnabled(Control::txtDelay));
    QCOMPARE(v.state[Control::txtDelay].background, ColourRole::EntryField);

    v.type("200");
    QCOMPARE(preview(), "0xF0 0xA0");
    v.click(Control::rbCH2);
    QCOMPARE(preview(), "0xF1 0xA1");
    v.type("5");
    QCOMPARE(preview(), "0x95");
    v.type("");
    QCOMPARE(preview(), "--");
    v.type("17");

    // Back to a relay command: the check boxes come back as they were, the delay text stays.
    v.choose(Control::cboOperation, 1);
    QCOMPARE(preview(), "0x15");
    QVERIFY(v.isChecked(Control::cbCh1) && v.isChecked(Control::cbCh3));
    QVERIFY(!v.isChecked(Control::cbCh2) && !v.isChecked(Control::cbCh4));
    for (const Control c : {Control::cbCh1, Control::cbCh2, Control::cbCh3, Control::cbCh4})
        QVERIFY(v.isVisible(c));
    for (const Control c : {Control::rbCH1, Control::rbCH2, Control::rbCH3, Control::rbCH4})
        QVERIFY(!v.isVisible(c));
    QVERIFY(!v.isEnabled(Control::txtDelay));
    QCOMPARE(v.state[Control::txtDelay].background, ColourRole::ButtonFace);
    QCOMPARE(v.text(Control::txtDelay), "17");
    QVERIFY(v.messages.isEmpty());
}

void TestMainConsole::sendChecks_data()
{
    QTest::addColumn<int>("operation");
    QTest::addColumn<QString>("delay");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QString>("message");
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<Control>("focus");  // where the focus is afterwards
    QTest::addColumn<QString>("delayAfter");

    const auto info = MessageIcon::Information;
    const QString range = QStringLiteral("延时时间的范围是1-255秒。");
    const QString empty = QStringLiteral("请输入延时时间。");
    QTest::newRow("no command code") << -1 << "" << true << "请选择命令代码。" << info
                                     << Control::cboOperation << "";
    QTest::newRow("delay empty") << 4 << "" << true << empty << info << Control::txtDelay << "";
    QTest::newRow("delay spaces only")
        << 4 << "    " << true << empty << info << Control::txtDelay << "";
    QTest::newRow("delay 0") << 4 << "0" << true << range << info << Control::txtDelay << "0";
    QTest::newRow("delay 300") << 4 << " 300 " << true << range << info << Control::txtDelay
                               << "300";
    QTest::newRow("delay -3") << 4 << "-3" << true << range << info << Control::txtDelay << "-3";
    QTest::newRow("delay 0.5 rounds to 0")
        << 4 << "0.5" << true << range << info << Control::txtDelay << "0.5";
    QTest::newRow("delay not a number")
        << 4 << "abc" << true << range << info << Control::txtDelay << "abc";
    QTest::newRow("delay beyond 16 bits")
        << 4 << "65537" << true << range << info << Control::txtDelay << "65537";
    QTest::newRow("port not open")
        << 1 << "" << false << "串口未被正常打开。" << MessageIcon::Warning << Control::cmdSend
        << "";
    QTest::newRow("delay checked before port")
        << 4 << "0" << false << range << info << Control::txtDelay << "0";
}

void TestMainConsole::sendChecks()
{
    QFETCH(int, operation);
    QFETCH(QString, delay);
    QFETCH(bool, portOpen);
    QFETCH(QString, message);
    QFETCH(MessageIcon, icon);
    QFETCH(Control, focus);
    QFETCH(QString, delayAfter);

    ConsoleBench b;
    b.open();
    if (operation >= 0) b.view.choose(Control::cboOperation, operation);
    b.view.type(delay);
    if (!portOpen) {
        b.board->closeMaster();
        QTRY_VERIFY(!b.console.serialPort().isOpen());
    }
    b.view.focus = Control::cmdSend;  // the operator clicked it

    b.console.onSendClicked();
    QCOMPARE(b.view.messages.size(), 1);
    QCOMPARE(b.view.messages[0].text, message);
    QCOMPARE(b.view.messages[0].icon, icon);
    QCOMPARE(b.view.focus, focus);
    QCOMPARE(b.view.text(Control::txtDelay), delayAfter);
    if (portOpen) QCOMPARE(b.board->drain(), QByteArray());
    b.expectOpenedState(/*reopen=*/!portOpen && message == "串口未被正常打开。");
}

void TestMainConsole::delayWithSpacesIsTrimmedAndSentInOneWrite()
{
    ConsoleBench b;
    b.open();
    b.view.choose(Control::cboOperation, 4);
    b.view.click(Control::rbCH3);
    b.view.type("  45  ");
    const int eventsBefore = b.view.delayTextEvents;

    b.console.onSendClicked();
    QVERIFY(b.view.messages.isEmpty());
    QCOMPARE(b.view.text(Control::txtDelay), "45");
    QCOMPARE(b.view.delayTextEvents, eventsBefore + 1);
    // 45 = 2 * 16 + 13 on CH3 (2): 0xC0 + 4*2 + 2, 0x80 + 4*13 + 2.
    QCOMPARE(b.view.text(Control::txtByteSend), "0xCA");
    QCOMPARE(b.view.text(Control::txtByteSend2), "0xB6");
    QVERIFY(b.view.isVisible(Control::txtByteSend2));
    QCOMPARE(b.board->receive(2), QByteArray("\xCA\xB6"));
    QCOMPARE(b.board->drain(), QByteArray());
}

void TestMainConsole::sendRepeatsTheSameBytes()
{
    ConsoleBench b;
    b.open();
    b.view.choose(Control::cboOperation, 1);
    b.view.click(Control::cbCh1);
    b.view.click(Control::cbCh3);
    b.console.onSendClicked();
    b.console.onSendClicked();
    QCOMPARE(b.board->receive(2), QByteArray("\x15\x15"));
    QCOMPARE(b.view.text(Control::txtByteSend), "0x15");
    QVERIFY(b.view.messages.isEmpty());
}

void TestMainConsole::openResults_data()
{
    QTest::addColumn<QString>("device");  // what Com3 is: "pty", "held", or a path
    QTest::addColumn<bool>("select");
    QTest::addColumn<QString>("message");  // empty: success
    QTest::addColumn<MessageIcon>("icon");
    const auto warn = MessageIcon::Warning;
    QTest::newRow("success") << "pty" << true << "" << warn;
    QTest::newRow("nothing selected") << "pty" << false << "请选择串口。"
                                      << MessageIcon::Information;
    QTest::newRow("held by another") << "held" << true << "指定的串口已被占用。" << warn;
    QTest::newRow("not a serial line")
        << "/dev/null" << true << "打开串口时遇到错误（CODE=8020）。" << warn;
    QTest::newRow("device gone") << "/nonexistent/ttyUSB3" << true
                                 << "打开串口时遇到错误（CODE=8012）。" << warn;
}

void TestMainConsole::openResults()
{
    QFETCH(QString, device);
    QFETCH(bool, select);
    QFETCH(QString, message);
    QFETCH(MessageIcon, icon);

    ConsoleBench b;
    SerialPortService holder([&](int) { return b.board->slavePath(); });
    if (device == "held") QCOMPARE(holder.openPort(1), OpenResult::Ok);
    if (device != "pty" && device != "held") *b.com3 = device;
    QCOMPARE(b.view.state[Control::cboPort].items, QStringList{"Com3"});

    if (select) b.view.choose(Control::cboPort, 0);
    b.view.focus = Control::cmdOpenSerial;
    const int focusMoves = b.view.focusMoves;
    b.console.onOpenClicked();

    if (message.isEmpty()) {
        QVERIFY(b.view.messages.isEmpty());
        QVERIFY(b.console.serialPort().isOpen());
        b.expectOpenedState();
        return;
    }
    QCOMPARE(b.view.messages.size(), 1);
    QCOMPARE(b.view.messages[0].text, message);
    QCOMPARE(b.view.messages[0].icon, icon);
    if (select) {
        QCOMPARE(b.view.focusMoves, focusMoves);  // failures leave the focus alone
    } else {
        QCOMPARE(b.view.focus, Control::cboPort);
    }
    QVERIFY(!b.console.serialPort().isOpen());
    b.expectClosedState();
}

void TestMainConsole::reopenAfterTheDeviceWentAway()
{
    ConsoleBench b;
    b.open();
    b.view.choose(Control::cboOperation, 0);
    b.view.click(Control::cbCh2);

    b.board.reset();  // unplugged
    QTRY_VERIFY(!b.console.serialPort().isOpen());
    b.console.onSendClicked();
    QCOMPARE(b.view.messages.size(), 1);
    QCOMPARE(b.view.messages[0].text, "串口未被正常打开。");
    b.expectOpenedState(/*reopen=*/true);

    // Still gone: the failure is reported and the reopen state stays.
    b.console.onOpenClicked();
    QCOMPARE(b.view.messages.size(), 2);
    QCOMPARE(b.view.messages[1].text, "打开串口时遇到错误（CODE=8012）。");
    b.expectOpenedState(/*reopen=*/true);

    // Plugged in again under the same name.
    b.board = std::make_unique<PtyBoard>();
    *b.com3 = b.board->slavePath();
    b.console.onOpenClicked();
    QCOMPARE(b.view.messages.size(), 2);
    b.expectOpenedState();
    b.console.onSendClicked();
    QCOMPARE(b.board->receive(1), QByteArray("\x02"));
}

void TestMainConsole::quitClosesWindowAndPort()
{
    ConsoleBench b;
    b.open();
    QVERIFY(b.console.serialPort().isOpen());
    b.console.onQuitClicked();
    QCOMPARE(b.view.closeRequests, 1);
    QVERIFY(!b.console.serialPort().isOpen());
}

void TestMainConsole::receivedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("received");  // texts given to txtByteRcv, in order
    QTest::addColumn<QList<IrKeyMessage>>("rows");
    QTest::newRow("reply") << QByteArray("\x07") << QStringList{"0x07"} << QList<IrKeyMessage>{};
    QTest::newRow("two replies together")
        << QByteArray("\x07\x08") << QStringList{"0x07", "0x08"} << QList<IrKeyMessage>{};
    QTest::newRow("short press")
        << QByteArray("\x53\x00\xFF\x12\xED", 5) << QStringList{}
        << QList<IrKeyMessage>{{PressKind::Short, 0x00, 0xFF, 0x12, 0xED}};
    QTest::newRow("long press, markers as data")
        << QByteArray("\x4C\x53\x4C\x01\x02") << QStringList{}
        << QList<IrKeyMessage>{{PressKind::Long, 0x53, 0x4C, 0x01, 0x02}};
    QTest::newRow("mixed")
        << QByteArray("\x05\x53\x01\x02\x03\x04\x06\x4C\x0A\x0B\x0C\x0D")
        << QStringList{"0x05", "0x06"}
        << QList<IrKeyMessage>{{PressKind::Short, 1, 2, 3, 4}, {PressKind::Long, 10, 11, 12, 13}};
}

void TestMainConsole::receivedBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, received);
    QFETCH(QList<IrKeyMessage>, rows);
    ConsoleBench b;
    b.open();
    QVERIFY(b.board->send(bytes));
    auto shownRows = [&] {
        return b.irViews.created.empty() ? QList<IrKeyMessage>() : b.irViews.created[0]->rows;
    };
    QTRY_COMPARE(shownRows(), rows);
    QTRY_COMPARE(b.view.received, received);
    QCOMPARE(b.view.text(Control::txtByteRcv), received.isEmpty() ? "0x00" : received.last());
    QCOMPARE(b.irViews.created.size(), std::size_t(rows.isEmpty() ? 0 : 1));
    if (!rows.isEmpty()) {
        QCOMPARE(b.irViews.created[0]->selectedRow, int(rows.size()) - 1);
        QVERIFY(b.irViews.created[0]->shown);
    }
    QCOMPARE(b.console.decoder().pendingMarker(), ReceiveDecoder::Marker::None);
}

void TestMainConsole::onlyDataNotificationsAreRead()
{
    ConsoleBench b;
    b.open();
    SerialPortService& port = b.console.serialPort();
    {
        // Let a byte arrive without its notification reaching the console.
        const QSignalBlocker quiet(&port);
        QVERIFY(b.board->send("\x09"));
        QTRY_COMPARE(port.bytesAvailable(), 1);
    }
    b.console.onSerialNotification(SerialEvent::LineError);
    b.console.onSerialNotification(SerialEvent::PortLost);
    QVERIFY(b.view.received.isEmpty());
    QCOMPARE(port.bytesAvailable(), 1);
    b.console.onSerialNotification(SerialEvent::DataReceived);
    QCOMPARE(b.view.received, QStringList{"0x09"});
    QCOMPARE(port.bytesAvailable(), 0);
}

QTEST_GUILESS_MAIN(TestMainConsole)
#include "tst_mainconsole.moc"
