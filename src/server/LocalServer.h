#pragma once

#include "JobActions.h"
#include "JobFolders.h"
#include "ServiceSettings.h"
#include "PickedJob.h"
#include "QueueBackend.h"
#include "SharedQueue.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QVector>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace Orvane {
namespace Zendral {

class FreeDiskGauge;
class JournalStore;
class LocalManager;
class NesterJob;
class QueueBackend;
class QueueIndex;
class QueueStore;

// The job service: the queue of job records, the TCP listener and the
// store that keeps the queue across restarts.
//
// Threads: lives on the GUI thread. The session operations (InitSession ...
// MoveNesterJob) run on client session threads; PickJob, UpdateData, the
// slots, RetryNesterJob, Jobs() and the constructor/destructor run on the
// GUI thread. Record fields are written on the GUI thread only (a new
// record is complete before it enters the queue), or, with a shared queue,
// never in place (a newer record replaces the old one), so the GUI thread
// may read the records it was given without the lock.
// Locks: the queue's records in memory (QueueIndex) are guarded by its
// mutex, held for each whole operation by the store; no operation walks
// the whole queue while holding it. Lock order: the index's mutex, then the
// store's own, then the file lock; the outbox mutex is innermost. Changes
// reach the GUI thread as ordered events; a record taken out of the queue
// is deleted on the GUI thread once the event of its removal has been
// delivered, so pointers handed out there stay valid until the receiver
// heard of it.
//
// The store is this machine's journal (JournalQueue) or, with
// "store/backend" = "postgresql", a queue shared by several services
// (ClusterStore); both are a QueueBackend, chosen once in the constructor.
class LocalServer : public QObject
{
    Q_OBJECT
public:
    // `reporter` shows errors to the operator on the GUI thread (the window
    // gives a message box); without one nothing is shown, only logged.
    // config: the service's settings; left out, the per-user settings store
    // is read here (tests and tools that build a queue on their own).
    explicit LocalServer(QObject *parent = nullptr, JobFolders::ErrorReporter reporter = JobFolders::ErrorReporter(),
                         const ServiceConfig &config = ServiceSettings::UserSettings().Read());
    ~LocalServer() override;

    // The queue's mutex (QueueIndex); tests that change a record's fields
    // in place take it.
    std::mutex &QueueMutex() const;
    // The jobs folder and its job folders.
    JobFolders &Folders() const { return *folders; }

    QString StartListen(const QString &port);
    // The outward-facing address; waits at most waitMs (capped at about 1 s)
    // for an address probe that is still running.
    QString LocalHostIP(int waitMs = 1000);
    // See LocalManager::addressProbeRunning.
    bool AddressProbeRunning(QString *address) const;

    Reply InitSession();
    // Takes the request's buffer (moved in, it is read in place).
    Reply AddNesterJob(QByteArray request, const QString &from);
    Reply RemoveNesterJob(const QString &job_id);
    Reply PickUpNesterJob(const QString &job_id);
    Reply GetNesterJobList(const QString &from, const QString &requestedName);
    Reply MoveNesterJob(const QByteArray &request);
    // The operator's retry of a failed job: back to waiting at the tail,
    // its failed-run count reset. (true, empty) or (false, "Job non-existent...").
    Reply RetryNesterJob(const QString &job_id);

    // The operator's hold of a waiting or running job, until `until`
    // (invalid: until released); *stopRun: its run here is to be stopped.
    Reply HoldNesterJob(const QString &job_id, const QDateTime &until, bool *stopRun);
    Reply ReleaseNesterJob(const QString &job_id);
    // Every job as the operator's tools see it (OperatorJob), head first;
    // copied under the queue mutex, built after (any thread).
    QJsonArray OperatorJobs() const;
    // When the waiting job submitted first came (ms since the epoch; 0: none
    // waits), from one walk of the queue under its mutex (any thread).
    qint64 OldestWaitingMs() const;
    // The number of jobs per state ("waiting", "held", "running",
    // "finished", "failed"), without walking the queue (any thread).
    QJsonObject StateCounts() const;

