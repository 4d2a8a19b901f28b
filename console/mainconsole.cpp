#include "mainconsole.h"

#include <utility>

#include "delaynumber.h"
#include "hexbytetext.h"

namespace {

constexpr std::array channelBoxes{Control::cbCh1, Control::cbCh2, Control::cbCh3, Control::cbCh4};
constexpr std::array delayChannelButtons{Control::rbCH1, Control::rbCH2, Control::rbCH3,
                                         Control::rbCH4};
constexpr int delayedRelayIndex = static_cast<int>(RelayOperation::DelayedRelay);

// Applies enable flags, enabling before disabling: when a disabled control had the focus,
// the window passes it on to the next enabled control in tab order, and a control enabled by
// the same step must already count.
template <std::size_t N>
void applyEnabled(MainView& view, const std::array<std::pair<Control, bool>, N>& flags)
{
    for (const auto& [control, enabled] : flags)
        if (enabled) view.setEnabled(control, true);
    for (const auto& [control, enabled] : flags)
        if (!enabled) view.setEnabled(control, false);
}

}  // namespace

MainConsole::MainConsole(MainView& view, SerialPortService::PortMap portMap,
                         IrMessageWindow::ViewFactory irViews, QObject* parent)
    : QObject(parent), m_view(view), m_serial(std::move(portMap)), m_irWindow(std::move(irViews))
{
    connect(&m_serial, &SerialPortService::receiveNotification, this,
            &MainConsole::onSerialNotification);
}

MainConsole::~MainConsole() = default;

void MainConsole::onLoad()
{
    m_testRunning = false;
    for (const int n : m_serial.PortScan())
        m_view.addItem(Control::cboPort, SerialPortService::portEntryText(n));
    SetPortOpenedState(false);
}

CommandSelection MainConsole::readSelection() const
{
    CommandSelection selection;
    selection.operation = static_cast<std::int16_t>(m_view.currentIndex(Control::cboOperation));
    for (int i = 0; i < 4; ++i) selection.channelFlags[i] = m_view.isChecked(channelBoxes[i]);
    selection.delayText = m_view.text(Control::txtDelay);
    selection.delayChannel = 0;
    for (int i = 0; i < 4; ++i) {
        if (m_view.isChecked(delayChannelButtons[i])) {
            selection.delayChannel = i;
            break;
        }
    }
    return selection;
}

void MainConsole::RefreshCommandPreview()
{
    const CommandPreview preview = m_encoder.ComposeCommand(readSelection());
    m_view.setText(Control::txtByteSend, preview.firstByteText);
    switch (preview.secondField) {
    case CommandPreview::SecondField::Unchanged:
        break;
    case CommandPreview::SecondField::Hidden:
        m_view.setVisible(Control::txtByteSend2, false);
        break;
    case CommandPreview::SecondField::Shown:
        m_view.setText(Control::txtByteSend2, preview.secondByteText);
        m_view.setVisible(Control::txtByteSend2, true);
        break;
    }
}

void MainConsole::SetPortOpenedState(bool opened)
{
    applyEnabled(m_view, std::array<std::pair<Control, bool>, 8>{{
                             {Control::cboPort, !opened},
                             {Control::cboOperation, opened},
                             {Control::cbCh1, opened},
                             {Control::cbCh2, opened},
                             {Control::cbCh3, opened},
                             {Control::cbCh4, opened},
                             {Control::cmdOpenSerial, !opened},
                             {Control::cmdSend, opened},
                         }});
    RefreshCommandPreview();
}

void MainConsole::onOperationChosen()
{
    const int index = m_view.currentIndex(Control::cboOperation);
    if (index == delayedRelayIndex) {
        for (const Control c : channelBoxes) m_view.setVisible(c, false);
        for (const Control c : delayChannelButtons) m_view.setVisible(c, true);
        m_view.setEnabled(Control::txtDelay, true);
        m_view.setBackground(Control::txtDelay, ColourRole::EntryField);
    } else if (index >= 0) {
        for (const Control c : delayChannelButtons) m_view.setVisible(c, false);
        for (const Control c : channelBoxes) m_view.setVisible(c, true);
        m_view.setEnabled(Control::txtDelay, false);
        m_view.setBackground(Control::txtDelay, ColourRole::ButtonFace);
    }
    RefreshCommandPreview();
}

