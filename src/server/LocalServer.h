#pragma once

#include <QByteArray>
#include <QDir>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <mutex>

namespace Orvane {
namespace Zendral {

class LocalManager;
class NesterJob;
class WriteBackup;

// A session-facing reply: success and content.
using Reply = QPair<bool, QByteArray>;

enum class JobAction { Added, Removed, Moved };

// The job service: owns the queue of job records, the TCP listener and the
// backup writer.
//
// Threads: lives on the GUI thread. The session operations (InitSession ...
// MoveNesterJob) run on client session threads; PickJob, UpdateData, the
// slots, Jobs() and the constructor/destructor run on the GUI thread.
// Locks: QueueMutex() guards `jobs` and every record field; it is held for
// each whole operation (take it with QueueLocker). Lock order: backup writer
// mutex, then queue mutex, then file lock; the outbox mutex is innermost.
// The file lock orders result-file reads against rewrites. Every change a
// session is answered for is in the backup file before the reply is
// returned. Records taken out of the queue are deleted on the GUI thread only,
// after control has returned to its event loop and after an updateJobList
// without them, so pointers handed out there (updateJobList, Jobs()) stay
// valid until the receiver has been given the next list.
class LocalServer : public QObject
{
    Q_OBJECT
public:
    explicit LocalServer(QObject *parent = nullptr);
    ~LocalServer() override;

    // The process-wide queue mutex (non-recursive).
    static QMutex &QueueMutex();
    // The jobs folder; created when missing. When it cannot be made the
    // failure is logged (and, on the GUI thread, shown through the error
    // reporter) and the directory for an empty path is returned.
    static QDir JobsDir();
    // Whether the jobs folder exists or could be made; sets *dir to it. Shows
    // nothing, so any thread may call it.
    static bool JobsDirReady(QDir *dir);
    // Shows errors to the operator on the GUI thread (the window installs a
    // message box); the core shows nothing without one.
    static void SetErrorReporter(std::function<void(const QString &title, const QString &text)> reporter);
    // Makes a job folder of its own, writes the job file, decoding the
    // document from its standard Base64 text piece by piece, and returns a
    // new record (or nullptr when the folder cannot be made, the name is
    // unusable or the file cannot be written; nothing is left behind then).
    static NesterJob *CreateJob(const QString &from, const QString &fileName,
                                const char *base64, qint64 base64Size, int time);

    QString StartListen(const QString &port);
    // The outward-facing address; waits at most waitMs (capped at about 1 s)
    // for an address probe that is still running.
    QString LocalHostIP(int waitMs = 1000);

    Reply InitSession();
    // Takes the request's buffer (moved in, it is read in place).
    Reply AddNesterJob(QByteArray request, const QString &from);
    Reply RemoveNesterJob(const QString &job_id);
    Reply PickUpNesterJob(const QString &job_id);
    Reply GetNesterJobList(const QString &from, const QString &requestedName);
    Reply MoveNesterJob(const QByteArray &request);
    // The operator's retry of a failed job: back to waiting at the tail,
    // its failed-run count reset. (true, empty) or (false, "Job non-existent...").
    Reply RetryNesterJob(const QString &job_id);

    // GUI thread.
    QJsonObject PickJob();
    // Replaces the job's result file atomically; false when it could not be
    // written (the previous result stays, and a finish of the run counts as
    // a failure).
    bool UpdateData(const QJsonObject &data);
    // A copy of the queue, taken under the queue mutex (GUI thread: the
    // records stay alive until control returns to the event loop).
    QList<NesterJob *> Jobs() const;

    LocalManager *listener = nullptr;

signals:
    // Emitted on the GUI thread after every change of the queue.
    void updateJobList(QList<NesterJob *> jobs);
    // Emitted on the GUI thread when a job has left the queue (removed or
    // picked up), so that its engine run can be stopped.
    void jobRemoved(QString job_id);

public slots:
    void OnJobStarted(QString job_id);
    void OnJobUpdate(QString jod_id, QJsonObject object);
    void OnJobFinish(QString job_id, int exit_code);
    // The end of a run with its reason. Exit code 0 finishes the job (unless
    // its result could not be written). A run the operator stopped returns
    // the job to waiting at its place, with no failure counted. Any other
    // end is a failed run: the job waits at its place and is retried after
    // "worker/retry_delay_seconds"; after "worker/max_failed_runs" failed
    // runs in a row it is failed and not run again until retried.
    void OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped);

private:
    // Caller holds the queue mutex.
    NesterJob *FindJob(const QString &job_id) const;
    static void EndRun(NesterJob *job, int exit_code, const QString &reason, bool stopped,
                       int maxFailed, int delaySeconds);
    // False only for an add whose backup write failed (the job is then
    // taken back out).
    bool OnJobChanged(NesterJob *job, JobAction action);
    // Caller holds the queue mutex: takes the record out of the queue,
    // deletes its files and job folder and keeps the record until the GUI
    // thread deletes it.
    void TakeOut(NesterJob *job);
    // Emit updateJobList / jobRemoved at once on the GUI thread; from other
    // threads they go through the outbox. Caller holds no lock.
    void NotifyChanged();
    void NotifyRemoved(const QString &job_id);
    // Any thread: notes what the GUI thread must deliver. The outbox mutex is
    // a leaf lock.
    void PostDelivery(bool changed, const QString &removedId);
    // GUI thread, at every tick of the delivery timer: emits what the outbox
    // holds and deletes retired records.
    void DeliverNotifications();
    static void ReportJobsDirFailure();

    QReadWriteLock fileLock;
    WriteBackup *backupWriter = nullptr;
    QList<NesterJob *> jobs;
    // Records taken out of the queue, deleted on the GUI thread (queue mutex).
    QList<NesterJob *> retired;
    // Guarded by outboxMutex.
    std::mutex outboxMutex;
    bool outboxPending = false;
    // Polls the outbox on the GUI thread. Other threads never post events to
    // the GUI thread: they only fill the outbox under its mutex, which keeps
    // the hand-over plain (and visible to ThreadSanitizer, which cannot see
    // the lock of Qt's own event queue).
    QTimer *deliveryTimer = nullptr;
    bool outboxChanged = false;
    QStringList outboxRemoved;
};

} // namespace Zendral
} // namespace Orvane
