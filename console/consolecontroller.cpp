#include "consolecontroller.h"

#include "openresulttext.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "boardcontract.h"
#include "brokerboards.h"
#include "brokerlink.h"
#include "brokertext.h"
#include "delaynumber.h"
#include "hexbytetext.h"
#include "kernelfile.h"
#include "mqttclient.h"
#include "outsidetext.h"
#include "relaystate.h"

ConsoleController::ConsoleController(ComPorts::PortMap portMap, QObject *parent)
    : QObject(parent)
    , m_serial(portMap)
    , m_watcher(portMap)
{
    connectLink(m_serial);
    connect(&m_watcher, &PortWatcher::portsChanged, this, &ConsoleController::portsChanged);
    connect(&m_chaser, &RelayChaser::runningChanged, this, &ConsoleController::testRunningChanged);
    connect(&m_chaser, &RelayChaser::runningChanged, this,
            [this] { emit controlAccessChanged(controlAccess()); });
    connect(&m_chaser, &RelayChaser::labelShown, this, &ConsoleController::testStepShown);
}

ConsoleController::~ConsoleController() = default;

void ConsoleController::connectLink(BoardLink &link)
{
    // Every kind of link is handled alike; only a failed write is worded for where it failed
    // (this machine's port, or the bridge's on another), see showWriteFailure().
    connect(&link, &BoardLink::dataReceived, this, &ConsoleController::handleData);
    connect(&link, &BoardLink::writeFailed, this,
            [this](BoardLink::WriteFailure failure, int systemError) {
                // A step of the chaser that cannot be written stops it: said once, not a
                // message (or a retry) every second.
                if (m_chaser.isRunning())
                    m_chaser.stop();
                showWriteFailure(failure, systemError);
            });
    connect(&link, &BoardLink::deviceLost, this, &ConsoleController::handleDeviceLost);
}

void ConsoleController::remoteEntries(QStringList *ids, QStringList *texts) const
{
    ids->clear();
    texts->clear();
    if (!m_boards)
        return;
    for (const RemoteBoard &board : m_boards->boards()) {
        *ids << board.id;
        *texts << remoteBoardText(m_brokerName, board.online, board.state);
    }
}

void ConsoleController::setBroker(BrokerBoards *boards, const QString &brokerName)
{
    if (m_boards || !boards)
        return;
    m_boards = boards;
    m_brokerName = brokerName;
    m_brokerLink = new BrokerLink(*boards, this);
    connectLink(*m_brokerLink);
    connect(m_brokerLink, &BrokerLink::opened, this, [this] {
        m_link = m_brokerLink;
        m_chaser.setLink(*m_brokerLink);
        setPortState(PortState::Opened);
    });
    connect(m_brokerLink, &BrokerLink::openFailed, this,
            [this](BrokerLink::OpenResult result, const QString &) {
                boardOpenFailed(m_brokerLink->boardId(), result);
            });
    connect(m_boards, &BrokerBoards::boardsChanged, this, &ConsoleController::boardsChanged);
    // Said once for each new reason. A board open through the broker says it as a lost port.
    MqttClient &client = boards->client();
    // One message an outage: the client says each new reason, and an outage often has two
    // (the connection lost, then the attempts refused).
    connect(&client, &MqttClient::connected, this, [this] { m_brokerWarned = false; });
    connect(&client, &MqttClient::connectionFailed, this,
            [this](const MqttClient::Failure &failure, int, bool wasConnected) {
                if (m_portState != PortState::Closed || m_brokerWarned)
                    return;
                m_brokerWarned = true;
                emit messageRequested(brokerFailureMessage(m_brokerName, failure, wasConnected),
                                      MessageIcon::Warning, Field::None);
            });
    connect(&client, &MqttClient::refused, this, [this](int, const QString &reason) {
        emit messageRequested(brokerRefusedMessage(m_brokerName, reason), MessageIcon::Warning,
                              Field::None);
    });
}

void ConsoleController::start()
{
    m_ports = m_serial.scanPorts();
    m_portIndex = -1;
    remoteEntries(&m_remoteBoards, &m_remoteTexts);
    listPorts();
    emit delayModeChanged(delayMode());
    setPortState(PortState::Closed);
}

ControlAccess ConsoleController::controlAccess() const
{
    if (m_chaser.isRunning())
        return {};
    switch (m_portState) {
    case PortState::Closed:
        return {.portList = true, .openButton = true};
    case PortState::Opened:
        return {.operationList = true, .channels = true, .sendButton = true};
    case PortState::Reopen:
        return {.operationList = true, .channels = true, .openButton = true};
    }
    return {};
}

void ConsoleController::setPortState(PortState state)
{
    m_portState = state;
    m_stateAwaited = false; // a reopened line answers nothing sent before
    emit portStateChanged(state);
    emit controlAccessChanged(controlAccess());
    refreshPreview();
}

