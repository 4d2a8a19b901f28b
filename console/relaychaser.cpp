#include "relaychaser.h"

#include <array>

#include "boardlink.h"
#include "commandencoder.h"

RelayChaser::RelayChaser(BoardLink &link, QObject *parent)
    : QObject(parent)
    , m_link(&link)
{
    m_timer.setObjectName(QStringLiteral("Timer1"));
    m_timer.setInterval(1000);
    m_timer.setTimerType(Qt::CoarseTimer);
    connect(&m_timer, &QTimer::timeout, this, &RelayChaser::tick);
}

void RelayChaser::start()
{
    m_running = true;
    m_step = 0;
    if (!m_timer.isActive())
        m_timer.start();
    emit runningChanged(true);
}

void RelayChaser::stop()
{
    m_timer.stop();
    m_running = false;
    m_step = 0;
    emit runningChanged(false);
    if (m_labelVisible) {
        m_labelVisible = false;
        emit labelShown(false);
    }
}

void RelayChaser::tick()
{
    if (!m_running)
        return;
    // Each channel alone, then all off: "set state" with one flag, then with none.
    std::array<int, RelayState::channels> flags {};
    if (m_step % 2 == 0)
        flags[m_step / 2] = 1;
    // When the port has gone the write fails; the step is skipped and the rhythm kept.
    m_link->write(CommandEncoder::channelCommand(RelayOperation::SetState, flags));
    m_labelVisible = !m_labelVisible;
    emit labelShown(m_labelVisible);
    m_step = (m_step + 1) % (2 * RelayState::channels);
}
