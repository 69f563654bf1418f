#include "ClusterRecord.h"

#include "NesterJob.h"
#include "SafeJson.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace Orvane {
namespace Zendral {

const char *ClusterRecord::JsonExpression()
{
    return "json_build_object('job_id', j.job_id, 'job_name', j.job_name, 'file_name', j.file_name,"
           " 'from', j.client, 'start', j.start, 'state', j.state, 'completed', j.completed,"
           " 'efficient', j.efficient, 'time', j.time_budget, 'submit_time', j.submit_time,"
           " 'failed_runs', j.failed_runs, 'error', j.error, 'node', j.node)::text";
}

QByteArray ClusterRecord::LogPutSql()
{
    return QByteArrayLiteral("INSERT INTO zendral_changes (op, job_id, record) SELECT 'put', j.job_id, ")
        + JsonExpression() + QByteArrayLiteral(" FROM zendral_jobs j WHERE j.job_id = $1 RETURNING seq");
}

NesterJob *ClusterRecord::FromJson(const QByteArray &json)
{
    const QJsonObject object = SafeJson::Parse(json).object();
    const QString id = object.value(QStringLiteral("job_id")).toString();
    if (id.isEmpty())
        return nullptr;
    auto *job = new NesterJob;
    job->job_id = id;
    job->job_name = object.value(QStringLiteral("job_name")).toString();
    job->from = object.value(QStringLiteral("from")).toString();
    job->start = object.value(QStringLiteral("start")).toString();
    job->state = object.value(QStringLiteral("state")).toInt();
    job->completed = object.value(QStringLiteral("completed")).toDouble();
    job->efficient = object.value(QStringLiteral("efficient")).toDouble();
    job->time = object.value(QStringLiteral("time")).toInt();
    job->submit_time = QDateTime::fromString(object.value(QStringLiteral("submit_time")).toString(),
                                             QStringLiteral("yyyyMMddhhmmss"));
    job->failed_runs = object.value(QStringLiteral("failed_runs")).toInt();
    job->error = object.value(QStringLiteral("error")).toString();
    job->node = object.value(QStringLiteral("node")).toString();
    job->stored = json;
    return job;
}

} // namespace Zendral
} // namespace Orvane
