#pragma once

#include <QObject>

#include "commandencoder.h"
#include "mainview.h"
#include "serialportservice.h"

// The controller of the main window: owns everything that lives for the whole run and
// decides what the window shows. It never touches a widget.
class MainConsole : public QObject {
    Q_OBJECT
public:
    explicit MainConsole(MainView& view, SerialPortService::PortMap portMap = comPortDevice,
                         QObject* parent = nullptr);
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

    void RefreshCommandPreview();
    void SetPortOpenedState(bool opened);

    SerialPortService& serialPort() { return m_serial; }
    const CommandEncoder& encoder() const { return m_encoder; }
    bool testRunning() const { return m_testRunning; }

private:
    CommandSelection readSelection() const;

    MainView& m_view;
    CommandEncoder m_encoder;
    SerialPortService m_serial;
    bool m_testRunning = false;
};
