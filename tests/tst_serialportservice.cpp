#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include "adapterfixture.h"
#include "portholder.h"
#include "ptyboard.h"
#include "serialportservice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QSocketNotifier>
#include <QSysInfo>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

#include <map>
#include <memory>

#include "terminationsignals.h"

namespace QTest {
template<>
inline char *toString(const OpenResult &result)
{
    return qstrdup(QByteArray::number(int(result)).constData());
}
} // namespace QTest

namespace {

// Com numbers onto whatever paths a test wants; unmapped numbers lead nowhere.
ComPorts::PortMap mapOf(std::map<int, QString> table)
{
    return [table = std::move(table)](int n) {
        const auto it = table.find(n);
        return it == table.end() ? QStringLiteral("/nonexistent/com%1").arg(n) : it->second;
    };
}

// A process that is not this one and is certainly running, or certainly not.
class OtherProcess
{
public:
    explicit OtherProcess(bool keepRunning)
    {
        m_process.start(QStringLiteral("sleep"),
                        {keepRunning ? QStringLiteral("600") : QStringLiteral("0")});
        m_process.waitForStarted();
        m_pid = pid_t(m_process.processId());
        if (!keepRunning)
            m_process.waitForFinished();
    }
    ~OtherProcess()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    pid_t pid() const { return m_pid; }

private:
    QProcess m_process;
    pid_t m_pid = 0;
};

// The exclusive flag as the kernel holds it; root may open the device despite it.
// Runs `work` as user and group "nobody" in a child process and returns the int it produced.
int asNobody(const std::function<int()> &work)
{
    int result[2];
    if (::pipe(result) != 0)
        return -100;
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = -1;
        if (::setgid(65534) == 0 && ::setuid(65534) == 0)
            code = work();
        (void)!::write(result[1], &code, sizeof code);
        ::_exit(0);
    }
    ::close(result[1]);
    int code = -101;
    if (::read(result[0], &code, sizeof code) != ssize_t(sizeof code))
        code = -102;
    ::close(result[0]);
    ::waitpid(pid, nullptr, 0);
    return code;
}

// Runs `work` in a child process and returns the int it produced, or -200 when it has not
// answered within `limit` (the child is then killed): a call that hangs fails the test instead
// of stopping the suite.
int inChildWithin(std::chrono::seconds limit, const std::function<int()> &work)
{
    int result[2];
    if (::pipe(result) != 0)
        return -100;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(result[0]);
        const int code = work();
        (void)!::write(result[1], &code, sizeof code);
        ::_exit(0);
    }
    ::close(result[1]);
    int code = -200;
    pollfd p {result[0], POLLIN, 0};
    if (::poll(&p, 1, int(std::chrono::milliseconds(limit).count())) == 1
        && ::read(result[0], &code, sizeof code) != ssize_t(sizeof code))
        code = -102;
    ::close(result[0]);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return code;
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
    void foreignLockFiles_data();
    void foreignLockFiles();
    void whatSitsAtALockPath_data();
    void whatSitsAtALockPath();
    void listingOpensNoDevice();
    void ttySNodeWithoutUart();
    void adapterBehindAPort_data();
    void adapterBehindAPort();
    void staleLockFileOfAnotherUser();
    void staleExclusiveFlagAfterKilledHolder();
    void killedConsoleDoesNotBlockTheNext();
    void heldPortKeepsItsSettings_data();
    void heldPortKeepsItsSettings();
    void secondReaderIsNotALostDevice();
    void terminationSignalsReleaseThePort_data();
    void terminationSignalsReleaseThePort();
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
    while (got.size() < all.size() && spy.wait(2000)) {
        got.clear();
        for (const QList<QVariant> &bytes : std::as_const(spy))
            got += bytes.first().toByteArray();
    }
    QCOMPARE(got, all);
    QVERIFY(spy.size() >= 1);
}

