#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "boardlink.h"
#include "brokerlink.h"
#include "commandencoder.h"
#include "keyreportcontroller.h"
#include "portwatcher.h"
#include "receivedecoder.h"
#include "relaychaser.h"
#include "serialportservice.h"

// Which controls the operator may use at a given moment.
struct ControlAccess
{
    bool portList = false;
    bool operationList = false;
    bool channels = false; // the check boxes of the relay commands
    bool openButton = false;
    bool sendButton = false;
    friend bool operator==(const ControlAccess &, const ControlAccess &) = default;
};
Q_DECLARE_METATYPE(ControlAccess)

// The controller of the main window. It owns everything that lives for the whole run (the
// command selection and its encoder, the serial port, the receive decoder, the key reports and
// the relay chaser) and holds that state itself: the window reports what the operator did
// through the slots and shows what the signals say. Send composes from this state only.
class BrokerBoards;

class ConsoleController : public QObject
{
    Q_OBJECT
public:
    // Closed: no port. Opened: port open. Reopen: the port went away while the window was in
    // the opened state; the command controls stay usable and "open" tries the same port again.
    enum class PortState { Closed, Opened, Reopen };
    Q_ENUM(PortState)
    enum class MessageIcon { Information, Warning };
    Q_ENUM(MessageIcon)
    // Where the keyboard focus goes once a message has been dismissed.
    enum class Field { None, PortList, OperationList, DelayText };
    Q_ENUM(Field)

    explicit ConsoleController(ComPorts::PortMap portMap = ComPorts::device,
                               QObject *parent = nullptr);
    ~ConsoleController() override;

    // Boards that bridges put on a broker are listed after the Com ports and opened through
    // it; `brokerName` as the tooltips name the broker ("192.0.2.7:1883"). Before start().
    void setBroker(BrokerBoards *boards, const QString &brokerName);

    // Probes the ports and announces the start-up state; the window calls it once it is
    // connected.
    void start();

    PortState portState() const { return m_portState; }
    bool testRunning() const { return m_chaser.isRunning(); }
    int testStep() const { return m_chaser.step(); }
    bool delayMode() const { return m_selection.operation == RelayOperation::DelayedRelay; }
    const CommandSelection &selection() const { return m_selection; }
    ControlAccess controlAccess() const;

    SerialPortService &serialPort() { return m_serial; }
    // The open link: the serial port or the broker.
    BoardLink &link() { return *m_link; }
    PortWatcher &portWatcher() { return m_watcher; }
    const ReceiveDecoder &decoder() const { return m_decoder; }
    KeyReportController &keyReports() { return m_keyReports; }
    RelayChaser &chaser() { return m_chaser; }

    // An adapter in the interface language, for the port list.
    static QString adapterText(const AdapterInfo &adapter);
    // A board on the broker, likewise: how it is reached, online or not, its relays.
    static QString remoteBoardText(const QString &brokerName, bool online,
                                   std::optional<std::uint8_t> state);
    static constexpr int delayOperation = static_cast<int>(RelayOperation::DelayedRelay);

public slots:
    // The operator's actions.
    void choosePort(int index); // position in the listed ports, -1 for none
    void chooseOperation(int index);
    void setChannel(int channel, bool on); // CH1..CH4 as 0..3
    void chooseDelayChannel(int channel);
    void setDelayText(const QString &text);
    void openPort();
    void send();
    // Devices of the table appeared or went away (see PortWatcher).
    void portsChanged(const QList<int> &appeared, const QList<int> &gone);
    // The boards on the broker changed (appeared, went, online, offline, relays).
    void boardsChanged();
    // Ctrl+T: the relay chaser, while the port is open.
    void startChaser();
    // Escape: the chaser stops at once, with nothing more sent.
    void stopChaser();
    // The window is closing, whatever closed it.
    void windowClosing();

signals:
    // The port list, and the entry that stays selected in it (-1 for none); beside each entry
    // what the system knows of its adapter, one fact a line ("设备：/dev/ttyUSB0").
    void portsListed(const QStringList &entries, int current, const QStringList &adapters);
    void portStateChanged(ConsoleController::PortState state);
    void controlAccessChanged(const ControlAccess &access);
    // The delay command shows option buttons and an editable delay field instead of the
    // channel check boxes.
    void delayModeChanged(bool delayMode);
    // The bytes the next send writes; an empty second text hides the second field.
    void previewChanged(const QString &firstByte, const QString &secondByte);
    void delayTextChanged(const QString &text);
    // A reply byte as the field shows it; `meaning` says what it reports where that is known
    // (the state after a read-state command: "吸合：CH1、CH3"), otherwise it is empty.
    void replyReceived(const QString &byteText, const QString &meaning);
    void messageRequested(const QString &text, ConsoleController::MessageIcon icon,
                          ConsoleController::Field focus);
    // The chaser started or stopped, and its label blinks.
    void testRunningChanged(bool running);
    void testStepShown(bool labelVisible);

private:
    void setPortState(PortState state);
    void connectLink(BoardLink &link);
    // The boards on the broker as the list shows them: IDs and tooltips.
    void remoteEntries(QStringList *ids, QStringList *texts) const;
    void refreshPreview();
    void handleData(const QByteArray &bytes);
    void showWriteFailure(BoardLink::WriteFailure failure = BoardLink::WriteFailure::Line,
                          int systemError = 0);
    // The entries as they are now; the selected one stays selected where it is still listed.
    void relist(const QList<int> &ports, const QStringList &boards, bool changedAnyway);
    void openBoard(const QString &id);
    void boardOpenFailed(const QString &id, BrokerLink::OpenResult result);
    // The ID of the board that relay-mqtt, holding a local port, puts on the broker.
    QString bridgedBoard(const PortCheck &check) const;
    void handleDeviceLost();
    void listPorts();

    CommandEncoder m_encoder;
    CommandSelection m_selection;
    SerialPortService m_serial;
    PortWatcher m_watcher;
    ReceiveDecoder m_decoder;
    KeyReportController m_keyReports;
    RelayChaser m_chaser {m_serial};
    BrokerBoards *m_boards = nullptr;
    BrokerLink *m_brokerLink = nullptr;
    QString m_brokerName;
    bool m_brokerWarned = false; // this outage was told; not again until connected
    BoardLink *m_link = &m_serial; // the one open, or last opened
    // The entries: the Com ports, then the boards on the broker; m_portIndex counts through both.
    QList<int> m_ports;
    QStringList m_remoteBoards;
    QStringList m_remoteTexts; // what their tooltips said, to notice a change
    int m_portIndex = -1;
    PortState m_portState = PortState::Closed;
    std::vector<IrKeyMessage> m_reports; // reused for each batch of received bytes
    // A read-state command went out: the next reply is the relays' state.
    bool m_stateAwaited = false;
};
