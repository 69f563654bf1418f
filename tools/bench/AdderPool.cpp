#include "AdderPool.h"

#include "BenchClient.h"
#include "BenchFailure.h"
#include "ClientGroup.h"
#include "EventWait.h"
#include "WireProtocol.h"

#include <limits>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// Adders use the addresses 127.0.1.x.
constexpr int AddressBlock = 1;
// A server that answers no add for this long is taken as stuck.
constexpr int StallMs = 300000;
} // namespace

AdderPool::AdderPool(const WireProtocol &wire, int clients, const QByteArray &document, QObject *parent)
    : QObject(parent)
    , wire(wire)
    , document(document)
    , group(new ClientGroup(wire, clients, AddressBlock, this))
{
    for (BenchClient *client : group->Clients())
        connect(client, &BenchClient::replied, this,
                [this](BenchClient *c, bool accepted, const QString &content, qint64) { OnReply(c, accepted, content); });
}

void AdderPool::Open(quint16 port)
{
    group->Open(port);
}

void AdderPool::Run(int count)
{
    limit = sent + count;
    adding = true;
    Kick();
    EventWait::Until(
        [this] {
            group->CheckBroken();
            CheckStall();
            return answered >= limit;
        },
        std::numeric_limits<int>::max(), QStringLiteral("adds")); // bounded by the stall check
    adding = false;
}

void AdderPool::StartContinuous()
{
    limit = -1;
    adding = true;
    Kick();
}

void AdderPool::StopAndDrain()
{
    adding = false;
    group->WaitIdle(StallMs, QStringLiteral("the last adds"));
}

void AdderPool::OnReply(BenchClient *client, bool accepted, const QString &content)
{
    ++answered;
    sinceReply.start();
    if (accepted) {
        acceptedIds.append(content);
        if (onAccepted)
            onAccepted(acceptedIds.size());
    } else {
        ++refused;
        lastRefusal = content;
    }
    SendNext(client);
}

void AdderPool::SendNext(BenchClient *client)
{
    if (!adding || (limit >= 0 && sent >= limit) || !client->IsIdle())
        return;
    client->Send(wire.AddRequest(int(sent), document));
    ++sent;
}

void AdderPool::Kick()
{
    sinceReply.start();
    for (BenchClient *client : group->Clients())
        SendNext(client);
}

void AdderPool::CheckStall() const
{
    if (sinceReply.hasExpired(StallMs))
        throw BenchFailure{QStringLiteral("%1 answered no add for %2 s").arg(wire.Name()).arg(StallMs / 1000)};
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
