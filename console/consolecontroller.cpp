#include "consolecontroller.h"

#include "openresulttext.h"

#include <algorithm>
#include <utility>

#include "delaynumber.h"
#include "hexbytetext.h"
#include "relaystate.h"

ConsoleController::ConsoleController(ComPorts::PortMap portMap, QObject *parent)
    : QObject(parent)
    , m_serial(portMap)
    , m_watcher(portMap)
{
    connect(&m_serial, &SerialPortService::dataReceived, this, &ConsoleController::handleData);
    connect(&m_serial, &SerialPortService::writeFailed, this, [this] {
        if (!m_chaser.isRunning()) // the chaser keeps its rhythm and skips a failed step
            showWriteFailure();
    });
    connect(&m_serial, &SerialPortService::deviceLost, this, &ConsoleController::handleDeviceLost);
    connect(&m_watcher, &PortWatcher::portsChanged, this, &ConsoleController::portsChanged);
    connect(&m_chaser, &RelayChaser::runningChanged, this, &ConsoleController::testRunningChanged);
    connect(&m_chaser, &RelayChaser::runningChanged, this,
            [this] { emit controlAccessChanged(controlAccess()); });
    connect(&m_chaser, &RelayChaser::labelShown, this, &ConsoleController::testStepShown);
}

ConsoleController::~ConsoleController() = default;

void ConsoleController::start()
{
    m_ports = m_serial.scanPorts();
    m_portIndex = -1;
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
    m_portIndex = index >= 0 && index < m_ports.size() ? index : -1;
}

void ConsoleController::listPorts()
{
    QStringList entries, adapters;
    for (const int n : std::as_const(m_ports)) {
        entries << ComPorts::entryText(n);
        adapters << adapterText(m_serial.adapterOf(n));
    }
    emit portsListed(entries, m_portIndex, adapters);
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
    const int selected = m_portIndex >= 0 ? m_ports[m_portIndex] : 0;
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
    if (ports == m_ports && !retargeted)
        return;
    m_ports = ports;
    m_portIndex = selected ? int(m_ports.indexOf(selected)) : -1;
    listPorts();
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
    if (m_portIndex < 0) {
        emit messageRequested(tr("请选择串口。"), MessageIcon::Information, Field::PortList);
        return;
    }
    const int n = m_ports[m_portIndex];
    const OpenResult result = m_serial.openPort(n);
    if (result == OpenResult::Ok) {
        setPortState(PortState::Opened);
        return;
    }
    emit messageRequested(openFailureMessage(result, m_serial.lastCheck(), m_serial.deviceOf(n)),
                          MessageIcon::Warning, Field::None);
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
    if (!m_serial.isOpen()) {
        emit messageRequested(tr("串口未被正常打开。"), MessageIcon::Warning, Field::None);
        setPortState(PortState::Reopen);
        return;
    }
    refreshPreview();
    if (m_encoder.count() == 0)
        return;
    if (m_serial.write(m_encoder.bytes())) {
        m_stateAwaited = m_selection.operation == RelayOperation::ReadState;
        return;
    }
    // A device that went away is told as a lost port (deviceLost follows); anything else here.
    if (m_serial.isOpen() && !m_serial.isLost())
        showWriteFailure();
}

void ConsoleController::showWriteFailure()
{
    emit messageRequested(tr("指令未能写入串口：请检查串口适配器后再发送。"), MessageIcon::Warning,
                          Field::None);
}

void ConsoleController::windowClosing()
{
    m_serial.close();
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
