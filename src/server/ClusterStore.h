#pragma once

#include "ClusterSettings.h"
#include "JobFolders.h"
#include "PgPool.h"
#include "QueueRules.h"
#include "QueueBackend.h"
#include "QueueIndex.h"
#include "QueueStore.h"
#include "SharedQueue.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvane {
namespace Zendral {

class PgConnection;

// The queue shared by several services through one PostgreSQL server. The
// queue's rules (QueueRules) are evaluated on the rows read inside each
// change's transaction, so every node applies them to the database's order.
//
// The database is the authority. Every change is one transaction that takes
// the queue's lock (a transaction-scoped advisory lock, so that changes
// commit one after the other and the change log's numbers follow the commit
// order), updates zendral_jobs, appends to zendral_changes and sends a
// notification. Every node keeps its mirror (the queue in memory,
// QueueIndex) by applying the log after the last number it applied: at a
// notification, every few seconds in case one was missed, and, for the node
// that made a change, before the change's call returns.
//
// Work is claimed with FOR UPDATE SKIP LOCKED in queue order; a claimed job
// runs under a run number and a lease that the node's heartbeat and
// progress reports renew. Every write of a run names its run number, so a
// node that lost a job (its lease ran out and another node took it) can
// never overwrite it; a lease that runs out is returned to waiting at its
// place as a failed run by any node's reaper. A document is kept on this
// node, in a job folder of today's layout, only while its engine runs.
//
// While the database cannot be reached, changes are refused ("Service
// busy..."), the lists come from the mirror, engines go on, and their ends
// and results wait until the database is back: in memory, and in a file
// beside the job's local copy (RunEndSuffix), so that they also survive a
// stop of the service; Load reads those files back.
//
// A node that hangs must not stall the others: progress reports send their
// whole transaction at once (the queue's lock is held only while the server
// runs it), the server ends a session idle inside a transaction within
// seconds (PgConnection), and the heartbeat with the lease renewal has a
// thread and connection of its own and takes no queue lock.
//
// Threads: Load, Start, Claim, Progress, Result, Ended and Close on the GUI
// thread; the session operations on session threads; the watcher thread
// follows the log, writes what waited, reaps and reconnects; the beat thread
// beats and renews leases. Connections: the watcher and the beat thread have
// their own, the others borrow from the pool. Locks: catchUpMutex (the
// mirror's applied position, the applying of changes) is taken before the
// index's mutex; runsMutex guards `runs`, `lost` and `suspendedReason` and
// is innermost.
class ClusterStore : public QueueBackend, public SharedQueue
{
public:
    // `index` is this node's copy of the queue (the mirror); `folders` gets
    // the local copies of running jobs' documents. Both outlive the store.
    ClusterStore(const ClusterSettings &settings, QueueIndex &index, JobFolders &folders);
    ~ClusterStore() override;

    // QueueBackend.
    void Load() override;
    void Start() override;
    void Close() override;
    Reply Add(const QString &fileName, const QString &from, int time, const char *base64,
              qint64 base64Size) override;
    Reply Remove(const QString &job_id) override;
    Reply PickUp(const QString &job_id) override;
    Reply Move(const QString &job_id, MoveStep step) override;
    Reply Retry(const QString &job_id) override;
    Reply Hold(const QString &job_id, const QDateTime &until, bool *stopRun) override;
    Reply Release(const QString &job_id) override;
    void ReleaseDue() override;
    QByteArray Marker(const NesterJob &job) override;
    PickedJob Claim() override;
    void Started(const QString &job_id) override;
    void Progress(const QString &job_id, const QJsonObject &report) override;
    bool Result(const QString &job_id, const QByteArray &bytes) override;
    void Ended(const QString &job_id, int exit_code, const QString &reason, bool stopped,
               const QString &engineOutput) override;
    QStringList TakeLostRuns() override;

    // SharedQueue.
    bool IsConnected() const override;
    int ConnectedNodes() const override { return nodes.load(); }
    QList<Node> Nodes() const override;
    void SetPaused(bool paused) override { pausedHere = paused; }
    QString NodeName() const override { return settings.Node(); }
    bool ClaimsSuspended() const override { return claimsSuspended.load(); }
    QString ClaimsSuspendedReason() const override;

    // The queue's lock: every change of the shared queue holds it (an
    // advisory lock of the transaction) until its commit.
    static constexpr qint64 QueueLockKey = 0x5a454e4452414c02LL;
    // The file beside a job's local copy that keeps the end of its run (and
    // its result) until the database has it.
    static constexpr const char *RunEndSuffix = ".runend";

private:
    // A run of a job on this node.
    struct LocalRun
    {
        qint64 run_id = 0;
        QString file;         // the local copy of the document
        QByteArray result;    // the last result document
        bool resultDirty = false; // not yet in the database
        bool ended = false;   // the engine ended; the end waits for the database
        int exitCode = 0;
        QString reason;
        bool stopped = false;
        QString engineOutput; // the tail of the engine's standard error
        QString runStart;     // the run's start, as its claim wrote it
    };

