// The queue backup loader on any file: no record whose job file is missing
// and no running job comes back, and a restored queue written out and
// loaded again is the same queue in the same order. "job.aex" in the input
// stands for a job file that exists, in the target's own temporary folder.
#include "FuzzSupport.h"
#include "NesterJob.h"
#include "WriteBackup.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>

using namespace Orvane::Zendral;

namespace {

QStringList Describe(const QList<NesterJob *> &jobs)
{
    QStringList lines;
    for (const NesterJob *job : jobs)
        lines << QStringLiteral("%1 %2 %3").arg(job->job_id).arg(job->state).arg(job->fileaex);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir *folder = FuzzSupport::FolderWithJobFile();
    QByteArray bytes = FuzzSupport::Bytes(data, size);
    bytes.replace("job.aex", folder->filePath(QStringLiteral("job.aex")).toUtf8());
    const QString backup = FuzzSupport::WriteFile(folder->filePath(QStringLiteral("JOB_LIST.BAK")), bytes);

    QList<NesterJob *> jobs;
    if (!WriteBackup::LoadBackup(jobs, backup)) {
        FUZZ_CHECK(jobs.isEmpty());
        return 0;
    }
    for (const NesterJob *job : jobs)
        FUZZ_CHECK(!job->IsRunning() && QFile::exists(job->fileaex));

    FuzzSupport::WriteFile(backup, QJsonDocument(WriteBackup::Snapshot(jobs)).toJson(QJsonDocument::Compact));
    QList<NesterJob *> again;
    FUZZ_CHECK(WriteBackup::LoadBackup(again, backup));
    FUZZ_CHECK(Describe(again) == Describe(jobs));
    qDeleteAll(jobs);
    qDeleteAll(again);
    return 0;
}
