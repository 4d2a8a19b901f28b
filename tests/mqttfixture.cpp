#include "mqttfixture.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
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
    config += settings.tail;
    {
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        if (file.open(QIODevice::WriteOnly))
            file.write(config);
    }
    start();
}

QByteArray bridgeTo(int port, const QByteArray &protocol)
{
    return "connection site\naddress 127.0.0.1:" + QByteArray::number(port)
        + "\ntopic # both 0\nbridge_protocol_version " + protocol
        + "\nrestart_timeout 1\ncleansession true\n";
}

struct Mqtt311Gate::Private
{
    QTcpServer server;
};

Mqtt311Gate::Mqtt311Gate(int upstream)
    : d(std::make_unique<Private>())
{
    d->server.listen(QHostAddress::LocalHost);
    QObject::connect(&d->server, &QTcpServer::newConnection, [this, upstream] {
        while (QTcpSocket *client = d->server.nextPendingConnection()) {
            struct Pipe
            {
                QByteArray early; // from the client, before the broker's end is connected
                bool decided = false;
            };
            auto pipe = std::make_shared<Pipe>();
            auto *broker = new QTcpSocket(client);
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            QObject::connect(broker, &QTcpSocket::disconnected, client,
                             &QTcpSocket::disconnectFromHost);
            QObject::connect(broker, &QTcpSocket::readyRead,
                             [client, broker] { client->write(broker->readAll()); });
            QObject::connect(broker, &QTcpSocket::connected, [broker, pipe] {
                broker->write(pipe->early);
                pipe->early.clear();
            });
            QObject::connect(client, &QTcpSocket::readyRead,
                             [this, client, broker, pipe, upstream] {
                                 const QByteArray in = client->readAll();
                                 if (broker->state() == QAbstractSocket::ConnectedState) {
                                     broker->write(in);
                                     return;
                                 }
                                 pipe->early += in;
                                 if (pipe->decided)
                                     return;
                                 // The CONNECT: fixed header, remaining length, "\0\4MQTT", the
                                 // level.
                                 int at = 1;
                                 while (at < pipe->early.size() && (quint8(pipe->early[at]) & 0x80))
                                     ++at;
                                 const int level = at + 7;
                                 if (pipe->early.size() <= level)
                                     return;
                                 pipe->decided = true;
                                 if (pipe->early[level] == 5) {
                                     ++m_refused;
                                     client->write(QByteArray("\x20\x03\x00\x84\x00", 5));
                                     client->disconnectFromHost();
                                     return;
                                 }
                                 broker->connectToHost(QHostAddress::LocalHost, quint16(upstream));
                             });
        }
    });
}

Mqtt311Gate::~Mqtt311Gate() = default;