    // A change transaction: BEGIN and the queue's lock.
    bool BeginChange(PgConnection &connection);
    Reply ChangeHold(const QString &job_id, bool hold, const QDateTime &until, bool *stopRun);
    // Takes the queue's lock in the open transaction.
    bool LockQueue(PgConnection &connection);
    // Tests only (ZENDRAL_TEST_STOP_AT lists places, comma-separated): the
    // process stops itself (SIGSTOP) at the first place listed, then at the
    // next one, each once.
    void StopHereForTest(const char *place);
    // Logs a put (or move, or removal) of the job and notifies; the change's
    // number, or 0 on failure.
    qint64 LogPut(PgConnection &connection, const QString &job_id);
    qint64 LogMove(PgConnection &connection, const QString &job_id);
    qint64 LogRemove(PgConnection &connection, const QString &job_id);
    // Ends a change: commit, then the mirror catches up to `seq`.
    bool CommitChange(PgConnection &connection, qint64 seq);
    bool DeleteJob(PgConnection &connection, const QString &job_id);
    // Move helpers: a free place just before or after a job; where a job
    // stands, as the move rule reads it.
    qint64 OrdBefore(PgConnection &connection, const QString &job_id);
    qint64 OrdAfter(PgConnection &connection, const QString &job_id);
    bool ReadView(PgConnection &connection, const QString &job_id, OrderView *view);
    // Writes a record's rule-made fields back to its row (the run is over).
    bool WriteFields(PgConnection &connection, const NesterJob &job, const RunEnd &end);

    // The mirror: brings it up to `target` (0: whatever the log holds).
    bool CatchUp(PgConnection &connection, qint64 target);
    bool Resync(PgConnection &connection);
    bool ReadSnapshot(PgConnection &connection, std::vector<QueueChange> &jobs, qint64 *seq);
    // Applies changes to the mirror (catchUpMutex held; takes the index's mutex).
    void ApplyToMirror(std::vector<QueueChange> &changes, bool reset);
    // The job's current result document; empty when none.
    QByteArray ResultBytes(const QString &job_id);

    // Runs.
    // Whether this node's jobs folder takes a new file now (GUI thread).
    bool FolderWorks();
    // A claim this node could not serve (its folder, its disk, the fetch):
    // the job goes back unclaimed with no failure counted, and the node
    // claims nothing until its folder works again.
    void GiveBack(const QString &job_id, const QString &error);
    bool Fetch(PgConnection &connection, const QString &job_id, const QString &file, QString *error);
    // Writes the end of a run; false when the database could not be reached
    // (the end is kept and written later).
    bool WriteEnd(PgConnection &connection, const QString &job_id, const LocalRun &run);
    void DropLocalCopy(const QString &job_id, const QString &file);
    // The run's end and result into the file beside its local copy (written
    // whole or not at all); false when it could not be written.
    bool KeepEndOnDisk(const QString &job_id, const LocalRun &run);
    // The ends kept on disk by an earlier start of this node, as ended runs
    // that wait for the database.
    void ReadKeptEnds();

    // Watcher thread.
    void Watch();
    bool Connect(PgConnection &connection, bool report);
    // Beat thread.
    void Beat();
    void Heartbeat(PgConnection &connection);
    void FlushPending(PgConnection &connection);
    void Reap(PgConnection &connection);
    void Prune(PgConnection &connection);
    void SleepUnlessStopping(std::chrono::milliseconds time);

    const ClusterSettings settings;
    QueueIndex &index;
    JobFolders &folders;
    PgPool pool;
    std::atomic<bool> stopping{false};
    std::atomic<bool> pausedHere{false};
    mutable std::mutex nodesMutex;
    QList<Node> nodeList; // guarded by nodesMutex; the watcher writes it
    std::atomic<bool> connected{false};
    std::atomic<int> nodes{0};
    std::atomic<bool> schemaReady{false};

    std::mutex catchUpMutex;
    qint64 applied = 0; // guarded by catchUpMutex
    std::atomic<qint64> appliedSeen{0}; // `applied`, for the heartbeat without the mutex
    bool loaded = false; // guarded by catchUpMutex

    mutable std::mutex runsMutex;
    QHash<QString, LocalRun> runs; // guarded by runsMutex
    QStringList lost;              // guarded by runsMutex
    QString suspendedReason;       // guarded by runsMutex

    std::atomic<bool> claimsSuspended{false}; // written on the GUI thread: claims wait for FolderWorks
    QString stopAtForTest;          // set in the constructor, then read-only
    QStringList stoppedForTest;     // the places passed
    std::mutex stopForTestMutex;    // guards stoppedForTest

    std::mutex stopMutex;
    std::condition_variable stopWake;
    std::thread watcher;
    std::thread beater;
};

} // namespace Zendral
} // namespace Orvane
