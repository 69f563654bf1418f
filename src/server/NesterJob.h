#pragma once

#include <QDateTime>
#include <QFileInfo>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace Orvane {
namespace Zendral {

// One submitted nesting job: the marker document a client sent, where it and
// the engine's result lie on disk, its state in the queue and its progress.
// A plain record owned by the job queue (LocalServer).
//
// Threads: fields are written only on the GUI thread, with the queue mutex
// held, once the record is in the queue; other threads read them with the
// queue mutex held. Records are deleted only on the GUI thread.
class JobFolders;

class NesterJob
{
public:
    // Failed: the engine failed on the job too many runs in a row; it is
    // not run again until the operator retries it.
    enum State { Waiting = 0, Running = 1, Finished = 2, Failed = 3 };

    // The state as clients and the window name it: "waiting", "running",
    // "finished" or "failed" (empty for an unknown value).
    static QString StateName(int state);

    NesterJob();
    NesterJob(const QString &fileaex, const QString &from, int time);

    bool IsWaiting() const { return state == Waiting; }
    bool IsRunning() const { return state == Running; }
    bool IsFinished() const { return state == Finished; }
    bool IsFailed() const { return state == Failed; }
    // A held job keeps its place but is not started until released.
    bool IsHeld() const { return held; }
    // The state as the operator and the clients' lists name it: "held" for
    // a held job that has not finished or failed, else StateName(state).
    QString StateText() const;

    void Start();
    void Finish();
    // Keeps the ended run's start, its end (now) and the engine's output.
    void KeepRun(const QString &runStart, const QString &engineOutput);
    // The run log beside the job file: "<job file>.engine.log", removed with
    // the job (an own file, see Remove).
    QString RunLogPath() const;
    // Writes the last run's start, end, error and engine output to
    // RunLogPath; false when it could not be written.
    bool WriteRunLog() const;
    // Deletes the job's own files and then its folder when it is empty, but
    // only inside a job folder in the jobs folder. Files in keep (absolute
    // paths of other records' files) stay. False when a file or the folder
    // could not be deleted (a record without a job folder removes nothing
    // and is true).
    bool Remove(const JobFolders &folders, const QStringList &keep = QStringList());

    // The record JSON: the one mapping of a record, for the journal, the
    // backup and the shared queue's change log alike.
    QJsonObject ToJson(int position) const;
    // The same record as compact JSON text (position 0), as Qt writes it,
    // written directly: every add makes one, and a QJsonObject costs
    // several times more.
    QByteArray ToRecord() const;
    // Reads the record JSON. A restored record (live false) had its run
    // interrupted by the restart (QueueRules::ResumeInterrupted); a live one
    // (a shared queue's record, which runs on some node) is taken as it is.
    void FromJson(const QJsonObject &json, bool live = false);
    // The job as a client's list shows it. A running job the requester
    // asked for by name carries its result's marker data ("job_data"):
    // from `marker` when given, else from the result file.
    QJsonObject ToListJson(int position, const QString &requestedName, const QString &requester,
                           const std::function<QByteArray()> &marker = std::function<QByteArray()>()) const;

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
    // Failed runs in a row ("failed_runs") and the last one's reason
    // ("error"); both cleared when a run succeeds or the operator retries.
    qint32 failed_runs = 0;
    QString error;
    // The node that runs the job, in a queue that several services share
    // ("node" in the record JSON; empty and left out otherwise).
    QString node;
    // The last ended run: its start and end (UTC, as "start") and the tail
    // of the engine's standard error ("run_start", "run_end",
    // "engine_output"; left out while empty). Kept until the next run ends.
    QString run_start;
    QString run_end;
    QString engine_output;
    // The operator's hold ("held", "held_until" in the record JSON; left
    // out while not held). held_until: when the hold ends by itself
    // (invalid: held until released).
    bool held = false;
    QDateTime held_until;

    // Kept in memory only: a waiting job that failed is not handed out
    // before this time (steady clock, ms; 0: at once); whether the current
    // run has kept a non-empty result on stable storage, and whether its
    // last result write failed (both cleared when a run starts).
    qint64 retry_at = 0;
    bool result_kept = false;
    bool result_broken = false;
    // The record JSON as last given to the queue's store (ToRecord(),
    // compact); empty until then.
    QByteArray stored;

private:
    // Calls field(key, value) for each member of the record JSON, in order;
    // values are QString, qint32, double or bool.
    template <class Field>
    void VisitRecord(int position, Field &&field) const;
    QString OwnFolder(const JobFolders &folders) const;
    bool IsOwnFile(const QFileInfo &file, const QStringList &keep) const;
};

} // namespace Zendral
} // namespace Orvane
