#include "linepace.h"

#include <QtGlobal>

LinePace::LinePace(int bytesPerSecond, int maxWaitMs)
    : m_bytesPerSecond(bytesPerSecond)
    , m_maxWaitMs(maxWaitMs)
{
    m_clock.start();
}

bool LinePace::take(int bytes, bool mayRefuse)
{
    const qint64 now = m_clock.nsecsElapsed() / 1000;
    const qint64 start = qMax(now, m_freeAtUs);
    if (mayRefuse && start - now > qint64(m_maxWaitMs) * 1000)
        return false;
    m_freeAtUs = start + qint64(bytes) * 1000000 / m_bytesPerSecond;
    return true;
}
