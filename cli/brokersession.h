#pragma once

#include <QEventLoop>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

#include "brokerboards.h"
#include "brokerlink.h"
#include "exitstatus.h"
#include "mqttclient.h"

class TerminationSignals;

// relayctl's way to a board that a bridge owns, in the steps a command takes through the
// broker: connect (the connection made and the broker's boards taken in whole), findBoard (it
// is known and online), openLink (its byte stream subscribed and its bridge answering a
// probe), send (the bridge says it wrote the command). After them the board's bytes come over
// link() as they come from a local port. Nothing is published before the board is known to be
// online and its bridge to answer, and a command the bridge sees after relayctl gave up on it
// is not carried out.
//
// Each step runs the event loop until it is done. A step that fails has said why (one line,
// through `say`) and returns the status to end with; every later step then fails at once.
class BrokerSession
{
public:
    // `watching`: the command only listens (watch), and a termination signal is its end.
    BrokerSession(const MqttSettings &settings, const QString &board, int timeoutMs, bool watching,
                  TerminationSignals &terminations, std::function<void(const QString &)> say);
    ~BrokerSession();

    std::optional<ExitStatus> connect();
    QList<RemoteBoard> boards() const { return m_boards.boards(); }
    std::optional<ExitStatus> findBoard();
    std::optional<ExitStatus> openLink();
    std::optional<ExitStatus> send(const QByteArray &bytes);

    BrokerLink &link() { return m_link; }
    // "board bench", as the messages name it.
    QString boardName() const;
    // What relayctl says when the board goes away while it listens.
    static QString offlineText();

private:
    void watchClient();
    std::optional<ExitStatus> fail(ExitStatus status, const QString &text);
    void end(ExitStatus status, const QString &text = {});
    void runUntil(const std::function<bool()> &done);
    QString connectTimeoutText(int connectMs) const;
    QString unheardText() const;
    void writeFailed(BoardLink::WriteFailure failure);

    MqttSettings m_settings;
    QString m_board;
    int m_timeoutMs;
    QString m_brokerName;
    bool m_watching;
    std::function<void(const QString &)> m_say;
    QString m_clientId;
    MqttClient m_client;
    BrokerBoards m_boards;
    BrokerLink m_link;
    QEventLoop m_loop;
    std::optional<ExitStatus> m_status; // the first failure, or Done for an interrupted watch
    bool m_inStep = false; // a termination signal now ends the step
};
