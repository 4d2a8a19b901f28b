#pragma once

#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "consolecontroller.h"
#include "ptyboard.h"

// A console controller whose Com3 is a pseudo-terminal the test plays the board on, with its
// signals recorded. The device behind Com3 can be swapped, as when an adapter is unplugged and
// plugged in again. Messages and replies are kept as the window would show them.
struct ConsoleRig
{
    struct Message
    {
        QString text;
        ConsoleController::MessageIcon icon;
        ConsoleController::Field focus;
    };

    std::unique_ptr<PtyBoard> board = std::make_unique<PtyBoard>();
    std::shared_ptr<QString> com3 = std::make_shared<QString>(board->slavePath());
    ConsoleController controller {
        [com3 = com3](int n) { return n == 3 ? *com3 : QStringLiteral("/nonexistent/%1").arg(n); }};
    QStringList ports;
    QStringList adapters; // beside each port, what the list tells of its adapter
    int currentPort = -1; // the entry the list keeps selected
    ControlAccess access;
    QString preview; // "0x15" or "0xF1 0xA1", as the two fields show it
    bool delayMode = false;
    QList<Message> messages;
    QStringList replies;
    QStringList meanings; // beside each reply: what it says, or empty
    QStringList delayTexts; // texts the controller put into the delay field
    QList<bool> testRunning; // each testRunningChanged
    QList<bool> labelShown; // each testStepShown

    explicit ConsoleRig(bool start = true)
    {
        using C = ConsoleController;
        // The tests step the chaser themselves: its own timer stays out of their way.
        controller.chaser().setInterval(std::chrono::hours(24));
        QObject::connect(&controller, &C::portsListed,
                         [this](const QStringList &p, int current, const QStringList &a) {
                             ports = p;
                             currentPort = current;
                             adapters = a;
                         });
        QObject::connect(&controller, &C::controlAccessChanged,
                         [this](const ControlAccess &a) { access = a; });
        QObject::connect(&controller, &C::previewChanged,
                         [this](const QString &first, const QString &second) {
                             preview = second.isEmpty() ? first : first + u' ' + second;
                         });
        QObject::connect(&controller, &C::delayModeChanged, [this](bool on) { delayMode = on; });
        QObject::connect(&controller, &C::messageRequested,
                         [this](const QString &text, C::MessageIcon icon, C::Field focus) {
                             messages.append({text, icon, focus});
                         });
        QObject::connect(&controller, &C::replyReceived,
                         [this](const QString &text, const QString &meaning) {
                             replies << text;
                             meanings << meaning;
                         });
        QObject::connect(&controller, &C::delayTextChanged,
                         [this](const QString &text) { delayTexts << text; });
        QObject::connect(&controller, &C::testRunningChanged,
                         [this](bool running) { testRunning << running; });
        QObject::connect(&controller, &C::testStepShown,
                         [this](bool shown) { labelShown << shown; });
        if (start)
            controller.start();
    }

    // Checked at the call site: a failed check inside a helper would not stop the test.
    [[nodiscard]] bool open()
    {
        controller.choosePort(0);
        controller.openPort();
        return controller.portState() == ConsoleController::PortState::Opened;
    }

    static ControlAccess closedAccess() { return {.portList = true, .openButton = true}; }
    static ControlAccess openedAccess()
    {
        return {.operationList = true, .channels = true, .sendButton = true};
    }
    static ControlAccess reopenAccess()
    {
        return {.operationList = true, .channels = true, .openButton = true};
    }
};

namespace QTest {
template<>
inline char *toString(const ControlAccess &a)
{
    return qstrdup(QStringLiteral("ports %1 operation %2 channels %3 open %4 send %5")
                       .arg(a.portList)
                       .arg(a.operationList)
                       .arg(a.channels)
                       .arg(a.openButton)
                       .arg(a.sendButton)
                       .toLatin1()
                       .constData());
}
} // namespace QTest