void MainConsole::onOpenClicked()
{
    if (m_view.currentIndex(Control::cboPort) < 0) {
        m_view.showMessage(QStringLiteral("请选择串口。"), MessageIcon::Information);
        m_view.setFocus(Control::cboPort);
        return;
    }
    const int code =
        m_serial.openPort(SerialPortService::portNumberFromEntry(m_view.text(Control::cboPort)));
    if (code == OpenResult::Ok) {
        SetPortOpenedState(true);
    } else if (code == OpenResult::PortInUse) {
        m_view.showMessage(QStringLiteral("指定的串口已被占用。"), MessageIcon::Warning);
    } else {
        m_view.showMessage(QStringLiteral("打开串口时遇到错误（CODE=%1）。").arg(code),
                           MessageIcon::Warning);
    }
}

void MainConsole::onSendClicked()
{
    const int operation = m_view.currentIndex(Control::cboOperation);
    if (operation < 0) {
        m_view.showMessage(QStringLiteral("请选择命令代码。"), MessageIcon::Information);
        m_view.setFocus(Control::cboOperation);
        return;
    }
    if (operation == delayedRelayIndex) {
        const QString typed = m_view.text(Control::txtDelay);
        const QString trimmed = trimSpaces(typed);
        // The field's text-changed event recomposes the buffer from the trimmed text.
        if (trimmed != typed) m_view.setText(Control::txtDelay, trimmed);
        const DelayNumber delay = parseDelayNumber(trimmed);
        if (delay.kind == DelayNumber::Kind::Empty) {
            m_view.showMessage(QStringLiteral("请输入延时时间。"), MessageIcon::Information);
            m_view.setFocus(Control::txtDelay);
            return;
        }
        // Text that is no number, or too large for any delay, gets the range message too:
        // pressing send must never silently do nothing.
        if (!delay.isDelay()) {
            m_view.showMessage(QStringLiteral("延时时间的范围是1-255秒。"),
                               MessageIcon::Information);
            m_view.setFocus(Control::txtDelay);
            return;
        }
    }
    if (!m_serial.isOpen()) {
        m_view.showMessage(QStringLiteral("串口未被正常打开。"), MessageIcon::Warning);
        applyEnabled(m_view, std::array<std::pair<Control, bool>, 2>{{
                                 {Control::cmdOpenSerial, true},
                                 {Control::cmdSend, false},
                             }});
        return;
    }
    if (m_encoder.count() > 0) m_serial.write(m_encoder.bytes());
}

void MainConsole::onQuitClicked() { m_view.closeWindow(); }

void MainConsole::onWindowClosing()
{
    m_irWindow.closeIfOpen();
    m_serial.close();
}

void MainConsole::onSerialNotification(SerialEvent kind)
{
    if (m_testRunning) {
        // Not decoded while the chaser runs; read anyway so nothing piles up.
        if (kind == SerialEvent::DataReceived) m_serial.read();
        return;
    }
    if (kind != SerialEvent::DataReceived) return;

    const QByteArray bytes = m_serial.read();
    m_reports.clear();
    for (const char c : bytes) {
        const DecodeResult result = m_decoder.onReceive(static_cast<std::uint8_t>(c));
        switch (result.kind) {
        case DecodeResult::Kind::Nothing:
            break;
        case DecodeResult::Kind::ReplyByte:
            m_view.setText(Control::txtByteRcv, HexByteText(result.replyByte));
            break;
        case DecodeResult::Kind::KeyMessage:
            m_reports.push_back(result.message);
            break;
        }
    }
    // The window selects and scrolls once for the whole batch.
    m_irWindow.addKeyMessages(m_reports);
}

void MainConsole::onKeyPressed(int key, Qt::KeyboardModifiers modifiers)
{
    // Ctrl+T, with or without Shift or Alt, in the opened state only.
    if (key != Qt::Key_T || !(modifiers & Qt::ControlModifier)) return;
    if (m_view.isEnabled(Control::cmdOpenSerial)) return;
    startTest();
}

void MainConsole::startTest()
{
    m_testSequence = {0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x08, 0x00};
    for (const Control c : {Control::cboOperation, Control::cbCh1, Control::cbCh2, Control::cbCh3,
                            Control::cbCh4, Control::cmdSend})
        m_view.setEnabled(c, false);
    m_testRunning = true;
    m_testStepIndex = 0;
    // A restart leaves a running timer alone: the next step keeps the one-second rhythm.
    m_view.setEnabled(Control::Timer1, true);
}

void MainConsole::onTimer1Tick()
{
    if (!m_testRunning) return;
    if (m_testStepIndex >= static_cast<std::int16_t>(m_testSequence.size())) m_testStepIndex = 0;
    // When the port has gone the write fails; the step is skipped and the rhythm kept.
    m_serial.write(QByteArray(1, static_cast<char>(m_testSequence[m_testStepIndex])));
    m_view.setVisible(Control::Label7, !m_view.isVisible(Control::Label7));
    ++m_testStepIndex;
}
