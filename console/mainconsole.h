#pragma once

#include <QObject>

#include <array>
#include <cstdint>
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
    // Every key press of the window, before the control with the focus sees it.
    void onKeyPressed(int key, Qt::KeyboardModifiers modifiers);
    void onTimer1Tick();

    void RefreshCommandPreview();
    void SetPortOpenedState(bool opened);

    SerialPortService& serialPort() { return m_serial; }
    const CommandEncoder& encoder() const { return m_encoder; }
    const ReceiveDecoder& decoder() const { return m_decoder; }
    IrMessageWindow& irWindow() { return m_irWindow; }
    bool testRunning() const { return m_testRunning; }
    int testStepIndex() const { return m_testStepIndex; }

private:
    CommandSelection readSelection() const;
    void startTest();

    MainView& m_view;
    CommandEncoder m_encoder;
    SerialPortService m_serial;
    ReceiveDecoder m_decoder;
    IrMessageWindow m_irWindow;
    std::vector<IrKeyMessage> m_reports;  // reused for each batch of received bytes
    bool m_testRunning = false;
    // The relay chaser: CH1 on, all off, CH2 on, all off, ... one step a second.
    std::array<std::uint8_t, 8> m_testSequence = {};
    std::int16_t m_testStepIndex = 0;
};
