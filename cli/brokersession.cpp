#include "brokersession.h"

#include <QTimer>

#include "brokeroptions.h"
#include "brokertext.h"
#include "outsidetext.h"
#include "terminationsignals.h"

namespace {

// How long the broker may take to take the connection and hand over what it knows.
constexpr int connectMs = 5000;

} // namespace

BrokerSession::BrokerSession(const MqttSettings &settings, const QString &board, int timeoutMs,
                             bool watching, TerminationSignals &terminations,
                             std::function<void(const QString &)> say)
    : m_settings(settings)
    , m_board(board)
    , m_timeoutMs(timeoutMs)
    , m_brokerName(brokerText(settings.host, settings.port))
    , m_watching(watching)
    , m_say(std::move(say))
    , m_clientId(BrokerBoards::randomClientId(QStringLiteral("relayctl-")))
    , m_boards(m_client, m_clientId)
    , m_link(m_boards)
{
    m_settings.clientId = m_clientId;
    if (!m_board.isEmpty())
        m_boards.followOnly(m_board);
    watchClient();
    QObject::connect(&terminations, &TerminationSignals::received, [this] {
        // Between the steps (while the board's bytes are listened to) the listener handles it.
        if (!m_inStep)
            return;
        // watch ends as it should; a command may or may not have reached the board.
        if (m_watching)
            end(ExitStatus::Done);
        else
            end(ExitStatus::BridgeSilent,
                QStringLiteral("%1: interrupted before the bridge answered").arg(boardName()));
    });
    QObject::connect(&m_link, &BrokerLink::writeFailed,
                     [this](BoardLink::WriteFailure failure) { writeFailed(failure); });
}

BrokerSession::~BrokerSession()
{
    m_link.close();
}

QString BrokerSession::boardName() const
{
    return QStringLiteral("board %1").arg(m_board);
}

QString BrokerSession::offlineText()
{
    return QStringLiteral("went offline: its relay-mqtt lost the port or ended; check it on that "
                          "machine");
}

void BrokerSession::watchClient()
{
    QObject::connect(&m_client, &MqttClient::refused, [this](int, const QString &reason) {
        end(ExitStatus::BrokerRefused,
            brokerRefusedLine(m_brokerName, m_settings.username, reason)
                + QStringLiteral("; check the credentials"));
    });
    QObject::connect(&m_client, &MqttClient::connectionFailed,
                     [this](const MqttClient::Failure &failure, int, bool wasConnected) {
                         end(ExitStatus::BrokerUnreachable,
                             brokerFailureLine(m_brokerName, failure, wasConnected));
                     });
    // An access list that keeps this user from a topic it needs.
    const auto denied = [this](const QString &what) {
        return [this, what](const QString &topic, const QString &reason) {
            end(ExitStatus::BrokerRefused,
                QStringLiteral("the broker %1 %2: %3; check its access list")
                    .arg(m_brokerName, what.arg(escapeOutsideText(topic)), reason));
        };
    };
    QObject::connect(&m_client, &MqttClient::publishDenied,
                     denied(QStringLiteral("does not take %1 from this user")));
    QObject::connect(&m_client, &MqttClient::subscriptionDenied,
                     denied(QStringLiteral("does not let this user read %1")));
}

void BrokerSession::end(ExitStatus status, const QString &text)
{
    if (m_status)
        return;
    m_status = status;
    if (!text.isEmpty())
        m_say(text);
    m_loop.quit();
}

std::optional<ExitStatus> BrokerSession::fail(ExitStatus status, const QString &text)
{
    end(status, text);
    return m_status;
}

void BrokerSession::runUntil(const std::function<bool()> &done)
{
    m_inStep = true;
    while (!m_status && !done())
        m_loop.exec();
    m_inStep = false;
}

std::optional<ExitStatus> BrokerSession::connect()
{
    if (m_status)
        return m_status;
    QString error;
    if (!m_client.start(m_settings, &error))
        return fail(ExitStatus::BrokerUnreachable, brokerStartFailedLine(m_brokerName, error));
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout,
                     [this] { end(ExitStatus::BrokerUnreachable, connectTimeoutText(connectMs)); });
    QObject::connect(&m_boards, &BrokerBoards::synced, &m_loop, &QEventLoop::quit);
    limit.start(connectMs);
    runUntil([this] { return m_boards.isSynced(); });
    return m_status;
}

QString BrokerSession::connectTimeoutText(int ms) const
{
    const int seconds = ms / 1000;
    if (m_boards.isWaitingForMarker())
        return QStringLiteral("the broker %1 did not hand back this client's own message on %2 "
                              "within %3 s: its access list must let every client write to "
                              "relayclient/%c/# (see the example in the README)")
            .arg(m_brokerName, m_boards.syncTopic())
            .arg(seconds);
    if (m_client.isWaitingForConnack()) {
        MqttClient::Failure noConnack;
        noConnack.kind = MqttClient::FailureKind::NoConnack;
        noConnack.seconds = seconds;
        return brokerFailureLine(m_brokerName, noConnack, false)
            + QStringLiteral("; check the address");
    }
    if (m_client.isConnected())
        return QStringLiteral("the broker %1 did not acknowledge the subscriptions within %2 s; "
                              "check that it is not overloaded")
            .arg(m_brokerName)
            .arg(seconds);
    return QStringLiteral("the broker %1 did not answer within %2 s; check the address and that "
                          "it runs")
        .arg(m_brokerName)
        .arg(seconds);
}

