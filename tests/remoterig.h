#pragma once

// What the suites of bridged boards share: a client of the broker as the console and relayctl
// have one, relayctl run as a program, and the board's line read around the bridge's own
// questions.
#include <QDeadlineTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <optional>

#include "brokerboards.h"
#include "mqttclient.h"
#include "relayctlrun.h"

// A client of the broker as the console and relayctl have one: the boards it knows, and
// requests to them.
struct Remote
{
    MqttClient client;
    BrokerBoards boards;

    // `user`: a user name and password to log in with (a broker that wants one, any one).
    explicit Remote(int port, const QString &id = QStringLiteral("tester"),
                    const QString &user = {})
        : boards(client, id)
    {
        MqttSettings settings;
        settings.host = QStringLiteral("127.0.0.1");
        settings.port = port;
        settings.clientId = id;
        settings.username = user;
        settings.password = user.isEmpty() ? QString() : QStringLiteral("secret");
        QString error;
        started = client.start(settings, &error);
    }
    // Checked at the call site.
    [[nodiscard]] bool waitSynced()
    {
        QDeadlineTimer deadline(20000);
        while (!(started && boards.isSynced()) && !deadline.hasExpired())
            QTest::qWait(5);
        return started && boards.isSynced();
    }
    bool online(const QString &id) const
    {
        const auto b = boards.board(id);
        return b && b->online && b->state;
    }
    bool started = false;
};

// The line without read-state questions. The bridge asks one of its own when the line falls
// quiet after every command, at a time of its own: where a test looks at the commands, it
// leaves them all out.
inline QByteArray withoutStateQuestions(QByteArray wire)
{
    wire.removeIf([](char c) { return c == '\x30'; });
    return wire;
}

// What reached the line before a marker command (CH4 off) published now: everything that a
// message published before it by the same client wrote, since the bridge takes them in order.
inline std::optional<QByteArray> lineBeforeMarker(QByteArray &wire, Remote &remote,
                                                  const QString &id)
{
    const qsizetype from = wire.size();
    if (!remote.client.publish(QStringLiteral("relayboard/%1/command").arg(id), "0x28", false))
        return std::nullopt;
    QDeadlineTimer deadline(10000);
    while (wire.indexOf('\x28', from) < 0 && !deadline.hasExpired())
        QTest::qWait(5);
    const qsizetype at = wire.indexOf('\x28', from);
    if (at < 0)
        return std::nullopt;
    return wire.left(at);
}

// The board is online with its state published. That state follows the bridge's last question
// at start (one asked again when the broker connection came while none was open): nothing of
// its own is on its way to the line any more.
#define WAIT_READY(remote, rig, id) \
    do { \
        QVERIFY((remote).waitSynced()); \
        QTRY_VERIFY2_WITH_TIMEOUT((remote).online(id), qPrintable((rig).bridge->log()), 20000); \
        QVERIFY((rig).wire.endsWith('\x30')); \
        (rig).wire.clear(); \
    } while (false)