void TestSerialPortService::portHeldByAnotherProcess_data()
{
    QTest::addColumn<int>("how");
    QTest::addColumn<QByteArray>("name"); // what the holder calls itself
    QTest::addColumn<QString>("shown"); // how the message names it; %1 is its pid
    QTest::newRow("flock") << int(PortHolder::How::Flock) << QByteArray() << "(PID %1)";
    QTest::newRow("exclusive tty") << int(PortHolder::How::Exclusive) << QByteArray() << "(PID %1)";
    // Debian's minicom and a plain cat take no lock of any kind.
    QTest::newRow("open, no lock at all")
        << int(PortHolder::How::Plain) << QByteArray("minicom") << "minicom (PID %1)";
    // Anyone may name a process: an escape sequence, a tab and a backslash come out as text.
    QTest::newRow("hostile name") << int(PortHolder::How::Plain) << QByteArray("ev\x1b[2J\t\\il")
                                  << "ev\\x1b[2J\\t\\\\il (PID %1)";
}

void TestSerialPortService::portHeldByAnotherProcess()
{
    QFETCH(int, how);
    QFETCH(QByteArray, name);
    QFETCH(QString, shown);
    PtyBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How(how), name);
    QVERIFY(holder.ok());

    SerialPortService service(mapOf({{5, board.slavePath()}}));
    QCOMPARE(service.scanPorts(), QList<int> {5});
    QCOMPARE(service.check(5).result, OpenResult::PortInUse);
    QCOMPARE(service.openPort(5), OpenResult::PortInUse);
    QVERIFY(!service.isOpen());
    // The busy message can say who it is.
    QVERIFY2(service.lastCheck().holder.contains(shown.arg(holder.pid())),
             qPrintable(service.lastCheck().holder));
    QCOMPARE(board.drain(), QByteArray());
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
    // Terminals, but no serial line: opening the multiplexer would make a new pseudo-terminal,
    // and /dev/tty is whatever terminal started the program.
    QTest::newRow("pty multiplexer") << 4 << "/dev/ptmx" << OpenResult::SettingsRejected;
    QTest::newRow("controlling terminal") << 4 << "/dev/tty" << OpenResult::SettingsRejected;
    QTest::newRow("a folder") << 4 << "/tmp" << OpenResult::SettingsRejected;
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
    const int code = asNobody([&board] {
        SerialPortService service(mapOf({{2, board.slavePath()}}));
        const int code = int(service.openPort(2));
        // Listed all the same: opening it is what tells the user why and what to do.
        return service.scanPorts() == QList<int> {2} ? code : -2;
    });
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
    QCOMPARE(service.bytesAvailable(), 0);
}

void TestSerialPortService::writeWhenClosedDoesNothing()
{
    SerialPortService service(mapOf({}));
    QVERIFY(!service.write(QByteArray("\x01")));
    QCOMPARE(service.bytesAvailable(), 0);
    service.close();
    QVERIFY(!service.isOpen());
}

void TestSerialPortService::foreignLockFiles_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("name"); // under which name of the device the file lies
    QTest::addColumn<bool>("live");
    QTest::addColumn<OpenResult>("code");
    const QString names[] = {QStringLiteral("table"), QStringLiteral("device, Qt style"),
                             QStringLiteral("device, uucp style")};
    for (const QString &format :
         {QStringLiteral("ten digits"), QStringLiteral("Qt"), QStringLiteral("binary")}) {
        for (const QString &name : names) {
            QTest::addRow("%s, %s, live", qPrintable(format), qPrintable(name))
                << format << name << true << OpenResult::PortInUse;
            QTest::addRow("%s, %s, dead", qPrintable(format), qPrintable(name))
                << format << name << false << OpenResult::Ok;
        }
    }
    // Nothing to check a pid against: respected, never guessed stale.
    QTest::newRow("empty, table") << "empty" << names[0] << false << OpenResult::PortInUse;
    QTest::newRow("Qt, other machine, dead here")
        << "Qt, other host" << names[1] << false << OpenResult::PortInUse;
}