std::optional<ExitStatus> BrokerSession::findBoard()
{
    if (m_status)
        return m_status;
    const auto known = m_boards.board(m_board);
    if (!known)
        return fail(ExitStatus::BoardAway,
                    QStringLiteral("%1 is not known to the broker %2: no relay-mqtt announced it "
                                   "there; check the ID (relayctl --broker ADDRESS boards lists "
                                   "them)")
                        .arg(boardName(), m_brokerName));
    if (!known->online)
        return fail(ExitStatus::BoardAway,
                    QStringLiteral("%1 is offline: its relay-mqtt has no port open or has ended; "
                                   "check it and the adapter on that machine")
                        .arg(boardName()));
    return std::nullopt;
}

QString BrokerSession::unheardText() const
{
    return QStringLiteral("%1: its relay-mqtt did not answer a probe within %2 ms: it is stopped "
                          "or overloaded, older than this relayctl, or the brokers between here "
                          "and there do not carry relayclient/# both ways; nothing was sent")
        .arg(boardName())
        .arg(m_timeoutMs);
}

std::optional<ExitStatus> BrokerSession::openLink()
{
    if (m_status)
        return m_status;
    QMetaObject::Connection failed = QObject::connect(
        &m_link, &BrokerLink::openFailed,
        [this](BrokerLink::OpenResult result, const QString &reason) {
            switch (result) {
            case BrokerLink::OpenResult::NoAnswer:
                return end(ExitStatus::BridgeSilent, unheardText());
            case BrokerLink::OpenResult::NoBroker:
                return end(ExitStatus::BrokerUnreachable,
                           QStringLiteral("lost the broker %1").arg(m_brokerName));
            case BrokerLink::OpenResult::Offline:
                if (!reason.isEmpty())
                    return end(ExitStatus::BoardAway,
                               QStringLiteral("%1 is offline: %2; check the adapter on the "
                                              "bridge's machine")
                                   .arg(boardName(), escapeOutsideText(reason)));
                break;
            case BrokerLink::OpenResult::Unknown:
            case BrokerLink::OpenResult::Pending:
                break;
            }
            end(ExitStatus::BoardAway, QStringLiteral("%1 %2").arg(boardName(), offlineText()));
        });
    QMetaObject::Connection opened
        = QObject::connect(&m_link, &BrokerLink::opened, &m_loop, &QEventLoop::quit);
    if (m_link.open(m_board, m_timeoutMs) != BrokerLink::OpenResult::Pending)
        end(ExitStatus::BoardAway, QStringLiteral("%1 %2").arg(boardName(), offlineText()));
    runUntil([this] { return m_link.isOpen(); });
    QObject::disconnect(failed);
    QObject::disconnect(opened);
    return m_status;
}

std::optional<ExitStatus> BrokerSession::send(const QByteArray &bytes)
{
    if (m_status)
        return m_status;
    if (!m_link.write(bytes))
        return fail(
            ExitStatus::BrokerUnreachable,
            QStringLiteral("lost the broker %1 before the command went out").arg(m_brokerName));
    bool written = false;
    QMetaObject::Connection heard = QObject::connect(&m_link, &BrokerLink::written, [&] {
        written = true;
        m_loop.quit();
    });
    runUntil([&] { return written; });
    QObject::disconnect(heard);
    return m_status;
}

void BrokerSession::writeFailed(BoardLink::WriteFailure failure)
{
    const QString reason = escapeOutsideText(m_link.lastRefusal());
    switch (failure) {
    case BoardLink::WriteFailure::Offline:
        return end(ExitStatus::BoardAway,
                   QStringLiteral("%1 is offline: %2; check the adapter on the bridge's machine")
                       .arg(boardName(), reason));
    case BoardLink::WriteFailure::NoAnswer:
        if (!reason.isEmpty()) // the bridge saw it only after it expired
            return end(ExitStatus::BridgeSilent, QStringLiteral("%1: %2").arg(boardName(), reason));
        return end(ExitStatus::BridgeSilent,
                   QStringLiteral("%1: its relay-mqtt did not answer within %2 ms (stopped, or "
                                  "overloaded); the command expires without being carried out; "
                                  "check relay-mqtt on that machine")
                       .arg(boardName())
                       .arg(m_timeoutMs));
    case BoardLink::WriteFailure::Line:
    case BoardLink::WriteFailure::Stalled:
    case BoardLink::WriteFailure::Refused:
    case BoardLink::WriteFailure::Busy:
        break;
    }
    end(ExitStatus::OpenError,
        QStringLiteral("%1: the bridge did not write the command: %2").arg(boardName(), reason));
}
