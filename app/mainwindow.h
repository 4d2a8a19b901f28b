#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <array>

#include "consolecontroller.h"
#include "keyreportwindow.h"
#include "terminationsignals.h"

class NewValueFlash;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The main window: builds the controls, passes what the operator does to the controller and
// shows what the controller announces. It keeps no state of its own beyond the widgets.
class MainWindow : public QWidget
{
    Q_OBJECT
public:
    explicit MainWindow(ComPorts::PortMap portMap = ComPorts::device, QWidget *parent = nullptr);
    ~MainWindow() override;

    ConsoleController &controller() { return m_controller; }
    // The key report window, from the first report until it is closed; null otherwise.
    KeyReportWindow *keyReportWindow() const { return m_keyReportWindow.data(); }
    // Marks each reply in txtByteRcv as new.
    NewValueFlash *replyFlash() const { return m_replyFlash; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void placeControls();
    void connectOperatorActions();
    void connectShortcuts();
    void connectController();
    void showPorts(const QStringList &entries, int current, const QStringList &adapters);
    void showPortAdapter(int index);
    void applyControlAccess(const ControlAccess &access);
    void showDelayMode(bool delayMode);
    void showPreview(const QString &firstByte, const QString &secondByte);
    void showKeyReports();
    void showReply(const QString &byteText, const QString &meaning);
    void showMessage(const QString &text, ConsoleController::MessageIcon icon,
                     ConsoleController::Field focus);

    ConsoleController m_controller;
    QComboBox *m_cboPort = nullptr;
    QComboBox *m_cboOperation = nullptr;
    QGroupBox *m_channelFrame = nullptr;
    std::array<QCheckBox *, RelayState::channels> m_channelBoxes {};
    std::array<QRadioButton *, RelayState::channels> m_delayChannelButtons {};
    QLineEdit *m_txtDelay = nullptr;
    QLineEdit *m_txtByteSend = nullptr;
    QLineEdit *m_txtByteSend2 = nullptr;
    QLineEdit *m_txtByteRcv = nullptr;
    QPushButton *m_cmdOpenSerial = nullptr;
    QPushButton *m_cmdSend = nullptr;
    QPushButton *m_cmdQuit = nullptr;
    QLabel *m_chaserLabel = nullptr;
    QPointer<KeyReportWindow> m_keyReportWindow;
    NewValueFlash *m_replyFlash = nullptr;
    // SIGTERM, SIGINT and SIGHUP close every window, as the close box does.
    TerminationSignals m_terminations;
};