int Mqtt311Gate::port() const
{
    return d->server.serverPort();
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

TestEjabberd::TestEjabberd()
{
    if (::geteuid() != 0 && qEnvironmentVariable("USER") != QLatin1String("ejabberd")) {
        m_error = QStringLiteral("ejabberdctl runs a node only for root or the user ejabberd");
        m_unavailable = true;
        return;
    }
    m_port = freePort();
    const QByteArray yaml = "hosts:\n  - localhost\nloglevel: warning\ncertfiles: []\n"
                            "listen:\n  -\n    port: "
        + QByteArray::number(m_port)
        + "\n    ip: \"127.0.0.1\"\n    module: mod_mqtt\n    backlog: 1000\n"
          "auth_method: [anonymous]\nanonymous_protocol: login_anon\n"
          "allow_multiple_connections: true\n"
          "access_rules:\n  mqtt_all:\n    allow: all\n"
          "modules:\n  mod_mqtt:\n    max_queue: unlimited\n"
          // 1000 by default: the retained messages beyond it are not sent on a subscription.
          "    match_retained_limit: infinity\n"
          "    access_subscribe:\n      \"#\": mqtt_all\n"
          "    access_publish:\n      \"#\": mqtt_all\n";
    const QByteArray ctl = "ERLANG_NODE=" + nodeName()
        + "\nINET_DIST_INTERFACE=127.0.0.1\nERL_EPMD_ADDRESS=127.0.0.1\n";
    const auto write = [this](const QString &name, const QByteArray &text) {
        QFile f(m_dir.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
    };
    QDir(m_dir.path()).mkpath(QStringLiteral("logs"));
    QDir(m_dir.path()).mkpath(QStringLiteral("spool"));
    if (!write(QStringLiteral("ejabberd.yml"), yaml)
        || !write(QStringLiteral("ejabberdctl.cfg"), ctl) || !write(QStringLiteral("inetrc"), {})) {
        m_error = QStringLiteral("cannot write its configuration");
        return;
    }
    if (::geteuid() == 0) {
        // ejabberdctl runs the node as ejabberd: the folder is handed over for the run.
        if (QProcess::execute(QStringLiteral("chown"),
                              {QStringLiteral("-R"), QStringLiteral("ejabberd"), m_dir.path()})
            != 0) {
            m_error = QStringLiteral("cannot hand its folder to the user ejabberd (is the "
                                     "package installed? tools/setup installs it)");
            return;
        }
    }
    // Its own process group: the node runs under su, a grandchild, and ends with the group.
    m_process.setChildProcessModifier([] { ::setpgid(0, 0); });
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir.filePath(QStringLiteral("out.log")));
    m_process.start(QStringLiteral("ejabberdctl"),
                    {QStringLiteral("--config-dir"), m_dir.path(), QStringLiteral("--config"),
                     m_dir.filePath(QStringLiteral("ejabberd.yml")), QStringLiteral("--ctl-config"),
                     m_dir.filePath(QStringLiteral("ejabberdctl.cfg")), QStringLiteral("--logs"),
                     m_dir.filePath(QStringLiteral("logs")), QStringLiteral("--spool"),
                     m_dir.filePath(QStringLiteral("spool")), QStringLiteral("foreground")});
    if (!m_process.waitForStarted()) {
        m_error = QStringLiteral("ejabberdctl does not start: %1 (tools/setup installs the "
                                 "package ejabberd)")
                      .arg(m_process.errorString());
        return;
    }
    QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (accepting(QStringLiteral("127.0.0.1"), m_port))
            return;
        QTest::qWait(50);
    }
    QFile out(m_dir.filePath(QStringLiteral("out.log")));
    m_error = QStringLiteral("ejabberd did not come up: ")
        + QString::fromUtf8(out.open(QIODevice::ReadOnly) ? out.readAll().right(2000) : "");
}

namespace {

// The processes whose command line names this Erlang node ("-sname NODE"), of this user or of
// the user ejabberd: the node runs under su in a session of its own, out of reach of a signal
// to the script's process group.
QList<pid_t> nodeProcesses(const QByteArray &node)
{
    QList<pid_t> pids;
    const uid_t ejabberd = [] {
        struct stat st
        {
        };
        return ::stat("/var/lib/ejabberd", &st) == 0 ? st.st_uid : uid_t(-1);
    }();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool ok = false;
        const pid_t pid = pid_t(entry.toInt(&ok));
        if (!ok)
            continue;
        struct stat st
        {
        };
        const QByteArray dir = "/proc/" + entry.toLatin1();
        if (::stat(dir.constData(), &st) != 0
            || (st.st_uid != ::geteuid() && st.st_uid != ejabberd))
            continue;
        QFile cmdline(QString::fromLatin1(dir + "/cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        if (cmdline.read(64 * 1024).split('\0').contains(node))
            pids << pid;
    }
    return pids;
}

} // namespace

TestEjabberd::~TestEjabberd()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    const pid_t group = pid_t(m_process.processId());
    ::kill(-group, SIGTERM);
    // The node itself, wherever su put it: asked to end, then made to.
    const QByteArray node = nodeName();
    for (const pid_t pid : nodeProcesses(node))
        ::kill(pid, SIGTERM);
    QDeadlineTimer deadline(20000);
    while (!nodeProcesses(node).isEmpty() && !deadline.hasExpired())
        QTest::qWait(50);
    for (const pid_t pid : nodeProcesses(node))
        ::kill(pid, SIGKILL);
    if (!m_process.waitForFinished(20000)) {
        ::kill(-group, SIGKILL);
        m_process.waitForFinished();
    }
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