void TestSerialPortService::foreignLockFiles()
{
    QFETCH(QString, format);
    QFETCH(QString, name);
    QFETCH(bool, live);
    QFETCH(OpenResult, code);

    PtyBoard board;
    QTemporaryDir devices, locks;
    const QString tableName = devices.filePath(QStringLiteral("ttyUSB2"));
    QVERIFY(QFile::link(board.slavePath(), tableName));
    const QStringList deviceNames = PortGuard::lockFileNames(board.slavePath());
    QCOMPARE(deviceNames.size(), 2); // /dev/pts/N: LCK..pts_N and LCK..N
    const QString fileName = name == QLatin1String("table") ? QStringLiteral("LCK..ttyUSB2")
        : name.endsWith(QLatin1String("Qt style"))          ? deviceNames[0]
                                                            : deviceNames[1];
    const QString lockPath = locks.filePath(fileName);

    OtherProcess other(live);
    QByteArray content;
    if (format == QLatin1String("ten digits")) {
        content = QByteArray::number(other.pid()).rightJustified(10, ' ') + '\n';
    } else if (format.startsWith(QLatin1String("Qt"))) {
        const QByteArray host = format.endsWith(QLatin1String("other host"))
            ? QByteArray("another-machine")
            : QSysInfo::machineHostName().toUtf8();
        content = QByteArray::number(other.pid()) + "\nsleep\n" + host + '\n';
    } else if (format == QLatin1String("binary")) {
        const int pid = other.pid();
        content = QByteArray(reinterpret_cast<const char *>(&pid), sizeof pid);
    }
    {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    SerialPortService service(mapOf({{7, tableName}}));
    service.setLockDirectories({locks.path()});
    QCOMPARE(service.openPort(7), code);
    if (code == OpenResult::PortInUse) {
        // Another program's lock: left exactly as it was, and named in the message.
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), content);
        QCOMPARE(service.lastCheck().lockFile, lockPath);
        if (live)
            QCOMPARE(service.lastCheck().holder, QStringLiteral("sleep (PID %1)").arg(other.pid()));
        QVERIFY(!service.isOpen());
    } else {
        QVERIFY(!QFile::exists(lockPath)); // stale: removed
        QVERIFY(service.isOpen());
    }
}

void TestSerialPortService::staleLockFileOfAnotherUser()
{
    if (::geteuid() != 0)
        QSKIP("needs root to drop to another user in a child process");
    PtyBoard board;
    QVERIFY(::chmod(QFile::encodeName(board.slavePath()).constData(), 0666) == 0);
    QTemporaryDir locks;
    // Like /run/lock: everyone may create files, only their owners may remove them.
    QVERIFY(::chmod(QFile::encodeName(locks.path()).constData(), 01777) == 0);
    OtherProcess ended(false);
    const QString lockPath = locks.filePath(QStringLiteral("LCK..ttyUSB0"));
    {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(ended.pid()).rightJustified(10, ' ') + '\n');
    }
    QTemporaryDir devices;
    const QString tableName = devices.filePath(QStringLiteral("ttyUSB0"));
    QVERIFY(QFile::link(board.slavePath(), tableName));
    QVERIFY(::chmod(QFile::encodeName(devices.path()).constData(), 0755) == 0);

    const int code = asNobody([&] {
        SerialPortService service(mapOf({{5, tableName}}));
        service.setLockDirectories({locks.path()});
        const OpenResult result = service.openPort(5);
        return service.lastCheck().lockFile == lockPath ? int(result) : -3;
    });
    // Not "busy": nobody holds the port, and the remedy must name the file.
    QCOMPARE(OpenResult(code), OpenResult::StaleLockFile);
    QVERIFY(QFile::exists(lockPath));
}

void TestSerialPortService::staleExclusiveFlagAfterKilledHolder()
{
    if (::geteuid() != 0)
        QSKIP("only root may open a device whose exclusive flag is set");
    PtyBoard board;
    PortHolder holder(board.slavePath(), PortHolder::How::Exclusive);
    QVERIFY(holder.ok());
    SerialPortService service(mapOf({{3, board.slavePath()}}));
    QCOMPARE(service.openPort(3), OpenResult::PortInUse);

    holder.release(); // killed: it never cleared the flag
    QVERIFY(exclusiveFlag(board.slavePath()).value_or(true)); // unreadable under emulation
    QCOMPARE(service.openPort(3), OpenResult::Ok);
    QVERIFY(service.write(QByteArray("\x05")));
    QCOMPARE(board.receive(1), QByteArray("\x05"));
}

