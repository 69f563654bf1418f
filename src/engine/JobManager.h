#pragma once

#include "EngineErrorTail.h"
#include "EngineOutputParser.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMutex>
#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

namespace Orvane {
namespace Zendral {

class EngineProcess;

// Runs the external nesting engine on one job as a child process and turns
// its standard-output messages and its result file into reports.
//
// The run is supervised: an engine still running `worker/engine_grace_seconds`
// after the job's time budget is stopped (terminate, then kill) and the run
// fails; the engine dies with the service (see EngineProcess); a lock file
// beside the job file names the engine that runs on the job, so that an
// engine of an earlier run of the service that still runs there is ended
// before a new one starts.
//
// Thread: GUI thread only (created, driven and destroyed there). The mutex
// only serialises the handling of one progress message.
class JobManager : public QObject
{
    Q_OBJECT
public:
    explicit JobManager(QObject *parent = nullptr);
    ~JobManager() override;

    // The engine executable's path as it will be run (after the lookup of
    // startWork); empty before startWork. For logs and tests.
    QString enginePath() const { return m_enginePath; }
    // Why the run ended, for logs and the job's record: empty for a run that
    // ended with exit code 0, else e.g. "exit code 3: <the engine's last line
    // on standard error>", "time limit exceeded". Valid once finished has
    // been emitted.
    QString endReason() const { return m_endReason; }
    // The last lines of the engine's standard error (at most 4 KiB of text,
    // control characters escaped). Complete once finished has been emitted.
    QString engineOutput() const { return errorTail.Text(); }
    // Whether the run was ended by stopWork (the operator's stop).
    bool wasStopped() const { return m_stopRequested; }
    // Keeps the engine's result file at the end of the run: the receiver of
    // the final report could not store it (call from a receiver of
    // updateData).
    void keepEngineResult() { m_keepResult = true; }

    // The engine executable a "worker/engine" value names: a file as given,
    // else the name beside the program (empty: the default engine).
    static QString ResolveEngine(QString setting);
    // The engine to run (a path, as ResolveEngine gives it) and the seconds
    // it may run past its job's budget ("worker/engine_grace_seconds");
    // set before startWork.
    void configure(const QString &enginePath, int graceSeconds);
    // Whether an engine can be run from that path (an executable file).
    static bool EngineUsable(const QString &path);
    // The lock file that names the engine running on a job file.
    static QString LockPath(const QString &jobFile);

signals:
    void started(QByteArray job_id);
    // exit_code is the engine's exit code, or -1 when it was not found or
    // did not start; a run stopped at its time limit never reports 0.
    void finished(QByteArray job_id, int exit_code);
    void update(QByteArray job_id, QJsonObject object);
    void updateData(QJsonObject data);

public slots:
    // marker_data is the job file path as UTF-8 bytes.
    void startWork(QByteArray token, QByteArray job_id, QByteArray marker_data, int work_seconds);
    void stopWork();

private slots:
    void onWorkerStarted();
    void onWorkerFinished(int exit_code);
    void onWorkerUpdate();
    void onWorkerErrorOutput();
    void onWorkerError(QProcess::ProcessError error);
    void onTimeLimit();

private:
    void onProcessFinished(int exit_code, QProcess::ExitStatus status);
    QJsonObject resultReport(const QByteArray &bytes) const;
    void handleOutput(const QByteArray &bytes);
    // One engine message; false when the runner went away meanwhile.
    bool handleMessage(const QByteArray &document);
    void logGarbage(qint64 skippedBefore);
    void reportFinished(int exit_code, const QString &reason);
    bool endStaleEngine();
    void writeLock();
    void removeLock();
    static bool readResultFile(const QString &file, QByteArray *bytes);
    // Deletes the half-written temporary copies of the engine's result
    // ("<job file>.engine.xml.XXXXXX", or the reported result's name with
    // such a suffix) that an engine stopped in the middle of a write leaves
    // in the job folder. Called once the engine has ended.
    void removeEngineTempFiles() const;

    QByteArray token;
    QByteArray job_id;
    QByteArray data;
    QString path;
    double efficiency = 0;
    double estimate = 0;
    int next_update = 0;
    QMutex mutex;
    EngineProcess *process;
    EngineOutputParser parser;
    EngineErrorTail errorTail;
    QTimer *limitTimer;
    QTimer *killTimer;
    int m_workSeconds = 0;
    int m_graceSeconds = 0;
    QString m_enginePath;
    QString m_lockPath;
    QString m_markerFile; // the job file the engine runs on
    QString m_endReason;
    bool m_timedOut = false;
    bool m_stopRequested = false;
    bool m_keepResult = false;
    bool m_finishReported = false; // finished has been emitted (exactly once)
};

} // namespace Zendral
} // namespace Orvane
