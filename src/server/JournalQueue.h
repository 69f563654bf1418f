#pragma once

#include "JournalStore.h"
#include "FailurePolicy.h"
#include "QueueBackend.h"

#include <QDir>

#include <memory>
#include <shared_mutex>

namespace Orvane {
namespace Zendral {

class JobFolders;
class QueueIndex;

// This machine's own queue: the records in memory (QueueIndex), the job
// files in the jobs folder, every change recorded in the journal beside the
// queue backup (JournalStore). A change is made in memory, recorded, and the
// reply waits until the journal has it on stable storage; a change that
// cannot be made durable is undone where the client would be misled.
//
// Threads: as QueueBackend. Locks: the index's mutex, then the store's
// own, then the file lock (fileLock, which orders result-file reads against
// rewrites and removals).
class JournalQueue : public QueueBackend
{
public:
    // Documents of up to `inlineMaxBytes` travel in their journal records
    // (0: none does).
    JournalQueue(QueueIndex &index, JobFolders &folders, std::shared_mutex &fileLock, const QDir &jobsDir,
                 const FailurePolicy &failures, qint64 inlineMaxBytes = DefaultInlineMaxBytes);
    static constexpr qint64 DefaultInlineMaxBytes = 256 * 1024;
    ~JournalQueue() override;

    // The journal; for tests and the benchmark.
    JournalStore &Store() { return store; }

    void Load() override;
    void Start() override;
    void Close() override;
    Reply Add(const QString &name, const QString &from, int time, const char *base64, qint64 base64Size) override;
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

private:
    // Index mutex held.
    QueueChange PutChange(NesterJob *job, bool durable);
    quint64 RecordMove(NesterJob *job);
    quint64 RecordRemove(const QString &job_id);
    // Replaces the file and flushes it to stable storage; false with the
    // reason when that fails.
    static bool WriteDurably(const QString &path, const QByteArray &bytes, QString *error);
    // Deletes the job's own files and folder and takes it out of the index;
    // false (the job stays) when the files could not be deleted.
    bool TakeOut(NesterJob *job);
    bool DeleteFiles(NesterJob *job);
    // Removal and pick-up: the files, then the record; `done` is the reply
    // when both went.
    Reply EndJob(const QString &job_id, const char *what, Reply done);
    // A change of a record's fields: made under the index mutex, recorded,
    // announced. False when there is no such job or `change` declined.
    template <typename F>
    bool ChangeJob(const QString &job_id, bool durable, F change);

    // Sets a job's hold durably; undone (and false) when the journal cannot
    // keep it.
    Reply ChangeHold(const QString &job_id, bool hold, const QDateTime &until, bool *stopRun);

    QueueIndex &index;
    JobFolders &folders;
    std::shared_mutex &fileLock;
    JournalStore store;
    const FailurePolicy failures;
    const qint64 inlineMaxBytes;
};

} // namespace Zendral
} // namespace Orvane
