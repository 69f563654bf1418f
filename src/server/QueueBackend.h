#pragma once

#include "MoveStep.h"
#include "PickedJob.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QPair>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

class NesterJob;

// A session-facing reply: success and content.
using Reply = QPair<bool, QByteArray>;

// The queue's operations over the store that keeps it: this machine's
// journal (JournalQueue) or a database that several services share
// (ClusterStore). Both apply the same rules (QueueRules) and keep the
// queue in memory (QueueIndex) that serves lists and the window; they
// differ only in how a change is made durable or shared. A change a client
// is answered for has reached the queue in memory before the call returns.
//
// Threads: Load, Start, Close, Claim, Started, Progress, Result, Ended and
// TakeLostRuns on the GUI thread; the session operations on any thread.
// No lock is held by the caller.
class QueueBackend
{
public:
    virtual ~QueueBackend() = default;

    // Fills the queue in memory with the stored queue (at start-up).
    virtual void Load() = 0;
    // Begins following changes made elsewhere (once the window shows the queue).
    virtual void Start() = 0;
    // Writes everything (at the end; no session runs any more).
    virtual void Close() = 0;

    // A new job from client `from` under the plain file name `name`: the
    // document is decoded from its standard Base64 text as it is stored.
    virtual Reply Add(const QString &name, const QString &from, int time, const char *base64,
                      qint64 base64Size) = 0;
    virtual Reply Remove(const QString &job_id) = 0;
    // Ends the job and hands over its result, if any.
    virtual Reply PickUp(const QString &job_id) = 0;
    virtual Reply Move(const QString &job_id, MoveStep step) = 0;
    // The operator's retry of a failed job.
    virtual Reply Retry(const QString &job_id) = 0;
    // The operator's hold (QueueRules::Hold) until `until` (invalid: until
    // released). *stopRun: the job runs, and its run is to be stopped.
    virtual Reply Hold(const QString &job_id, const QDateTime &until, bool *stopRun) = 0;
    virtual Reply Release(const QString &job_id) = 0;
    // Releases the holds whose time has come (GUI thread, before a claim).
    virtual void ReleaseDue() = 0;
    // The marker data of the job's current result, for "job_data".
    virtual QByteArray Marker(const NesterJob &job) = 0;

    // The first job an engine may run now, claimed for this machine.
    virtual PickedJob Claim() = 0;
    virtual void Started(const QString &job_id) = 0;
    virtual void Progress(const QString &job_id, const QJsonObject &report) = 0;
    // Keeps the run's current result; false when it could not be kept.
    virtual bool Result(const QString &job_id, const QByteArray &bytes) = 0;
    // engineOutput: the tail of the engine's standard error, kept with the
    // record (QueueRules::KeepRun).
    virtual void Ended(const QString &job_id, int exit_code, const QString &reason, bool stopped,
                       const QString &engineOutput) = 0;
    // Jobs whose runs here were taken over elsewhere since the last call:
    // their engines are to be stopped.
    virtual QStringList TakeLostRuns() = 0;
};

} // namespace Zendral
} // namespace Orvane
