#include "loglimiter.h"

LogLimiter::LogLimiter(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_flush.setSingleShot(true);
    connect(&m_flush, &QTimer::timeout, this, &LogLimiter::flush);
}

void LogLimiter::say(const QString &kind, const QString &line)
{
    Kind &k = m_kinds[kind];
    const qint64 now = m_clock.elapsed();
    if (now >= k.quietUntilMs && k.held == 0) {
        k.quietUntilMs = now + windowMs;
        emit logLine(line);
        return;
    }
    ++k.held;
    k.last = line;
    if (!m_flush.isActive())
        m_flush.start(int(qMax<qint64>(0, k.quietUntilMs - now)));
}

void LogLimiter::flush()
{
    const qint64 now = m_clock.elapsed();
    qint64 next = -1;
    for (auto it = m_kinds.begin(); it != m_kinds.end(); ++it) {
        Kind &k = it.value();
        if (k.held == 0)
            continue;
        if (now < k.quietUntilMs) {
            next = next < 0 ? k.quietUntilMs : qMin(next, k.quietUntilMs);
            continue;
        }
        emit logLine(k.held == 1 ? k.last
                                 : QStringLiteral("%1 more like this in the last second, the "
                                                  "last: %2")
                                       .arg(k.held)
                                       .arg(k.last));
        k.held = 0;
        k.quietUntilMs = now + windowMs;
    }
    if (next >= 0)
        m_flush.start(int(next - now));
}
