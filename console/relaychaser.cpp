#include "relaychaser.h"

#include <array>

#include "serialportservice.h"

RelayChaser::RelayChaser(SerialPortService &serial, QObject *parent)
    : QObject(parent)
    , m_serial(serial)
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
    static constexpr std::array<char, 8> steps = {0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x08, 0x00};
    if (!m_running)
        return;
    if (m_step >= int(steps.size()))
        m_step = 0;
    // When the port has gone the write fails; the step is skipped and the rhythm kept.
    m_serial.write(QByteArray(1, steps[m_step]));
    m_labelVisible = !m_labelVisible;
    emit labelShown(m_labelVisible);
    ++m_step;
}
