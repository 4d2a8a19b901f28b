#include "brokerlink.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "mqttclient.h"

BrokerLink::BrokerLink(BrokerBoards &boards, QObject *parent)
    : BoardLink(parent)
    , m_boards(boards)
{
    connect(&m_boards, &BrokerBoards::boardsChanged, this, [this] {
        if (!m_open)
            return;
        const auto board = m_boards.board(m_id);
        if (!board || !board->online)
            lose();
    });
    connect(&m_boards.client(), &MqttClient::stateChanged, this, [this](MqttClient::State state) {
        if (m_open && state != MqttClient::State::Connected)
            lose();
    });
    connect(&m_boards.client(), &MqttClient::messageReceived, this, &BrokerLink::message);
    connect(&m_boards, &BrokerBoards::answered, this,
            [this](quint64 token, const BoardRequest::Answer &answer) {
                if (!m_requests.removeOne(token) || answer.written)
                    return;
                emit writeFailed(writeFailure(answer.failure));
            });
    connect(&m_boards, &BrokerBoards::unanswered, this, [this](quint64 token) {
        if (m_requests.removeOne(token))
            emit writeFailed(WriteFailure::NoAnswer);
    });
}

BrokerLink::~BrokerLink()
{
    close();
}

BrokerLink::OpenResult BrokerLink::open(const QString &id)
{
    close();
    if (!m_boards.client().isConnected() || !m_boards.isSynced())
        return OpenResult::NoBroker;
    const auto board = m_boards.board(id);
    if (!board)
        return OpenResult::Unknown;
    if (!board->online)
        return OpenResult::Offline;
    m_id = id;
    m_boards.client().subscribe(BoardRequest::boardTopic(id, "reply"));
    m_boards.client().subscribe(BoardRequest::boardTopic(id, "key"));
    m_open = true;
    m_lost = false;
    return OpenResult::Ok;
}

void BrokerLink::close()
{
    for (const quint64 token : std::as_const(m_requests))
        m_boards.forget(token);
    m_requests.clear();
    if (!m_open)
        return;
    m_open = false;
    m_boards.client().unsubscribe(BoardRequest::boardTopic(m_id, "reply"));
    m_boards.client().unsubscribe(BoardRequest::boardTopic(m_id, "key"));
}

void BrokerLink::lose()
{
    close();
    m_lost = true;
    emit deviceLost();
}

bool BrokerLink::write(const QByteArray &bytes)
{
    if (!m_open)
        return false;
    const quint64 token = m_boards.request(m_id, bytes, 0, answerMs);
    if (token == 0)
        return false;
    m_requests << token;
    return true;
}

BoardLink::WriteFailure BrokerLink::writeFailure(BoardRequest::Failure failure)
{
    switch (failure) {
    case BoardRequest::Failure::Offline:
        return WriteFailure::Offline;
    case BoardRequest::Failure::Busy:
        return WriteFailure::Busy;
    case BoardRequest::Failure::LineFailed:
        return WriteFailure::Line;
    case BoardRequest::Failure::Expired:
        return WriteFailure::NoAnswer;
    case BoardRequest::Failure::None:
    case BoardRequest::Failure::Refused:
        break;
    }
    return WriteFailure::Refused;
}

QByteArray BrokerLink::keyReportBytes(const QByteArray &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    const QString kind = o.value(QStringLiteral("event_type")).toString();
    const QJsonArray texts = o.value(QStringLiteral("bytes")).toArray();
    if ((kind != QLatin1String("short") && kind != QLatin1String("long")) || texts.size() != 4)
        return {};
    QByteArray bytes(1, kind == QLatin1String("long") ? 'L' : 'S');
    for (const QJsonValue &text : texts) {
        const auto b = BoardRequest::parseCommandText(text.toString().toLatin1());
        if (!b || b->size() != 1)
            return {};
        bytes += *b;
    }
    return bytes;
}

void BrokerLink::message(const QString &topic, const QByteArray &payload, bool retained)
{
    if (!m_open || retained || payload.size() > 200)
        return;
    if (topic == BoardRequest::boardTopic(m_id, "reply")) {
        const auto bytes = BoardRequest::parseCommandText(payload);
        if (bytes && bytes->size() == 1)
            emit dataReceived(*bytes);
    } else if (topic == BoardRequest::boardTopic(m_id, "key")) {
        const QByteArray bytes = keyReportBytes(payload);
        if (!bytes.isEmpty())
            emit dataReceived(bytes);
    }
}