void TestSerialPortService::killedConsoleDoesNotBlockTheNext()
{
    PtyBoard board;
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    if (child == 0) {
        // A console that is killed with the port open: its lock file, exclusive flag and
        // flock were never given back by its own hand.
        SerialPortService console(mapOf({{4, board.slavePath()}}));
        const char status = console.openPort(4) == OpenResult::Ok ? '1' : '0';
        (void)!::write(ready[1], &status, 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char status = '0';
    QCOMPARE(::read(ready[0], &status, 1), ssize_t(1));
    ::close(ready[0]);
    QCOMPARE(status, '1');

    SerialPortService next(mapOf({{4, board.slavePath()}}));
    QCOMPARE(next.openPort(4), OpenResult::PortInUse);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    if (::geteuid() == 0)
        QVERIFY(exclusiveFlag(board.slavePath()).value_or(true)); // left by the killed one
    QCOMPARE(next.openPort(4), ::geteuid() == 0 ? OpenResult::Ok : OpenResult::PortInUse);
}

void TestSerialPortService::heldPortKeepsItsSettings_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("flock") << "flock";
    QTest::newRow("exclusive tty") << "exclusive";
    QTest::newRow("lock file") << "lock file";
}

void TestSerialPortService::heldPortKeepsItsSettings()
{
    QFETCH(QString, how);
    PtyBoard board;
    // The other program's settings; with EXTPROC set and the master in packet mode, every
    // settings call on the device, even one undone at once, leaves a mark on the master.
    const int watch
        = ::open(QFile::encodeName(board.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(watch >= 0);
    termios before {};
    QVERIFY(::tcgetattr(watch, &before) == 0);
    before.c_lflag |= EXTPROC;
    ::cfsetspeed(&before, B115200);
    QVERIFY(::tcsetattr(watch, TCSANOW, &before) == 0);
    QVERIFY(::tcgetattr(watch, &before) == 0);
    int on = 1;
    QVERIFY(::ioctl(board.masterFd(), TIOCPKT, &on) == 0);
    const auto settingsTouched = [&board] {
        char packet[64];
        bool touched = false;
        ssize_t n;
        while ((n = ::read(board.masterFd(), packet, sizeof packet)) > 0)
            touched = touched || (packet[0] & TIOCPKT_IOCTL);
        return touched;
    };
    settingsTouched(); // what the set-up itself caused

    QTemporaryDir locks;
    std::unique_ptr<PortHolder> holder;
    std::unique_ptr<OtherProcess> other;
    if (how == QLatin1String("lock file")) {
        other = std::make_unique<OtherProcess>(true);
        QFile file(locks.filePath(PortGuard::lockFileNames(board.slavePath()).last()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(other->pid()).rightJustified(10, ' ') + '\n');
    } else {
        holder = std::make_unique<PortHolder>(
            board.slavePath(),
            how == QLatin1String("flock") ? PortHolder::How::Flock : PortHolder::How::Exclusive);
        QVERIFY(holder->ok());
    }

    SerialPortService service(mapOf({{2, board.slavePath()}}));
    service.setLockDirectories({locks.path()});
    QCOMPARE(service.scanPorts(), QList<int> {2});
    QCOMPARE(service.openPort(2), OpenResult::PortInUse);
    QVERIFY2(!settingsTouched(), "the settings of a held port were changed");
    termios after {};
    QVERIFY(::tcgetattr(watch, &after) == 0);
    QCOMPARE(::cfgetospeed(&after), ::cfgetospeed(&before));
    QCOMPARE(after.c_lflag, before.c_lflag);

    // The watch itself works: once free, opening does set the line up.
    holder.reset();
    other.reset();
    if (how == QLatin1String("lock file"))
        QDir(locks.path()).removeRecursively();
    QCOMPARE(service.openPort(2), OpenResult::Ok);
    QVERIFY(settingsTouched());
    ::close(watch);
}

void TestSerialPortService::secondReaderIsNotALostDevice()
{
    PtyBoard board;
    // Another program has the line open too and reads it.
    const int reader
        = ::open(QFile::encodeName(board.slavePath()).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    SerialPortService service(mapOf({{8, board.slavePath()}}));
    QCOMPARE(service.openPort(8), OpenResult::Ok);
    QSignalSpy lineErrors(&service, &SerialPortService::lineError);
    QSignalSpy lost(&service, &SerialPortService::deviceLost);

    // When the other reader takes the bytes between the library's wake-up and its read, the
    // library finds nothing and reports ReadError. Which reader wins is the scheduler's choice,
    // so the report is made here the way the library makes it, with the device still there.
    auto *port = service.findChild<QSerialPort *>();
    QVERIFY(port);
    QVERIFY(QMetaObject::invokeMethod(port, "errorOccurred", Qt::DirectConnection,
                                      Q_ARG(QSerialPort::SerialPortError, QSerialPort::ReadError)));
    QCOMPARE(lineErrors.size(), 1);
    QCOMPARE(lineErrors.first().first().value<QSerialPort::SerialPortError>(),
             QSerialPort::ReadError);
    const int wakeUps = eventLoopWakeUps(std::chrono::milliseconds(300));
    QVERIFY2(wakeUps < 50, qPrintable(QStringLiteral("%1 wake-ups in 0.3 s").arg(wakeUps)));
    QVERIFY(service.isOpen());
    QVERIFY(lost.isEmpty());

    // The line still works: once the other reader is gone, the console gets its bytes.
    ::close(reader);
    QSignalSpy data(&service, &SerialPortService::dataReceived);
    QVERIFY(board.send(QByteArray("\x09")));
    QVERIFY(data.wait(5000));
    QCOMPARE(data.first().first().toByteArray(), QByteArray("\x09"));

    // The same report once the device has hung up is a lost device, told once.
    board.closeMaster();
    QVERIFY(QMetaObject::invokeMethod(port, "errorOccurred", Qt::DirectConnection,
                                      Q_ARG(QSerialPort::SerialPortError, QSerialPort::ReadError)));
    QTRY_COMPARE(lost.size(), 1);
    QVERIFY(!service.isOpen());
}

void TestSerialPortService::whatSitsAtALockPath_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<OpenResult>("code");
    QTest::addColumn<bool>("blocked"); // named as something that is no lock file
    QTest::addColumn<bool>("kept"); // the thing is still there afterwards
    QTest::newRow("fifo") << "fifo" << OpenResult::PortInUse << true << true;
    QTest::newRow("link to a terminal")
        << "link to a terminal" << OpenResult::PortInUse << true << true;
    QTest::newRow("link to a live lock file")
        << "link to a live lock file" << OpenResult::PortInUse << true << true;
    QTest::newRow("directory") << "directory" << OpenResult::PortInUse << true << true;
    QTest::newRow("garbage") << "garbage" << OpenResult::PortInUse << false << true;
    QTest::newRow("empty") << "empty" << OpenResult::PortInUse << false << true;
    QTest::newRow("huge") << "huge" << OpenResult::PortInUse << false << true;
    QTest::newRow("dead pid") << "dead pid" << OpenResult::Ok << false << false;
    QTest::newRow("live pid") << "live pid" << OpenResult::PortInUse << false << true;
    QTest::newRow("reused pid") << "reused pid" << OpenResult::Ok << false << false;
    QTest::newRow("other host") << "other host" << OpenResult::PortInUse << false << true;
}

void TestSerialPortService::whatSitsAtALockPath()
{
    QFETCH(QString, what);
    QFETCH(OpenResult, code);
    QFETCH(bool, blocked);
    QFETCH(bool, kept);
    PtyBoard board, otherTerminal;
    QTemporaryDir locks;
    const QString lockPath = locks.filePath(PortGuard::lockFileNames(board.slavePath()).first());
    const QByteArray native = QFile::encodeName(lockPath);
    OtherProcess live(true), dead(false);
    const auto writeFile = [](const QString &path, const QByteArray &content) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    const QByteArray host = QSysInfo::machineHostName().toUtf8();
    if (what == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(native.constData(), 0644) == 0);
    } else if (what == QLatin1String("link to a terminal")) {
        QVERIFY(QFile::link(otherTerminal.slavePath(), lockPath));
    } else if (what == QLatin1String("link to a live lock file")) {
        const QString real = locks.filePath(QStringLiteral("elsewhere"));
        QVERIFY(writeFile(real, QByteArray::number(live.pid()).rightJustified(10, ' ') + '\n'));
        QVERIFY(QFile::link(real, lockPath));
    } else if (what == QLatin1String("directory")) {
        QVERIFY(QDir().mkdir(lockPath));
    } else if (what == QLatin1String("garbage")) {
        QVERIFY(writeFile(lockPath, "\x1b[2Jnot a pid\n"));
    } else if (what == QLatin1String("empty")) {
        QVERIFY(writeFile(lockPath, {}));
    } else if (what == QLatin1String("huge")) {
        QFile file(lockPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 32)); // sparse, 4 GiB
    } else if (what == QLatin1String("dead pid")) {
        QVERIFY(writeFile(lockPath, QByteArray::number(dead.pid()).rightJustified(10, ' ') + '\n'));
    } else if (what == QLatin1String("live pid")) {
        QVERIFY(writeFile(lockPath, QByteArray::number(live.pid()) + "\nsleep\n" + host + '\n'));
    } else if (what == QLatin1String("reused pid")) {
        // The pid lives, but as another program than the one that wrote the file.
        QVERIFY(writeFile(lockPath, QByteArray::number(live.pid()) + "\nminicom\n" + host + '\n'));
    } else if (what == QLatin1String("other host")) {
        QVERIFY(writeFile(lockPath, QByteArray::number(dead.pid()) + "\nminicom\nelsewhere\n"));
    }

    // In a child, so that a check that hangs fails here instead of holding up the suite.
    const int answer = inChildWithin(std::chrono::seconds(20), [&] {
        SerialPortService service(mapOf({{7, board.slavePath()}}));
        service.setLockDirectories({locks.path()});
        const OpenResult result = service.openPort(7);
        const PortCheck &check = service.lastCheck();
        if (result != OpenResult::Ok && check.lockFile != lockPath)
            return -1;
        return int(result) * 10 + (check.lockPathBlocked ? 1 : 0);
    });
    QVERIFY2(answer != -200, "the check did not answer");
    QCOMPARE(OpenResult(answer / 10), code);
    QCOMPARE(answer % 10 == 1, blocked);
    struct stat st
    {
    };
    QCOMPARE(::lstat(native.constData(), &st) == 0, kept);
    // Nothing reached either line.
    QCOMPARE(otherTerminal.drain(), QByteArray());
    if (code != OpenResult::Ok)
        QCOMPARE(board.drain(), QByteArray());
}

void TestSerialPortService::listingOpensNoDevice()
{
    // Opening a serial device raises its modem lines and closing drops them, which resets many
    // boards: the list of ports is made by looking only.
    PtyBoard free, held;
    PortHolder holder(held.slavePath(), PortHolder::How::Flock);
    QVERIFY(holder.ok());
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("ttyUSB3"));
    QVERIFY(QFile::link(free.slavePath(), link));
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(free.slavePath()).constData(), IN_OPEN)
            >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(held.slavePath()).constData(), IN_OPEN)
            >= 0);
    const auto opened = [watch] {
        char events[4096];
        return ::read(watch, events, sizeof events) > 0;
    };

    SerialPortService service(mapOf({{1, free.slavePath()}, {2, held.slavePath()}, {3, link}}));
    QCOMPARE(service.scanPorts(), (QList<int> {1, 2, 3}));
    QCOMPARE(service.check(1).result, OpenResult::Ok);
    QCOMPARE(service.check(2).result, OpenResult::PortInUse);
    QVERIFY(service.isListable(3));
    // What the list says of each adapter is looked up without opening it too.
    for (const int n : {1, 2, 3})
        QVERIFY(!service.adapterOf(n).device.isEmpty());
    QVERIFY2(!opened(), "listing opened a device");

    // The watch does see an open: the operator's.
    QCOMPARE(service.openPort(1), OpenResult::Ok);
    QVERIFY(opened());
    ::close(watch);
}

