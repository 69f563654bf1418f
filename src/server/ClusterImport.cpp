#include "ClusterImport.h"

#include "ServiceConfig.h"

#include "ChunkUploadDevice.h"
#include "ClusterRecord.h"
#include "ClusterSchema.h"
#include "ClusterSettings.h"
#include "ClusterStore.h"
#include "JournalStore.h"
#include "JobFolders.h"
#include "NesterJob.h"
#include "PgConnection.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>

namespace Orvane {
namespace Zendral {

int ClusterImport::Run(QTextStream &out, const ServiceConfig &config)
{
    if (!config.SharedStore()) {
        out << "store/backend is not \"postgresql\": there is no shared queue to import into\n";
        return 1;
    }
    const ClusterSettings settings = ClusterSettings::From(config);
    if (!settings.IsValid()) {
        out << settings.Error() << "\n";
        return 1;
    }
    const JobFolders folders;
    const QDir jobsDir = folders.Dir();
    if (!folders.Ready()) {
        out << "no jobs folder to import from\n";
        return 1;
    }
    PgConnection connection;
    QString error;
    if (!connection.Open(settings.Parameters()) || !ClusterSchema::Prepare(connection, &error)) {
        out << "the database cannot be used: " << (error.isEmpty() ? connection.Error() : error) << "\n";
        return 1;
    }
    // The queue as this machine's service would restore it; the journal is
    // folded into JOB_LIST.BAK as at a clean exit.
    QList<NesterJob *> jobs;
    {
        JournalStore store(jobsDir);
        store.Load(jobs);
        QueueSnapshot snapshot;
        for (const NesterJob *job : qAsConst(jobs))
            snapshot.append({job->ToRecord(), job->IsWaiting()});
        store.Close(snapshot);
    }
    out << "Importing " << jobs.size() << " jobs from " << jobsDir.absolutePath() << " into "
        << settings.Describe() << "\n";
    int imported = 0, present = 0, failed = 0;
    for (const NesterJob *job : qAsConst(jobs)) {
        switch (ImportJob(connection, *job, &error)) {
        case Outcome::Imported:
            ++imported;
            break;
        case Outcome::Present:
            ++present;
            break;
        case Outcome::Failed:
            ++failed;
            out << "  " << job->job_id << " (" << job->fileaex << ") not imported: " << error << "\n";
            break;
        }
    }
    qDeleteAll(jobs);
    out << "Imported " << imported << ", already there " << present << ", failed " << failed << "\n";
    return failed == 0 ? 0 : 1;
}

// One job in one transaction: its document, its result, its row and the
// change that announces it.
ClusterImport::Outcome ClusterImport::ImportJob(PgConnection &connection, const NesterJob &job, QString *error)
{
    static const QByteArray logPut = ClusterRecord::LogPutSql();
    if (!connection.Begin() || !connection.Run("SELECT pg_advisory_xact_lock($1)", {ClusterStore::QueueLockKey})) {
        *error = connection.Error();
        return Outcome::Failed;
    }
    const PgResult there = connection.Exec("SELECT 1 FROM zendral_jobs WHERE job_id = $1", {job.job_id});
    if (there.Ok() && there.Rows() == 1) {
        connection.Rollback();
        return Outcome::Present;
    }
    QFile document(job.fileaex);
    if (!document.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("job file: %1").arg(document.errorString());
        connection.Rollback();
        return Outcome::Failed;
    }
    ChunkUploadDevice upload(connection, job.job_id);
    upload.open(QIODevice::WriteOnly);
    bool ok = true;
    while (ok && !document.atEnd()) {
        const QByteArray piece = document.read(ChunkUploadDevice::ChunkSize);
        ok = !piece.isEmpty() && upload.write(piece) == piece.size();
    }
    ok = ok && upload.Finish();
    QFile result(job.fileaexres);
    if (ok && result.open(QIODevice::ReadOnly))
        ok = connection.Run("INSERT INTO zendral_results (job_id, data) VALUES ($1, $2)",
                            {job.job_id, PgParam(result.readAll(), true)});
    // A running job was made waiting (or finished) by the restore already.
    const int state = job.IsRunning() ? int(NesterJob::Waiting) : job.state;
    ok = ok && connection.Run(
        "INSERT INTO zendral_jobs (job_id, ord, job_name, file_name, client, submit_time, time_budget, state, start, "
        "completed, efficient, failed_runs, error, doc_size) VALUES ($1, COALESCE((SELECT max(ord) FROM zendral_jobs), "
        "0) + 1024, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13)",
        {job.job_id, job.job_name, QFileInfo(job.fileaex).fileName(), job.from,
         job.submit_time.isValid() ? job.submit_time.toString(QStringLiteral("yyyyMMddhhmmss")) : QString(),
         job.time, state, job.start, job.completed, job.efficient, job.failed_runs, job.error, upload.Written()});
    ok = ok && connection.Exec(logPut.constData(), {job.job_id}).Rows() == 1
        && connection.Run("SELECT pg_notify('zendral_changes', '')") && connection.Commit();
    if (!ok) {
        *error = connection.Error();
        connection.Rollback();
        return Outcome::Failed;
    }
    return Outcome::Imported;
}

} // namespace Zendral
} // namespace Orvane
