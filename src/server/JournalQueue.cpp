#include "JournalQueue.h"

#include "LogHandler.h"

#include "QueueReplies.h"

#include "Base64StreamWriter.h"
#include "FailurePolicy.h"
#include "JobFileLocker.h"
#include "JobFolders.h"
#include "MarkerExtractor.h"
#include "NativePath.h"
#include "NesterJob.h"
#include "QueueIndex.h"
#include "QueueRules.h"
#include "Platform.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <chrono>

namespace Orvane {
namespace Zendral {

namespace {

using namespace QueueReplies;

qint64 SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

JournalQueue::JournalQueue(QueueIndex &index, JobFolders &folders, std::shared_mutex &fileLock, const QDir &jobsDir,
                           const FailurePolicy &failures, qint64 inlineMaxBytes)
    : index(index)
    , folders(folders)
    , fileLock(fileLock)
    , store(jobsDir)
    , failures(failures)
    , inlineMaxBytes(inlineMaxBytes)
{
}

JournalQueue::~JournalQueue() = default;

// GUI thread, before sessions run. The record JSON is kept on each record,
// for cheap copies of the queue (compaction, the final backup).
void JournalQueue::Load()
{
    QList<NesterJob *> restored;
    store.Load(restored);
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        for (NesterJob *job : qAsConst(restored)) {
            job->stored = job->ToRecord();
            index.Insert(job, false);
        }
    }
    store.SetSnapshotSource([this] { return index.Snapshot(); });
}

// Changes are made here only: there is nothing to follow.
void JournalQueue::Start()
{
}

void JournalQueue::Close()
{
    QueueSnapshot final;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        final = index.Snapshot();
    }
    store.Close(final);
}

QueueChange JournalQueue::PutChange(NesterJob *job, bool durable)
{
    QueueChange change;
    change.kind = QueueChange::Put;
    job->stored = job->ToRecord();
    change.record = job->stored;
    change.id = job->job_id;
    change.durable = durable;
    return change;
}

// The job's place is recorded as the job it now follows.
quint64 JournalQueue::RecordMove(NesterJob *job)
{
    QueueChange change;
    change.kind = QueueChange::Move;
    change.id = job->job_id;
    change.after = index.Predecessor(job);
    return store.Record(change);
}

quint64 JournalQueue::RecordRemove(const QString &job_id)
{
    QueueChange change;
    change.kind = QueueChange::Remove;
    change.id = job_id;
    return store.Record(change);
}

// The files of records sharing the job's folder (the old layout) stay.
bool JournalQueue::TakeOut(NesterJob *job)
{
    if (!DeleteFiles(job))
        return false;
    index.TakeOut(job); // the record goes with its event
    return true;
}

bool JournalQueue::DeleteFiles(NesterJob *job)
{
    const QStringList keep = index.FilesToKeep(job);
    JobFileLocker write(&fileLock, Write);
    return job->Remove(folders, keep);
}

// Any thread. The document is decoded straight into the job file; the reply
// waits until the change is on stable storage. A small document also goes
// into the journal record, which then makes the job durable by itself: its
// text is taken once (alphabet only), and file and record both come from it.
Reply JournalQueue::Add(const QString &name, const QString &from, int time, const char *base64, qint64 base64Size)
{
    QByteArray document;
    if (inlineMaxBytes > 0 && base64Size / 4 * 3 <= inlineMaxBytes) {
        document = Base64StreamWriter::AlphabetOnly(base64, base64Size);
        base64 = document.constData();
        base64Size = document.size();
    }
    store.ExpectChange();
    NesterJob *job = folders.CreateJob(from, name, base64, base64Size, time);
    if (!job) {
        store.ChangeGivenUp();
        return Reply(false, UploadFailed);
    }
    const QString job_id = job->job_id;
    // The new record is the session's alone until it is in the queue: its
    // change is made before the index mutex is taken.
    QueueChange change = PutChange(job, true);
    change.newFile = job->fileaex;
    change.document = document;
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        index.Insert(job);
        ticket = store.Record(change);
    }
    if (!store.WaitDurable(ticket)) {
        // Not on stable storage: the job is taken back out, so that the
        // client is not told its job was taken when a restart would lose it.
        qCritical().noquote() << "Job not taken, the queue journal cannot be written:" << job_id;
        std::lock_guard<std::mutex> locker(index.mutex);
        if (NesterJob *taken = index.Find(job_id))
            TakeOut(taken);
        return Reply(false, UploadFailed);
    }
    qCDebug(lcRequests).noquote() << "Job" << job_id << "added by" << from << QStringLiteral("(%1)").arg(name);
    return Reply(true, job_id.toLatin1());
}

