#include "LocalServer.h"

#include "OperatorJob.h"

#include "QueueReplies.h"

#include "AddRequestReader.h"
#include "ClusterSettings.h"
#include "ClusterStore.h"
#include "FreeDiskGauge.h"
#include "JournalQueue.h"
#include "QueueIndex.h"
#include "JobFolders.h"
#include "JobFileLocker.h"
#include "LocalManager.h"
#include "NesterJob.h"
#include "QueueStore.h"
#include "SafeJson.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QFile>
#include <QJsonDocument>
#include <QThread>


#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>

namespace Orvane {
namespace Zendral {

namespace {

using namespace QueueReplies;

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

LocalServer::LocalServer(QObject *parent, JobFolders::ErrorReporter reporter, const ServiceConfig &config)
    : QObject(parent)
    , folders(std::make_unique<JobFolders>(JobFolders::DefaultPath(), std::move(reporter)))
    , index(std::make_unique<QueueIndex>())
{
    jobsDir = folders->Dir(); // the folders report one that cannot be made
    maxJobsPerClient = config.maxJobsPerClient;
    minFreeDiskBytes = qint64(qMax(0, config.minFreeDiskMb)) * 1024 * 1024;
    freeDisk = std::make_unique<FreeDiskGauge>(jobsDir.absolutePath());
    // The one place that chooses the store; everything else goes through
    // QueueBackend without knowing which one it has.
    if (config.SharedStore()) {
        auto cluster = std::make_unique<ClusterStore>(ClusterSettings::From(config), *index, *folders);
        shared = cluster.get();
        backend = std::move(cluster);
    } else {
        auto local = std::make_unique<JournalQueue>(*index, *folders, fileLock, jobsDir,
                                                    FailurePolicy::From(config),
                                                    qint64(config.storeInlineMaxKb) * 1024);
        journal = &local->Store();
        backend = std::move(local);
    }
    backend->Load();
    deliveryTimer = new QTimer(this);
    deliveryTimer->setInterval(DeliveryIntervalMs);
    connect(deliveryTimer, &QTimer::timeout, this, &LocalServer::DeliverNotifications);
    deliveryTimer->start();
    listener = new LocalManager(this, config);
    // Changes made elsewhere are followed once the window shows the queue.
    QTimer::singleShot(0, this, [this] { backend->Start(); });
}

// The listener goes first: it waits for the running sessions, which call
// into this object. Then the store's last writes, then the records (the
// index deletes them with the events not delivered).
LocalServer::~LocalServer()
{
    delete listener;
    listener = nullptr;
    backend->Close();
    backend.reset();
    index.reset();
}

QString LocalServer::StartListen(const QString &port)
{
    return listener->StartListen(port) ? QString() : listener->ErrorText();
}

QString LocalServer::LocalHostIP(int waitMs)
{
    return listener->localHostIP(waitMs);
}

bool LocalServer::AddressProbeRunning(QString *address) const
{
    return listener->addressProbeRunning(address);
}

// The reply names the service's version, so that a client can tell which
// service it talks to.
Reply LocalServer::InitSession()
{
    return Reply(true, QCoreApplication::applicationVersion().toUtf8());
}

// Session threads (and the GUI thread). The payload is read in place and
// the document decoded straight into the store.
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
    if (!add.HasValidData()) {
        qDebug().noquote() << "Job from" << from << "refused, invalid data: \"work_data\" is missing or not Base64";
        return Reply(false, InvalidData);
    }
    if (add.TimeMoved())
        qInfo().noquote() << "Job from" << from << "asked for a time outside" << AddRequestReader::MinTime << "to"
                          << AddRequestReader::MaxTime << "s; it gets" << add.Time() << "s";
    if (name.toUtf8().size() > JobFolders::MaxJobNameBytes) {
        qDebug().noquote() << "Job from" << from << "refused: its name is longer than" << JobFolders::MaxJobNameBytes
                           << "bytes";
        return Reply(false, InvalidData);
    }
    // The decoded document is at most three quarters of its Base64 text.
    const Reply refused = CheckQuota(from, add.DataLength() / 4 * 3);
    if (!refused.second.isEmpty())
        return refused;
    const Reply reply =
        backend->Add(name, from, add.Time(), request.constData() + add.DataOffset(), add.DataLength());
    DeliverSoon();
    return reply;
}

// The client's quota and the free disk space; an empty content means the
// add may go on.
Reply LocalServer::CheckQuota(const QString &from, qint64 documentSize)
{
    if (maxJobsPerClient > 0) {
        std::lock_guard<std::mutex> locker(index->mutex);
        if (index->ClientJobs(from) >= maxJobsPerClient) {
            qWarning().noquote() << "Job of" << from << "refused: it has" << maxJobsPerClient
                                 << "jobs queued (worker/max_jobs_per_client)";
            return Reply(false, TooManyJobs);
        }
    }
    if (minFreeDiskBytes > 0) {
        if (!freeDisk->Take(documentSize, minFreeDiskBytes)) {
            qWarning().noquote() << "Job of" << from << "refused: the jobs folder's disk would keep less than"
                                 << minFreeDiskBytes / (1024 * 1024) << "MiB free (worker/min_free_disk_mb)";
            return Reply(false, NotEnoughDisk);
        }
    }
    return Reply(true, QByteArray());
}

Reply LocalServer::RemoveNesterJob(const QString &job_id)
{
    const Reply reply = backend->Remove(job_id);
    DeliverSoon();
    return reply;
}

Reply LocalServer::PickUpNesterJob(const QString &job_id)
{
    const Reply reply = backend->PickUp(job_id);
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
        std::lock_guard<std::mutex> locker(index->mutex);
        const QSet<NesterJob *> mine = index->ClientRecords(from);
        rows.reserve(size_t(mine.size()));
        for (const NesterJob *job : mine)
            rows.push_back({index->Order().IndexOf(job), index->Order().WaitingPlace(job), *job});
    }
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.index < b.index; });
    QJsonArray array;
    for (const Row &row : rows) {
        const NesterJob &job = row.job;
        array.append(job.ToListJson(row.place, requestedName, from, [&] { return backend->Marker(job); }));
    }
    return Reply(true, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

Reply LocalServer::MoveNesterJob(const QByteArray &request)
{
    const QJsonDocument document = SafeJson::Parse(request);
    if (document.isNull())
        return Reply(false, QByteArray());
    const QJsonObject object = document.object();
    MoveStep step = MoveStep::Top;
    if (!MoveStepFromWire(object.value(QStringLiteral("step")).toInt(0), &step))
        return Reply(false, QByteArray());
    const Reply reply = backend->Move(object.value(QStringLiteral("job_id")).toString(), step);
    DeliverSoon();
    return reply;
}

Reply LocalServer::RetryNesterJob(const QString &job_id)
{
    const Reply reply = backend->Retry(job_id);
    DeliverSoon();
    return reply;
}

Reply LocalServer::HoldNesterJob(const QString &job_id, const QDateTime &until, bool *stopRun)
{
    const Reply reply = backend->Hold(job_id, until, stopRun);
    DeliverSoon();
    return reply;
}

Reply LocalServer::ReleaseNesterJob(const QString &job_id)
{
    const Reply reply = backend->Release(job_id);
    DeliverSoon();
    return reply;
}

QJsonArray LocalServer::OperatorJobs() const
{
    std::vector<std::pair<int, NesterJob>> rows;
    {
        std::lock_guard<std::mutex> locker(index->mutex);
        rows.reserve(size_t(index->Order().Size()));
        int waiting = 0;
        index->Order().VisitFrom(0, [&](const NesterJob *job) {
            waiting += job->IsWaiting() ? 1 : 0;
            rows.emplace_back(waiting, *job);
            return true;
        });
    }
    QJsonArray array;
    for (const auto &row : rows)
        array.append(OperatorJob::ToJson(row.second, row.first));
    return array;
}

qint64 LocalServer::OldestWaitingMs() const
{
    qint64 oldest = 0;
    std::lock_guard<std::mutex> locker(index->mutex);
    index->Order().VisitFrom(0, [&](const NesterJob *job) {
        if (job->IsWaiting() && job->submit_time.isValid()) {
            const qint64 submitted = job->submit_time.toMSecsSinceEpoch();
            if (oldest == 0 || submitted < oldest)
                oldest = submitted;
        }
        return true;
    });
    return oldest;
}

QJsonObject LocalServer::StateCounts() const
{
    static const char *const names[] = {"waiting", "held", "running", "finished", "failed"};
    QJsonObject counts;
    std::lock_guard<std::mutex> locker(index->mutex);
    for (int tally = 0; tally < QueueIndex::TallyCount; ++tally)
        counts.insert(QLatin1String(names[tally]), index->Count(QueueIndex::Tally(tally)));
    return counts;
}

void LocalServer::ReleaseDueHolds()
{
    backend->ReleaseDue();
    DeliverSoon();
}

PickedJob LocalServer::PickJob()
{
    backend->ReleaseDue();
    const PickedJob picked = backend->Claim();
    DeliverSoon();
    return picked;
}

// GUI thread.
bool LocalServer::UpdateData(const QJsonObject &data)
{
    try {
        const QByteArray bytes = QByteArray::fromBase64(data.value(QStringLiteral("data")).toString().toLatin1());
        return backend->Result(data.value(QStringLiteral("job_id")).toString(), bytes);
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::UpdateData", __LINE__);
        return false;
    }
}

JobActions LocalServer::ActionsFor(const QString &job_id) const
{
    std::lock_guard<std::mutex> locker(index->mutex);
    const NesterJob *job = index->Find(job_id);
    return job ? JobActions::Of(*job, index->View(job)) : JobActions();
}

bool LocalServer::CopyJob(const QString &job_id, NesterJob *copy) const
{
    std::lock_guard<std::mutex> locker(index->mutex);
    const NesterJob *job = index->Find(job_id);
    if (job && copy)
        *copy = *job;
    return job;
}

QList<NesterJob *> LocalServer::Jobs() const
{
    std::lock_guard<std::mutex> locker(index->mutex);
    return index->Order().ToList();
}

std::mutex &LocalServer::QueueMutex() const
{
    return index->mutex;
}

QueueStore *LocalServer::Store() const
{
    return journal;
}

void LocalServer::OnJobStarted(QString job_id)
{
    try {
        backend->Started(job_id);
        DeliverSoon();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobStarted", __LINE__);
    }
}

void LocalServer::OnJobUpdate(QString jod_id, QJsonObject object)
{
    try {
        backend->Progress(jod_id, object);
        DeliverSoon();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobUpdate", __LINE__);
    }
}

void LocalServer::OnJobFinish(QString job_id, int exit_code)
{
    OnJobEnded(job_id, exit_code,
               exit_code == 0 ? QString() : QStringLiteral("exit code %1").arg(exit_code), false);
}

void LocalServer::OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped,
                             const QString &engineOutput)
{
    try {
        backend->Ended(job_id, exit_code, reason, stopped, engineOutput);
        DeliverSoon();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobEnded", __LINE__);
    }
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
    for (const QString &job_id : backend->TakeLostRuns())
        emit runLost(job_id);
    const std::vector<QueueIndex::Event> events = index->TakeEvents();
    if (events.empty())
        return;
    for (const QueueIndex::Event &event : events) {
        switch (event.kind) {
        case QueueIndex::Event::Inserted:
            emit jobInserted(event.row, event.job);
            break;
        case QueueIndex::Event::Removed:
            emit jobRemovedAt(event.row, event.job);
            emit jobRemoved(event.job->job_id);
            delete event.job;
            break;
        case QueueIndex::Event::Moved:
            emit jobMoved(event.row, event.to);
            break;
        case QueueIndex::Event::Changed:
            emit jobChanged(event.job);
            break;
        case QueueIndex::Event::Replaced:
            emit jobReplaced(event.row, event.old, event.job);
            delete event.old;
            break;
        }
    }
    emit updateJobList(Jobs());
}

} // namespace Zendral
} // namespace Orvane
