#pragma once

#include "JobFolders.h"
#include "JobOrder.h"
#include "PickedJob.h"
#include "SharedQueue.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QVector>
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

class LocalManager;
class NesterJob;
class QueueStore;
struct QueueChange;
struct StoredRecord;

// The job service: owns the queue of job records, the TCP listener and the
// store that keeps the queue across restarts.
//
// Threads: lives on the GUI thread. The session operations (InitSession ...
// MoveNesterJob) run on client session threads; PickJob, UpdateData, the
// slots, RetryNesterJob, Jobs() and the constructor/destructor run on the
// GUI thread. Record fields are written on the GUI thread only (a new
// record is complete before it enters the queue), so the GUI thread may
// read the records it was given without the lock.
// Locks: queueMutex guards the order and the indexes; it is held for each
// whole operation, and no operation walks the
// whole queue while holding it (positions and per-client lists come from
// the order's counts and the indexes). Lock order: queue mutex, then the
// store's own mutex, then the file lock; the outbox mutex is innermost.
// The file lock orders result-file reads against rewrites. Every change a
// client is answered for is on stable storage (the store's WaitDurable)
// before the reply is returned. Changes reach the GUI thread as ordered
// events through the outbox; a record taken out of the queue is deleted on
// the GUI thread once the event of its removal has been delivered, so
// pointers handed out there stay valid until the receiver heard of it.
//
// With "store/backend" = "postgresql" the queue is shared by several
// services (SharedQueue, ClusterStore): every change is made in the
// database, and the order and indexes here are this node's mirror of it,
// changed only through ApplyShared. There records are never changed in
// place: a newer record replaces the old one (which is deleted on the GUI
// thread once the event of its replacement has been delivered), so any
// thread applying the change log keeps the rule above.
class LocalServer : public QObject
{
    Q_OBJECT
public:
    // `reporter` shows errors to the operator on the GUI thread (the window
    // gives a message box); without one nothing is shown, only logged.
    explicit LocalServer(QObject *parent = nullptr, JobFolders::ErrorReporter reporter = JobFolders::ErrorReporter());
    ~LocalServer() override;

    // The queue mutex; held by the queue for each whole operation. Tests
    // that change a record's fields in place take it too.
    std::mutex &QueueMutex() const { return queueMutex; }
    // The jobs folder and its job folders.
    JobFolders &Folders() const { return *folders; }

    QString StartListen(const QString &port);
    // The outward-facing address; waits at most waitMs (capped at about 1 s)
    // for an address probe that is still running.
    QString LocalHostIP(int waitMs = 1000);

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

    // GUI thread. The first job an engine may run now (none: !IsValid()).
    PickedJob PickJob();
    // Replaces the job's result file atomically; false when it could not be
    // written (the previous result stays, and a finish of the run counts as
    // a failure).
    bool UpdateData(const QJsonObject &data);
    // The queue, head first (a copy of the order, taken under the queue
    // mutex; GUI thread: the records stay alive until the events of their
    // removal have been delivered).
    QList<NesterJob *> Jobs() const;
    // A copy of one job's record; false when there is no such job (any thread).
    bool CopyJob(const QString &job_id, NesterJob *copy) const;
    // The store (the journal by default); for tests and the benchmark.
    QueueStore *Store() const { return store.get(); }
    // The shared queue when several services share one (else null).
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
    void OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped);

private:
    struct Event
    {
        enum Kind { Inserted, Removed, Moved, Changed, Replaced };
        Kind kind;
        int row = 0;
        int to = 0;
        NesterJob *job = nullptr; // Removed: owned by the event until delivered
        NesterJob *old = nullptr; // Replaced: owned by the event until delivered
    };

    // Caller holds the queue mutex.
    NesterJob *FindJob(const QString &job_id) const { return byId.value(job_id); }
    Reply CheckQuota(const QString &from, qint64 documentSize);
    void Insert(NesterJob *job);
    // Takes the record out of the queue, deletes its files and job folder
    // and hands the record to its removal event.
    void TakeOut(NesterJob *job);
    static QueueChange PutChange(NesterJob *job, bool durable);
    quint64 RecordPut(NesterJob *job, bool durable);
    quint64 RecordMove(NesterJob *job);
    void MoveTo(NesterJob *job, int to);
    // Applies changes of a shared queue to the mirror (any thread, one call
    // at a time; takes the queue mutex). Takes the records of the puts.
    void ApplyShared(std::vector<MirrorChange> &changes, bool reset);
    void ReplaceRecord(NesterJob *old, NesterJob *job);
    // A change of a record's fields on the GUI thread: recorded, announced.
    template <typename F>
    bool ChangeJob(const QString &job_id, bool durable, F change);
    // A copy of the queue's stored records, head first (queue mutex held).
    QVector<StoredRecord> Snapshot() const;
    // Any thread, queue mutex held: notes an event for the GUI thread.
    void Post(const Event &event);
    // GUI thread: delivers the events at once (after a change made there)
    // or at every tick of the delivery timer.
    void DeliverNotifications();
    void DeliverSoon();

    mutable std::mutex queueMutex;
    const std::unique_ptr<JobFolders> folders;
    std::shared_mutex fileLock;
    std::unique_ptr<QueueStore> store;
    // The store as a shared queue, when it is one (set in the constructor).
    SharedQueue *shared = nullptr;
    // Guarded by the queue mutex.
    JobOrder order;
    QHash<QString, NesterJob *> byId;
    QHash<QString, QSet<NesterJob *>> byClient;
    // Limits read at construction.
    int maxJobsPerClient = 0;
    qint64 minFreeDiskBytes = 0;
    QDir jobsDir;
    // Guarded by outboxMutex. Other threads never post events to the GUI
    // thread: they only fill the outbox, which a timer on the GUI thread
    // empties (this keeps the hand-over plain, and visible to
    // ThreadSanitizer, which cannot see the lock of Qt's own event queue).
    std::mutex outboxMutex;
    std::vector<Event> outbox;
    QTimer *deliveryTimer = nullptr;
};

} // namespace Zendral
} // namespace Orvane