void ConsoleController::refreshPreview()
{
    const CommandPreview preview = m_encoder.compose(m_selection);
    const bool second = preview.secondField == CommandPreview::SecondField::Shown;
    emit previewChanged(preview.firstByteText, second ? preview.secondByteText : QString());
}

void ConsoleController::choosePort(int index)
{
    m_portIndex = index >= 0 && index < m_ports.size() + m_remoteBoards.size() ? index : -1;
}

void ConsoleController::listPorts()
{
    QStringList entries, adapters;
    for (const int n : std::as_const(m_ports)) {
        entries << ComPorts::entryText(n);
        adapters << adapterText(m_serial.adapterOf(n));
    }
    entries << m_remoteBoards;
    adapters << m_remoteTexts;
    emit portsListed(entries, m_portIndex, adapters);
}

QString ConsoleController::remoteBoardText(const QString &brokerName, bool online,
                                           std::optional<std::uint8_t> state)
{
    QStringList lines;
    lines << tr("经代理服务器 %1 连接（relay-mqtt 桥接的开发板）").arg(brokerName);
    lines << (online ? tr("状态：在线") : tr("状态：离线（它的 relay-mqtt 没有打开串口）"));
    lines << (state ? tr("继电器：%1").arg(RelayState::energisedText(*state))
                    : tr("继电器：状态未知"));
    return lines.join(QLatin1Char('\n'));
}

void ConsoleController::relist(const QList<int> &ports, const QStringList &boards,
                               bool changedAnyway)
{
    const int comCount = int(m_ports.size());
    const int selectedCom = m_portIndex >= 0 && m_portIndex < comCount ? m_ports[m_portIndex] : 0;
    const QString selectedBoard
        = m_portIndex >= comCount ? m_remoteBoards.value(m_portIndex - comCount) : QString();
    if (ports == m_ports && boards == m_remoteBoards && !changedAnyway)
        return;
    m_ports = ports;
    m_remoteBoards = boards;
    if (selectedCom)
        m_portIndex = int(m_ports.indexOf(selectedCom));
    else if (!selectedBoard.isEmpty() && m_remoteBoards.contains(selectedBoard))
        m_portIndex = int(m_ports.size() + m_remoteBoards.indexOf(selectedBoard));
    else
        m_portIndex = -1;
    listPorts();
}

void ConsoleController::boardsChanged()
{
    if (!m_boards)
        return;
    QStringList ids, texts;
    remoteEntries(&ids, &texts);
    if (m_portState == PortState::Closed) {
        const bool textsChanged = texts != m_remoteTexts;
        m_remoteTexts = texts;
        relist(m_ports, ids, textsChanged);
        return;
    }
    // Like the ports, the entries stay as they are while a port is open or reopening; what
    // each says of its board follows the broker all the same (a board gone from it is offline
    // with its state unknown).
    QStringList kept;
    for (const QString &id : std::as_const(m_remoteBoards)) {
        const qsizetype at = ids.indexOf(id);
        kept << (at >= 0 ? texts[at] : remoteBoardText(m_brokerName, false, std::nullopt));
    }
    if (kept == m_remoteTexts)
        return;
    m_remoteTexts = kept;
    listPorts();
}

QString ConsoleController::adapterText(const AdapterInfo &adapter)
{
    QStringList lines;
    if (!adapter.product.isEmpty())
        lines << tr("适配器：%1").arg(adapter.product);
    if (!adapter.manufacturer.isEmpty())
        lines << tr("制造商：%1").arg(adapter.manufacturer);
    if (!adapter.serialNumber.isEmpty())
        lines << tr("序列号：%1").arg(adapter.serialNumber);
    lines << tr("设备：%1").arg(adapter.device);
    if (!adapter.byIdName.isEmpty())
        lines << tr("固定名称：%1").arg(adapter.byIdName);
    return lines.join(QLatin1Char('\n'));
}

void ConsoleController::portsChanged(const QList<int> &appeared, const QList<int> &gone)
{
    // The list is only in use while no port is open; an open or reopening port keeps its entry.
    if (m_portState != PortState::Closed)
        return;
    QList<int> ports;
    for (const int n : std::as_const(m_ports)) {
        if (!gone.contains(n))
            ports << n;
    }
    for (const int n : appeared) {
        // Only a device that just appeared is looked at.
        if (!ports.contains(n) && m_serial.isListable(n))
            ports << n;
    }
    std::sort(ports.begin(), ports.end());
    // An entry already listed that "appeared" leads to another device now: its adapter text
    // changes even though the list does not.
    const bool retargeted = std::any_of(appeared.begin(), appeared.end(),
                                        [this](int n) { return m_ports.contains(n); });
    relist(ports, m_remoteBoards, retargeted);
}

