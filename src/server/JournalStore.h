#pragma once

#include "JournalFile.h"
#include "RecentAdders.h"
#include "QueueStore.h"

#include <QDir>
#include <QHash>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Orvane {
namespace Zendral {

// The queue's default store: a journal beside the queue backup, with group
// commit.
//
// Files in the jobs folder:
// - "JOB_LIST.BAK": the compacted queue, in the format every version reads.
// - "JOB_LIST.JOURNAL.<n>": journal segments, numbered. Each starts with a
//   header naming the backup it follows (an id); then one record per change
//   (a job's record put, a removal, a move), see JournalFile.
// - "JOB_LIST.BAKID": which backup is which: the id, CRC-32 and size of the
//   current backup and of the one before, so that a restart knows from which
//   segment on to replay, whichever step of a compaction a crash cut short.
//
// Changes are appended by a writer thread: everything that is waiting when
// it wakes is written at once and flushed to stable storage with one flush
// (group commit). Before it takes a batch, it holds the flush back briefly
// (HoldForAdds) for the adds under way and for the sessions that added
// lately, whose next adds are on their way. A new job whose record carries its document (a small one)
// is durable with the record alone; its job file is written but flushed only
// at the next checkpoint, and a restore rewrites it from the record when a
// crash lost or cut it. The job files of other new jobs in the batch are
// flushed first (Linux: one syncfs of the jobs folder's file system;
// elsewhere each file and folder). A record that could not be written is cut
// off again and its ticket fails.
//
// When the current segment has grown past a limit, the next change starts a
// compaction: a copy of the queue is taken (the queue mutex is held in
// Record), the writer moves on to a new segment whose header names a new
// backup id, and a compactor thread writes the backup for the copy, then
// JOB_LIST.BAKID, then replaces JOB_LIST.BAK and deletes the older segments.
// Before the backup is put in place, the job files whose documents only the
// older segments hold are flushed (the checkpoint: one syncfs on Linux).
// Close writes a last backup and deletes the segments, so that an older
// version reading the folder finds the whole queue in JOB_LIST.BAK.
//
// Threads: Load, Close and the destructor on the owner's thread; Record from
// any thread with the queue mutex held; WaitDurable from any thread. `mutex`
// guards everything below it in the class and is taken after the queue
// mutex (never the other way round); the writer and the compactor take it
// only to exchange work and results, not while they write.
class JournalStore : public QueueStore
{
public:
    explicit JournalStore(const QDir &jobsDir);
    ~JournalStore() override;

    void Load(QList<NesterJob *> &jobs) override;
    void SetSnapshotSource(SnapshotSource source) override;
    quint64 Record(const QueueChange &change) override;
    void ExpectChange() override;
    void ChangeGivenUp() override;
    bool WaitDurable(quint64 ticket) override;
    void Close(const QueueSnapshot &finalState) override;

    // Flushes to stable storage made so far (for logs and the benchmark).
    quint64 FlushCount() const;
    // The segment size past which a compaction starts (tests make it small).
    void SetCompactionLimit(qint64 bytes);
    // For tests: every backup write fails as on a full disk while set.
    void FailBackupWrites(bool fail) { failBackupWrites = fail; }
    // Tests only: called by the writer before each flush of the journal's
    // records; it may hold the flush back, and false makes it fail.
    void SetSyncHook(std::function<bool()> hook);
    // Tests only: called before a checkpoint flushes job files and the
    // backup about to be put in place (compactor thread, or Close); false
    // makes the checkpoint fail.
    void SetCheckpointHook(std::function<bool()> hook);
    // Tests only: how long the writer may hold a flush back for adds to
    // come, and how long a thread that added counts as one that adds again.
    void SetCommitHold(std::chrono::milliseconds cap, std::chrono::milliseconds addersWindow);
    // Called by the writer after each flush of the journal's records with
    // the flush's duration in seconds (the service's metrics); any thread.
    void SetCommitObserver(std::function<void(double)> observer);

    static const char *const JournalPrefix;
    static const char *const BackupIdName;

private:
    struct Item
    {
        quint64 seq = 0;
        QByteArray framed;
        QString newFile;
        bool inlined = false; // the record carries newFile's document
        bool durable = false;
        QString rotateTo; // not empty: start a segment following this backup id
        std::thread::id adder; // the thread that recorded an add (none: not an add)
    };
    // A session waiting in WaitDurable. The writer wakes each through its
    // own condition variable: a flush that settles many tickets then does
    // not have them all contend for `mutex` as they wake. `lock` guards
    // `settled` and `ok`.
    struct Waiter
    {
        quint64 ticket = 0;
        std::mutex lock;
        std::condition_variable woken;
        bool settled = false;
        bool ok = false;
    };
    struct BackupId
    {
        QString id;
        quint32 crc = 0;
        qint64 size = -1;
    };

