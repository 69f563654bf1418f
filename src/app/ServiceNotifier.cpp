#include "ServiceNotifier.h"

#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ServiceCore.h"

#ifdef ZENDRAL_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace Orvane {
namespace Zendral {

ServiceNotifier::ServiceNotifier(ServiceCore &core, QObject *parent)
    : QObject(parent)
    , core(core)
{
    connect(&core, &ServiceCore::serviceStateChanged, this, &ServiceNotifier::Update);
    connect(&core, &ServiceCore::listenFailed, this, &ServiceNotifier::OnListenFailed);
    connect(&core, &ServiceCore::runStarted, this, &ServiceNotifier::Update);
    connect(&core, &ServiceCore::runEnded, this, &ServiceNotifier::Update);
    connect(&core, &ServiceCore::queueReplaced, this, &ServiceNotifier::FollowQueue);
    FollowQueue();
}

// A failed start replaces the queue object; the counts come from the new one.
void ServiceNotifier::FollowQueue()
{
    disconnect(queueConnection);
    if (core.Queue())
        queueConnection = connect(core.Queue(), &LocalServer::updateJobList, this, &ServiceNotifier::Update);
}

void ServiceNotifier::OnListenFailed()
{
    failure = QStringLiteral("cannot listen on port %1: %2").arg(core.FailedPort(), core.ListenError());
    Update();
}

QString ServiceNotifier::StatusText() const
{
    if (!core.IsListening())
        return failure.isEmpty() ? QStringLiteral("not listening") : failure;
    int waiting = 0;
    int running = 0;
    if (core.Queue()) {
        for (const NesterJob *job : core.Queue()->Jobs()) {
            waiting += job->IsWaiting() ? 1 : 0;
            running += job->IsRunning() ? 1 : 0;
        }
    }
    return QStringLiteral("listening on %1:%2, %3 waiting, %4 running")
        .arg(core.Queue()->listener->serverAddress().toString())
        .arg(core.ListeningPort())
        .arg(waiting)
        .arg(running);
}

void ServiceNotifier::Update()
{
    if (stopping)
        return;
    if (core.IsListening())
        failure.clear();
    const QString status = StatusText();
    QByteArray state;
    if (core.IsListening() && !ready) {
        ready = true;
        state = "READY=1\n";
    }
    if (status != sentStatus || !state.isEmpty()) {
        sentStatus = status;
        Send(state + "STATUS=" + status.toUtf8());
    }
}

void ServiceNotifier::Stopping()
{
    if (stopping)
        return;
    stopping = true;
    Send("STOPPING=1\nSTATUS=stopping");
}

bool ServiceNotifier::Send(const QByteArray &state)
{
#ifdef ZENDRAL_HAVE_LIBSYSTEMD
    return sd_notify(0, state.constData()) > 0;
#else
    Q_UNUSED(state)
    return false;
#endif
}

} // namespace Zendral
} // namespace Orvane
