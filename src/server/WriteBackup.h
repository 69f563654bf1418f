#pragma once

#include <QDir>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QThread>

#include <condition_variable>
#include <mutex>

namespace Orvane {
namespace Zendral {

class NesterJob;

// Keeps the queue backup "JOB_LIST.BAK" in the jobs folder up to date and
// restores the queue from it (or from the job folders) at start-up.
//
// One long-lived thread: Request() marks the backup dirty and wakes it; a
// change that arrives while a write runs is saved by a follow-up write, so
// bursts are coalesced and nothing is dropped. WriteNow() writes at once on
// the calling thread, for changes that must be on disk before a client is
// answered. Each write replaces the file atomically (QSaveFile), so a crash
// leaves the previous complete backup.
//
// Threads: run() on the writer thread; Request/WriteNow on any thread;
// Stop, the constructor, the destructor and the static restore functions on
// the GUI thread. Locks: `mutex` (the writer mutex) serialises writes and is
// taken before the queue mutex, which guards the snapshot of the list;
// `stateMutex` guards dirty/stopping and is never held with another lock.
class WriteBackup : public QThread
{
    Q_OBJECT
public:
    WriteBackup(QList<NesterJob *> *jobs, QObject *parent);
    ~WriteBackup() override;

    // Asks the thread for a write soon (any thread).
    void Request();
    // Writes the backup now, on the calling thread; false when it could not
    // be written. The caller must not hold the queue mutex.
    bool WriteNow();
    // Final write, then ends the thread and waits for it.
    void Stop();

    // The restore at start-up: the backup when there is one, else the scan.
    static void LoadJobs(QList<NesterJob *> &jobs);
    // Appends the backup's records; false when the file cannot be read or is
    // not a JSON array (nothing is appended then).
    static bool LoadBackup(QList<NesterJob *> &jobs, const QString &path);
    static void ScanJobFolders(QList<NesterJob *> &jobs, const QDir &jobsDir);
    // The backup array of a list: record JSON with queue positions. The
    // caller holds the queue mutex.
    static QJsonArray Snapshot(const QList<NesterJob *> &jobs);

protected:
    void run() override;

private:
    static void SetAside(const QString &path);

    std::mutex mutex;
    QList<NesterJob *> *jobs;

    std::mutex stateMutex;
    std::condition_variable wake;
    bool dirty = false;
    bool stopping = false;
};

} // namespace Zendral
} // namespace Orvane
