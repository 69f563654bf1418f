#pragma once

#include <QList>
#include <QString>

namespace Orvane {
namespace Zendral {

// The state of a queue that several services share through a server, as
// the window shows it.
//
// Threads: any.
class SharedQueue
{
public:
    virtual ~SharedQueue() = default;

    // Whether the server is reachable now, how many nodes have a recent
    // heartbeat, and this node's name.
    virtual bool IsConnected() const = 0;
    virtual int ConnectedNodes() const = 0;
    virtual QString NodeName() const = 0;

    // A node with a recent heartbeat, and whether its operator paused it.
    struct Node
    {
        QString name;
        bool paused = false;
    };
    // The nodes as the last heartbeat found them.
    virtual QList<Node> Nodes() const = 0;
    // This node's pause, told to the others with its heartbeats.
    virtual void SetPaused(bool paused) = 0;
    // Whether this node claims no work now because it cannot keep a job
    // here (its jobs folder or disk), and why; empty reason while it claims.
    virtual bool ClaimsSuspended() const = 0;
    virtual QString ClaimsSuspendedReason() const = 0;
};

} // namespace Zendral
} // namespace Orvane