// The job's files go first: a job whose files cannot be deleted (a
// read-only jobs folder) stays, and the client is told so. Once they are
// gone a restore drops the record even if the journal missed its removal;
// the reply is true only when the removal is on stable storage either way.
Reply JournalQueue::EndJob(const QString &job_id, const char *what, Reply done)
{
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        NesterJob *job = index.Find(job_id);
        if (!job)
            return Reply(false, JobNonExistent);
        if (!DeleteFiles(job)) {
            qWarning().noquote() << what << "of job" << job_id << "refused: its files could not be deleted";
            return Reply(false, NotRemoved);
        }
        ticket = RecordRemove(job_id);
        index.TakeOut(job);
    }
    if (!store.WaitDurable(ticket))
        qWarning().noquote() << what << "of job" << job_id << "not in the journal; its files are gone";
    qInfo().noquote() << "Job" << job_id << what;
    return done;
}

Reply JournalQueue::Remove(const QString &job_id)
{
    return EndJob(job_id, "removed", Reply(true, QByteArray()));
}

// A pick-up ends the job, with or without a result.
Reply JournalQueue::PickUp(const QString &job_id)
{
    Reply reply(false, JobNonExistent);
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        NesterJob *job = index.Find(job_id);
        if (!job)
            return Reply(false, QByteArray());
        JobFileLocker read(&fileLock, Read);
        QFile file(job->fileaexres);
        if (file.exists() && file.open(QIODevice::ReadOnly)) {
            reply = Reply(true, file.readAll().toBase64(QByteArray::Base64UrlEncoding));
            file.close();
        }
    }
    const Reply ended = EndJob(job_id, reply.first ? "picked up with its result" : "picked up without a result",
                               reply);
    // Gone meanwhile (removed by another session): as if it never was.
    return ended.second == JobNonExistent && reply.first ? Reply(false, QByteArray()) : ended;
}

Reply JournalQueue::Move(const QString &job_id, MoveStep step)
{
    int from = -1;
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        NesterJob *job = index.Find(job_id);
        if (!job)
            return Reply(false, QByteArray());
        const OrderView view = index.View(job);
        const int to = QueueRules::MoveTarget(step, view);
        if (to < 0)
            return Reply(false, QByteArray());
        from = view.index;
        index.MoveTo(job, to);
        ticket = RecordMove(job);
    }
    if (!store.WaitDurable(ticket)) {
        // Not on stable storage: the move is undone, so that what the client
        // is told is what a restart restores. The journal never had it, so
        // the undo is not recorded either.
        std::lock_guard<std::mutex> locker(index.mutex);
        if (NesterJob *job = index.Find(job_id))
            index.MoveTo(job, qBound(0, from, index.Order().Size() - 1));
        qWarning().noquote() << "Move of job" << job_id << "undone: the queue journal cannot be written";
        return Reply(false, QByteArray());
    }
    return Reply(true, QByteArray());
}

Reply JournalQueue::Retry(const QString &job_id)
{
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        NesterJob *job = index.Find(job_id);
        if (!job || !QueueRules::Retry(*job))
            return Reply(false, JobNonExistent);
        index.Changed(job);
        store.Record(PutChange(job, true));
        index.MoveTo(job, index.Order().Size() - 1);
        ticket = RecordMove(job);
    }
    if (!store.WaitDurable(ticket))
        qWarning().noquote() << "Retry of job" << job_id << "not in the journal";
    qInfo().noquote() << "Job" << job_id << "retried by the operator";
    return Reply(true, QByteArray());
}

Reply JournalQueue::Hold(const QString &job_id, const QDateTime &until, bool *stopRun)
{
    return ChangeHold(job_id, true, until, stopRun);
}

Reply JournalQueue::Release(const QString &job_id)
{
    return ChangeHold(job_id, false, QDateTime(), nullptr);
}

Reply JournalQueue::ChangeHold(const QString &job_id, bool hold, const QDateTime &until, bool *stopRun)
{
    quint64 ticket = 0;
    bool wasHeld = false;
    QDateTime wasUntil;
    {
        std::lock_guard<std::mutex> locker(index.mutex);
        NesterJob *job = index.Find(job_id);
        if (!job)
            return Reply(false, JobNonExistent);
        wasHeld = job->held;
        wasUntil = job->held_until;
        if (hold) {
            const QueueRules::HoldResult result = QueueRules::Hold(*job, until);
            if (result == QueueRules::HoldResult::Refused)
                return Reply(false, QueueReplies::NotHoldable);
            if (stopRun)
                *stopRun = result == QueueRules::HoldResult::StopRun;
        } else if (!QueueRules::Release(*job)) {
            return Reply(false, QueueReplies::NotHeld);
        }
        index.Changed(job);
        ticket = store.Record(PutChange(job, true));
    }
    if (!store.WaitDurable(ticket)) {
        std::lock_guard<std::mutex> locker(index.mutex);
        if (NesterJob *job = index.Find(job_id)) {
            job->held = wasHeld;
            job->held_until = wasUntil;
            index.Changed(job);
        }
        if (stopRun)
            *stopRun = false;
        qWarning().noquote() << (hold ? "Hold" : "Release") << "of job" << job_id
                             << "undone: the queue journal cannot be written";
        return Reply(false, QueueReplies::NotKept);
    }
    qInfo().noquote() << "Job" << job_id << (hold ? "held by the operator" : "released by the operator")
                      << (hold && until.isValid() ? QStringLiteral("until %1").arg(until.toString(Qt::ISODate)) : QString());
    return Reply(true, QByteArray());
}

