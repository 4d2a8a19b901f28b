#pragma once

// relayctl run as a program to its end, while the event loop keeps running (a board or a
// broker the test plays answers from it).
#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

struct Run
{
    int status = -1; // -1: it did not end normally
    QString out;
    QString err;
};

inline Run relayctl(const QStringList &args)
{
    QProcess p;
    p.start(QStringLiteral(RELAYCTL), args);
    if (!p.waitForStarted())
        return {};
    QSignalSpy finished(&p, &QProcess::finished);
    if (p.state() != QProcess::NotRunning)
        finished.wait(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAllStandardOutput()),
            QString::fromLocal8Bit(p.readAllStandardError())};
}
