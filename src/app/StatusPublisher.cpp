#include "StatusPublisher.h"

#include "JournalStore.h"
#include "LocalManager.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "ServiceCore.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace Orvane {
namespace Zendral {

namespace {

constexpr int SoonMs = 200;
constexpr int TickMs = 1000;
// The job list (every job of the queue as JSON) is made at most this often:
// its cost grows with the queue, and while clients add, the queue changes
// far more often than anyone reads the list.
constexpr int JobsEveryMs = 1000;

// The oldest "submitted" time among the waiting jobs (ms since the epoch; 0: none).
qint64 OldestWaiting(const QJsonArray &jobs)
{
    qint64 oldest = 0;
    for (const QJsonValue &value : jobs) {
        const QJsonObject job = value.toObject();
        if (job.value(QLatin1String("state")).toString() != QLatin1String("waiting"))
            continue;
        const QDateTime submitted = QDateTime::fromString(job.value(QLatin1String("submitted")).toString(), Qt::ISODate);
        if (submitted.isValid() && (oldest == 0 || submitted.toMSecsSinceEpoch() < oldest))
            oldest = submitted.toMSecsSinceEpoch();
    }
    return oldest;
}

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
    listDue = new QTimer(this);
    listDue->setSingleShot(true);
    listDue->setTimerType(Qt::PreciseTimer); // not early: the list would not be due yet
    connect(listDue, &QTimer::timeout, this, &StatusPublisher::Publish);
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

void StatusPublisher::FollowQueue()
{
    LocalServer *queue = core.Queue();
    if (!queue)
        return;
    jobsMade.invalidate(); // a new queue's list is made at the next publish
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
    soon->stop();
    auto made = std::make_shared<StatusSnapshot>();
    const QJsonObject status = core.Status();
    made->statusJson = QJsonDocument(status).toJson(QJsonDocument::Compact);
    made->version = status.value(QLatin1String("version")).toString();
    made->node = status.value(QLatin1String("node")).toString();
    made->listening = status.value(QLatin1String("listening")).toBool();
    made->paused = status.value(QLatin1String("paused")).toBool();
    made->slotsBusy = status.value(QLatin1String("slots_busy")).toInt();
    made->slotsTotal = status.value(QLatin1String("slots_total")).toInt();
    const QJsonObject counts = status.value(QLatin1String("jobs")).toObject();
    for (int state = 0; state < StatusSnapshot::StateCount; ++state)
        made->jobs[state] = counts.value(QLatin1String(StatusSnapshot::StateName(state))).toInt();
    if (LocalServer *queue = core.Queue()) {
        if (jobsMade.isValid() && jobsMade.elapsed() < JobsEveryMs) {
            // The last list stays until it is due; then a publish makes it.
            const std::shared_ptr<const StatusSnapshot> last = Snapshot();
            made->jobsJson = last->jobsJson;
            made->oldestWaitingMs = last->oldestWaitingMs;
            if (!listDue->isActive())
                listDue->start(int(JobsEveryMs - jobsMade.elapsed()));
        } else {
            const QJsonArray jobs = queue->OperatorJobs();
            made->jobsJson = QJsonDocument(QJsonObject{{QStringLiteral("jobs"), jobs}}).toJson(QJsonDocument::Compact);
            made->oldestWaitingMs = OldestWaiting(jobs);
            jobsMade.start();
        }
        made->clientSessions = queue->listener ? queue->listener->SessionCount() : 0;
        if (queue->Folders().Ready())
            made->jobsFolder = queue->Folders().Dir().absolutePath();
        if (SharedQueue *shared = queue->Shared()) {
            made->shared = true;
            made->connected = shared->IsConnected();
        }
    } else {
        made->jobsJson = QByteArrayLiteral("{\"jobs\":[]}");
    }
    made->madeMs = QDateTime::currentMSecsSinceEpoch();
    std::lock_guard<std::mutex> lock(mutex);
    snapshot = std::move(made);
}

} // namespace Zendral
} // namespace Orvane
