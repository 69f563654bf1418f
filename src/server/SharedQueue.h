#pragma once

#include "MoveStep.h"
#include "PickedJob.h"

#include <QByteArray>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace Orvane {
namespace Zendral {

class NesterJob;

// A session-facing reply: success and content.
using Reply = QPair<bool, QByteArray>;

// One change of a queue that several services share, as the mirror of this
// node applies it: a job's record put (a new job at the tail, or the
// record of a job that is there replaced), a job removed, a job moved after
// another one (none: to the head).
struct MirrorChange
{
    enum Kind { Put, Remove, Move };

    Kind kind = Put;
    QString id;
    // Put: a new, complete record; the receiver takes it.
    NesterJob *job = nullptr;
    // Move: the job it now follows; empty: the head.
    QString after;
};

// A queue kept by a server that several services share (a database). The
// server is the authority: every change is made there first, then applied to
// each node's copy of the queue (its mirror: the order and indexes of
// LocalServer, which serve lists and the window) from the server's change
// log, in order. A node that made a change has applied it before the call
// returns.
//
// Threads: the session operations from any thread; Claim, Progress, Result,
// Ended and Start on the GUI thread. No queue mutex is held by the caller.
class SharedQueue
{
public:
    // Applies changes to the mirror (with `reset`, the changes are the whole
    // queue, head first, and replace it). Called from any thread, one call
    // at a time, in the order of the change log.
    using Sink = std::function<void(std::vector<MirrorChange> &changes, bool reset)>;

    virtual ~SharedQueue() = default;

    virtual void SetSink(Sink sink) = 0;
    // Begins following the change log (GUI thread, once the window shows
    // the queue).
    virtual void Start() = 0;

    // A new job from client `from`: the document is decoded from its
    // standard Base64 text straight into the database.
    virtual Reply Add(const QString &fileName, const QString &from, int time, const char *base64,
                      qint64 base64Size) = 0;
    virtual Reply Remove(const QString &job_id) = 0;
    virtual Reply PickUp(const QString &job_id) = 0;
    virtual Reply Move(const QString &job_id, MoveStep step) = 0;
    virtual Reply Retry(const QString &job_id) = 0;
    // The job's current result document (for "job_data"); empty when none.
    virtual QByteArray ResultBytes(const QString &job_id) = 0;

    // Claims the first waiting job no node holds and fetches its document
    // into a job folder here; none when there is no such job.
    virtual PickedJob Claim() = 0;
    virtual void Progress(const QString &job_id, const QJsonObject &report) = 0;
    // Keeps the run's current result; false when it could not be kept.
    virtual bool Result(const QString &job_id, const QByteArray &bytes) = 0;
    virtual void Ended(const QString &job_id, int exit_code, const QString &reason, bool stopped) = 0;
    // Jobs whose runs here were taken over by another node since the last
    // call: their engines are to be stopped.
    virtual QStringList TakeLostRuns() = 0;

    // For the window: whether the server is reachable now, and how many
    // nodes have a recent heartbeat.
    virtual bool IsConnected() const = 0;
    virtual int ConnectedNodes() const = 0;
    virtual QString NodeName() const = 0;
};

} // namespace Zendral
} // namespace Orvane
