#include "LocalServer.h"

#include "AddRequestReader.h"
#include "Base64StreamWriter.h"
#include "ClusterSettings.h"
#include "ClusterStore.h"
#include "FailurePolicy.h"
#include "JobFolders.h"
#include "JobFileLocker.h"
#include "JournalStore.h"
#include "LocalManager.h"
#include "MarkerExtractor.h"
#include "NesterJob.h"
#include "QueueRules.h"
#include "QueueStore.h"
#include "SafeJson.h"
#include "WriteBackup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/statvfs.h>
#endif

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>

namespace Orvane {
namespace Zendral {

namespace {

const char *const InvalidData = "Invalid data...";
const char *const JobNameEmpty = "Job name is empty...";
const char *const JobNonExistent = "Job non-existent...";
const char *const UploadFailed = "Data upload exception, Please contact the server administrator...";
const char *const TooManyJobs = "Too many jobs...";
const char *const NotEnoughDisk = "Not enough disk space...";
const char kMaxJobsPerClientKey[] = "worker/max_jobs_per_client";
const int kDefaultMaxJobsPerClient = 10000;
const char kMinFreeDiskKey[] = "worker/min_free_disk_mb";
const int kDefaultMinFreeDiskMb = 1024;

// A setting read with its default; the default is written when the key is
// missing, so that the operator finds it in the settings file.
int SettingWithDefault(const char *key, int fallback)
{
    QSettings settings;
    if (!settings.contains(QLatin1String(key)))
        settings.setValue(QLatin1String(key), fallback);
    return settings.value(QLatin1String(key), fallback).toInt();
}

// Free bytes for this user on the disk holding `path`; -1 when unknown.
// statvfs rather than QStorageInfo, which reads the whole mount table on
// every call.
qint64 FreeDiskBytes(const QString &path)
{
#ifdef Q_OS_WIN
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                             &available, nullptr, nullptr))
        return -1;
    return qint64(available.QuadPart);
#else
    struct statvfs info;
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
#endif
}

qint64 SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// How often the GUI thread delivers the changes made by client sessions:
// the operator sees them in the table well within a second.
constexpr int DeliveryIntervalMs = 100;

// Logs an exception caught in a slot or in UpdateData and carries on.
void LogCaught(const char *function, int line)
{
    qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                              .arg(QLatin1String(__FILE__))
                              .arg(line)
                              .arg(QLatin1String(function));
}

} // namespace

LocalServer::LocalServer(QObject *parent, JobFolders::ErrorReporter reporter)
    : QObject(parent)
    , folders(std::make_unique<JobFolders>(JobFolders::DefaultPath(), std::move(reporter)))
{
    jobsDir = folders->Dir(); // the folders report one that cannot be made
    maxJobsPerClient = SettingWithDefault(kMaxJobsPerClientKey, kDefaultMaxJobsPerClient);
    minFreeDiskBytes = qint64(qMax(0, SettingWithDefault(kMinFreeDiskKey, kDefaultMinFreeDiskMb))) * 1024 * 1024;
    if (ClusterSettings::SharedBackendChosen()) {
        auto cluster = std::make_unique<ClusterStore>(ClusterSettings::Read(), *folders);
        shared = cluster.get();
        store = std::move(cluster);
    } else {
        store = std::make_unique<JournalStore>(jobsDir);
    }
    QList<NesterJob *> restored;
    store->Load(restored);
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        for (NesterJob *job : qAsConst(restored)) {
            if (!shared)
                job->stored = QJsonDocument(job->ToJson(0)).toJson(QJsonDocument::Compact);
            Insert(job);
        }
    }
    store->SetSnapshotSource([this] { return Snapshot(); });
    deliveryTimer = new QTimer(this);
    deliveryTimer->setInterval(DeliveryIntervalMs);
    connect(deliveryTimer, &QTimer::timeout, this, &LocalServer::DeliverNotifications);
    deliveryTimer->start();
    listener = new LocalManager(this);
    if (shared) {
        shared->SetSink([this](std::vector<MirrorChange> &changes, bool reset) { ApplyShared(changes, reset); });
        // The change log is followed once the window shows the queue.
        QTimer::singleShot(0, this, [this] { shared->Start(); });
    }
}

