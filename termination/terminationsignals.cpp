#include "terminationsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int handled[] = {SIGTERM, SIGINT, SIGHUP};
int wakeFds[2] = {-1, -1};
volatile std::sig_atomic_t signalArrived = 0;

// Only async-signal-safe calls here: the number goes through a socket to the event loop.
void onSignal(int number)
{
    const int saved = errno;
    signalArrived = 1;
    const unsigned char byte = static_cast<unsigned char>(number);
    (void)!::write(wakeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent)
    : QObject(parent)
{
    if (wakeFds[0] >= 0)
        return; // another instance has them
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, wakeFds) != 0) {
        wakeFds[0] = wakeFds[1] = -1;
        return;
    }
    m_notifier = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationSignals::readPending);
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a blocked call returns
    for (const int number : handled)
        ::sigaction(number, &action, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    if (!m_notifier)
        return;
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int number : handled)
        ::sigaction(number, &action, nullptr);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(wakeFds[0]);
    ::close(wakeFds[1]);
    wakeFds[0] = wakeFds[1] = -1;
}

int TerminationSignals::pendingDescriptor()
{
    return wakeFds[0];
}

bool TerminationSignals::hasArrived()
{
    return signalArrived != 0;
}

void TerminationSignals::readPending()
{
    unsigned char byte = 0;
    while (::read(wakeFds[0], &byte, 1) == 1)
        emit received(byte);
}
