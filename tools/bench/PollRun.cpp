#include "PollRun.h"

#include "AdderPool.h"
#include "BenchClient.h"
#include "BenchDocument.h"
#include "BenchFailure.h"
#include "ClientGroup.h"
#include "Console.h"
#include "EventWait.h"
#include "ZendralWire.h"

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// Pollers use the addresses 127.0.2.x.
constexpr int AddressBlock = 2;
constexpr int ReplyWaitMs = 300000;
constexpr int DocumentSize = 1024;
} // namespace

PollRun::PollRun(const ZendralWire &wire, int pollers, QObject *parent)
    : QObject(parent)
    , wire(wire)
    , group(new ClientGroup(wire, pollers, AddressBlock, this))
{
    for (BenchClient *client : group->Clients())
        connect(client, &BenchClient::replied, this,
                [this](BenchClient *c, bool accepted, const QString &, qint64 ns) { OnReply(c, accepted, ns); });
}

PollRun::Result PollRun::Run(quint16 port, AdderPool &adders, int queued, int seconds)
{
    group->Open(port);
    // Each poller's own job, so that its list is not empty.
    const QByteArray document = BenchDocument::Make(DocumentSize, 2);
    int n = 0;
    for (BenchClient *client : group->Clients())
        client->Send(wire.AddNamed(QStringLiteral("bench-poller-%1.aex").arg(++n), document));
    group->WaitIdle(ReplyWaitMs, QStringLiteral("the pollers' own jobs"));
    if (result.refused > 0)
        throw BenchFailure{QStringLiteral("Zendral refused %1 of the pollers' jobs").arg(result.refused)};

    result.queuedAtStart = queued + group->Clients().size();
    const int addedBefore = adders.Accepted();
    adders.StartContinuous();
    Console::Progress(QStringLiteral("Zendral: %1 pollers list while %2 jobs are queued")
                          .arg(group->Clients().size())
                          .arg(result.queuedAtStart));
    RunPhase(Phase::List, seconds);
    RunPhase(Phase::Init, seconds);
    adders.StopAndDrain();
    result.queuedAtEnd = result.queuedAtStart + adders.Accepted() - addedBefore;
    return result;
}

void PollRun::RunPhase(Phase kind, int seconds)
{
    phase = kind;
    measuring = kind;
    for (BenchClient *client : group->Clients())
        SendNext(client);
    EventWait::Sleep(seconds * 1000);
    phase = Phase::Idle;
    group->WaitIdle(ReplyWaitMs, QStringLiteral("the last list replies"));
}

void PollRun::OnReply(BenchClient *client, bool accepted, qint64 nanoseconds)
{
    if (!accepted) {
        ++result.refused;
    } else if (measuring == Phase::List) {
        result.list.Add(nanoseconds);
    } else if (measuring == Phase::Init) {
        result.init.Add(nanoseconds);
    }
    SendNext(client);
}

void PollRun::SendNext(BenchClient *client)
{
    if (phase == Phase::Idle || !client->IsIdle())
        return;
    client->Send(phase == Phase::List ? wire.ListRequest() : wire.InitRequest());
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
