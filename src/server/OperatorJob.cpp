#include "OperatorJob.h"

#include "JobName.h"
#include "NesterJob.h"

#include <QtMath>

namespace Orvane {
namespace Zendral {

QString OperatorJob::Time(const QDateTime &time)
{
    if (!time.isValid())
        return QString();
    const QDateTime local = time.toLocalTime();
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QDateTime OperatorJob::RunStart(const QString &start)
{
    QDateTime time = QDateTime::fromString(start, QStringLiteral("yyyyMMdd'T'hhmmss"));
    time.setTimeSpec(Qt::UTC);
    return time;
}

QJsonObject OperatorJob::ToJson(const NesterJob &job, int place)
{
    QString work;
    QString name;
    JobName::Split(job.job_name, &work, &name);
    const bool waits = job.IsWaiting() && !job.IsHeld();
    QJsonObject json;
    json.insert(QStringLiteral("id"), job.job_id);
    json.insert(QStringLiteral("work"), work);
    json.insert(QStringLiteral("name"), name);
    json.insert(QStringLiteral("client"), job.from);
    json.insert(QStringLiteral("state"), job.StateText());
    json.insert(QStringLiteral("position"), waits ? place : 0);
    json.insert(QStringLiteral("budget"), job.time);
    // Engine reports may carry anything; the tools get a number.
    json.insert(QStringLiteral("progress"), qIsFinite(job.completed) ? qBound(0.0, job.completed, 100.0) : 0.0);
    json.insert(QStringLiteral("efficiency"), qIsFinite(job.efficient) ? job.efficient : 0.0);
    json.insert(QStringLiteral("submitted"), Time(job.submit_time));
    json.insert(QStringLiteral("started"), job.start.isEmpty() ? QString() : Time(RunStart(job.start)));
    json.insert(QStringLiteral("failed_runs"), job.failed_runs);
    json.insert(QStringLiteral("error"), job.error);
    json.insert(QStringLiteral("held_until"), job.IsHeld() ? Time(job.held_until) : QString());
    json.insert(QStringLiteral("node"), job.node);
    return json;
}

} // namespace Zendral
} // namespace Orvane
