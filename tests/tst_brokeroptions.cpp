#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "brokeroptions.h"
#include "mqttfixture.h"

// How relay-mqtt reads the broker's address and the files that go with it, before it connects.
class TestBrokerOptions : public QObject
{
    Q_OBJECT
private slots:
    void addresses_data();
    void addresses();
    void passwordFiles_data();
    void passwordFiles();
    void tlsFiles_data();
    void tlsFiles();
};

void TestBrokerOptions::addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port"); // 0: the default
    QTest::addColumn<bool>("tls");
    QTest::newRow("host") << "mqtt.lan" << true << "mqtt.lan" << 0 << false;
    QTest::newRow("host and port") << "mqtt.lan:1884" << true << "mqtt.lan" << 1884 << false;
    QTest::newRow("IPv4 and port") << "127.0.0.1:1883" << true << "127.0.0.1" << 1883 << false;
    QTest::newRow("IPv6 in brackets with port") << "[::1]:1883" << true << "::1" << 1883 << false;
    QTest::newRow("IPv6 in brackets") << "[fe80::1]" << true << "fe80::1" << 0 << false;
    QTest::newRow("bare IPv6") << "::1" << true << "::1" << 0 << false;
    QTest::newRow("bare IPv6, long")
        << "2001:db8::8:800:200c:417a" << true << "2001:db8::8:800:200c:417a" << 0 << false;
    QTest::newRow("mqtt scheme") << "mqtt://broker" << true << "broker" << 0 << false;
    QTest::newRow("mqtt scheme, port, slash")
        << "mqtt://broker:1884/" << true << "broker" << 1884 << false;
    QTest::newRow("mqtts scheme") << "mqtts://broker" << true << "broker" << 0 << true;
    QTest::newRow("mqtts scheme, IPv6 and port")
        << "mqtts://[::1]:8884" << true << "::1" << 8884 << true;
    QTest::newRow("empty") << "" << false << "" << 0 << false;
    QTest::newRow("port only") << ":1883" << false << "" << 0 << false;
    QTest::newRow("port 0") << "broker:0" << false << "" << 0 << false;
    QTest::newRow("port 65536") << "broker:65536" << false << "" << 0 << false;
    QTest::newRow("port with a sign") << "broker:+1883" << false << "" << 0 << false;
    QTest::newRow("port with a space") << "broker: 1883" << false << "" << 0 << false;
    QTest::newRow("empty port") << "broker:" << false << "" << 0 << false;
    QTest::newRow("other scheme") << "http://broker" << false << "" << 0 << false;
    QTest::newRow("ws scheme") << "ws://broker:9001" << false << "" << 0 << false;
    QTest::newRow("IPv6 without brackets after a scheme")
        << "mqtt://::1" << false << "" << 0 << false;
    QTest::newRow("unclosed bracket") << "[::1:1883" << false << "" << 0 << false;
    QTest::newRow("IPv4 in brackets") << "[127.0.0.1]:1883" << false << "" << 0 << false;
    QTest::newRow("a path") << "mqtt://broker/topic" << false << "" << 0 << false;
    QTest::newRow("user in the address") << "mqtt://me@broker" << false << "" << 0 << false;
    QTest::newRow("escape sequence") << "\x1b[2Jbroker" << false << "" << 0 << false;
    QTest::newRow("not an IPv6 address") << "a:b:c" << false << "" << 0 << false;
}

void TestBrokerOptions::addresses()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    const auto address = parseBrokerAddress(text);
    QCOMPARE(address.has_value(), valid);
    if (!valid)
        return;
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(bool, tls);
    QCOMPARE(address->host, host);
    QCOMPARE(address->port, port);
    QCOMPARE(address->tls, tls);
}

void TestBrokerOptions::passwordFiles_data()
{
    QTest::addColumn<QString>("kind"); // what stands at the path
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("password"); // empty: refused
    QTest::addColumn<QString>("said"); // part of the error, or of the warning
    QTest::newRow("first line") << "file" << QByteArray("s3cret\nnext\n") << 0600 << "s3cret"
                                << "";
    QTest::newRow("line end of another system")
        << "file" << QByteArray("s3cret\r\n") << 0600 << "s3cret"
        << "";
    QTest::newRow("no line end") << "file" << QByteArray("s3cret") << 0600 << "s3cret"
                                 << "";
    QTest::newRow("group may read") << "file" << QByteArray("s3cret\n") << 0640 << "s3cret"
                                    << "";
    QTest::newRow("everybody may read") << "file" << QByteArray("s3cret\n") << 0644 << "s3cret"
                                        << "every user may read";
    QTest::newRow("empty") << "file" << QByteArray() << 0600 << ""
                           << "is empty";
    QTest::newRow("empty first line") << "file" << QByteArray("\ns3cret\n") << 0600 << ""
                                      << "is empty";
    QTest::newRow("missing") << "missing" << QByteArray() << 0 << ""
                             << "No such file";
    QTest::newRow("a fifo, which would block") << "fifo" << QByteArray() << 0 << ""
                                               << "not a regular file";
    QTest::newRow("a device") << "/dev/zero" << QByteArray() << 0 << ""
                              << "not a regular file";
    QTest::newRow("a folder") << "folder" << QByteArray() << 0 << ""
                              << "not a regular file";
}