    // GUI thread. Releases the holds whose time has come.
    void ReleaseDueHolds();
    // GUI thread. The first job an engine may run now (none: !IsValid());
    // holds whose time has come are released first.
    PickedJob PickJob();
    // Replaces the job's result file atomically; false when it could not be
    // written (the previous result stays, and a finish of the run counts as
    // a failure).
    bool UpdateData(const QJsonObject &data);
    // The queue, head first (a copy of the order, taken under the queue
    // mutex; GUI thread: the records stay alive until the events of their
    // removal have been delivered).
    QList<NesterJob *> Jobs() const;
    // What the operator can do with the job now (nothing when there is no
    // such job; any thread).
    JobActions ActionsFor(const QString &job_id) const;
    // A copy of one job's record; false when there is no such job (any thread).
    bool CopyJob(const QString &job_id, NesterJob *copy) const;
    // This machine's journal (null with a shared queue); for tests and the benchmark.
    QueueStore *Store() const;
    // The shared queue's state when several services share one (else null).
    SharedQueue *Shared() const { return shared; }

    LocalManager *listener = nullptr;

signals:
    // Emitted on the GUI thread, in the order the changes were made: a job
    // entered the queue at `row`; the job at `row` left it (`job` stays valid
    // during the emission only); the job at `from` moved to `to` (as
    // QList::move); a job's fields changed.
    void jobInserted(int row, NesterJob *job);
    void jobRemovedAt(int row, NesterJob *job);
    void jobMoved(int from, int to);
    void jobChanged(NesterJob *job);
    // A shared queue's newer record of the job at `row` took the place of
    // `old` (valid during the emission only).
    void jobReplaced(int row, NesterJob *old, NesterJob *job);
    // Emitted on the GUI thread after the events of a delivery, with the
    // whole queue.
    void updateJobList(QList<NesterJob *> jobs);
    // Emitted on the GUI thread when a job has left the queue (removed or
    // picked up), so that its engine run can be stopped.
    void jobRemoved(QString job_id);
    // Emitted on the GUI thread when another node took over a job that runs
    // here (its lease ran out): its engine run is to be stopped.
    void runLost(QString job_id);

public slots:
    void OnJobStarted(QString job_id);
    void OnJobUpdate(QString jod_id, QJsonObject object);
    void OnJobFinish(QString job_id, int exit_code);
    // The end of a run with its reason. Exit code 0 finishes the job (unless
    // its result could not be written). A run the operator stopped returns
    // the job to waiting at its place, with no failure counted. Any other
    // end is a failed run: the job waits at its place and is retried after
    // "worker/retry_delay_seconds"; after "worker/max_failed_runs" failed
    // runs in a row it is failed and not run again until retried.
    // engineOutput: the tail of the engine's standard error.
    void OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped,
                    const QString &engineOutput = QString());

private:
    Reply CheckQuota(const QString &from, qint64 documentSize);
    // GUI thread: delivers the events at once (after a change made there)
    // or at every tick of the delivery timer.
    void DeliverNotifications();
    void DeliverSoon();

    const std::unique_ptr<JobFolders> folders;
    std::unique_ptr<QueueIndex> index;
    // Orders result-file reads against rewrites and removals (journal).
    std::shared_mutex fileLock;
    std::unique_ptr<QueueBackend> backend;
    // The backend as what it is, for the accessors above (set once).
    JournalStore *journal = nullptr;
    SharedQueue *shared = nullptr;
    // Limits read at construction.
    int maxJobsPerClient = 0;
    qint64 minFreeDiskBytes = 0;
    QDir jobsDir;
    std::unique_ptr<FreeDiskGauge> freeDisk;
    QTimer *deliveryTimer = nullptr;
};

} // namespace Zendral
} // namespace Orvane
