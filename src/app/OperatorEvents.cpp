#include "OperatorEvents.h"

#include "JobName.h"
#include "LocalServer.h"
#include "NesterJob.h"
#include "OperatorJob.h"
#include "ServiceCore.h"

#include <QDateTime>
#include <QtMath>

namespace Orvane {
namespace Zendral {

namespace {

int Tenths(const NesterJob &job)
{
    return qIsFinite(job.completed) ? qBound(0, int(job.completed / 10.0), 10) : 0;
}

} // namespace

OperatorEvents::OperatorEvents(ServiceCore &core, QObject *parent)
    : QObject(parent)
    , core(core)
{
    connect(&core, &ServiceCore::queueReplaced, this, [this] {
        if (following)
            Follow();
    });
    connect(&core, &ServiceCore::pausedChanged, this, [this](bool paused) {
        QJsonObject event{{QStringLiteral("event"), paused ? QStringLiteral("paused") : QStringLiteral("resumed")},
                          {QStringLiteral("time"), OperatorJob::Time(QDateTime::currentDateTime())}};
        emit this->event(event);
    });
}

void OperatorEvents::SetFollowing(bool on)
{
    if (on == following)
        return;
    following = on;
    if (on)
        Follow();
    else
        Unfollow();
}

void OperatorEvents::Unfollow()
{
    for (const QMetaObject::Connection &connection : qAsConst(queueConnections))
        disconnect(connection);
    queueConnections.clear();
    rows.clear();
    seen.clear();
}

// Starts over with the core's (new) queue: its jobs as they are now, and
// every change from here on.
void OperatorEvents::Follow()
{
    Unfollow();
    LocalServer *queue = core.Queue();
    if (!queue)
        return;
    for (const NesterJob *job : queue->Jobs()) {
        rows << job->job_id;
        seen.insert(job->job_id, Seen{job->StateText(), job->failed_runs, Tenths(*job)});
    }
    queueConnections << connect(queue, &LocalServer::jobInserted, this, &OperatorEvents::Inserted)
                     << connect(queue, &LocalServer::jobRemovedAt, this, &OperatorEvents::RemovedAt)
                     << connect(queue, &LocalServer::jobMoved, this, &OperatorEvents::Moved)
                     << connect(queue, &LocalServer::jobChanged, this, &OperatorEvents::Changed)
                     << connect(queue, &LocalServer::jobReplaced, this,
                                [this](int, NesterJob *, NesterJob *job) { Changed(job); });
}

void OperatorEvents::Inserted(int row, const NesterJob *job)
{
    // A record already taken from Jobs() when following began is not new.
    if (seen.contains(job->job_id))
        return;
    rows.insert(qBound(0, row, rows.size()), job->job_id);
    seen.insert(job->job_id, Seen{job->StateText(), job->failed_runs, Tenths(*job)});
    Emit(QStringLiteral("added"), *job);
}

void OperatorEvents::RemovedAt(int row, const NesterJob *job)
{
    if (!seen.remove(job->job_id))
        return;
    if (row >= 0 && row < rows.size() && rows.at(row) == job->job_id)
        rows.removeAt(row);
    else
        rows.removeOne(job->job_id);
    Emit(QStringLiteral("removed"), *job);
}

void OperatorEvents::Moved(int from, int to)
{
    if (from < 0 || from >= rows.size() || to < 0 || to >= rows.size())
        return;
    rows.move(from, to);
    NesterJob job;
    if (!core.Queue() || !core.Queue()->CopyJob(rows.at(to), &job))
        return;
    Emit(QStringLiteral("moved"), job, {{QStringLiteral("from"), from + 1}, {QStringLiteral("to"), to + 1}});
}

// A changed record against the state last seen of its job; one change may
// make several events (a released job that starts at once).
void OperatorEvents::Changed(const NesterJob *job)
{
    auto found = seen.find(job->job_id);
    if (found == seen.end())
        return;
    const Seen before = *found;
    const QString state = job->StateText();
    *found = Seen{state, job->failed_runs, state == QLatin1String("running") ? Tenths(*job) : 0};
    if (before.state == QLatin1String("held") && state != before.state)
        Emit(QStringLiteral("released"), *job);
    if (before.state == QLatin1String("failed") && state == QLatin1String("waiting"))
        Emit(QStringLiteral("retried"), *job);
    if (state == before.state) {
        if (state == QLatin1String("running") && found->tenths > before.tenths)
            Emit(QStringLiteral("progress"), *job);
        else if (state == QLatin1String("waiting") && job->failed_runs > before.failedRuns)
            Emit(QStringLiteral("failed"), *job); // a failed run; the job waits for its next
        return;
    }
    if (state == QLatin1String("running"))
        Emit(QStringLiteral("started"), *job);
    else if (state == QLatin1String("finished"))
        Emit(QStringLiteral("finished"), *job);
    else if (state == QLatin1String("failed") || job->failed_runs > before.failedRuns)
        Emit(QStringLiteral("failed"), *job);
    if (state == QLatin1String("held"))
        Emit(QStringLiteral("held"), *job);
}

void OperatorEvents::Emit(const QString &name, const NesterJob &job, QJsonObject extra)
{
    QString work;
    QString jobName;
    JobName::Split(job.job_name, &work, &jobName);
    extra.insert(QStringLiteral("event"), name);
    extra.insert(QStringLiteral("time"), OperatorJob::Time(QDateTime::currentDateTime()));
    extra.insert(QStringLiteral("id"), job.job_id);
    extra.insert(QStringLiteral("work"), work);
    extra.insert(QStringLiteral("name"), jobName);
    extra.insert(QStringLiteral("client"), job.from);
    extra.insert(QStringLiteral("state"), job.StateText());
    extra.insert(QStringLiteral("progress"), qIsFinite(job.completed) ? qBound(0.0, job.completed, 100.0) : 0.0);
    if (name == QLatin1String("failed")) {
        extra.insert(QStringLiteral("failed_runs"), job.failed_runs);
        extra.insert(QStringLiteral("error"), job.error);
    }
    if (name == QLatin1String("held"))
        extra.insert(QStringLiteral("held_until"), OperatorJob::Time(job.held_until));
    if (!job.node.isEmpty())
        extra.insert(QStringLiteral("node"), job.node);
    emit event(extra);
}

} // namespace Zendral
} // namespace Orvane
