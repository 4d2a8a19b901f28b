#include "brokerlink.h"

#include "mqttclient.h"

BrokerLink::BrokerLink(BrokerBoards &boards, QObject *parent)
    : BoardLink(parent)
    , m_boards(boards)
{
    connect(&m_boards, &BrokerBoards::boardsChanged, this, [this] {
        if (!m_open && !m_opening)
            return;
        const auto board = m_boards.board(m_id);
        if (board && board->online)
            return;
        if (m_open)
            return lose();
        close();
        emit openFailed(board ? OpenResult::Offline : OpenResult::Unknown, {});
    });
    connect(&m_boards.client(), &MqttClient::stateChanged, this, [this](MqttClient::State state) {
        if (state == MqttClient::State::Connected)
            return;
        if (m_open)
            return lose();
        if (m_opening) {
            close();
            emit openFailed(OpenResult::NoBroker, {});
        }
    });
    connect(&m_boards.client(), &MqttClient::subscribed, this, [this](const QString &pattern) {
        if (!m_opening || pattern != m_bytesTopic)
            return;
        m_subscribed = true;
        openStepDone();
    });
    connect(&m_boards.client(), &MqttClient::messageArrived, this, &BrokerLink::message);
    connect(&m_boards, &BrokerBoards::answered, this,
            [this](quint64 token, const BoardContract::Answer &answer) {
                if (m_opening && token == m_probe) {
                    m_probe = 0;
                    if (answer.probe && answer.failure == BoardContract::Failure::None)
                        return openStepDone();
                    close();
                    emit openFailed(answer.failure == BoardContract::Failure::Offline
                                        ? OpenResult::Offline
                                        : OpenResult::NoAnswer,
                                    answer.reason);
                    return;
                }
                if (!m_requests.removeOne(token))
                    return;
                if (answer.written)
                    return emit written();
                m_lastRefusal = answer.reason;
                emit writeFailed(writeFailure(answer.failure));
            });
    connect(&m_boards, &BrokerBoards::unanswered, this, [this](quint64 token) {
        if (m_opening && token == m_probe) {
            m_probe = 0;
            close();
            emit openFailed(OpenResult::NoAnswer, {});
            return;
        }
        if (!m_requests.removeOne(token))
            return;
        m_lastRefusal.clear();
        emit writeFailed(WriteFailure::NoAnswer);
    });
}

BrokerLink::~BrokerLink()
{
    close();
}

BrokerLink::OpenResult BrokerLink::open(const QString &id, int answerWithinMs)
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
    m_answerWithinMs = answerWithinMs;
    m_bytesTopic = BoardContract::topic(id, BoardContract::Leaf::Bytes);
    m_lost = false;
    m_subscribed = false;
    m_probe = m_boards.probe(id, answerWithinMs);
    if (m_probe == 0 || !m_boards.client().subscribe(m_bytesTopic)) {
        close();
        return OpenResult::NoBroker;
    }
    m_opening = true;
    return OpenResult::Pending;
}

void BrokerLink::openStepDone()
{
    if (!m_opening || !m_subscribed || m_probe != 0)
        return;
    m_opening = false;
    m_open = true;
    emit opened();
}

void BrokerLink::close()
{
    for (const quint64 token : std::as_const(m_requests))
        m_boards.forget(token);
    m_requests.clear();
    if (m_probe != 0)
        m_boards.forget(m_probe);
    m_probe = 0;
    if (!m_open && !m_opening)
        return;
    m_open = false;
    m_opening = false;
    m_boards.client().unsubscribe(m_bytesTopic);
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
    const quint64 token = m_boards.request(m_id, bytes, 0, m_answerWithinMs);
    if (token == 0)
        return false;
    m_requests << token;
    return true;
}

BoardLink::WriteFailure BrokerLink::writeFailure(BoardContract::Failure failure)
{
    switch (failure) {
    case BoardContract::Failure::Offline:
        return WriteFailure::Offline;
    case BoardContract::Failure::Busy:
        return WriteFailure::Busy;
    case BoardContract::Failure::LineFailed:
        return WriteFailure::Line;
    case BoardContract::Failure::Expired:
        return WriteFailure::NoAnswer;
    case BoardContract::Failure::None:
    case BoardContract::Failure::Refused:
        break;
    }
    return WriteFailure::Refused;
}

void BrokerLink::message(const BrokerMessage &message)
{
    // Bytes that came before the link was open belong to nobody here.
    if (!m_open || message.retained || message.topic != m_bytesTopic
        || message.payload.size() > BoardContract::maxStreamBytes * 5)
        return;
    const auto bytes = BoardContract::parseBytesText(message.payload);
    if (bytes && !bytes->isEmpty())
        emit dataReceived(*bytes);
}
