#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace Orvane {
namespace Zendral {

// One submitted nesting job: the marker document a client sent, where it and
// the engine's result lie on disk, its state in the queue and its progress.
// A plain record owned by the job queue (LocalServer).
//
// Threads: fields are written only on the GUI thread, with the queue mutex
// held, once the record is in the queue; other threads read them with the
// queue mutex held. Records are deleted only on the GUI thread.
class NesterJob
{
public:
    enum State { Waiting = 0, Running = 1, Finished = 2 };

    NesterJob();
    NesterJob(const QString &fileaex, const QString &from, int time);

    bool IsWaiting() const { return state == Waiting; }
    bool IsRunning() const { return state == Running; }
    bool IsFinished() const { return state == Finished; }

    void Start();
    void Finish();
    // Deletes the job's own files and then its folder when it is empty, but
    // only inside a job folder in the jobs folder. Files in keep (absolute
    // paths of other records' files) stay.
    void Remove(const QStringList &keep = QStringList());

    QJsonObject ToJson(int position) const;
    void FromJson(const QJsonObject &json);
    QJsonObject ToListJson(int position, const QString &requestedName, const QString &requester) const;

    QString job_name;
    QString job_id;
    QString from;
    QString start;
    QString fileaex;
    QString fileaexres;
    qint32 state = Waiting;
    double completed = 0;
    double efficient = 0;
    qint32 time = 90;
    QDateTime submit_time;

private:
    QString OwnFolder() const;
    bool IsOwnFile(const QFileInfo &file, const QStringList &keep) const;
};

} // namespace Zendral
} // namespace Orvane