// The listener goes first: it waits for the running sessions, which call
// into this object. Then the final backup, then the records.
LocalServer::~LocalServer()
{
    delete listener;
    listener = nullptr;
    QVector<StoredRecord> final;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        final = Snapshot();
    }
    store->Close(final);
    std::vector<Event> left;
    {
        std::lock_guard<std::mutex> locker(outboxMutex);
        left.swap(outbox);
    }
    for (const Event &event : left) {
        if (event.kind == Event::Removed)
            delete event.job;
        if (event.kind == Event::Replaced)
            delete event.old;
    }
    std::lock_guard<std::mutex> locker(queueMutex);
    qDeleteAll(order.ToList());
    order.Clear();
    byId.clear();
    byClient.clear();
}

QString LocalServer::StartListen(const QString &port)
{
    return listener->StartListen(port) ? QString() : listener->ErrorText();
}

QString LocalServer::LocalHostIP(int waitMs)
{
    return listener->localHostIP(waitMs);
}

Reply LocalServer::InitSession()
{
    return Reply(true, QByteArray());
}

// Queue mutex held.
void LocalServer::Insert(NesterJob *job)
{
    order.Append(job);
    byId.insert(job->job_id, job);
    byClient[job->from].insert(job);
}

// The record JSON is kept on the record too, for cheap copies of the queue.
QueueChange LocalServer::PutChange(NesterJob *job, bool durable)
{
    QueueChange change;
    change.kind = QueueChange::Put;
    job->stored = QJsonDocument(job->ToJson(0)).toJson(QJsonDocument::Compact);
    change.record = job->stored;
    change.id = job->job_id;
    change.durable = durable;
    return change;
}

quint64 LocalServer::RecordPut(NesterJob *job, bool durable)
{
    return store->Record(PutChange(job, durable));
}

// The job's place is recorded as the job it now follows.
quint64 LocalServer::RecordMove(NesterJob *job)
{
    QueueChange change;
    change.kind = QueueChange::Move;
    change.id = job->job_id;
    const NesterJob *before = order.At(order.IndexOf(job) - 1);
    change.after = before ? before->job_id : QString();
    return store->Record(change);
}

void LocalServer::MoveTo(NesterJob *job, int to)
{
    const int from = order.IndexOf(job);
    if (from < 0 || from == to)
        return;
    order.Move(from, to);
    Post({Event::Moved, from, to, nullptr});
}

QVector<StoredRecord> LocalServer::Snapshot() const
{
    QVector<StoredRecord> copy;
    copy.reserve(order.Size());
    order.VisitFrom(0, [&copy](const NesterJob *job) {
        copy.append({job->stored, job->IsWaiting()});
        return true;
    });
    return copy;
}

// Session threads (and the GUI thread). The payload is read in place and
// the document decoded straight into the job file; the reply waits until the
// change is on stable storage.
Reply LocalServer::AddNesterJob(QByteArray request, const QString &from)
{
    AddRequestReader add;
    if (!add.Read(request)) {
        qDebug().noquote() << "Job from" << from << "refused, invalid data:" << add.ErrorText();
        return Reply(false, InvalidData);
    }
    const QString name = JobFolders::PlainFileName(add.JobName());
    if (name.isEmpty())
        return Reply(false, JobNameEmpty);
    // The decoded document is at most three quarters of its Base64 text.
    const Reply refused = CheckQuota(from, add.DataLength() / 4 * 3);
    if (!refused.second.isEmpty())
        return refused;
    if (shared) {
        const Reply reply = shared->Add(name, from, add.Time(), request.constData() + add.DataOffset(), add.DataLength());
        DeliverSoon();
        return reply;
    }
    store->ExpectChange();
    NesterJob *job = folders->CreateJob(from, name, request.constData() + add.DataOffset(), add.DataLength(), add.Time());
    if (!job) {
        store->ChangeGivenUp();
        return Reply(false, UploadFailed);
    }
    const QString job_id = job->job_id;
    // The new record is the session's alone until it is in the queue: its
    // change is made before the queue mutex is taken.
    QueueChange change = PutChange(job, true);
    change.newFile = job->fileaex;
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        Insert(job);
        ticket = store->Record(change);
        Post({Event::Inserted, order.IndexOf(job), 0, job});
    }
    if (!store->WaitDurable(ticket)) {
        // Not on stable storage: the job is taken back out, so that the
        // client is not told its job was taken when a restart would lose it.
        qCritical().noquote() << "Job not taken, the queue journal cannot be written:" << job_id;
        {
            std::lock_guard<std::mutex> locker(queueMutex);
            if (NesterJob *taken = FindJob(job_id))
                TakeOut(taken);
        }
        DeliverSoon();
        return Reply(false, UploadFailed);
    }
    qInfo().noquote() << "Job" << job_id << "added by" << from << QStringLiteral("(%1)").arg(name);
    DeliverSoon();
    return Reply(true, job_id.toLatin1());
}

