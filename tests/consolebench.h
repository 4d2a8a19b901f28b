#pragma once

#include <QTest>
#include <memory>

#include "fakeirview.h"
#include "fakemainview.h"
#include "mainconsole.h"
#include "ptyboard.h"

// A console on a fake window whose Com3 is a pseudo-terminal the test plays the board on.
// The device behind Com3 can be swapped, as when an adapter is unplugged and plugged again.
struct ConsoleBench {
    std::unique_ptr<PtyBoard> board = std::make_unique<PtyBoard>();
    std::shared_ptr<QString> com3 = std::make_shared<QString>(board->slavePath());
    FakeMainView view;
    FakeIrViews irViews;
    MainConsole console{view,
                        [com3 = com3](int n) {
                            return n == 3 ? *com3 : QStringLiteral("/nonexistent/%1").arg(n);
                        },
                        irViews.factory()};

    ConsoleBench()
    {
        view.console = &console;
        console.onLoad();
    }
    void open()
    {
        view.choose(Control::cboPort, 0);
        console.onOpenClicked();
    }
    void expectClosedState()
    {
        QVERIFY(view.isEnabled(Control::cboPort));
        QVERIFY(!view.isEnabled(Control::cboOperation));
        for (const Control c : {Control::cbCh1, Control::cbCh2, Control::cbCh3, Control::cbCh4})
            QVERIFY(!view.isEnabled(c));
        QVERIFY(view.isEnabled(Control::cmdOpenSerial));
        QVERIFY(!view.isEnabled(Control::cmdSend));
        QVERIFY(view.isEnabled(Control::cmdQuit));
    }
    void expectOpenedState(bool reopen = false)
    {
        QVERIFY(!view.isEnabled(Control::cboPort));
        QVERIFY(view.isEnabled(Control::cboOperation));
        for (const Control c : {Control::cbCh1, Control::cbCh2, Control::cbCh3, Control::cbCh4})
            QVERIFY(view.isEnabled(c));
        QCOMPARE(view.isEnabled(Control::cmdOpenSerial), reopen);
        QCOMPARE(view.isEnabled(Control::cmdSend), !reopen);
    }
};

