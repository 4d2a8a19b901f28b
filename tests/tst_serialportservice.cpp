#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "portholder.h"
#include "ptyboard.h"
#include "serialportservice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <memory>

namespace QTest {
template<>
inline char *toString(const OpenResult &result)
{
    return qstrdup(QByteArray::number(int(result)).constData());
}
} // namespace QTest

namespace {

// Com numbers onto whatever paths a test wants; unmapped numbers lead nowhere.
SerialPortService::PortMap mapOf(std::map<int, QString> table)
{
    return [table = std::move(table)](int n) {
        const auto it = table.find(n);
        return it == table.end() ? QStringLiteral("/nonexistent/com%1").arg(n) : it->second;
    };
}

} // namespace

class TestSerialPortService : public QObject
{
    Q_OBJECT
private slots:
    void comTable_data();
    void comTable();
    void entryText_data();
    void entryText();
    void scanListsMappedPortsInOrder();
    void allByteValuesPassUntouched();
    void portHeldByAnotherProcess_data();
    void portHeldByAnotherProcess();
    void sameDeviceUnderAnotherName();
    void failuresOtherThanBusy_data();
    void failuresOtherThanBusy();
    void noPermissionIsNotBusy();
    void deviceLossClosesOnceAndGoesQuiet();
    void writeWhenClosedDoesNothing();
};

void TestSerialPortService::comTable_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("device");
    QTest::newRow("Com1") << 1 << "/dev/ttyS0";
    QTest::newRow("Com4") << 4 << "/dev/ttyS3";
    QTest::newRow("Com5") << 5 << "/dev/ttyUSB0";
    QTest::newRow("Com12") << 12 << "/dev/ttyUSB7";
    QTest::newRow("Com13") << 13 << "/dev/ttyACM0";
    QTest::newRow("Com16") << 16 << "/dev/ttyACM3";
    QTest::newRow("Com0") << 0 << "";
    QTest::newRow("Com17") << 17 << "";
}

void TestSerialPortService::comTable()
{
    QFETCH(int, n);
    QFETCH(QString, device);
    QCOMPARE(ComPorts::device(n), device);
}

void TestSerialPortService::entryText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("roundTrip");
    QTest::newRow("Com1") << "Com1" << 1 << true;
    QTest::newRow("Com12") << "Com12" << 12 << true;
    QTest::newRow("Com16") << "Com16" << 16 << true;
    QTest::newRow("empty") << "" << 0 << false;
    QTest::newRow("Com") << "Com" << 0 << false;
    QTest::newRow("garbage") << "abc" << 0 << false;
    QTest::newRow("trailing text") << "Com1x" << 0 << false;
    QTest::newRow("huge") << "Com99999999999999999999" << 0 << false;
    QTest::newRow("negative") << "Com-3" << -3 << false;
}

void TestSerialPortService::entryText()
{
    QFETCH(QString, text);
    QFETCH(int, n);
    QFETCH(bool, roundTrip);
    QCOMPARE(ComPorts::numberFromEntry(text), n);
    if (roundTrip)
        QCOMPARE(ComPorts::entryText(n), text);
    // Whatever came out of the text, opening it never succeeds unless it is a real port.
    SerialPortService service(mapOf({}));
    if (!roundTrip)
        QCOMPARE_NE(service.openPort(n), OpenResult::Ok);
    QVERIFY(!service.isOpen());
}

void TestSerialPortService::scanListsMappedPortsInOrder()
{
    PtyBoard a, b, c;
    QVERIFY(a.isValid() && b.isValid() && c.isValid());
    SerialPortService service(
        mapOf({{16, a.slavePath()}, {2, b.slavePath()}, {7, c.slavePath()}, {17, a.slavePath()}}));
    QCOMPARE(service.scanPorts(), (QList<int> {2, 7, 16}));
    QVERIFY(!service.isOpen());

    SerialPortService nothing(mapOf({}));
    QVERIFY(nothing.scanPorts().isEmpty());
}

void TestSerialPortService::allByteValuesPassUntouched()
{
    PtyBoard board;
    SerialPortService service(mapOf({{3, board.slavePath()}}));
    QCOMPARE(service.openPort(3), OpenResult::Ok);
    QVERIFY(service.isOpen());

    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(static_cast<char>(i));

    // Console to board.
    QVERIFY(service.write(all));
    QCOMPARE(board.receive(all.size()), all);

    // Board to console, with the receive notification on this thread.
    QSignalSpy spy(&service, &SerialPortService::dataReceived);
    QVERIFY(board.send(all));
    QByteArray got;
    while (got.size() < all.size() && spy.wait(2000))
        got += service.read();
    QCOMPARE(got, all);
    QVERIFY(spy.size() >= 1);
}

