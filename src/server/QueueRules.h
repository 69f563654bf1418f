#pragma once

#include "FailurePolicy.h"
#include "MoveStep.h"
#include "PickedJob.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace Orvane {
namespace Zendral {

class NesterJob;

// Where a job stands in the queue's order, as the move rule reads it: its
// index, the queue's size, the index of the first waiting job (-1: none),
// whether the job itself waits and whether the job just before it waits.
struct OrderView
{
    int index = -1;
    int size = 0;
    int firstWaiting = -1;
    bool waits = false;
    bool previousWaits = false;
};

// How a run ended, as the store needs to write it: the job finished, was
// returned to waiting with no failure (stopped), waits for a retry after
// retryDelaySeconds (a failed run), is failed for good, or the end came
// after the job had left its run (nothing changes).
struct RunEnd
{
    enum Kind { Ignored, Finished, Stopped, Retry, Failed };
    Kind kind = Ignored;
    int retryDelaySeconds = 0;
};

// What the run left as its result when it ended: nothing (no result, or
// only empty ones), a result kept on stable storage, or a result that could
// not be written (disk full).
enum class RunResult { None, Kept, Broken };

// The rules of the job queue, the same for this machine's queue and for a
// queue that several services share: both stores call these and differ only
// in how a change is made durable or shared.
//
// Thread: any (no state).
class QueueRules
{
public:
    // The index a job moves to for `step`, or -1 when the step does not
    // move it: only a waiting job moves; up passes the previous job only if
    // that one waits, top goes before the first waiting job, down passes the
    // next job whatever its state, bottom goes to the tail.
    static int MoveTarget(MoveStep step, const OrderView &view);

    // The end of a run of `job`. Exit code 0 finishes it only with a result
    // kept (`result`): an engine that wrote none, or whose result could not
    // be written, has failed its run. A run the operator stopped returns it to
    // waiting with no failure counted. Any other end, an engine that never
    // started (-1) included, is a failed run: the job waits for a retry
    // after the policy's delay, and after the policy's number of failed runs
    // in a row it is failed. nowMs (steady clock) sets job.retry_at. A run
    // that ends with an error after the job left running changes nothing.
    static RunEnd EndRun(NesterJob &job, int exit_code, const QString &reason, bool stopped, RunResult result,
                         const FailurePolicy &policy, qint64 nowMs);

    // Keeps with the record what tells why a run ended: the run's start
    // (`runStart`, the job's start before EndRun cleared it), its end and
    // the tail of the engine's standard error. Nothing for an ignored end.
    static void KeepRun(NesterJob &job, const RunEnd &end, const QString &runStart,
                        const QString &engineOutput);

    // The operator's retry of a failed job: waiting again, its failed runs
    // and error forgotten. False when the job is not failed.
    static bool Retry(NesterJob &job);

    // What a hold asks of the job's run.
    enum class HoldResult { Refused, Held, StopRun };
    // The operator's hold: a waiting or running job is held (until `until`
    // when valid; a new hold replaces the time of an earlier one). A running
    // job's run is to be stopped (StopRun); its end then leaves it waiting,
    // held, with no failure counted. Finished and failed jobs are refused.
    static HoldResult Hold(NesterJob &job, const QDateTime &until);
    // Ends a hold; false when the job is not held.
    static bool Release(NesterJob &job);
    // Whether the job's hold has run out at `now` (it is then released).
    static bool HoldExpired(const NesterJob &job, const QDateTime &now);

    // Whether the job may be handed to an engine now (steady clock, ms): it
    // waits, is not held and its retry time has come. Jobs behind one waiting for its
    // retry go first meanwhile.
    static bool MayPick(const NesterJob &job, qint64 nowMs);

    // What the engine is given for `job`, whose document lies at `file`.
    static PickedJob Picked(const NesterJob &job, const QString &file);

    // The percentage an engine's progress report gives ("time_elapsed" of
    // "time_limit"); -1 when the report has no limit.
    static double ReportedPercent(const QJsonObject &report);
    // A progress report applied to a running job: progress only goes up and
    // never reaches 100 through reports (only a finish completes a job).
    static void ApplyProgress(NesterJob &job, const QJsonObject &report);

    // A record restored after a restart: an interrupted run is done again
    // from the start; a run that had reached 100 percent counts as finished.
    static void ResumeInterrupted(NesterJob &job);
};

} // namespace Zendral
} // namespace Orvane
