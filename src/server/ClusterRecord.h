#pragma once

#include <QByteArray>

namespace Orvane {
namespace Zendral {

class NesterJob;

// A job's record as the shared queue's change log carries it: JSON made by
// the database from a row of zendral_jobs (keys as in the record JSON of the
// local queue, plus "file_name" and "node"), and read back into a record of
// the mirror exactly as it stands (a running job stays running: it runs on
// some node).
//
// Thread: any (no state).
class ClusterRecord
{
public:
    // The SQL expression that makes the record JSON of the row `j`.
    static const char *JsonExpression();
    // The statement that logs a put of the job $1 (returns the change's number).
    static QByteArray LogPutSql();
    // A new record from the JSON (NesterJob::FromJson, as it stands); null
    // when it is not a record.
    static NesterJob *FromJson(const QByteArray &json);
};

} // namespace Zendral
} // namespace Orvane