// The client's quota and the free disk space; an empty content means the
// add may go on.
Reply LocalServer::CheckQuota(const QString &from, qint64 documentSize)
{
    if (maxJobsPerClient > 0) {
        std::lock_guard<std::mutex> locker(queueMutex);
        if (byClient.value(from).size() >= maxJobsPerClient) {
            qWarning().noquote() << "Job of" << from << "refused: it has" << maxJobsPerClient
                                 << "jobs queued (worker/max_jobs_per_client)";
            return Reply(false, TooManyJobs);
        }
    }
    if (minFreeDiskBytes > 0) {
        const qint64 available = FreeDiskBytes(jobsDir.absolutePath());
        if (available >= 0 && available - documentSize < minFreeDiskBytes) {
            qWarning().noquote() << "Job of" << from << "refused: the jobs folder's disk would keep less than"
                                 << minFreeDiskBytes / (1024 * 1024) << "MiB free (worker/min_free_disk_mb)";
            return Reply(false, NotEnoughDisk);
        }
    }
    return Reply(true, QByteArray());
}

Reply LocalServer::RemoveNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->Remove(job_id);
        DeliverSoon();
        return reply;
    }
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, JobNonExistent);
        QueueChange change;
        change.kind = QueueChange::Remove;
        change.id = job_id;
        ticket = store->Record(change);
        TakeOut(job);
    }
    // A removal whose record could not be written needs nothing more: the
    // job's files are gone, so a restore drops the stale record.
    if (!store->WaitDurable(ticket))
        qWarning().noquote() << "Removal of job" << job_id << "not in the journal; its files are gone";
    qInfo().noquote() << "Job" << job_id << "removed";
    DeliverSoon();
    return Reply(true, QByteArray());
}

// A pick-up always ends the job, with or without a result.
Reply LocalServer::PickUpNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->PickUp(job_id);
        DeliverSoon();
        return reply;
    }
    Reply reply(false, JobNonExistent);
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, QByteArray());
        {
            JobFileLocker read(&fileLock, Read);
            QFile file(job->fileaexres);
            if (file.exists() && file.open(QIODevice::ReadOnly)) {
                reply = Reply(true, file.readAll().toBase64(QByteArray::Base64UrlEncoding));
                file.close();
            }
        }
        QueueChange change;
        change.kind = QueueChange::Remove;
        change.id = job_id;
        ticket = store->Record(change);
        TakeOut(job);
    }
    // As for a removal: the job's files are gone, so a restore drops a
    // record whose removal did not reach the journal.
    if (!store->WaitDurable(ticket))
        qWarning().noquote() << "Pick-up of job" << job_id << "not in the journal; its files are gone";
    qInfo().noquote() << "Job" << job_id << "picked up" << (reply.first ? "with its result" : "without a result");
    DeliverSoon();
    return reply;
}