    // Start-up.
    bool ReplayJournal(QList<NesterJob *> &jobs, const QString &base);
    void OpenForAppend(const QString &base);
    QList<int> SegmentNumbers() const;
    QString SegmentPath(int number) const;
    bool StartSegment(int number, const QString &base);
    static bool HasRecords(const QString &path);
    static bool IsHeader(const QByteArray &record);
    void ReadBackupIds(BackupId *current, BackupId *previous) const;
    bool WriteBackupIds(const BackupId &current, const BackupId &previous);

    // Writer thread.
    void WriterLoop();
    void HoldForAdds(std::unique_lock<std::mutex> &lock);
    bool HoldOver() const;
    void WakeWriterIfDue(std::unique_lock<std::mutex> &lock);
    void WriteBatch(std::vector<Item> &batch);
    bool SyncNewFiles(const QStringList &files);
    void NoteUnflushed(const QStringList &files);

    // Job files made durable by their records alone; evenWithoutFiles: the
    // flush happens with none noted too (it covers other files as well).
    bool Checkpoint(bool evenWithoutFiles = false);
    void RepairJobFile(const QString &path, const QByteArray &text);
    bool SyncSegment();
    void Publish(quint64 from, quint64 to, bool ok);
    // A waiter whose ticket is settled, and whether it was written.
    using Settled = std::vector<std::pair<std::shared_ptr<Waiter>, bool>>;
    // With `mutex` held: the waiters whose tickets are settled are taken out
    // of `waiters`, to be woken (Wake) once `mutex` is released.
    Settled TakeSettledWaiters();
    static void Wake(const Settled &due);
    void Rotate(const QString &base);

    // Compaction.
    void StartCompaction();
    void Compact(QueueSnapshot snapshot, QString newId);
    // Writes the backup for a copy of the queue under a new id and deletes
    // the segments numbered below `deleteBelow`. With waitForRotation the
    // backup is put in place only once the writer follows the new id.
    bool WriteBackupFile(const QueueSnapshot &snapshot, const QString &newId, bool waitForRotation,
                         int deleteBelow);
    void JoinCompactor();
    void StopThreads();
    bool IsFailed(quint64 ticket) const;
    bool AwaitBase();

    QDir dir;
    bool usable = false;     // the jobs folder is there (set once, in the constructor)
    JournalFile segment;     // writer thread (Load and Close before and after it)
    int segmentNumber = 0;   // writer thread
    quint64 flushes = 0;     // guarded by mutex
    // Job files written since the last checkpoint whose records carry their
    // documents (the names only where there is no syncfs); guarded by mutex.
    quint64 unflushedCount = 0;
    QStringList unflushedFiles;

    mutable std::mutex mutex;
    std::condition_variable wake;      // work for the writer
    std::condition_variable published; // a rotation, compaction or the writer moved on
    std::vector<std::shared_ptr<Waiter>> waiters; // sessions in WaitDurable
    std::deque<Item> pending;
    quint64 nextSeq = 1;
    quint64 doneSeq = 0; // every ticket up to here is settled
    std::vector<std::pair<quint64, quint64>> failed; // recent failed ticket ranges
    bool stopping = false;
    bool writerDone = false; // the writer has written everything and ended
    bool closed = false;
    qint64 bytesSinceRotation = 0;
    int expected = 0; // changes being prepared (ExpectChange), not yet recorded
    int pendingAdds = 0; // the adds in `pending`
    bool writerIdle = false; // the writer waits for work
    int holdTarget = -1; // the adds the writer holds a flush back for (-1: it does not)
    std::chrono::milliseconds holdCap;
    std::chrono::milliseconds addersWindow;
    RecentAdders adders; // writer thread
    qint64 compactionLimit = 0;
    bool compacting = false;
    QString compactionId; // the backup id the compaction under way writes
    QString rotatedTo;   // the backup id of the newest segment started
    QString rotationFailed; // the backup id whose segment could not be started
    int rotatedNumber = 0;
    BackupId currentId;  // the backup the journal now follows
    // No backup on stable storage follows the journal (it could not be
    // written at start-up): every change fails until a compaction writes one.
    bool baseMissing = false;
    SnapshotSource snapshotSource;
    std::function<bool()> syncHook;
    std::function<bool()> checkpointHook;
    std::function<void(double)> commitObserver;

    std::atomic<bool> failBackupWrites{false};

    std::thread writer;
    std::thread compactor;
};

} // namespace Zendral
} // namespace Orvane
