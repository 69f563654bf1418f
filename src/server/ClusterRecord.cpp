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
           " 'failed_runs', j.failed_runs, 'error', j.error, 'node', j.node, 'run_start', j.run_start,"
           " 'run_end', j.run_end, 'engine_output', j.engine_output, 'held', j.held,"
           " 'held_until', to_char(j.held_until AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"'))::text";
}

QByteArray ClusterRecord::LogPutSql()
{
    return QByteArrayLiteral("INSERT INTO zendral_changes (op, job_id, record) SELECT 'put', j.job_id, ")
        + JsonExpression() + QByteArrayLiteral(" FROM zendral_jobs j WHERE j.job_id = $1 RETURNING seq");
}

NesterJob *ClusterRecord::FromJson(const QByteArray &json)
{
    const QJsonObject object = SafeJson::Parse(json).object();
    if (object.value(QStringLiteral("job_id")).toString().isEmpty())
        return nullptr;
    auto *job = new NesterJob;
    job->FromJson(object, true);
    job->stored = json;
    return job;
}

} // namespace Zendral
} // namespace Orvane