void TestSerialPortService::portHeldByAnotherProcess_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("flock") << int(PortHolder::How::Flock);
    QTest::newRow("exclusive tty") << int(PortHolder::How::Exclusive);
}

void TestSerialPortService::portHeldByAnotherProcess()
{
    QFETCH(int, how);
    PtyBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How(how));
    QVERIFY(holder.ok());

    SerialPortService service(mapOf({{5, board.slavePath()}}));
    QCOMPARE(service.openPort(5), OpenResult::PortInUse);
    QVERIFY(!service.isOpen());
    QCOMPARE(service.scanPorts(), QList<int> {5});
}

void TestSerialPortService::sameDeviceUnderAnotherName()
{
    PtyBoard board;
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyLINK"));
    QVERIFY(QFile::link(board.slavePath(), link));

    SerialPortService first(mapOf({{1, board.slavePath()}}));
    SerialPortService second(mapOf({{9, link}}));
    QCOMPARE(first.openPort(1), OpenResult::Ok);
    QCOMPARE(second.openPort(9), OpenResult::PortInUse);
    QCOMPARE(second.scanPorts(), QList<int> {9});

    first.close();
    QCOMPARE(second.openPort(9), OpenResult::Ok);
    QCOMPARE(first.openPort(1), OpenResult::PortInUse);
}

void TestSerialPortService::failuresOtherThanBusy_data()
{
    QTest::addColumn<int>("n");
    QTest::addColumn<QString>("path");
    QTest::addColumn<OpenResult>("code");
    QTest::newRow("port 0") << 0 << "/dev/null" << OpenResult::InvalidPort;
    QTest::newRow("port 17") << 17 << "/dev/null" << OpenResult::InvalidPort;
    QTest::newRow("negative port") << -3 << "/dev/null" << OpenResult::InvalidPort;
    QTest::newRow("unmapped") << 4 << "" << OpenResult::InvalidPort;
    QTest::newRow("missing device") << 4 << "/dev/ttyDOESNOTEXIST" << OpenResult::DeviceMissing;
    QTest::newRow("not a tty") << 4 << "/dev/null" << OpenResult::SettingsRejected;
}

void TestSerialPortService::failuresOtherThanBusy()
{
    QFETCH(int, n);
    QFETCH(QString, path);
    QFETCH(OpenResult, code);
    SerialPortService service([path](int) { return path; });
    QCOMPARE(service.openPort(n), code);
    QVERIFY(!service.isOpen());
}

void TestSerialPortService::noPermissionIsNotBusy()
{
    if (::geteuid() != 0)
        QSKIP("needs root to drop to another user in a child process");
    PtyBoard board;
    // The slave of a fresh pty belongs to root with mode 0620: "nobody" may not open it.
    int result[2];
    QVERIFY(::pipe(result) == 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = -1;
        if (::setgid(65534) == 0 && ::setuid(65534) == 0) {
            SerialPortService service(mapOf({{2, board.slavePath()}}));
            code = int(service.openPort(2));
            if (!service.scanPorts().isEmpty())
                code = -2;
        }
        (void)!::write(result[1], &code, sizeof code);
        ::_exit(0);
    }
    ::close(result[1]);
    int code = 0;
    QCOMPARE(::read(result[0], &code, sizeof code), ssize_t(sizeof code));
    ::close(result[0]);
    ::waitpid(pid, nullptr, 0);
    QCOMPARE(OpenResult(code), OpenResult::PermissionDenied);
}

void TestSerialPortService::deviceLossClosesOnceAndGoesQuiet()
{
    auto board = std::make_unique<PtyBoard>();
    SerialPortService service(mapOf({{6, board->slavePath()}}));
    QCOMPARE(service.openPort(6), OpenResult::Ok);
    QSignalSpy lost(&service, &SerialPortService::deviceLost);

    board->closeMaster();
    QTRY_VERIFY(!service.isOpen());
    QTRY_COMPARE(lost.size(), 1);

    // Left alone, the library spins on the dead descriptor: the event loop would wake up
    // thousands of times in half a second instead of a few.
    const int wakeUps = eventLoopWakeUps(std::chrono::milliseconds(500));
    QVERIFY2(wakeUps < 50, qPrintable(QStringLiteral("%1 wake-ups in 0.5 s").arg(wakeUps)));
    QCOMPARE(lost.size(), 1);
    QVERIFY(!service.write(QByteArray("\x01")));
    QVERIFY(service.read().isEmpty());
}

void TestSerialPortService::writeWhenClosedDoesNothing()
{
    SerialPortService service(mapOf({}));
    QVERIFY(!service.write(QByteArray("\x01")));
    QVERIFY(service.read().isEmpty());
    service.close();
    QVERIFY(!service.isOpen());
}

QTEST_GUILESS_MAIN(TestSerialPortService)
#include "tst_serialportservice.moc"
