#include "mqttfixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loopback port nobody listens on right now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool accepting(const QString &host, int port)
{
    if (host.contains(QLatin1Char(':'))) {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address {};
        address.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, host.toLatin1().constData(), &address.sin6_addr);
        address.sin6_port = htons(quint16(port));
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
    address.sin_port = htons(quint16(port));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

} // namespace

TestBroker::TestBroker(const QList<QPair<QString, QString>> &users)
    : TestBroker([&users] {
        BrokerConfig config;
        config.users = users;
        return config;
    }())
{ }

TestBroker::TestBroker(const BrokerConfig &settings)
    : m_address(settings.address)
{
    const auto &users = settings.users;
    if (!settings.certFile.isEmpty()) {
        m_listener = "cafile " + QFile::encodeName(settings.caFile) + "\ncertfile "
            + QFile::encodeName(settings.certFile) + "\nkeyfile "
            + QFile::encodeName(settings.keyFile) + "\nrequire_certificate "
            + (settings.requireCertificate ? "true" : "false") + "\n";
    }
    QByteArray config = "allow_anonymous " + QByteArray(users.isEmpty() ? "true" : "false")
        + "\npersistence false\n";
    if (::geteuid() == 0)
        config += "user root\n"; // else it drops to "mosquitto", who may not read this folder
    if (!users.isEmpty()) {
        const QString passwords = m_dir.filePath(QStringLiteral("passwords"));
        for (const auto &[user, password] : users) {
            QStringList args {QStringLiteral("-b")};
            if (!QFile::exists(passwords))
                args << QStringLiteral("-c");
            QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              args << passwords << user << password);
        }
        config += "password_file " + QFile::encodeName(passwords) + '\n';
    }
    if (!settings.acl.isEmpty()) {
        const QString acl = m_dir.filePath(QStringLiteral("acl"));
        QFile file(acl);
        if (file.open(QIODevice::WriteOnly))
            file.write(settings.acl);
        config += "acl_file " + QFile::encodeName(acl) + '\n';
    }
    {
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        if (file.open(QIODevice::WriteOnly))
            file.write(config);
    }
    start();
}

TestBroker::~TestBroker()
{
    stop();
}

void TestBroker::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    thaw(); // a stopped process would not see the signal
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool TestBroker::start()
{
    QFile base(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!base.open(QIODevice::ReadOnly))
        return false;
    const QByteArray config = base.readAll();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("broker.log")),
                                    QIODevice::Append);
    // A port taken in between makes the broker exit at once: then another one. A restart keeps
    // the port while it is free, as a restarted broker does.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (m_port == 0 || attempt > 0)
            m_port = freePort();
        QFile run(m_dir.filePath(QStringLiteral("run.conf")));
        if (!run.open(QIODevice::WriteOnly))
            return false;
        run.write("listener " + QByteArray::number(m_port) + ' ' + m_address.toLatin1() + '\n'
                  + m_listener + config);
        run.close();
        m_process.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), run.fileName()});
        if (!m_process.waitForStarted())
            return false;
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (accepting(m_address, m_port))
                return true;
            QTest::qWait(10);
        }
        stop();
    }
    return false;
}

void TestBroker::freeze()
{
    ::kill(pid_t(m_process.processId()), SIGSTOP);
}

void TestBroker::thaw()
{
    ::kill(pid_t(m_process.processId()), SIGCONT);
}

QString TestBroker::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("broker.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TestCertificates::TestCertificates()
{
    for (const QString &ca : {QStringLiteral("ca"), QStringLiteral("other-ca")}) {
        if (!run({QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                  QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                  QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                  QStringLiteral("-keyout"), path(ca + QStringLiteral(".key")),
                  QStringLiteral("-out"), path(ca + QStringLiteral(".crt")),
                  QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                  QStringLiteral("/CN=Test ") + ca, QStringLiteral("-addext"),
                  QStringLiteral("basicConstraints=critical,CA:TRUE")}))
            return;
    }
    m_ok = issue(QStringLiteral("server"), QStringLiteral("DNS:localhost,IP:127.0.0.1,IP:::1"))
        && issue(QStringLiteral("elsewhere"), QStringLiteral("DNS:elsewhere.invalid"))
        && issue(QStringLiteral("client"), QStringLiteral("DNS:relay-mqtt.invalid"));
}

bool TestCertificates::run(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("openssl"), args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        qWarning("openssl %s: %s", qPrintable(args.join(QLatin1Char(' '))),
                 p.readAll().constData());
        return false;
    }
    return true;
}