void TestSerialPortService::adapterBehindAPort_data()
{
    QTest::addColumn<bool>("usb"); // the node sits under a USB device in the fixture sysfs
    QTest::addColumn<QByteArray>("product"); // as the device reports it
    QTest::addColumn<QString>("shownProduct");
    QTest::addColumn<bool>("byId"); // udev made a link named after it
    QTest::newRow("USB adapter") << true << QByteArray("USB-Serial Bridge\n") << "USB-Serial Bridge"
                                 << true;
    QTest::newRow("USB adapter, no by-id link")
        << true << QByteArray("USB-Serial Bridge\n") << "USB-Serial Bridge" << false;
    QTest::newRow("descriptor with control characters")
        << true << QByteArray("Bri\x1b[2Jdge\t\n") << "Bri\\x1b[2Jdge" << true;
    QTest::newRow("port on the board") << false << QByteArray() << QString() << false;
}

void TestSerialPortService::adapterBehindAPort()
{
    QFETCH(bool, usb);
    QFETCH(QByteArray, product);
    QFETCH(QString, shownProduct);
    QFETCH(bool, byId);
    PtyBoard board;
    const FakeAdapter fake(
        board.slavePath(), product, usb ? "Vantrel\n" : "", usb ? "A7K3Q9\n" : "",
        byId ? QStringLiteral("usb-Vantrel_USB-Serial_Bridge_A7K3Q9-if00-port0") : QString());
    QVERIFY(fake.ok());
    QTemporaryDir dir;
    SerialPortService service(mapOf({{5, board.slavePath()}, {6, dir.filePath("missing")}}));
    service.setSysfsRoot(fake.sysfsRoot());
    service.setByIdDirectory(fake.byIdDirectory());
    const AdapterInfo adapter = service.adapterOf(5);
    QCOMPARE(adapter.device, QFileInfo(board.slavePath()).canonicalFilePath());
    QCOMPARE(adapter.product, shownProduct);
    QCOMPARE(adapter.manufacturer, usb ? QStringLiteral("Vantrel") : QString());
    QCOMPARE(adapter.serialNumber, usb ? QStringLiteral("A7K3Q9") : QString());
    QCOMPARE(adapter.byIdName, fake.byIdPath());
    // Nothing to tell of a device that is not there but its path.
    const AdapterInfo missing = service.adapterOf(6);
    QCOMPARE(missing.device, dir.filePath("missing"));
    QVERIFY(missing.product.isEmpty() && missing.byIdName.isEmpty());
}

