#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <map>

#include "mainconsole.h"
#include "mainview.h"

// A main window without widgets: keeps each control's state, starts as the window's initial
// table says, and records messages and focus moves. Like the real window, changing the text of
// txtDelay raises its text-changed event.
class FakeMainView : public MainView {
public:
    struct State {
        bool enabled = true;
        bool visible = true;
        bool checked = false;
        QString text;
        QStringList items;
        int index = -1;
        ColourRole background = ColourRole::EntryField;
    };
    struct Message {
        QString text;
        MessageIcon icon;
        Control focusBefore;  // where the focus was when the box came up
    };

    FakeMainView()
    {
        for (const Control c : {Control::rbCH1, Control::rbCH2, Control::rbCH3, Control::rbCH4,
                                Control::txtByteSend2, Control::Label7})
            state[c].visible = false;
        state[Control::rbCH1].checked = true;
        state[Control::txtDelay].enabled = false;
        state[Control::txtDelay].background = ColourRole::ButtonFace;
        state[Control::cmdSend].enabled = false;
        state[Control::Timer1].enabled = false;
        state[Control::Timer1].visible = false;
        for (const Control c : {Control::txtByteSend, Control::txtByteSend2, Control::txtByteRcv})
            state[c].text = QStringLiteral("0x00");
        state[Control::cboOperation].items = QStringList(relayOperationTexts.begin(),
                                                         relayOperationTexts.end());
    }

    MainConsole* console = nullptr;
    std::map<Control, State> state;
    QList<Message> messages;
    Control focus = Control::cboPort;
    int focusMoves = 0;
    int closeRequests = 0;
    int delayTextEvents = 0;
    QStringList received;  // every text txtByteRcv was given, in order

    // Operator actions.
    void choose(Control combo, int index)
    {
        state[combo].index = index;
        if (combo == Control::cboOperation && console) console->onOperationChosen();
    }
    void click(Control box)  // check boxes toggle, option buttons select
    {
        if (box >= Control::rbCH1 && box <= Control::rbCH4) {
            for (const Control rb : {Control::rbCH1, Control::rbCH2, Control::rbCH3, Control::rbCH4})
                state[rb].checked = rb == box;
            if (console) console->onDelayChannelClicked();
        } else {
            state[box].checked = !state[box].checked;
            if (console) console->onChannelClicked();
        }
    }
    void type(const QString& text) { setText(Control::txtDelay, text); }

    // MainView.
    void setEnabled(Control c, bool enabled) override { state[c].enabled = enabled; }
    bool isEnabled(Control c) const override { return at(c).enabled; }
    void setVisible(Control c, bool visible) override { state[c].visible = visible; }
    bool isVisible(Control c) const override { return at(c).visible; }
    void setText(Control c, const QString& text) override
    {
        const bool changed = state[c].text != text;
        state[c].text = text;
        if (c == Control::txtByteRcv) received << text;
        if (c == Control::txtDelay && changed) {
            ++delayTextEvents;
            if (console) console->onDelayTextChanged();
        }
    }
    QString text(Control c) const override
    {
        const State& s = at(c);
        if (!s.items.isEmpty() || c == Control::cboPort || c == Control::cboOperation)
            return s.index >= 0 && s.index < s.items.size() ? s.items[s.index] : QString();
        return s.text;
    }
    bool isChecked(Control c) const override { return at(c).checked; }
    int currentIndex(Control c) const override { return at(c).index; }
    void addItem(Control c, const QString& text) override { state[c].items.append(text); }
    void setFocus(Control c) override
    {
        focus = c;
        ++focusMoves;
    }
    void setBackground(Control c, ColourRole role) override { state[c].background = role; }
    void showMessage(const QString& text, MessageIcon icon) override
    {
        messages.append({text, icon, focus});
    }
    void closeWindow() override
    {
        ++closeRequests;
        if (console) console->onWindowClosing();
    }

private:
    const State& at(Control c) const
    {
        static const State defaults;
        const auto it = state.find(c);
        return it == state.end() ? defaults : it->second;
    }
};