// GUI thread. Holds run out only here, before a claim; only the held
// records are looked at.
void JournalQueue::ReleaseDue()
{
    QStringList due;
    {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        std::lock_guard<std::mutex> locker(index.mutex);
        for (const NesterJob *job : index.HeldJobs()) {
            if (QueueRules::HoldExpired(*job, now))
                due.append(job->job_id);
        }
    }
    for (const QString &job_id : due) {
        if (ChangeHold(job_id, false, QDateTime(), nullptr).first)
            qInfo().noquote() << "Job" << job_id << "released: its hold ran out";
    }
}

// Any thread; the result file is read under the file lock.
QByteArray JournalQueue::Marker(const NesterJob &job)
{
    JobFileLocker read(&fileLock, Read);
    return MarkerExtractor().Extract(job.fileaexres);
}

// A job waiting for its retry lets the jobs behind it go first.
PickedJob JournalQueue::Claim()
{
    PickedJob picked;
    const qint64 now = SteadyMs();
    std::lock_guard<std::mutex> locker(index.mutex);
    const int first = index.Order().FirstWaitingIndex();
    if (first < 0)
        return picked;
    index.Order().VisitFrom(first, [&](const NesterJob *job) {
        if (!QueueRules::MayPick(*job, now) || !QFile::exists(job->fileaex))
            return true;
        picked = QueueRules::Picked(*job, job->fileaex);
        return false;
    });
    return picked;
}

template <typename F>
bool JournalQueue::ChangeJob(const QString &job_id, bool durable, F change)
{
    std::lock_guard<std::mutex> locker(index.mutex);
    NesterJob *job = index.Find(job_id);
    if (!job || !change(job))
        return false;
    index.Changed(job);
    store.Record(PutChange(job, durable)); // progress is not awaited on disk
    return true;
}

void JournalQueue::Started(const QString &job_id)
{
    ChangeJob(job_id, true, [&](NesterJob *job) {
        job->Start();
        qInfo().noquote() << "Job" << job_id << "from" << job->from << "started";
        return true;
    });
}

void JournalQueue::Progress(const QString &job_id, const QJsonObject &report)
{
    ChangeJob(job_id, false, [&](NesterJob *job) {
        QueueRules::ApplyProgress(*job, report);
        return true;
    });
}

// The index mutex is held for the whole write, so the job cannot be
// removed (and its folder deleted) half-way. The file is replaced
// atomically and flushed to stable storage before it counts: a write that
// fails (disk full) leaves the previous result, and a finish of the run then
// counts as a failure. An empty result is no result and is not written.
bool JournalQueue::Result(const QString &job_id, const QByteArray &bytes)
{
    std::lock_guard<std::mutex> locker(index.mutex);
    NesterJob *job = index.Find(job_id);
    if (!job)
        return true; // nothing to keep it for
    if (bytes.isEmpty()) {
        qWarning().noquote() << "Result of job" << job_id << "is empty; not kept";
        return true;
    }
    JobFileLocker write(&fileLock, Write);
    QString error;
    const bool written = WriteDurably(job->fileaexres, bytes, &error);
    if (!written)
        qWarning().noquote() << "Result of job" << job_id << "not written, the previous one stays:"
                             << job->fileaexres << error;
    job->result_broken = !written;
    job->result_kept = written;
    return written;
}

// Replaces `path` by `bytes` and flushes the file and its folder.
bool JournalQueue::WriteDurably(const QString &path, const QByteArray &bytes, QString *error)
{
    QSaveFile file(path);
    std::string reason;
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.flush()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!Platform::FlushFile(file.handle(), &reason)) {
        *error = QString::fromStdString(reason);
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    if (!Platform::FlushPath(NativePath(QFileInfo(path).absolutePath()), true)) {
        *error = QStringLiteral("its folder could not be flushed");
        return false;
    }
    return true;
}

// The run log beside the job is written under the index mutex, so that a
// removal of the job cannot delete its folder half-way.
void JournalQueue::Ended(const QString &job_id, int exit_code, const QString &reason, bool stopped,
                         const QString &engineOutput)
{
    ChangeJob(job_id, true, [&](NesterJob *job) {
        const QString runStart = job->start;
        const RunResult result =
            job->result_broken ? RunResult::Broken : job->result_kept ? RunResult::Kept : RunResult::None;
        const RunEnd end = QueueRules::EndRun(*job, exit_code, reason, stopped, result, failures, SteadyMs());
        QueueRules::KeepRun(*job, end, runStart, engineOutput);
        if (end.kind != RunEnd::Ignored)
            job->WriteRunLog();
        return end.kind != RunEnd::Ignored;
    });
}

// Only this machine runs this queue's jobs.
QStringList JournalQueue::TakeLostRuns()
{
    return QStringList();
}

} // namespace Zendral
} // namespace Orvane
