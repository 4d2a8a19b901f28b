#pragma once

#include <QString>

#include "boardlink.h"
#include "brokerboards.h"

// A board that a bridge owns, reached through the broker: commands go out as requests, the
// bridge's reply and key topics come back as the board's bytes. The board going offline, or
// the broker connection ending, is the device going away.
class BrokerLink : public BoardLink
{
    Q_OBJECT
public:
    enum class OpenResult { Ok, NoBroker, Unknown, Offline };
    // How long the bridge may take to say that it wrote a command.
    static constexpr int answerMs = 3000;

    explicit BrokerLink(BrokerBoards &boards, QObject *parent = nullptr);
    ~BrokerLink() override;

    OpenResult open(const QString &id);
    QString boardId() const { return m_id; }

    bool isOpen() const override { return m_open; }
    bool isLost() const override { return m_lost; }
    bool write(const QByteArray &bytes) override;
    void close() override;

    static WriteFailure writeFailure(BoardRequest::Failure failure);
    // A key event of the bridge ({"event_type":"short","bytes":["0x00",...]}) as the board
    // sent it: marker and four bytes; empty for anything else.
    static QByteArray keyReportBytes(const QByteArray &json);

private:
    void lose();
    void message(const QString &topic, const QByteArray &payload, bool retained);

    BrokerBoards &m_boards;
    QString m_id;
    bool m_open = false;
    bool m_lost = false;
    QList<quint64> m_requests; // written, the bridge has not answered yet
};
