#pragma once

#include <QByteArray>
#include <QString>

// Where a client connects and as whom: plain values, which the command line fills in and the
// client takes, so that neither has to know the other.
struct MqttSettings
{
    QString host = QStringLiteral("localhost");
    int port = 1883;
    QString clientId;
    QString username;
    QString password; // read from a file by the caller; never logged
    // TLS: the broker's certificate is checked against `caFile`, or against the system's CA
    // store when it is empty; `certFile` and `keyFile` are this client's own, when the broker
    // asks for one.
    bool tls = false;
    QString caFile;
    QString certFile;
    QString keyFile;
    QString willTopic; // published by the broker when this client vanishes
    QByteArray willPayload;
    int keepAliveSeconds = 10;
};
