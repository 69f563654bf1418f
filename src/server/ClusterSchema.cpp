#include "ClusterSchema.h"

#include "PgConnection.h"

#include <QDebug>

namespace Orvane {
namespace Zendral {

namespace {

// The lock key of schema upgrades (any fixed number; distinct from the
// queue's own lock).
constexpr qint64 SchemaLockKey = 0x5a454e4452414c01LL;

// Upgrade n brings the schema from version n to n + 1.
const char *const Upgrades[] = {
    // 0 -> 1: the queue.
    "CREATE TABLE zendral_jobs ("
    " job_id text PRIMARY KEY,"
    " ord bigint NOT NULL,"
    " job_name text NOT NULL,"
    " file_name text NOT NULL,"
    " client text NOT NULL,"
    " submit_time text NOT NULL,"
    " time_budget integer NOT NULL,"
    " state integer NOT NULL DEFAULT 0,"
    " start text NOT NULL DEFAULT '',"
    " completed double precision NOT NULL DEFAULT 0,"
    " efficient double precision NOT NULL DEFAULT 0,"
    " failed_runs integer NOT NULL DEFAULT 0,"
    " error text NOT NULL DEFAULT '',"
    " node text NOT NULL DEFAULT '',"
    " run_id bigint NOT NULL DEFAULT 0,"
    " lease_until timestamptz,"
    " retry_at timestamptz,"
    " doc_size bigint NOT NULL DEFAULT 0);"
    "CREATE INDEX zendral_jobs_ord ON zendral_jobs (ord);"
    "CREATE INDEX zendral_jobs_waiting ON zendral_jobs (ord) WHERE state = 0;"
    "CREATE INDEX zendral_jobs_running ON zendral_jobs (lease_until) WHERE state = 1;"
    "CREATE TABLE zendral_documents ("
    " job_id text NOT NULL, n integer NOT NULL, data bytea NOT NULL, PRIMARY KEY (job_id, n));"
    "CREATE TABLE zendral_results (job_id text PRIMARY KEY, data bytea NOT NULL);"
    "CREATE TABLE zendral_changes ("
    " seq bigserial PRIMARY KEY, op text NOT NULL, job_id text NOT NULL, record text,"
    " after text, at timestamptz NOT NULL DEFAULT now());"
    "CREATE TABLE zendral_nodes ("
    " name text PRIMARY KEY, heartbeat timestamptz NOT NULL, last_seq bigint NOT NULL DEFAULT 0);"
    "CREATE TABLE zendral_meta (key text PRIMARY KEY, value bigint NOT NULL);"
    "INSERT INTO zendral_meta VALUES ('pruned_below', 0);"
    "CREATE SEQUENCE zendral_runs;",
    // 1 -> 2: the last run's start and end and the tail of its engine's
    // standard error, shown with a failed job.
    "ALTER TABLE zendral_jobs ADD COLUMN run_start text NOT NULL DEFAULT '',"
    " ADD COLUMN run_end text NOT NULL DEFAULT '',"
    " ADD COLUMN engine_output text NOT NULL DEFAULT '';",
    // 2 -> 3: the operator's hold, and when it runs out (NULL: never); a
    // node's pause.
    "ALTER TABLE zendral_jobs ADD COLUMN held boolean NOT NULL DEFAULT false,"
    " ADD COLUMN held_until timestamptz;"
    "ALTER TABLE zendral_nodes ADD COLUMN paused boolean NOT NULL DEFAULT false;",
};

} // namespace

bool ClusterSchema::Prepare(PgConnection &connection, QString *error)
{
    static_assert(sizeof Upgrades / sizeof Upgrades[0] == Version, "one upgrade per version");
    if (!connection.Begin() || !connection.Run("SELECT pg_advisory_xact_lock($1)", {SchemaLockKey})) {
        *error = connection.Error();
        connection.Rollback();
        return false;
    }
    int version = 0;
    const PgResult exists = connection.Exec("SELECT to_regclass('zendral_schema') IS NOT NULL");
    if (!exists.Ok()) {
        *error = connection.Error();
        connection.Rollback();
        return false;
    }
    if (exists.Text(0, 0) == QLatin1String("t")) {
        const PgResult current = connection.Exec("SELECT version FROM zendral_schema");
        if (!current.Ok() || current.Rows() != 1) {
            *error = current.Ok() ? QStringLiteral("zendral_schema holds no version") : connection.Error();
            connection.Rollback();
            return false;
        }
        version = int(current.Int(0, 0));
    } else if (!connection.RunScript("CREATE TABLE zendral_schema (version integer NOT NULL);"
                                     "INSERT INTO zendral_schema VALUES (0)")) {
        *error = connection.Error();
        connection.Rollback();
        return false;
    }
    if (version > Version) {
        *error = QStringLiteral("the database holds schema version %1; this program knows up to %2").arg(version).arg(Version);
        connection.Rollback();
        return false;
    }
    for (int v = version; v < Version; ++v) {
        if (!connection.RunScript(Upgrades[v])) {
            *error = QStringLiteral("upgrade of the schema to version %1 failed: %2").arg(v + 1).arg(connection.Error());
            connection.Rollback();
            return false;
        }
    }
    if (!connection.Run("UPDATE zendral_schema SET version = $1", {Version}) || !connection.Commit()) {
        *error = connection.Error();
        connection.Rollback();
        return false;
    }
    if (version < Version)
        qInfo().noquote() << "Shared queue: schema upgraded from version" << version << "to" << Version;
    return true;
}

} // namespace Zendral
} // namespace Orvane
