#pragma once

#include <QDir>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QVector>

namespace Orvane {
namespace Zendral {

class NesterJob;
struct StoredRecord;

// The queue backup "JOB_LIST.BAK" in the jobs folder: a compact JSON array of
// the job records in queue order, each with its place among the waiting
// jobs ("position", 0 for others). Reads it (or, without it, rebuilds the
// queue from the job folders) and makes its bytes from a copy of the queue.
// The journal store writes it as the compacted state of the queue.
//
// Thread: plain functions over their arguments; any thread.
class WriteBackup
{
public:
    static const char *const BackupName;

    // The restore of a folder without a usable journal: the backup when
    // there is one (an unreadable one is kept aside), else the folder scan.
    static void LoadJobs(QList<NesterJob *> &jobs, const QDir &jobsDir);
    // Appends the backup's records; false when the file cannot be read or is
    // not a JSON array (nothing is appended then).
    static bool LoadBackup(QList<NesterJob *> &jobs, const QString &path);
    // keepMissing: records whose job file is gone stay (a journal replayed
    // afterwards may still name them; the replay drops them at its end).
    static bool LoadBackupBytes(QList<NesterJob *> &jobs, const QByteArray &bytes, bool keepMissing = false);
    static void ScanJobFolders(QList<NesterJob *> &jobs, const QDir &jobsDir);
    // The backup array of a list: record JSON with queue positions.
    static QJsonArray Snapshot(const QList<NesterJob *> &jobs);
    // The backup file's bytes for a copy of the queue: the stored records in
    // order, each waiting one with its place as "position".
    static QByteArray Serialize(const QVector<StoredRecord> &records);
    // Renames an unreadable file to "<path>.unreadable-<stamp>" for the
    // operator (or copies it when it cannot be renamed).
    static void SetAside(const QString &path, const char *why);
};

} // namespace Zendral
} // namespace Orvane
