#include <QSignalSpy>
#include <QTest>

#include "consolebench.h"

namespace {
const QByteArray firstTen("\x01\x00\x02\x00\x04\x00\x08\x00\x01\x00", 10);
const Control lockedDuringTest[] = {Control::cboOperation, Control::cbCh1, Control::cbCh2,
                                    Control::cbCh3,        Control::cbCh4, Control::cmdSend};
}  // namespace

class TestTestSequence : public QObject {
    Q_OBJECT
private slots:
    void keys_data();
    void keys();
    void ticksWriteTheChaserOneByteAtATime();
    void restartBeginsAtStepZeroAndKeepsTheLabel();
    void receivedBytesAreDroppedWhileRunning();
    void lostPortSkipsStepsSilently();
};

void TestTestSequence::keys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("opened");
    QTest::addColumn<bool>("starts");
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("Ctrl+T") << int(Qt::Key_T) << ctrl << true << true;
    QTest::newRow("Ctrl+Shift+T") << int(Qt::Key_T) << int(ctrl | Qt::ShiftModifier) << true << true;
    QTest::newRow("Ctrl+Alt+T") << int(Qt::Key_T) << int(ctrl | Qt::AltModifier) << true << true;
    QTest::newRow("T alone") << int(Qt::Key_T) << 0 << true << false;
    QTest::newRow("Shift+T") << int(Qt::Key_T) << int(Qt::ShiftModifier) << true << false;
    QTest::newRow("Ctrl+R") << int(Qt::Key_R) << ctrl << true << false;
    QTest::newRow("Ctrl+T while closed") << int(Qt::Key_T) << ctrl << false << false;
}

void TestTestSequence::keys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, opened);
    QFETCH(bool, starts);
    ConsoleBench b;
    if (opened) b.open();
    b.view.choose(Control::cboOperation, 4);  // the delay field and option buttons stay usable
    const bool sendBefore = b.view.isEnabled(Control::cmdSend);

    b.console.onKeyPressed(key, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(b.console.testRunning(), starts);
    QCOMPARE(b.view.isEnabled(Control::Timer1), starts);
    if (starts) {
        for (const Control c : lockedDuringTest) QVERIFY(!b.view.isEnabled(c));
        QVERIFY(b.view.isEnabled(Control::txtDelay));
        for (const Control c : {Control::rbCH1, Control::rbCH2, Control::rbCH3, Control::rbCH4})
            QVERIFY(b.view.isEnabled(c));
        QVERIFY(!b.view.isVisible(Control::Label7));  // nothing shows before the first tick
    } else {
        QCOMPARE(b.view.isEnabled(Control::cmdSend), sendBefore);
        b.console.onTimer1Tick();  // a stray tick does nothing either
        QVERIFY(!b.view.isVisible(Control::Label7));
    }
    QCOMPARE(b.board->drain(), QByteArray());
    QVERIFY(b.view.messages.isEmpty());
}

void TestTestSequence::ticksWriteTheChaserOneByteAtATime()
{
    ConsoleBench b;
    b.open();
    b.console.onKeyPressed(Qt::Key_T, Qt::ControlModifier);
    for (int i = 0; i < firstTen.size(); ++i) {
        b.console.onTimer1Tick();
        QCOMPARE(b.board->receive(1), firstTen.mid(i, 1));
        QCOMPARE(b.board->drain(), QByteArray());  // exactly one byte per tick
        QCOMPARE(b.view.isVisible(Control::Label7), i % 2 == 0);
    }
    QVERIFY(b.view.messages.isEmpty());
}

void TestTestSequence::restartBeginsAtStepZeroAndKeepsTheLabel()
{
    ConsoleBench b;
    b.open();
    b.console.onKeyPressed(Qt::Key_T, Qt::ControlModifier);
    for (int i = 0; i < 3; ++i) b.console.onTimer1Tick();
    QCOMPARE(b.board->receive(3), QByteArray("\x01\x00\x02", 3));
    QVERIFY(b.view.isVisible(Control::Label7));

    b.console.onKeyPressed(Qt::Key_T, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(b.console.testStepIndex(), 0);
    QVERIFY(b.view.isVisible(Control::Label7));  // not reset by the restart
    b.console.onTimer1Tick();
    QCOMPARE(b.board->receive(1), QByteArray("\x01"));
    QVERIFY(!b.view.isVisible(Control::Label7));
}

void TestTestSequence::receivedBytesAreDroppedWhileRunning()
{
    ConsoleBench b;
    b.open();
    b.console.onKeyPressed(Qt::Key_T, Qt::ControlModifier);
    SerialPortService& port = b.console.serialPort();
    QSignalSpy notifications(&port, &SerialPortService::receiveNotification);

    // A reply, a whole key report and the start of another.
    QVERIFY(b.board->send(QByteArray("\x07\x53\x01\x02\x03\x04\x4C\x09", 8)));
    QVERIFY(notifications.wait(2000));
    QTRY_COMPARE(port.bytesAvailable(), 0);  // read, so nothing piles up
    QTest::qWait(50);
    QCOMPARE(b.view.text(Control::txtByteRcv), QStringLiteral("0x00"));
    QVERIFY(b.view.received.isEmpty());
    QVERIFY(b.irViews.created.empty());
    QCOMPARE(b.console.decoder().pendingMarker(), ReceiveDecoder::Marker::None);
    QCOMPARE(b.console.decoder().irByteCount(), 0);
}

void TestTestSequence::lostPortSkipsStepsSilently()
{
    ConsoleBench b;
    b.open();
    b.console.onKeyPressed(Qt::Key_T, Qt::ControlModifier);
    b.console.onTimer1Tick();
    QCOMPARE(b.board->receive(1), QByteArray("\x01"));

    b.board->closeMaster();
    QTRY_VERIFY(!b.console.serialPort().isOpen());
    b.console.onTimer1Tick();
    b.console.onTimer1Tick();
    QVERIFY(b.view.messages.isEmpty());
    QCOMPARE(b.console.testStepIndex(), 3);
    QVERIFY(b.view.isVisible(Control::Label7));  // shown, hidden, shown: the rhythm goes on
    QVERIFY(b.view.isEnabled(Control::Timer1));
}

QTEST_GUILESS_MAIN(TestTestSequence)
#include "tst_testsequence.moc"
