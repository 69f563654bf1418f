#include "QueueRules.h"

#include "NesterJob.h"

#include <QDebug>

namespace Orvane {
namespace Zendral {

int QueueRules::MoveTarget(MoveStep step, const OrderView &view)
{
    const int i = view.index;
    const int last = view.size - 1;
    if (!view.waits || i < 0 || i > last)
        return -1;
    switch (step) {
    case MoveStep::Up:
        return i > 0 && view.previousWaits ? i - 1 : -1;
    case MoveStep::Top:
        return view.firstWaiting >= 0 && i > view.firstWaiting ? view.firstWaiting : -1;
    case MoveStep::Down:
        return i < last ? i + 1 : -1;
    case MoveStep::Bottom:
        return i < last ? last : -1;
    }
    return -1;
}

RunEnd QueueRules::EndRun(NesterJob &job, int exit_code, const QString &reason, bool stopped, RunResult result,
                          const FailurePolicy &policy, qint64 nowMs)
{
    if (!job.IsRunning() && exit_code != 0)
        return {}; // removed, picked up or taken over meanwhile: never brought back
    job.node.clear();
    if (exit_code == 0 && result == RunResult::Kept) {
        job.Finish();
        job.failed_runs = 0;
        job.error.clear();
        job.retry_at = 0;
        qInfo().noquote() << "Job" << job.job_id << "from" << job.from << "finished";
        return {RunEnd::Finished, 0};
    }
    job.start.clear();
    job.completed = 0;
    job.efficient = 0;
    if (stopped || job.held) { // a held job's run ends as stopped: no failure
        job.state = NesterJob::Waiting;
        qInfo().noquote() << "Job" << job.job_id << "stopped, waiting again at its place";
        return {RunEnd::Stopped, 0};
    }
    job.failed_runs += 1;
    if (exit_code != 0)
        job.error = reason;
    else
        job.error = result == RunResult::Broken ? QStringLiteral("result could not be written")
                                                : QStringLiteral("no result written");
    if (job.failed_runs >= policy.maxFailedRuns) {
        job.state = NesterJob::Failed;
        qWarning().noquote() << "Job" << job.job_id << "from" << job.from << "failed after" << job.failed_runs
                             << "runs:" << job.error;
        return {RunEnd::Failed, 0};
    }
    job.state = NesterJob::Waiting;
    job.retry_at = nowMs + qint64(policy.retryDelaySeconds) * 1000;
    qWarning().noquote() << "Job" << job.job_id << "from" << job.from << "run failed (" << job.error << "), run"
                         << job.failed_runs << "of" << policy.maxFailedRuns << "- retried in"
                         << policy.retryDelaySeconds << "s";
    return {RunEnd::Retry, policy.retryDelaySeconds};
}

void QueueRules::KeepRun(NesterJob &job, const RunEnd &end, const QString &runStart, const QString &engineOutput)
{
    if (end.kind != RunEnd::Ignored)
        job.KeepRun(runStart, engineOutput);
}

bool QueueRules::Retry(NesterJob &job)
{
    if (!job.IsFailed())
        return false;
    job.state = NesterJob::Waiting;
    job.failed_runs = 0;
    job.error.clear();
    job.retry_at = 0;
    job.start.clear();
    job.completed = 0;
    job.efficient = 0;
    return true;
}

QueueRules::HoldResult QueueRules::Hold(NesterJob &job, const QDateTime &until)
{
    if (!job.IsWaiting() && !job.IsRunning())
        return HoldResult::Refused;
    job.held = true;
    job.held_until = until.isValid() ? until.toUTC() : QDateTime();
    return job.IsRunning() ? HoldResult::StopRun : HoldResult::Held;
}

bool QueueRules::Release(NesterJob &job)
{
    if (!job.held)
        return false;
    job.held = false;
    job.held_until = QDateTime();
    return true;
}

bool QueueRules::HoldExpired(const NesterJob &job, const QDateTime &now)
{
    return job.held && job.held_until.isValid() && job.held_until <= now;
}

bool QueueRules::MayPick(const NesterJob &job, qint64 nowMs)
{
    return job.IsWaiting() && !job.held && job.retry_at <= nowMs;
}

PickedJob QueueRules::Picked(const NesterJob &job, const QString &file)
{
    return PickedJob{job.job_id, file, job.time, QStringLiteral("%1:%2").arg(job.job_name, job.from)};
}

double QueueRules::ReportedPercent(const QJsonObject &report)
{
    const double limit = report.value(QStringLiteral("time_limit")).toDouble(0);
    const double elapsed = report.value(QStringLiteral("time_elapsed")).toDouble(0);
    return limit != 0 ? elapsed / limit * 100 : -1;
}

void QueueRules::ApplyProgress(NesterJob &job, const QJsonObject &report)
{
    const double percent = ReportedPercent(report);
    if (percent > job.completed && percent < 100)
        job.completed = percent;
    job.efficient = report.value(QStringLiteral("efficiency")).toDouble(0);
}

void QueueRules::ResumeInterrupted(NesterJob &job)
{
    if (!job.IsRunning())
        return;
    if (job.completed < 100) {
        job.state = NesterJob::Waiting;
        job.start.clear();
        job.completed = 0;
        job.efficient = 0;
    } else {
        job.completed = 100;
        job.state = NesterJob::Finished;
    }
}

} // namespace Zendral
} // namespace Orvane