// The client's jobs are copied under the queue mutex with their places
// (from the order's counts, not a walk of the queue); the reply is built
// afterwards, without it.
Reply LocalServer::GetNesterJobList(const QString &from, const QString &requestedName)
{
    struct Row
    {
        int index;
        int place;
        NesterJob job;
    };
    std::vector<Row> rows;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        const QSet<NesterJob *> mine = byClient.value(from);
        rows.reserve(size_t(mine.size()));
        for (const NesterJob *job : mine)
            rows.push_back({order.IndexOf(job), order.WaitingPlace(job), *job});
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.index < b.index; });
    QJsonArray array;
    {
        JobFileLocker read(&fileLock, Read); // "job_data" reads a result file
        for (const Row &row : rows) {
            QJsonObject item = row.job.ToListJson(row.place, requestedName, from);
            // A shared queue's result may come from any node: the database has it.
            if (shared && item.contains(QStringLiteral("job_data"))) {
                const QByteArray marker = MarkerExtractor().ExtractData(shared->ResultBytes(row.job.job_id));
                item.insert(QStringLiteral("job_data"),
                            QString::fromLatin1(marker.toBase64(QByteArray::Base64UrlEncoding)));
            }
            array.append(item);
        }
    }
    return Reply(true, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

Reply LocalServer::MoveNesterJob(const QByteArray &request)
{
    const QJsonDocument document = SafeJson::Parse(request);
    if (document.isNull())
        return Reply(false, QByteArray());
    const QJsonObject object = document.object();
    const QString job_id = object.value(QStringLiteral("job_id")).toString();
    MoveStep step = MoveStep::Top;
    if (!MoveStepFromWire(object.value(QStringLiteral("step")).toInt(0), &step))
        return Reply(false, QByteArray());
    if (shared) {
        const Reply reply = shared->Move(job_id, step);
        DeliverSoon();
        return reply;
    }
    int from = -1;
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, QByteArray());
        OrderView view;
        view.index = order.IndexOf(job);
        view.size = order.Size();
        view.firstWaiting = order.FirstWaitingIndex();
        view.waits = job->IsWaiting();
        view.previousWaits = view.index > 0 && order.At(view.index - 1)->IsWaiting();
        const int i = view.index;
        const int to = QueueRules::MoveTarget(step, view);
        if (to < 0)
            return Reply(false, QByteArray());
        from = i;
        MoveTo(job, to);
        ticket = RecordMove(job);
    }
    if (!store->WaitDurable(ticket)) {
        // Not on stable storage: the move is undone, so that what the client
        // is told is what a restart restores. The journal never had it, so
        // the undo is not recorded either.
        {
            std::lock_guard<std::mutex> locker(queueMutex);
            if (NesterJob *job = FindJob(job_id))
                MoveTo(job, qBound(0, from, order.Size() - 1));
        }
        qWarning().noquote() << "Move of job" << job_id << "undone: the queue journal cannot be written";
        DeliverSoon();
        return Reply(false, QByteArray());
    }
    DeliverSoon();
    return Reply(true, QByteArray());
}

Reply LocalServer::RetryNesterJob(const QString &job_id)
{
    if (shared) {
        const Reply reply = shared->Retry(job_id);
        DeliverSoon();
        return reply;
    }
    quint64 ticket = 0;
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job || !QueueRules::Retry(*job))
            return Reply(false, JobNonExistent);
        order.Touch(job);
        RecordPut(job, true);
        Post({Event::Changed, 0, 0, job});
        MoveTo(job, order.Size() - 1);
        ticket = RecordMove(job);
    }
    if (!store->WaitDurable(ticket))
        qWarning().noquote() << "Retry of job" << job_id << "not in the journal";
    qInfo().noquote() << "Job" << job_id << "retried by the operator";
    DeliverSoon();
    return Reply(true, QByteArray());
}

PickedJob LocalServer::PickJob()
{
    if (shared) {
        const PickedJob claimed = shared->Claim();
        DeliverSoon();
        return claimed;
    }
    PickedJob picked;
    const qint64 now = SteadyMs();
    std::lock_guard<std::mutex> locker(queueMutex);
    const int first = order.FirstWaitingIndex();
    if (first >= 0) {
        order.VisitFrom(first, [&](const NesterJob *job) {
            if (!QueueRules::MayPick(*job, now) || !QFile::exists(job->fileaex))
                return true;
            picked = QueueRules::Picked(*job, job->fileaex);
            return false;
        });
    }
    return picked;
}