void TestSerialPortService::ttySNodeWithoutUart()
{
    // Every PC has /dev/ttyS0..3; sysfs tells whether a UART is behind each (type 0: none).
    PtyBoard board;
    struct stat st
    {
    };
    QVERIFY(::stat(QFile::encodeName(board.slavePath()).constData(), &st) == 0);
    QTemporaryDir sys;
    const QString node
        = QStringLiteral("dev/char/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev));
    QVERIFY(QDir(sys.path()).mkpath(node));
    const auto setType = [&](const QByteArray &type) {
        QFile file(sys.filePath(node + QStringLiteral("/type")));
        return file.open(QIODevice::WriteOnly) && file.write(type) == type.size();
    };
    SerialPortService service(mapOf({{1, board.slavePath()}}));
    service.setSysfsRoot(sys.path());
    QVERIFY(setType("0\n"));
    QCOMPARE(service.scanPorts(), QList<int> {});
    QCOMPARE(service.openPort(1), OpenResult::DeviceMissing);
    QVERIFY(setType("4\n")); // a 16550A
    QCOMPARE(service.scanPorts(), QList<int> {1});
    QCOMPARE(service.openPort(1), OpenResult::Ok);
}

void TestSerialPortService::terminationSignalsReleaseThePort_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
    QTest::newRow("SIGHUP") << SIGHUP;
}

