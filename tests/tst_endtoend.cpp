// The console as a whole: real windows on the offscreen platform, the real serial service, and
// the relay board simulator at the far end of a pseudo-terminal.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include "hexbytetext.h"
#include "keyreportmodel.h"
#include "keyreportview.h"
#include "keyreportwindow.h"
#include "mainwindow.h"
#include "messageboxwatcher.h"
#include "portholder.h"
#include "ptyrelayboard.h"
#include "receivedecoder.h"

namespace {

constexpr int comPort = 12;

// The console's Com12 is a symlink (as a udev rule would make) to whichever simulator is
// plugged in; the simulator's clock is the test's.
struct Rig
{
    qint64 clock = 1'000'000;
    QTemporaryDir dir;
    QString device = dir.filePath(QStringLiteral("ttyUSB7"));
    std::unique_ptr<PtyRelayBoard> board;
    std::unique_ptr<MainWindow> window;

    Rig()
    {
        plugIn();
        window = std::make_unique<MainWindow>([path = device](int n) {
            return n == comPort ? path : QStringLiteral("/nonexistent/%1").arg(n);
        });
        window->show();
    }
    void plugIn()
    {
        board = std::make_unique<PtyRelayBoard>([this] { return clock; });
        board->link(device);
    }
    template<typename W = QWidget>
    W *find(const char *name)
    {
        return window->findChild<W *>(QLatin1String(name));
    }
    void click(const char *name) { QTest::mouseClick(find<QAbstractButton>(name), Qt::LeftButton); }
    void choose(int operation)
    {
        auto *combo = find<QComboBox>("cboOperation");
        combo->setCurrentIndex(operation);
        emit combo->activated(operation); // as when the operator picks it
    }
    [[nodiscard]] bool open()
    {
        find<QComboBox>("cboPort")->setCurrentIndex(0);
        click("cmdOpenSerial");
        return window->controller().serialPort().isOpen();
    }
    QString received() { return find<QLineEdit>("txtByteRcv")->text(); }
    KeyReportWindow *keyWindow() { return window->keyReportWindow(); }
    int rows() { return keyWindow() ? keyWindow()->model()->rowCount() : 0; }
};

IrKeyMessage numbered(int i)
{
    return {i % 2 ? PressKind::Long : PressKind::Short, static_cast<std::uint8_t>(i),
            static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i >> 16),
            static_cast<std::uint8_t>(~i)};
}

QByteArray wire(const IrKeyMessage &m)
{
    const auto bytes = RelayBoardModel::keyReport(m.pressKind == PressKind::Long, m.userCode1,
                                                  m.userCode2, m.operationCode, m.inverseCode);
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), 5);
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void boardModel_data();
    void boardModel();
    void commandComposedSentAndAnsweredThroughTheWindow();
    void keyReportFromTheBoardBecomesASelectedRow();
    void delayCommandOnEachChannel_data();
    void delayCommandOnEachChannel();
    void burstOfReports();
    void megabyteOfNoise();
    void boardVanishesAndComesBack();
    void portHeldByAnotherProcess();
};

