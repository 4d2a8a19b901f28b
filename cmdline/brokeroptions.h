#pragma once

#include <QString>

#include <optional>

// How the programs name a broker and the files that go with it.

struct BrokerAddress
{
    QString host;
    int port = 0; // 0: the default, 1883, or 8883 with TLS
    bool tls = false; // mqtts://
    bool plainAsked = false; // mqtt://
};

// HOST, HOST:PORT, [IPV6]:PORT, [IPV6], a bare IPv6 address, mqtt://HOST[:PORT] and
// mqtts://HOST[:PORT] (TLS); an IPv6 address after a scheme goes in brackets. Nothing when the
// text is none of these.
std::optional<BrokerAddress> parseBrokerAddress(const QString &text);

// "host:1883", "[::1]:1883": how log lines name the broker.
QString brokerText(const QString &host, int port);

// The password in the first line of a file (without its line end). The file must be a regular
// file: a fifo would block the start, a device would give anything at all. `warning` is set
// when every user of the machine may read it. False with `error` naming the file and why.
bool readPasswordFile(const QString &path, QString *password, QString *error, QString *warning);

// Whether the CA, certificate and key files can be used, before any connection is tried: each
// a regular readable file, the CA file with at least one certificate, the key without a pass
// phrase (it would be asked for on a terminal) and belonging to the certificate. Empty when
// they can; otherwise one line naming the file and the reason.
QString tlsFilesProblem(const QString &caFile, const QString &certFile, const QString &keyFile);
