#include "StatusPublisher.h"

#include "JournalStore.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ServiceCore.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace Orvane {
namespace Zendral {

namespace {

constexpr int SoonMs = 200;
constexpr int TickMs = 1000;
// Parts that walk the queue are shown for this long before they are made again.
constexpr std::chrono::milliseconds FreshFor(1000);
// How often the main thread looks for parts asked for (no event crosses
// threads: the HTTP threads only note what they want).
constexpr int AskedCheckMs = 50;

} // namespace

StatusPublisher::StatusPublisher(ServiceCore &core, QObject *parent)
    : QObject(parent)
    , core(core)
    , metrics(std::make_shared<ServiceMetrics>())
    , snapshot(std::make_shared<const StatusSnapshot>())
{
    soon = new QTimer(this);
    soon->setSingleShot(true);
    soon->setInterval(SoonMs);
    connect(soon, &QTimer::timeout, this, &StatusPublisher::Publish);
    auto *askedCheck = new QTimer(this);
    askedCheck->setInterval(AskedCheckMs);
    connect(askedCheck, &QTimer::timeout, this, &StatusPublisher::MakeAsked);
    askedCheck->start();
    tick = new QTimer(this);
    tick->setInterval(TickMs);
    connect(tick, &QTimer::timeout, this, &StatusPublisher::Publish);
    tick->start();

    connect(&core, &ServiceCore::runStarted, this, &StatusPublisher::OnRunStarted);
    connect(&core, &ServiceCore::runEnded, this, &StatusPublisher::OnRunEnded);
    // The listener's state and the pause are shown at once (/healthz).
    connect(&core, &ServiceCore::pausedChanged, this, &StatusPublisher::Publish);
    connect(&core, &ServiceCore::serviceStateChanged, this, &StatusPublisher::Publish);
    connect(&core, &ServiceCore::queueReplaced, this, &StatusPublisher::FollowQueue);
    FollowQueue();
    Publish();
}

// The journal's observer holds its own reference to the metrics; it is
// taken away so that the queue's flushes stop counting here.
StatusPublisher::~StatusPublisher()
{
    if (LocalServer *queue = core.Queue())
        if (auto *journal = dynamic_cast<JournalStore *>(queue->Store()))
            journal->SetCommitObserver({});
}

std::shared_ptr<const StatusSnapshot> StatusPublisher::Snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return snapshot;
}

bool StatusPublisher::IsFresh(const StatusSnapshot &made, int parts) const
{
    const auto now = std::chrono::steady_clock::now();
    return (!(parts & OldestWaiting) || now - made.oldestMade < FreshFor)
        && (!(parts & JobList) || now - made.jobsMade < FreshFor);
}

std::shared_ptr<const StatusSnapshot> StatusPublisher::Fresh(int parts, int waitMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (IsFresh(*snapshot, parts) || !serving)
        return snapshot;
    asked |= parts; // made at the main thread's next check
    made.wait_for(lock, std::chrono::milliseconds(waitMs),
                  [&] { return !serving || IsFresh(*snapshot, parts); });
    return snapshot;
}

void StatusPublisher::StopServing()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        serving = false;
    }
    made.notify_all();
}

void StatusPublisher::MakeAsked()
{
    int parts = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::swap(parts, asked);
    }
    if (parts)
        PublishWith(parts);
}

void StatusPublisher::FollowQueue()
{
    LocalServer *queue = core.Queue();
    if (!queue)
        return;
    queueReplaced = true; // a new queue's parts are made when next asked for
    connect(queue, &LocalServer::jobInserted, this, [this] { metrics->JobAdded(); });
    connect(queue, &LocalServer::updateJobList, this, &StatusPublisher::PublishSoon);
    if (auto *journal = dynamic_cast<JournalStore *>(queue->Store())) {
        const std::shared_ptr<ServiceMetrics> counts = metrics;
        journal->SetCommitObserver([counts](double seconds) { counts->StoreCommitted(seconds); });
    }
    PublishSoon();
}

void StatusPublisher::PublishSoon()
{
    if (!soon->isActive())
        soon->start();
}