// The simulator's own rules, on its clock (milliseconds).
void TestEndToEnd::boardModel_data()
{
    QTest::addColumn<QByteArray>("bytes"); // all received at time 0
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<int>("relays"); // right after
    QTest::addColumn<int>("later"); // at `at`
    QTest::addColumn<qint64>("at");
    QTest::newRow("set") << QByteArray("\x05") << QByteArray() << 0x05 << 0x05 << qint64(0);
    QTest::newRow("set then energise")
        << QByteArray("\x01\x1A") << QByteArray() << 0x0B << 0x0B << qint64(0);
    QTest::newRow("release") << QByteArray("\x0F\x26") << QByteArray() << 0x09 << 0x09 << qint64(0);
    QTest::newRow("read state") << QByteArray("\x0C\x30") << QByteArray("\x0C") << 0x0C << 0x0C
                                << qint64(0);
    QTest::newRow("5 s on CH4 running")
        << QByteArray("\x97") << QByteArray() << 0x08 << 0x08 << qint64(4999);
    QTest::newRow("5 s on CH4 over")
        << QByteArray("\x97") << QByteArray() << 0x08 << 0x00 << qint64(5000);
    QTest::newRow("200 s on CH2, two halves")
        << QByteArray("\xF1\xA1") << QByteArray() << 0x02 << 0x02 << qint64(199'999);
    QTest::newRow("200 s on CH2 over")
        << QByteArray("\xF1\xA1") << QByteArray() << 0x02 << 0x00 << qint64(200'000);
    QTest::newRow("16 s, high half alone")
        << QByteArray("\xC4") << QByteArray() << 0x01 << 0x00 << qint64(16'000);
    QTest::newRow("halves of different channels")
        << QByteArray("\xC4\x85") << QByteArray() << 0x03 << 0x01 << qint64(1'000);
    QTest::newRow("released by hand")
        << QByteArray("\x97\x28\x18") << QByteArray() << 0x08 << 0x08 << qint64(60'000);
    QTest::newRow("unknown op ignored")
        << QByteArray("\x4F\x7F") << QByteArray() << 0 << 0 << qint64(0);
}

void TestEndToEnd::boardModel()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, replies);
    QFETCH(int, relays);
    QFETCH(int, later);
    QFETCH(qint64, at);
    RelayBoardModel board;
    QByteArray answered;
    for (const char c : bytes)
        for (const std::uint8_t r : board.receive(static_cast<std::uint8_t>(c), 0))
            answered.append(static_cast<char>(r));
    QCOMPARE(answered, replies);
    QCOMPARE(int(board.relays()), relays);
    board.advanceTo(at);
    QCOMPARE(int(board.relays()), later);
}

void TestEndToEnd::commandComposedSentAndAnsweredThroughTheWindow()
{
    Rig rig;
    QCOMPARE(rig.find<QComboBox>("cboPort")->itemText(0), QStringLiteral("Com12"));
    QVERIFY(rig.open());
    rig.choose(1);
    rig.click("cbCh1");
    rig.click("cbCh3");
    QCOMPARE(rig.find<QLineEdit>("txtByteSend")->text(), QStringLiteral("0x15"));
    rig.click("cmdSend");
    QTRY_COMPARE(int(rig.board->relays()), 0x05);

    rig.choose(3); // read the state back; the check boxes still say CH1 and CH3
    QCOMPARE(rig.find<QLineEdit>("txtByteSend")->text(), QStringLiteral("0x35"));
    rig.click("cmdSend");
    QTRY_COMPARE(rig.received(), QStringLiteral("0x05"));
    QCOMPARE(rig.board->bytesReceived(), 2);
}

void TestEndToEnd::keyReportFromTheBoardBecomesASelectedRow()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.board->sendKeyReport(false, 0x00, 0xFF, 0x12, 0xED);
    QTRY_COMPARE(rig.rows(), 1);
    KeyReportWindow *ir = rig.keyWindow();
    QVERIFY(ir->isVisible());
    const QStringList texts {"短按", "0x00", "0xFF", "0x12", "0xED"};
    for (int c = 0; c < 5; ++c)
        QCOMPARE(ir->model()->data(ir->model()->index(0, c), Qt::DisplayRole).toString(), texts[c]);
    // Selected at the next display frame.
    QTRY_COMPARE(ir->list()->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(ir->list()->selectionModel()->selectedRows().first().row(), 0);
    QCOMPARE(rig.received(), QStringLiteral("0x00"));
}

void TestEndToEnd::delayCommandOnEachChannel_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<int>("bytes");
    QTest::newRow("CH1 17 s") << 0 << "17" << 2;
    QTest::newRow("CH2 200 s") << 1 << "200" << 2;
    QTest::newRow("CH3 255 s") << 2 << "255" << 2;
    QTest::newRow("CH4 5 s") << 3 << "5" << 1;
    QTest::newRow("CH1 16 s") << 0 << "16" << 1;
}

void TestEndToEnd::delayCommandOnEachChannel()
{
    QFETCH(int, channel);
    QFETCH(QString, seconds);
    QFETCH(int, bytes);
    Rig rig;
    QVERIFY(rig.open());
    rig.choose(4);
    const char *const buttons[] = {"rbCH1", "rbCH2", "rbCH3", "rbCH4"};
    rig.click(buttons[channel]);
    QTest::keyClicks(rig.find<QLineEdit>("txtDelay"), seconds);
    const qint64 start = rig.clock;
    rig.click("cmdSend");
    QTRY_COMPARE(rig.board->bytesReceived(), bytes);
    const int bit = 1 << channel;
    QCOMPARE(int(rig.board->relays()), bit);

    rig.clock = start + seconds.toInt() * 1000 - 1;
    rig.board->advance();
    QCOMPARE(int(rig.board->relays()), bit);
    rig.clock += 1;
    rig.board->advance();
    QCOMPARE(int(rig.board->relays()), 0);
}

void TestEndToEnd::burstOfReports()
{
    constexpr int reports = 100'000;
    Rig rig;
    QVERIFY(rig.open());
    QByteArray burst;
    burst.reserve(reports * 5);
    for (int i = 0; i < reports; ++i)
        burst += wire(numbered(i));
    rig.board->sendRaw(burst);

    QTRY_COMPARE_WITH_TIMEOUT(rig.rows(), reports, 120'000);
    QCOMPARE(rig.board->pendingOutput(), 0);
    KeyReportModel *model = rig.keyWindow()->model();
    for (int i = 0; i < reports; ++i) {
        if (model->message(i) != numbered(i))
            QFAIL(qPrintable(QStringLiteral("row %1").arg(i)));
    }
    KeyReportView *list = rig.keyWindow()->list();
    QTRY_COMPARE(list->currentIndex().row(), reports - 1);
    QCOMPARE(list->selectionModel()->selectedRows().first().row(), reports - 1);
    QVERIFY(list->viewport()->rect().contains(list->visualRect(model->index(reports - 1, 0))));
    QCOMPARE(rig.received(), QStringLiteral("0x00"));

    // Still answering: a command goes out, its reply comes back.
    rig.choose(3);
    rig.click("cmdSend");
    QTRY_COMPARE(rig.board->bytesReceived(), 1);
    QTRY_COMPARE(rig.received(), QStringLiteral("0x00"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(10, 2));
    QVERIFY(list->selectionModel()->selectedRows().first().row() < reports - 1);
}

void TestEndToEnd::megabyteOfNoise()
{
    Rig rig;
    QVERIFY(rig.open());
    QByteArray noise(1 << 20, Qt::Uninitialized);
    QRandomGenerator random(20261210);
    random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);

    // What the bytes must come to, by the decoder's rules.
    ReceiveDecoder expected;
    QList<IrKeyMessage> reports;
    int lastReply = -1;
    for (const char c : noise) {
        const DecodeResult r = expected.onReceive(static_cast<std::uint8_t>(c));
        if (r.kind == DecodeResult::Kind::KeyMessage)
            reports << r.message;
        if (r.kind == DecodeResult::Kind::ReplyByte)
            lastReply = r.replyByte;
    }
    QVERIFY(lastReply >= 0 && reports.size() > 1000);

    rig.board->sendRaw(noise);
    QTRY_COMPARE_WITH_TIMEOUT(rig.rows(), int(reports.size()), 120'000);
    QTRY_COMPARE(rig.board->pendingOutput(), 0);
    QTRY_COMPARE(rig.window->controller().serialPort().bytesAvailable(), 0);
    QCOMPARE(rig.received(), hexByteText(static_cast<std::uint8_t>(lastReply)));
    KeyReportModel *model = rig.keyWindow()->model();
    for (int i = 0; i < reports.size(); ++i)
        QCOMPARE(model->message(i), reports[i]);
    const ReceiveDecoder &actual = rig.window->controller().decoder();
    QCOMPARE(actual.pendingMarker(), expected.pendingMarker());
    QCOMPARE(actual.irByteCount(), expected.irByteCount());
}

void TestEndToEnd::boardVanishesAndComesBack()
{
    Rig rig;
    QVERIFY(rig.open());
    rig.choose(0);
    rig.click("cbCh2");
    rig.click("cmdSend");
    QTRY_COMPARE(int(rig.board->relays()), 0x02);

    {
        MessageBoxWatcher watcher;
        rig.board.reset(); // unplugged mid-run: said at once
        QTRY_COMPARE(watcher.seen.size(), 1);
        QCOMPARE(watcher.seen[0].text, QStringLiteral("串口未被正常打开。"));
        QVERIFY(!rig.window->controller().serialPort().isOpen());
    }
    QVERIFY(rig.find("cmdOpenSerial")->isEnabled());
    QVERIFY(!rig.find("cmdSend")->isEnabled());
    QVERIFY(!rig.find("cboPort")->isEnabled());

    rig.plugIn(); // a new board under the same name
    rig.click("cmdOpenSerial");
    QVERIFY(rig.window->controller().serialPort().isOpen());
    QVERIFY(rig.find("cmdSend")->isEnabled());
    rig.click("cmdSend");
    QTRY_COMPARE(int(rig.board->relays()), 0x02);
}

void TestEndToEnd::portHeldByAnotherProcess()
{
    Rig rig;
    PortHolder holder(rig.board->slavePath(), PortHolder::How::Flock);
    QVERIFY(holder.ok());

    MessageBoxWatcher watcher;
    QVERIFY(!rig.open());
    QCOMPARE(watcher.seen.size(), 1);
    // The fixed text, then who holds it (the holder's own name and pid), then what to do.
    const QStringList lines = watcher.seen[0].text.split(QLatin1Char('\n'));
    QCOMPARE(lines.value(0), QStringLiteral("指定的串口已被占用。"));
    QVERIFY2(lines.value(1).contains(QStringLiteral("(PID %1)").arg(holder.pid())),
             qPrintable(watcher.seen[0].text));
    QCOMPARE(lines.size(), 3);
    QCOMPARE(int(watcher.seen[0].icon), int(QMessageBox::Warning));
    QVERIFY(rig.find("cmdOpenSerial")->isEnabled());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
