#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>

class BoardLink;

// The relay chaser that Ctrl+T starts: CH1 on, all off, CH2 on, all off, ... one step a
// second, written as set-relay-state bytes, while a label at the bottom of the window blinks.
// It owns its timer ("Timer1"); tests call tick() instead of waiting for it.
class RelayChaser : public QObject
{
    Q_OBJECT
public:
    explicit RelayChaser(BoardLink &link, QObject *parent = nullptr);
    // Where the steps go from now on.
    void setLink(BoardLink &link) { m_link = &link; }

    bool isRunning() const { return m_running; }
    // The step the next tick writes: 0 CH1 on, 1 all off, 2 CH2 on, 3 all off, ... 7 all off.
    int step() const { return m_step; }
    const QTimer &timer() const { return m_timer; }
    // One second; tests that call tick() themselves set it far out of their way.
    void setInterval(std::chrono::milliseconds interval) { m_timer.setInterval(interval); }

    // Starts, or restarts at the first step; a running timer keeps its rhythm, so the next step
    // still comes a second after the last one.
    void start();
    // Nothing more is written; the relays stay as the last step left them.
    void stop();
    // One step: its byte, and the label shown or hidden. Does nothing while stopped.
    void tick();

signals:
    void runningChanged(bool running);
    void labelShown(bool visible);

private:
    BoardLink *m_link;
    QTimer m_timer;
    bool m_running = false;
    bool m_labelVisible = false;
    int m_step = 0;
};