void ConsoleController::handleDeviceLost()
{
    // Said at once, not at the next send: the chaser stops and the window offers to reopen.
    if (m_chaser.isRunning())
        m_chaser.stop();
    if (m_portState != PortState::Opened)
        return;
    setPortState(PortState::Reopen);
    emit messageRequested(tr("串口未被正常打开。"), MessageIcon::Warning, Field::None);
}

void ConsoleController::chooseOperation(int index)
{
    if (index < 0 || index > delayOperation)
        return;
    m_selection.operation = static_cast<RelayOperation>(index);
    emit delayModeChanged(delayMode());
    refreshPreview();
}

void ConsoleController::setChannel(int channel, bool on)
{
    if (channel < 0 || channel >= int(m_selection.channelFlags.size()))
        return;
    m_selection.channelFlags[channel] = on ? 1 : 0;
    refreshPreview();
}

void ConsoleController::chooseDelayChannel(int channel)
{
    if (channel < 0 || channel >= RelayState::channels)
        return;
    m_selection.delayChannel = channel;
    refreshPreview();
}

void ConsoleController::setDelayText(const QString &text)
{
    if (text == m_selection.delayText)
        return;
    m_selection.delayText = text;
    refreshPreview();
}

void ConsoleController::openPort()
{
    if (m_brokerLink && m_brokerLink->isOpening())
        m_brokerLink->close(); // a board still opening is given up for this choice
    if (m_portIndex < 0) {
        emit messageRequested(tr("请选择串口。"), MessageIcon::Information, Field::PortList);
        return;
    }
    if (m_portIndex >= m_ports.size()) {
        openBoard(m_remoteBoards[m_portIndex - m_ports.size()]);
        return;
    }
    const int n = m_ports[m_portIndex];
    const OpenResult result = m_serial.openPort(n);
    if (result == OpenResult::Ok) {
        m_link = &m_serial;
        m_chaser.setLink(m_serial);
        setPortState(PortState::Opened);
        return;
    }
    QString text = openFailureMessage(result, m_serial.lastCheck(), m_serial.deviceOf(n),
                                      m_boards != nullptr);
    if (const QString id = bridgedBoard(m_serial.lastCheck()); !id.isEmpty())
        text += tr("\n它在端口列表中的名称：%1").arg(id);
    emit messageRequested(text, MessageIcon::Warning, Field::None);
}

QString ConsoleController::bridgedBoard(const PortCheck &check) const
{
    // The holder as the port check wrote it: "relay-mqtt (PID 4242)". The bridge's arguments
    // say its board's ID; it is named only when the broker knows a board of that ID.
    if (!m_boards || check.result != OpenResult::PortInUse)
        return {};
    static const QRegularExpression bridge(QStringLiteral("^relay-mqtt \\(PID (\\d+)\\)$"));
    for (const QString &holder : check.holder.split(QStringLiteral(", "))) {
        const QRegularExpressionMatch m = bridge.match(holder);
        if (!m.hasMatch())
            continue;
        const QByteArray line
            = readKernelFile("/proc/" + m.captured(1).toLatin1() + "/cmdline", 64 * 1024);
        QStringList arguments;
        for (const QByteArray &argument : line.split('\0'))
            arguments << QString::fromLocal8Bit(argument);
        arguments.removeFirst(); // the program
        const QString id = BoardContract::idFromArguments(arguments, QSysInfo::machineHostName());
        if (!id.isEmpty() && m_boards->board(id))
            return id;
    }
    return {};
}

void ConsoleController::openBoard(const QString &id)
{
    // The link says opened() once the broker and the board's bridge have answered.
    const BrokerLink::OpenResult result = m_brokerLink->open(id);
    if (result != BrokerLink::OpenResult::Pending)
        boardOpenFailed(id, result);
}

void ConsoleController::boardOpenFailed(const QString &id, BrokerLink::OpenResult result)
{
    switch (result) {
    case BrokerLink::OpenResult::Pending:
        return;
    case BrokerLink::OpenResult::NoBroker:
        emit messageRequested(
            tr("未连接到代理服务器 %1：请检查网络和代理服务器，稍后再打开。").arg(m_brokerName),
            MessageIcon::Warning, Field::None);
        return;
    case BrokerLink::OpenResult::Unknown:
        emit messageRequested(tr("代理服务器上已没有开发板 %1：它的 relay-mqtt 已停止或改了名称。"
                                 "请从列表中重新选择。")
                                  .arg(id),
                              MessageIcon::Warning, Field::PortList);
        return;
    case BrokerLink::OpenResult::Offline:
        emit messageRequested(tr("开发板 %1 已离线：它的 relay-mqtt 没有打开串口。请检查那台机器上"
                                 "的 relay-mqtt 和串口适配器，待它在线后再打开。")
                                  .arg(id),
                              MessageIcon::Warning, Field::None);
        return;
    case BrokerLink::OpenResult::NoAnswer:
        emit messageRequested(
            tr("开发板 %1 的 relay-mqtt "
               "没有应答（它已停止或过载、版本比本程序旧，或者两个代理服务器"
               "之间的桥接没有双向转发 relayclient/#）。没有发送任何指令。请检查那台机器上的 "
               "relay-mqtt 和代理服务器的桥接设置。")
                .arg(id),
            MessageIcon::Warning, Field::None);
        return;
    }
}