// GUI thread. The queue mutex is held for the whole write, so the job cannot
// be removed (and its folder deleted) half-way. The file is replaced
// atomically: a write that fails (disk full) leaves the previous result.
bool LocalServer::UpdateData(const QJsonObject &data)
{
    try {
        const QByteArray bytes = QByteArray::fromBase64(data.value(QStringLiteral("data")).toString().toLatin1());
        const QString job_id = data.value(QStringLiteral("job_id")).toString();
        if (shared)
            return shared->Result(job_id, bytes);
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job)
            return true; // nothing to keep it for
        JobFileLocker write(&fileLock, Write);
        QSaveFile file(job->fileaexres);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                             && file.flush() && file.commit();
        if (!written) {
            qWarning().noquote() << "Result of job" << job_id << "not written, the previous one stays:"
                                 << job->fileaexres << file.errorString();
            file.cancelWriting();
        }
        job->result_broken = !written;
        return written;
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::UpdateData", __LINE__);
        return false;
    }
}

bool LocalServer::CopyJob(const QString &job_id, NesterJob *copy) const
{
    std::lock_guard<std::mutex> locker(queueMutex);
    const NesterJob *job = FindJob(job_id);
    if (job && copy)
        *copy = *job;
    return job;
}

QList<NesterJob *> LocalServer::Jobs() const
{
    std::lock_guard<std::mutex> locker(queueMutex);
    return order.ToList();
}

// GUI thread: changes a record's fields under the queue mutex, records the
// change and delivers its event at once. False when there is no such job.
template <typename F>
bool LocalServer::ChangeJob(const QString &job_id, bool durable, F change)
{
    {
        std::lock_guard<std::mutex> locker(queueMutex);
        NesterJob *job = FindJob(job_id);
        if (!job || !change(job))
            return false;
        order.Touch(job);
        RecordPut(job, durable);
        Post({Event::Changed, 0, 0, job});
    }
    DeliverSoon();
    return true;
}

