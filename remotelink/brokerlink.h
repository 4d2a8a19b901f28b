#pragma once

#include <QString>

#include "boardlink.h"
#include "brokerboards.h"

// A board that a bridge owns, reached through the broker: commands go out as requests, the
// board's byte stream comes back as the board sent it. The board going offline, or the
// broker connection ending, is the device going away.
//
// Opening takes a round trip: the link is open once the broker acknowledged the subscription
// to the byte stream (so nothing the board says right after is lost) and the bridge answered
// a probe (so that requests reach it and its answers come back: a path between brokers that
// does not carry them is found before any command is sent).
class BrokerLink : public BoardLink
{
    Q_OBJECT
public:
    enum class OpenResult {
        Pending, // opened() or openFailed() follows
        NoBroker,
        Unknown,
        Offline,
        NoAnswer, // the bridge did not answer the probe (only through openFailed)
    };
    // How long the bridge may take, by default, to answer the probe or to say that it wrote a
    // command.
    static constexpr int bridgeAnswerMs = 3000;

    explicit BrokerLink(BrokerBoards &boards, QObject *parent = nullptr);
    ~BrokerLink() override;

    // `answerWithinMs`: how long the bridge may take to answer the probe and each write. A write
    // not answered in time is not carried out later (writeFailed, NoAnswer).
    OpenResult open(const QString &id, int answerWithinMs = bridgeAnswerMs);
    QString boardId() const { return m_id; }
    bool isOpening() const { return m_opening; }

    bool isOpen() const override { return m_open; }
    bool isLost() const override { return m_lost; }
    bool write(const QByteArray &bytes) override;
    void close() override;

    static WriteFailure writeFailure(BoardContract::Failure failure);
    // The bridge's words for the last write it did not carry out; empty when it gave none.
    QString lastRefusal() const { return m_lastRefusal; }

signals:
    void opened();
    // The bridge wrote the bytes of a write() to the board's line.
    void written();
    // `reason`: the bridge's words, for Offline.
    void openFailed(BrokerLink::OpenResult result, const QString &reason);

private:
    void lose();
    void openStepDone();
    void message(const BrokerMessage &message);

    BrokerBoards &m_boards;
    QString m_id;
    QString m_bytesTopic;
    int m_answerWithinMs = bridgeAnswerMs;
    QString m_lastRefusal;
    bool m_opening = false;
    bool m_subscribed = false; // while opening
    quint64 m_probe = 0; // while opening, until answered
    bool m_open = false;
    bool m_lost = false;
    QList<quint64> m_requests; // written, the bridge has not answered yet
};
