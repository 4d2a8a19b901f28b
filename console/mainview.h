#pragma once

#include <QString>

// The main window as its controller sees it. Each control keeps its window name.
enum class Control {
    cboPort,
    cboOperation,
    cbCh1,
    cbCh2,
    cbCh3,
    cbCh4,
    rbCH1,
    rbCH2,
    rbCH3,
    rbCH4,
    txtDelay,
    txtByteSend,
    txtByteSend2,
    txtByteRcv,
    cmdOpenSerial,
    cmdSend,
    cmdQuit,
    Label7,
    Timer1,
};

// System colours only; the window maps them onto the platform palette.
enum class ColourRole {
    ButtonFace,  // the window background
    EntryField,  // the background of an editable entry field
};

enum class MessageIcon { Information, Warning };

class MainView {
public:
    virtual ~MainView() = default;

    // Enabling Timer1 starts it; enabling it while it runs leaves its schedule alone.
    virtual void setEnabled(Control control, bool enabled) = 0;
    virtual bool isEnabled(Control control) const = 0;
    virtual void setVisible(Control control, bool visible) = 0;
    // Whether the control itself is shown, whatever its window is doing.
    virtual bool isVisible(Control control) const = 0;
    // Setting the text of txtDelay raises its text-changed event when the text changes.
    virtual void setText(Control control, const QString& text) = 0;
    // For a drop-down list: the text of the selected entry.
    virtual QString text(Control control) const = 0;
    virtual bool isChecked(Control control) const = 0;
    // For a drop-down list: the selected entry, -1 when none.
    virtual int currentIndex(Control control) const = 0;
    virtual void addItem(Control control, const QString& text) = 0;
    virtual void setFocus(Control control) = 0;
    virtual void setBackground(Control control, ColourRole role) = 0;
    // Modal; returns when the operator has dismissed it.
    virtual void showMessage(const QString& text, MessageIcon icon) = 0;
    virtual void closeWindow() = 0;
};
