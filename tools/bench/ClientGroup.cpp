#include "ClientGroup.h"

#include "BenchClient.h"
#include "BenchFailure.h"
#include "EventWait.h"

#include <QString>

namespace Orvane {
namespace Zendral {
namespace Bench {

namespace {
// Generous: a service busy with a long queue may accept slowly, and that is
// to be measured, not to end the run.
constexpr int ConnectWaitMs = 300000;
} // namespace

ClientGroup::ClientGroup(const WireProtocol &wire, int count, int block, QObject *parent)
    : QObject(parent)
{
    for (int i = 0; i < count; ++i) {
        const QHostAddress local(QStringLiteral("127.0.%1.%2").arg(block).arg(i + 1));
        clients.append(new BenchClient(wire, local, this));
    }
}

void ClientGroup::Open(quint16 port)
{
    for (BenchClient *client : qAsConst(clients))
        client->Open(port);
    EventWait::Until(
        [this] {
            CheckBroken();
            for (const BenchClient *client : qAsConst(clients)) {
                if (!client->IsReady())
                    return false;
            }
            return true;
        },
        ConnectWaitMs, QStringLiteral("%1 connections").arg(clients.size()));
}

void ClientGroup::CheckBroken() const
{
    for (const BenchClient *client : qAsConst(clients)) {
        if (!client->Broken().isEmpty())
            throw BenchFailure{QStringLiteral("connection lost: %1").arg(client->Broken())};
    }
}

bool ClientGroup::AllIdle() const
{
    for (const BenchClient *client : qAsConst(clients)) {
        if (!client->IsIdle())
            return false;
    }
    return true;
}

void ClientGroup::WaitIdle(int timeoutMs, const QString &what) const
{
    EventWait::Until(
        [this] {
            CheckBroken();
            return AllIdle();
        },
        timeoutMs, what);
}

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
