#pragma once

#include "LatencyStats.h"

#include <QObject>

namespace Orvane {
namespace Zendral {
namespace Bench {

class AdderPool;
class BenchClient;
class ClientGroup;
class ZendralWire;

// List latency at a full queue: pollers, each on an address of its own and
// each with one job of its own in the queue, send GET_NESTER_JOB_LIST in a
// loop while the adders keep adding; then INIT_SESSION the same way, as the
// baseline of a request that does no queue work.
//
// Thread: main thread only.
class PollRun : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        LatencyStats list;
        LatencyStats init;
        int refused = 0;
        int queuedAtStart = 0;
        int queuedAtEnd = 0;
    };

    PollRun(const ZendralWire &wire, int pollers, QObject *parent = nullptr);

    // `queued` is the number of jobs in the queue before the pollers add
    // theirs.
    Result Run(quint16 port, AdderPool &adders, int queued, int seconds);

private:
    enum class Phase { Idle, List, Init };

    void OnReply(BenchClient *client, bool accepted, qint64 nanoseconds);
    void SendNext(BenchClient *client);
    // Runs one phase for `seconds`, then lets the last replies come in.
    void RunPhase(Phase kind, int seconds);

    const ZendralWire &wire;
    ClientGroup *group;
    Phase phase = Phase::Idle;
    Phase measuring = Phase::Idle; // the kind of the requests in flight
    Result result;
};

} // namespace Bench
} // namespace Zendral
} // namespace Orvane
