#include "QuitSignalNotifier.h"

#include <QSocketNotifier>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Orvane {

#ifndef Q_OS_WIN

namespace {

const int QuitSignals[] = {SIGTERM, SIGINT};
const int QuitSignalCount = int(sizeof QuitSignals / sizeof QuitSignals[0]);

// The pipe from the handler to the notifier, and the actions the handler
// replaced. Written on the main thread while no handler is installed.
int pipeEnds[2] = {-1, -1};
struct sigaction previous[QuitSignalCount];
bool installed[QuitSignalCount] = {};

// Async-signal-safe: one write of one byte; a full pipe (a burst of signals
// not yet read) loses the byte, not the request.
void OnQuitSignal(int number)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    static_cast<void>(written);
    errno = savedErrno;
}

// Both ends close on exec (engines must not inherit them) and never block.
bool MakePipe()
{
    if (::pipe(pipeEnds) != 0)
        return false;
    for (int fd : pipeEnds) {
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return true;
}

void ClosePipe()
{
    for (int &fd : pipeEnds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace

QuitSignalNotifier::QuitSignalNotifier(QObject *parent)
    : QObject(parent)
{
    if (pipeEnds[0] >= 0 || !MakePipe())
        return; // another instance is active, or no pipe: default actions stay
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &QuitSignalNotifier::readSignals);

    struct sigaction action{};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < QuitSignalCount; ++i) {
        struct sigaction current{};
        ::sigaction(QuitSignals[i], nullptr, &current);
        if (current.sa_handler == SIG_IGN)
            continue;
        installed[i] = ::sigaction(QuitSignals[i], &action, &previous[i]) == 0;
    }
}

QuitSignalNotifier::~QuitSignalNotifier()
{
    if (!notifier)
        return;
    // Handlers first, so that none writes to a closed pipe.
    for (int i = 0; i < QuitSignalCount; ++i) {
        if (installed[i])
            ::sigaction(QuitSignals[i], &previous[i], nullptr);
        installed[i] = false;
    }
    delete notifier;
    notifier = nullptr;
    ClosePipe();
}

bool QuitSignalNotifier::isActive() const
{
    return notifier != nullptr;
}

void QuitSignalNotifier::readSignals()
{
    unsigned char bytes[16];
    ssize_t count = 0;
    while ((count = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit quitRequested(bytes[i]);
    }
}

#else // Q_OS_WIN

QuitSignalNotifier::QuitSignalNotifier(QObject *parent)
    : QObject(parent)
{
}

QuitSignalNotifier::~QuitSignalNotifier() = default;

bool QuitSignalNotifier::isActive() const
{
    return false;
}

void QuitSignalNotifier::readSignals()
{
}

#endif

} // namespace Orvane
