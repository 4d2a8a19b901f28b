#include "listener.h"

#include <unistd.h>

#include "hexbytetext.h"
#include "output.h"
#include "terminationsignals.h"

Listener::Listener(BoardLink &link, Setup setup, TerminationSignals &terminations)
    : m_link(link)
    , m_setup(std::move(setup))
{
    m_timeout.setSingleShot(true);
    QObject::connect(&m_timeout, &QTimer::timeout, [this] { timedOut(); });
    QObject::connect(&m_link, &BoardLink::dataReceived,
                     [this](const QByteArray &bytes) { data(bytes); });
    QObject::connect(&m_link, &BoardLink::deviceLost, [this] {
        sayError(QStringLiteral("%1: %2").arg(m_setup.name, m_setup.lostText));
        finish(m_setup.lostStatus);
    });
    QObject::connect(&terminations, &TerminationSignals::received, [this] {
        m_interrupted = true;
        finish(m_status);
    });
}

ExitStatus Listener::run()
{
    if (!m_setup.watch && !m_done)
        m_timeout.start(m_setup.timeoutMs);
    if (!m_done)
        m_loop.exec();
    m_link.close();
    if (m_interrupted && !m_setup.watch && m_status == ExitStatus::Done && m_timeout.isActive()) {
        sayError(QStringLiteral("%1: interrupted before the reply came").arg(m_setup.name));
        return ExitStatus::NoReply;
    }
    return m_status;
}

void Listener::finish(ExitStatus status)
{
    if (m_done)
        return;
    m_done = true;
    m_status = status;
    m_loop.quit();
}

void Listener::timedOut()
{
    if (const QByteArray started = m_decoder.pendingBytes(); !started.isEmpty()) {
        // A reply equal to a key report's marker: what came is said, not blamed on wiring.
        QStringList texts;
        for (const char b : started)
            texts << hexByteText(std::uint8_t(b));
        sayError(QStringLiteral("%1: the board sent %2 and nothing more within %3 ms: the start "
                                "of a key report, not a reply; try again")
                     .arg(m_setup.name, texts.join(QLatin1Char(' ')))
                     .arg(m_setup.timeoutMs));
    } else {
        sayError(QStringLiteral("%1: no reply within %2 ms; check the board's power and wiring")
                     .arg(m_setup.name)
                     .arg(m_setup.timeoutMs));
    }
    finish(ExitStatus::NoReply);
}

// The reader of the output went away (watch | head -n 2): the program ends quietly, with the
// port released like at any other end.
bool Listener::print(const QString &text)
{
    const Output written = writeLine(STDOUT_FILENO, text);
    if (written == Output::Closed)
        finish(m_status);
    return written == Output::Written;
}

void Listener::data(const QByteArray &bytes)
{
    if (m_done)
        return;
    for (const DecodeResult &r : m_decoder.feed(bytes)) {
        if (r.kind == DecodeResult::Kind::ReplyByte) {
            if (!m_setup.watch) {
                print(m_setup.json ? stateLine(r.replyByte) : hexByteText(r.replyByte));
                m_timeout.stop();
                finish(ExitStatus::Done);
                return;
            }
            if (!print(eventLine(QStringLiteral("reply"), {r.replyByte}, m_setup.json)))
                return;
        } else if (m_setup.watch) {
            const IrKeyMessage &m = r.message;
            if (!print(eventLine(m.pressKind == PressKind::Long ? QStringLiteral("long")
                                                                : QStringLiteral("short"),
                                 {m.userCode1, m.userCode2, m.operationCode, m.inverseCode},
                                 m_setup.json)))
                return;
        }
    }
}