void LocalServer::OnJobStarted(QString job_id)
{
    if (shared)
        return; // a shared queue's job runs from its claim on
    try {
        ChangeJob(job_id, true, [&](NesterJob *job) {
            job->Start();
            qInfo().noquote() << "Job" << job_id << "from" << job->from << "started";
            return true;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobStarted", __LINE__);
    }
}

// Progress only goes up and never reaches 100 through reports; only a
// successful finish makes a job complete. Progress is not awaited on disk.
void LocalServer::OnJobUpdate(QString jod_id, QJsonObject object)
{
    try {
        if (shared) {
            shared->Progress(jod_id, object);
            DeliverSoon();
            return;
        }
        ChangeJob(jod_id, false, [&](NesterJob *job) {
            const double limit = object.value(QStringLiteral("time_limit")).toDouble(0);
            const double elapsed = object.value(QStringLiteral("time_elapsed")).toDouble(0);
            if (limit != 0) {
                const double p = elapsed / limit * 100;
                if (p > job->completed && p < 100)
                    job->completed = p;
            }
            job->efficient = object.value(QStringLiteral("efficiency")).toDouble(0);
            return true;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobUpdate", __LINE__);
    }
}

void LocalServer::OnJobFinish(QString job_id, int exit_code)
{
    OnJobEnded(job_id, exit_code,
               exit_code == 0 ? QString() : QStringLiteral("exit code %1").arg(exit_code), false);
}

void LocalServer::OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped)
{
    try {
        if (shared) {
            shared->Ended(job_id, exit_code, reason, stopped);
            DeliverSoon();
            return;
        }
        const FailurePolicy policy = FailurePolicy::Read();
        ChangeJob(job_id, true, [&](NesterJob *job) {
            return QueueRules::EndRun(*job, exit_code, reason, stopped, policy, SteadyMs()).kind != RunEnd::Ignored;
        });
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobEnded", __LINE__);
    }
}

// Caller holds the queue mutex. The files of records sharing the job's
// folder (the old layout) are passed on, so that they stay.
void LocalServer::TakeOut(NesterJob *job)
{
    const int row = order.IndexOf(job);
    order.Remove(job);
    byId.remove(job->job_id);
    auto mine = byClient.find(job->from);
    if (mine != byClient.end()) {
        mine->remove(job);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    if (shared) {
        // A shared queue's documents live in the database; the local copy
        // of a running job is the store's.
        Post({Event::Removed, row, 0, job});
        return;
    }
    const QString folder = QFileInfo(job->fileaex).absolutePath();
    QStringList keep;
    for (const NesterJob *other : byClient.value(job->from)) {
        for (const QString &file : {other->fileaex, other->fileaexres}) {
            if (!file.isEmpty() && QFileInfo(file).absolutePath() == folder)
                keep << QFileInfo(file).absoluteFilePath();
        }
    }
    {
        JobFileLocker write(&fileLock, Write);
        job->Remove(*folders, keep);
    }
    Post({Event::Removed, row, 0, job}); // the record goes with its event
}

// Any thread, one call at a time (the shared store serialises them), without
// the queue mutex: takes it for the whole batch.
void LocalServer::ApplyShared(std::vector<MirrorChange> &changes, bool reset)
{
    std::lock_guard<std::mutex> locker(queueMutex);
    if (reset) {
        for (NesterJob *job : order.ToList())
            TakeOut(job);
    }
    for (MirrorChange &change : changes) {
        NesterJob *job = FindJob(change.id);
        switch (change.kind) {
        case MirrorChange::Put:
            if (job) {
                ReplaceRecord(job, change.job);
            } else {
                Insert(change.job);
                Post({Event::Inserted, order.IndexOf(change.job), 0, change.job});
            }
            change.job = nullptr; // the queue's now
            break;
        case MirrorChange::Remove:
            if (job)
                TakeOut(job);
            break;
        case MirrorChange::Move: {
            NesterJob *before = change.after.isEmpty() ? nullptr : FindJob(change.after);
            if (!job || (!change.after.isEmpty() && !before) || before == job)
                break;
            const int from = order.IndexOf(job);
            const int after = before ? order.IndexOf(before) : -1;
            MoveTo(job, after < from ? after + 1 : after);
            break;
        }
        }
    }
}

// Queue mutex held. The newer record takes the old one's place everywhere;
// the old one lives until its replacement has been delivered.
void LocalServer::ReplaceRecord(NesterJob *old, NesterJob *job)
{
    const int row = order.IndexOf(old);
    order.Replace(old, job);
    byId.insert(job->job_id, job);
    auto mine = byClient.find(old->from);
    if (mine != byClient.end()) {
        mine->remove(old);
        if (mine->isEmpty())
            byClient.erase(mine);
    }
    byClient[job->from].insert(job);
    Event event{Event::Replaced, row, 0, job};
    event.old = old;
    Post(event);
}

void LocalServer::Post(const Event &event)
{
    std::lock_guard<std::mutex> locker(outboxMutex);
    outbox.push_back(event);
}

// On the GUI thread the change is shown at once; elsewhere at the next tick
// of the delivery timer.
void LocalServer::DeliverSoon()
{
    if (QThread::currentThread() == thread())
        DeliverNotifications();
}

void LocalServer::DeliverNotifications()
{
    if (shared) {
        for (const QString &job_id : shared->TakeLostRuns())
            emit runLost(job_id);
    }
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> locker(outboxMutex);
        events.swap(outbox);
    }
    if (events.empty())
        return;
    for (const Event &event : events) {
        switch (event.kind) {
        case Event::Inserted:
            emit jobInserted(event.row, event.job);
            break;
        case Event::Removed:
            emit jobRemovedAt(event.row, event.job);
            emit jobRemoved(event.job->job_id);
            delete event.job;
            break;
        case Event::Moved:
            emit jobMoved(event.row, event.to);
            break;
        case Event::Changed:
            emit jobChanged(event.job);
            break;
        case Event::Replaced:
            emit jobReplaced(event.row, event.old, event.job);
            delete event.old;
            break;
        }
    }
    emit updateJobList(Jobs());
}

} // namespace Zendral
} // namespace Orvane
