#include "brokeroptions.h"

#include <QFile>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "outsidetext.h"

namespace {

bool validPort(const QString &text, int *port)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    // Digits only: toInt() takes a sign and surrounding blanks.
    if (!ok || value < 1 || value > 65535 || text.isEmpty() || !text.front().isDigit()
        || !text.back().isDigit())
        return false;
    *port = value;
    return true;
}

bool validHost(const QString &host)
{
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QChar c : host) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
            || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-')
            || c == QLatin1Char('.') || c == QLatin1Char('_');
        if (!plain)
            return false;
    }
    return true;
}

bool isIpv6(const QString &text)
{
    in6_addr address {};
    return ::inet_pton(AF_INET6, text.toLatin1().constData(), &address) == 1;
}

// Opens a file given on the command line without blocking on a fifo or a device, and says what
// is wrong with it when it is not a regular readable file.
int openRegular(const QString &path, const QString &what, QString *error, struct stat *info)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error
            = QStringLiteral("cannot read the %1 %2: %3")
                  .arg(what, escapeOutsideText(path), QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
        ::close(fd);
        *error
            = QStringLiteral("the %1 %2 is not a regular file").arg(what, escapeOutsideText(path));
        return -1;
    }
    return fd;
}

QString sslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unusable");
    const char *reason = ERR_reason_error_string(code);
    return reason ? QString::fromUtf8(reason) : QStringLiteral("unusable");
}

} // namespace

std::optional<BrokerAddress> parseBrokerAddress(const QString &text)
{
    BrokerAddress address;
    QString rest = text;
    const bool schemed = rest.contains(QLatin1String("://"));
    if (rest.startsWith(QLatin1String("mqtts://"))) {
        address.tls = true;
        rest = rest.mid(8);
    } else if (rest.startsWith(QLatin1String("mqtt://"))) {
        address.plainAsked = true;
        rest = rest.mid(7);
    } else if (schemed) {
        return std::nullopt;
    }
    if (rest.endsWith(QLatin1Char('/'))) // mqtt://host/ as URLs are often written
        rest.chop(1);
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = int(rest.indexOf(QLatin1Char(']')));
        if (close < 0 || !isIpv6(rest.mid(1, close - 1)))
            return std::nullopt;
        address.host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        if (after.isEmpty())
            return address;
        if (!after.startsWith(QLatin1Char(':')) || !validPort(after.mid(1), &address.port))
            return std::nullopt;
        return address;
    }
    if (rest.count(QLatin1Char(':')) > 1) {
        // A bare IPv6 address; with a scheme it must be in brackets, where a port can follow.
        if (schemed || !isIpv6(rest))
            return std::nullopt;
        address.host = rest;
        return address;
    }
    const int colon = int(rest.indexOf(QLatin1Char(':')));
    address.host = colon < 0 ? rest : rest.left(colon);
    if (!validHost(address.host))
        return std::nullopt;
    if (colon >= 0 && !validPort(rest.mid(colon + 1), &address.port))
        return std::nullopt;
    return address;
}

QString brokerText(const QString &host, int port)
{
    return host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]:%2").arg(host).arg(port)
                                           : QStringLiteral("%1:%2").arg(host).arg(port);
}

bool readPasswordFile(const QString &path, QString *password, QString *error, QString *warning)
{
    struct stat info
    {
    };
    const int fd = openRegular(path, QStringLiteral("password file"), error, &info);
    if (fd < 0)
        return false;
    QByteArray text(4096, Qt::Uninitialized);
    const ssize_t got = ::read(fd, text.data(), text.size());
    const int readError = errno;
    ::close(fd);
    if (got < 0) {
        *error
            = QStringLiteral("cannot read the password file %1: %2")
                  .arg(escapeOutsideText(path), QString::fromLocal8Bit(std::strerror(readError)));
        return false;
    }
    text.truncate(int(got));
    const int end = int(text.indexOf('\n'));
    if (end >= 0)
        text.truncate(end);
    if (text.endsWith('\r'))
        text.chop(1);
    if (text.isEmpty()) {
        *error = QStringLiteral("the password file %1 is empty").arg(escapeOutsideText(path));
        return false;
    }
    *password = QString::fromUtf8(text);
    if (info.st_mode & S_IROTH)
        *warning = QStringLiteral("warning: every user may read the password file %1; "
                                  "chmod o-r %1")
                       .arg(escapeOutsideText(path));
    return true;
}

QString tlsFilesProblem(const QString &caFile, const QString &certFile, const QString &keyFile)
{
    const struct
    {
        const QString &path;
        QString what;
    } files[] = {{caFile, QStringLiteral("CA file")},
                 {certFile, QStringLiteral("certificate file")},
                 {keyFile, QStringLiteral("key file")}};
    for (const auto &file : files) {
        if (file.path.isEmpty())
            continue;
        QString error;
        struct stat info
        {
        };
        const int fd = openRegular(file.path, file.what, &error, &info);
        if (fd < 0)
            return error;
        ::close(fd);
    }
    // The same loading the library does when it connects, on a context of our own.
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    if (!context)
        return QStringLiteral("TLS cannot be set up: %1").arg(sslReason());
    // A pass phrase would be asked for on the terminal: no answer makes the key unusable.
    SSL_CTX_set_default_passwd_cb(context, [](char *, int, int, void *) { return 0; });
    QString problem;
    const QByteArray ca = QFile::encodeName(caFile);
    const QByteArray cert = QFile::encodeName(certFile);
    const QByteArray key = QFile::encodeName(keyFile);
    if (!caFile.isEmpty() && SSL_CTX_load_verify_locations(context, ca.constData(), nullptr) != 1)
        problem = QStringLiteral("the CA file %1 holds no usable certificate: %2")
                      .arg(escapeOutsideText(caFile), sslReason());
    // The key before the certificate: the other way round, a key of another certificate is
    // refused as unusable, without saying that it is only the wrong one.
    else if (!keyFile.isEmpty()
             && SSL_CTX_use_PrivateKey_file(context, key.constData(), SSL_FILETYPE_PEM) != 1)
        problem = QStringLiteral("the key file %1 holds no usable private key (one with a pass "
                                 "phrase cannot be used): %2")
                      .arg(escapeOutsideText(keyFile), sslReason());
    else if (!certFile.isEmpty()
             && SSL_CTX_use_certificate_chain_file(context, cert.constData()) != 1)
        problem = QStringLiteral("the certificate file %1 holds no usable certificate: %2")
                      .arg(escapeOutsideText(certFile), sslReason());
    else if (!certFile.isEmpty() && !keyFile.isEmpty() && SSL_CTX_check_private_key(context) != 1)
        problem = QStringLiteral("the key file %1 does not belong to the certificate %2")
                      .arg(escapeOutsideText(keyFile), escapeOutsideText(certFile));
    ERR_clear_error();
    SSL_CTX_free(context);
    return problem;
}