void TestBrokerOptions::passwordFiles()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, content);
    QFETCH(int, mode);
    QFETCH(QString, password);
    QFETCH(QString, said);
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("password"));
    if (kind == QLatin1String("file")) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        QVERIFY(::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    } else if (kind == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("password")));
    } else if (kind.startsWith(QLatin1Char('/'))) {
        path = kind;
    }
    QString got, error, warning;
    const bool ok = readPasswordFile(path, &got, &error, &warning);
    QCOMPARE(ok, !password.isEmpty());
    if (ok) {
        QCOMPARE(got, password);
        QCOMPARE(warning.isEmpty(), said.isEmpty());
        QVERIFY2(warning.contains(said), qPrintable(warning));
        QVERIFY(!warning.contains(password));
    } else {
        QVERIFY2(error.contains(said), qPrintable(error));
        QVERIFY2(error.contains(path), qPrintable(error)); // names the file
    }
}

void TestBrokerOptions::tlsFiles_data()
{
    QTest::addColumn<QString>("ca");
    QTest::addColumn<QString>("cert");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("named"); // the file the problem names; empty: no problem
    QTest::addColumn<QString>("said");
    QTest::newRow("CA only") << "ca.crt"
                             << ""
                             << ""
                             << ""
                             << "";
    QTest::newRow("CA, certificate and its key") << "ca.crt"
                                                 << "client.crt"
                                                 << "client.key"
                                                 << ""
                                                 << "";
    QTest::newRow("system CAs, a certificate and its key") << ""
                                                           << "client.crt"
                                                           << "client.key"
                                                           << ""
                                                           << "";
    QTest::newRow("junk CA file") << "junk"
                                  << ""
                                  << ""
                                  << "junk"
                                  << "no usable certificate";
    QTest::newRow("a key as the CA file") << "ca.key"
                                          << ""
                                          << ""
                                          << "ca.key"
                                          << "no usable certificate";
    QTest::newRow("missing CA file") << "nothing-here"
                                     << ""
                                     << ""
                                     << "nothing-here"
                                     << "cannot read";
    QTest::newRow("CA file is a fifo") << "fifo"
                                       << ""
                                       << ""
                                       << "fifo"
                                       << "not a regular file";
    QTest::newRow("junk certificate") << "ca.crt"
                                      << "junk"
                                      << "client.key"
                                      << "junk"
                                      << "no usable certificate";
    QTest::newRow("junk key") << "ca.crt"
                              << "client.crt"
                              << "junk"
                              << "junk"
                              << "no usable private key";
    QTest::newRow("key of another certificate") << "ca.crt"
                                                << "client.crt"
                                                << "server.key"
                                                << "server.key"
                                                << "does not belong";
    QTest::newRow("key with a pass phrase") << "ca.crt"
                                            << "client.crt"
                                            << "locked.key"
                                            << "locked.key"
                                            << "pass phrase";
}

void TestBrokerOptions::tlsFiles()
{
    QFETCH(QString, ca);
    QFETCH(QString, cert);
    QFETCH(QString, key);
    QFETCH(QString, named);
    QFETCH(QString, said);
    static TestCertificates certificates;
    QVERIFY(certificates.ok());
    const QString junk = certificates.path(QStringLiteral("junk"));
    if (!QFile::exists(junk)) {
        QFile file(junk);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n");
        file.close();
        QVERIFY(
            ::mkfifo(QFile::encodeName(certificates.path(QStringLiteral("fifo"))).constData(), 0600)
            == 0);
        QCOMPARE(QProcess::execute(QStringLiteral("openssl"),
                                   {QStringLiteral("pkey"), QStringLiteral("-in"),
                                    certificates.path(QStringLiteral("client.key")),
                                    QStringLiteral("-aes256"), QStringLiteral("-passout"),
                                    QStringLiteral("pass:phrase"), QStringLiteral("-out"),
                                    certificates.path(QStringLiteral("locked.key"))}),
                 0);
    }
    const auto at
        = [&](const QString &name) { return name.isEmpty() ? QString() : certificates.path(name); };
    const QString problem = tlsFilesProblem(at(ca), at(cert), at(key));
    QCOMPARE(problem.isEmpty(), named.isEmpty());
    if (!named.isEmpty()) {
        QVERIFY2(problem.contains(certificates.path(named)), qPrintable(problem));
        QVERIFY2(problem.contains(said), qPrintable(problem));
    }
}

QTEST_GUILESS_MAIN(TestBrokerOptions)
#include "tst_brokeroptions.moc"