bool TestCertificates::issue(const QString &name, const QString &subjectAltName)
{
    const QString ext = path(name + QStringLiteral(".ext"));
    {
        QFile file(ext);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write("subjectAltName=" + subjectAltName.toLatin1() + '\n');
    }
    return run({QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                QStringLiteral("-nodes"), QStringLiteral("-keyout"),
                path(name + QStringLiteral(".key")), QStringLiteral("-out"),
                path(name + QStringLiteral(".csr")), QStringLiteral("-subj"),
                QStringLiteral("/CN=") + name})
        && run({QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                path(name + QStringLiteral(".csr")), QStringLiteral("-CA"),
                path(QStringLiteral("ca.crt")), QStringLiteral("-CAkey"),
                path(QStringLiteral("ca.key")), QStringLiteral("-CAcreateserial"),
                QStringLiteral("-out"), path(name + QStringLiteral(".crt")),
                QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-extfile"), ext});
}

TestSubscriber::TestSubscriber(int port, const QString &filter)
{
    // One line per message: retained flag, topic, payload (the payloads here have no newline).
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { readLines(); });
    m_process.start(QStringLiteral("mosquitto_sub"),
                    {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                     QString::number(port), QStringLiteral("-t"), filter, QStringLiteral("-t"),
                     QStringLiteral("test/probe"), QStringLiteral("-F"),
                     QStringLiteral("%r %t %p")});
    if (!m_process.waitForStarted())
        return;
    QDeadlineTimer deadline(20000);
    int probes = 0;
    while (!m_ready && !deadline.hasExpired() && m_process.state() == QProcess::Running) {
        mqttPublish(port, QStringLiteral("test/probe"), QByteArray::number(++probes));
        QTest::qWait(50);
    }
    if (!m_ready)
        qWarning("mosquitto_sub on port %d did not get ready: %s", port,
                 m_process.readAllStandardError().constData());
}

TestSubscriber::~TestSubscriber()
{
    m_process.kill();
    m_process.waitForFinished();
}

void TestSubscriber::readLines()
{
    m_partial += m_process.readAllStandardOutput();
    int end;
    while ((end = int(m_partial.indexOf('\n'))) >= 0) {
        const QByteArray line = m_partial.left(end);
        m_partial.remove(0, end + 1);
        const int first = int(line.indexOf(' '));
        const int second = int(line.indexOf(' ', first + 1));
        if (first < 0)
            continue;
        MqttMessage m;
        m.retained = line.left(first) == "1";
        m.topic = QString::fromUtf8(second < 0 ? line.mid(first + 1)
                                               : line.mid(first + 1, second - first - 1));
        m.payload = second < 0 ? QByteArray() : line.mid(second + 1);
        if (m.topic == QLatin1String("test/probe"))
            m_ready = true;
        else
            m_messages.append(m);
    }
}

QList<MqttMessage> TestSubscriber::messages()
{
    QTest::qWait(0);
    return m_messages;
}

std::optional<MqttMessage>
TestSubscriber::waitFor(const std::function<bool(const MqttMessage &)> &match, int from, int msecs)
{
    QDeadlineTimer deadline(msecs);
    int seen = from;
    for (;;) {
        for (; seen < m_messages.size(); ++seen) {
            if (match(m_messages[seen]))
                return m_messages[seen];
        }
        if (deadline.hasExpired())
            return std::nullopt;
        QTest::qWait(5);
    }
}

std::optional<MqttMessage> TestSubscriber::waitForTopic(const QString &topic, int from, int msecs)
{
    return waitFor([&](const MqttMessage &m) { return m.topic == topic; }, from, msecs);
}

bool mqttPublish(int port, const QString &topic, const QByteArray &payload,
                 const QStringList &extra)
{
    QProcess p;
    p.start(QStringLiteral("mosquitto_pub"),
            QStringList {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                         QString::number(port), QStringLiteral("-t"), topic, QStringLiteral("-s")}
                + extra);
    if (!p.waitForStarted())
        return false;
    p.write(payload);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitCode() == 0;
}

BridgeProcess::BridgeProcess(const QString &program, const QStringList &args)
{
    QObject::connect(&m_process, &QProcess::readyReadStandardError,
                     [this] { m_log += QString::fromLocal8Bit(m_process.readAllStandardError()); });
    m_process.start(program, args);
    m_process.waitForStarted();
}

BridgeProcess::~BridgeProcess()
{
    // Its own end, so that no lock file is left for the next test; a hang is killed.
    if (pid() > 0)
        ::kill(pid(), SIGCONT); // a test may have stopped it
    m_process.terminate();
    if (!m_process.waitForFinished(10000)) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

QString BridgeProcess::log()
{
    QTest::qWait(0);
    return m_log;
}

bool BridgeProcess::waitForLog(const QString &text, int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (!m_log.contains(text) && !deadline.hasExpired())
        QTest::qWait(5);
    return m_log.contains(text);
}

int BridgeProcess::waitExit(int msecs)
{
    QDeadlineTimer deadline(msecs);
    while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(5);
    if (m_process.state() != QProcess::NotRunning)
        return -1;
    m_log += QString::fromLocal8Bit(m_process.readAllStandardError());
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -2;
}