void StatusPublisher::OnRunStarted(const QString &job_id)
{
    Run run;
    run.clock.start();
    NesterJob job;
    if (core.Queue() && core.Queue()->CopyJob(job_id, &job))
        run.failedRuns = job.failed_runs;
    runs.insert(job_id, run);
    metrics->RunStarted();
    PublishSoon();
}

// The record tells how the run ended: finished, failed (one more failed run,
// or the job failed), or neither (stopped by the operator, or removed).
void StatusPublisher::OnRunEnded(const QString &job_id)
{
    const auto run = runs.find(job_id);
    if (run == runs.end())
        return;
    const double seconds = run->clock.elapsed() / 1000.0;
    const int failedBefore = run->failedRuns;
    runs.erase(run);
    NesterJob job;
    ServiceMetrics::RunEnd end = ServiceMetrics::RunEnd::Stopped;
    if (core.Queue() && core.Queue()->CopyJob(job_id, &job)) {
        if (job.IsFinished())
            end = ServiceMetrics::RunEnd::Finished;
        else if (job.IsFailed())
            end = ServiceMetrics::RunEnd::JobFailed;
        else if (job.failed_runs > failedBefore)
            end = ServiceMetrics::RunEnd::Failed;
    }
    metrics->RunEnded(end, seconds);
    PublishSoon();
}

void StatusPublisher::Publish()
{
    PublishWith(0);
}

// The parts not asked for are those last made (none after the queue was
// replaced); `made` wakes the threads waiting for them.
void StatusPublisher::PublishWith(int parts)
{
    soon->stop();
    auto next = std::make_shared<StatusSnapshot>();
    const QJsonObject status = core.Status();
    next->statusJson = QJsonDocument(status).toJson(QJsonDocument::Compact);
    next->version = status.value(QLatin1String("version")).toString();
    next->node = status.value(QLatin1String("node")).toString();
    next->listening = status.value(QLatin1String("listening")).toBool();
    next->paused = status.value(QLatin1String("paused")).toBool();
    next->slotsBusy = status.value(QLatin1String("slots_busy")).toInt();
    next->slotsTotal = status.value(QLatin1String("slots_total")).toInt();
    const QJsonObject counts = status.value(QLatin1String("jobs")).toObject();
    for (int state = 0; state < StatusSnapshot::StateCount; ++state)
        next->jobs[state] = counts.value(QLatin1String(StatusSnapshot::StateName(state))).toInt();
    next->jobsJson = QByteArrayLiteral("{\"jobs\":[]}");
    if (!queueReplaced) {
        const std::shared_ptr<const StatusSnapshot> last = Snapshot();
        next->jobsJson = last->jobsJson;
        next->jobsMade = last->jobsMade;
        next->oldestWaitingMs = last->oldestWaitingMs;
        next->oldestMade = last->oldestMade;
    }
    if (LocalServer *queue = core.Queue()) {
        if (parts & JobList)
            next->jobsJson = QJsonDocument(QJsonObject{{QStringLiteral("jobs"), queue->OperatorJobs()}})
                                 .toJson(QJsonDocument::Compact);
        if (parts & OldestWaiting)
            next->oldestWaitingMs = queue->OldestWaitingMs();
        queueReplaced = false;
        next->clientSessions = queue->listener ? queue->listener->SessionCount() : 0;
        if (queue->Folders().Ready())
            next->jobsFolder = queue->Folders().Dir().absolutePath();
        if (SharedQueue *shared = queue->Shared()) {
            next->shared = true;
            next->connected = shared->IsConnected();
        }
    }
    if (parts & JobList)
        next->jobsMade = std::chrono::steady_clock::now();
    if (parts & OldestWaiting)
        next->oldestMade = std::chrono::steady_clock::now();
    next->madeMs = QDateTime::currentMSecsSinceEpoch();
    {
        std::lock_guard<std::mutex> lock(mutex);
        snapshot = std::move(next);
    }
    if (parts)
        made.notify_all();
}

} // namespace Zendral
} // namespace Orvane
