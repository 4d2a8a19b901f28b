#pragma once

#include <QObject>

#include <vector>

#include "commandencoder.h"
#include "irmessagewindow.h"
#include "mainview.h"
#include "receivedecoder.h"
#include "serialportservice.h"

// The controller of the main window: owns everything that lives for the whole run and
// decides what the window shows. It never touches a widget.
class MainConsole : public QObject {
    Q_OBJECT
public:
    explicit MainConsole(MainView& view, SerialPortService::PortMap portMap = comPortDevice,
                         IrMessageWindow::ViewFactory irViews = {}, QObject* parent = nullptr);
    ~MainConsole() override;

    // Window events.
    void onLoad();
    void onOperationChosen();
    void onChannelClicked() { RefreshCommandPreview(); }
    void onDelayChannelClicked() { RefreshCommandPreview(); }
    void onDelayTextChanged() { RefreshCommandPreview(); }
    void onOpenClicked();
    void onSendClicked();
    void onQuitClicked();
    void onWindowClosing();
    // The serial port's receive notification.
    void onSerialNotification(SerialEvent kind);

    void RefreshCommandPreview();
    void SetPortOpenedState(bool opened);

    SerialPortService& serialPort() { return m_serial; }
    const CommandEncoder& encoder() const { return m_encoder; }
    const ReceiveDecoder& decoder() const { return m_decoder; }
    IrMessageWindow& irWindow() { return m_irWindow; }
    bool testRunning() const { return m_testRunning; }

private:
    CommandSelection readSelection() const;

    MainView& m_view;
    CommandEncoder m_encoder;
    SerialPortService m_serial;
    ReceiveDecoder m_decoder;
    IrMessageWindow m_irWindow;
    std::vector<IrKeyMessage> m_reports;  // reused for each batch of received bytes
    bool m_testRunning = false;
};