void TestSerialPortService::terminationSignalsReleaseThePort()
{
    QFETCH(int, signalNumber);
    PtyBoard board;
    SerialPortService service(mapOf({{1, board.slavePath()}}));
    QCOMPARE(service.openPort(1), OpenResult::Ok);
    const auto lockFileExists = [&board] {
        const QString name = PortGuard::lockFileNames(board.slavePath()).first();
        for (const QString &dir : PortGuard::defaultLockDirectories()) {
            if (QFile::exists(dir + QLatin1Char('/') + name))
                return true;
        }
        return false;
    };
    QVERIFY(lockFileExists());
    if (::geteuid() == 0)
        QVERIFY(exclusiveFlag(board.slavePath()).value_or(true)); // unreadable under emulation

    TerminationSignals terminations;
    QVERIFY(terminations.isActive());
    QSignalSpy received(&terminations, &TerminationSignals::received);
    connect(&terminations, &TerminationSignals::received, &service, &SerialPortService::close);
    ::raise(signalNumber);
    QTRY_COMPARE(received.size(), 1);
    QCOMPARE(received.first().first().toInt(), signalNumber);
    QVERIFY(!service.isOpen());
    QVERIFY(!lockFileExists());
    if (::geteuid() == 0)
        QVERIFY(!exclusiveFlag(board.slavePath()).value_or(false));
    // The flock went with the descriptor: another program may take the line now.
    PortHolder next(board.slavePath(), PortHolder::How::Flock);
    QVERIFY(next.ok());
}

QTEST_GUILESS_MAIN(TestSerialPortService)
#include "tst_serialportservice.moc"
