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
// each whole operation. The file lock orders result-file reads against
// rewrites. Records taken out of the queue are deleted on the GUI thread only,
// after control has returned to its event loop, so pointers handed out there
// (updateJobList, Jobs()) stay valid for the receiver's call.
class LocalServer : public QObject
{
    Q_OBJECT
public:
    explicit LocalServer(QObject *parent = nullptr);
    ~LocalServer() override;

    // The process-wide queue mutex (non-recursive).
    static QMutex &QueueMutex();
    // The jobs folder; created when missing.
    static QDir JobsDir();
    // Makes a job folder, writes the job file and returns a new record (or
    // nullptr when the folder cannot be made or the name is unusable).
    static NesterJob *CreateJob(const QString &from, const QString &fileName,
                                const QByteArray &data, int time);

    QString StartListen(const QString &port);
    QString LocalHostIP();

    Reply InitSession();
    Reply AddNesterJob(const QByteArray &request, const QString &from);
    Reply RemoveNesterJob(const QString &job_id);
    Reply PickUpNesterJob(const QString &job_id);
    Reply GetNesterJobList(const QString &from, const QString &requestedName);
    Reply MoveNesterJob(const QByteArray &request);

    // GUI thread.
    QJsonObject PickJob();
    void UpdateData(const QJsonObject &data);
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

private:
    // Caller holds the queue mutex.
    NesterJob *FindJob(const QString &job_id) const;
    void OnJobChanged(NesterJob *job, JobAction action);

    QReadWriteLock fileLock;
    WriteBackup *backupWriter = nullptr;
    QList<NesterJob *> jobs;
};

} // namespace Zendral
} // namespace Orvane