void ConsoleController::send()
{
    if (m_selection.operation == RelayOperation::None) {
        emit messageRequested(tr("请选择命令代码。"), MessageIcon::Information,
                              Field::OperationList);
        return;
    }
    if (delayMode()) {
        // The field shows the text as it is taken: without the spaces around it.
        const QString trimmed = trimSpaces(m_selection.delayText);
        if (trimmed != m_selection.delayText) {
            m_selection.delayText = trimmed;
            emit delayTextChanged(trimmed);
        }
        const DelayNumber delay = parseDelayNumber(trimmed);
        if (delay.kind == DelayNumber::Kind::Empty) {
            emit messageRequested(tr("请输入延时时间。"), MessageIcon::Information,
                                  Field::DelayText);
            return;
        }
        // Text that is no number, or too large for any delay, gets the range message too:
        // pressing send must never silently do nothing.
        if (!delay.isDelay()) {
            emit messageRequested(tr("延时时间的范围是1-255秒。"), MessageIcon::Information,
                                  Field::DelayText);
            return;
        }
    }
    if (!m_link->isOpen()) {
        emit messageRequested(tr("串口未被正常打开。"), MessageIcon::Warning, Field::None);
        setPortState(PortState::Reopen);
        return;
    }
    refreshPreview();
    if (m_encoder.count() == 0)
        return;
    if (m_link->write(m_encoder.bytes())) {
        m_stateAwaited = m_selection.operation == RelayOperation::ReadState;
        return;
    }
    // A device that went away is told as a lost port (deviceLost follows); anything else here.
    if (m_link->isOpen() && !m_link->isLost())
        showWriteFailure();
}

void ConsoleController::showWriteFailure(BoardLink::WriteFailure failure, int systemError)
{
    QString text;
    switch (failure) {
    case BoardLink::WriteFailure::Line:
    case BoardLink::WriteFailure::Stalled:
        text = m_link == &m_serial
            ? tr("指令未能写入串口（%1），已放弃，不会再发送：请检查串口适配器后再发送。")
                  .arg(writeFailureWords(failure == BoardLink::WriteFailure::Stalled ? 0
                                                                                     : systemError))
            : tr("指令未能写入串口：relay-mqtt 写串口失败，请检查那台机器上"
                 "的串口适配器后再发送。");
        break;
    case BoardLink::WriteFailure::Offline:
        text = tr("指令未能写入：开发板已离线（它的 relay-mqtt 没有打开串口）。请检查那台机器上的"
                  "串口适配器后再发送。");
        break;
    case BoardLink::WriteFailure::Refused:
        text = tr("指令未能写入：relay-mqtt 拒绝了该指令。请查看它的日志。");
        break;
    case BoardLink::WriteFailure::Busy:
        text = tr("指令未能写入：串口线路正忙（指令发得太快）。请稍后再发送。");
        break;
    case BoardLink::WriteFailure::NoAnswer:
        text = tr("指令可能未被写入：relay-mqtt 没有及时确认。请检查它是否在运行，以及两台机器的"
                  "时钟是否一致，然后再发送。");
        break;
    }
    emit messageRequested(text, MessageIcon::Warning, Field::None);
}

void ConsoleController::windowClosing()
{
    m_serial.close();
    if (m_brokerLink)
        m_brokerLink->close();
}

void ConsoleController::handleData(const QByteArray &bytes)
{
    if (m_chaser.isRunning())
        return; // not decoded while the chaser runs
    m_reports.clear();
    for (const DecodeResult &result : m_decoder.feed(bytes)) {
        if (result.kind == DecodeResult::Kind::ReplyByte) {
            emit replyReceived(hexByteText(result.replyByte),
                               m_stateAwaited ? RelayState::energisedText(result.replyByte)
                                              : QString());
            m_stateAwaited = false;
        } else {
            m_reports.push_back(result.message);
        }
    }
    m_keyReports.addReports(m_reports);
}

void ConsoleController::startChaser()
{
    if (m_portState != PortState::Opened)
        return;
    m_stateAwaited = false; // the chaser's replies are not read
    m_chaser.start();
}

void ConsoleController::stopChaser()
{
    if (m_chaser.isRunning())
        m_chaser.stop();
}
