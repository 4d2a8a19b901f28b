#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

// Lines about refused or dropped messages, at most one a second of each kind: a flood of bad
// messages must not become a flood of log lines. The first line of a kind goes out at once;
// the others within the next second are counted, and one line tells how many there were and
// the last of them.
class LogLimiter : public QObject
{
    Q_OBJECT
public:
    static constexpr int windowMs = 1000;

    explicit LogLimiter(QObject *parent = nullptr);
    void say(const QString &kind, const QString &line);

signals:
    void logLine(const QString &text);

private:
    struct Kind
    {
        qint64 quietUntilMs = 0;
        int held = 0;
        QString last;
    };
    void flush();

    QElapsedTimer m_clock;
    QHash<QString, Kind> m_kinds;
    QTimer m_flush;
};
