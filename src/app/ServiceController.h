#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>

#include "PickedJob.h"

#include <memory>

class QTimerEvent;

namespace Orvane {
namespace Zendral {

class JobManager;
class ServiceSettings;

// The service's control flow, without any widgets: starts the job service's
// listener and retries while that fails, picks waiting jobs at a fixed
// interval and hands each to an engine runner, routes the runners' reports
// back, stops everything on request, and runs the periodic update check.
// Subclasses bind the abstract operations to a job service (ServiceCore);
// the window and the headless program are front ends of that.
//
// Thread: the main thread only (timers, runner signals).
class ServiceController : public QObject
{
    Q_OBJECT
public:
    // settings: the service's settings store, owned by the front end; read
    // and written on this thread only.
    ServiceController(ServiceSettings &settings, bool autoStart, QObject *parent = nullptr);
    ~ServiceController() override;

    // With autoStart the service starts at once; otherwise an update check
    // runs first. False when an update is being installed (the front end
    // then ends without showing anything).
    virtual bool Launch();

    // Number of active engine runs.
    int ActiveRunCount() const { return runners.size(); }
    // Whether a start of the service failed and is being tried again.
    bool IsRetrying() const { return retryTimerId != -1 || startAgainTimerId != -1 || resetAgainTimerId != -1; }
    // Whether the job has an active engine run.
    bool IsRunning(const QString &job_id) const { return runners.contains(job_id); }
    // Milliseconds between start attempts while the listener cannot open.
    void SetRetryIntervalMs(int ms) { retryIntervalMs = ms; }
    // Failed starts in a row after which the controller gives up
    // (startsGivenUp); 0, the default, retries without end (the window).
    void SetMaxFailedStarts(int count) { maxFailedStarts = count; }
    // The settings store the service reads (this thread only).
    ServiceSettings &Settings() const { return settings; }

    // Asks the updater beside the executable whether there is an update and,
    // if so, hands the installation over to it once the runs have ended;
    // true when the updater took over (the program is then to end).
    virtual bool checkUpdate();
    // The updater's path beside the executable (platform executable suffix).
    static QString UpdaterPath(const QString &folder);

protected slots:
    // Stores a runner's result report; false when it could not be stored
    // (the runner then keeps the engine's own copy).
    virtual bool OnJobUpdateData(const QJsonObject &json) = 0;

protected:
    virtual int MaxWorkerCount() = 0;
    virtual int StartServer() = 0;
    // Why the last StartServer failed, for startsGivenUp.
    virtual QString StartFailure() const { return QString(); }
    virtual void StopServer() = 0;
    virtual void ResetServer() = 0;
    virtual void JobStarted(QByteArray job_id) = 0;
    // reason: why the run ended (empty after exit code 0); stopped: the run
    // was ended by the operator's stop (or the window closing);
    // engineOutput: the tail of the engine's standard error.
    virtual void JobFinished(QByteArray job_id, int exit_code, const QString &reason, bool stopped,
                             const QString &engineOutput) = 0;
    virtual void JobUpdated(QByteArray job_id, const QJsonObject &object) = 0;
    // The next job to run; none (not IsValid) when there is none.
    virtual PickedJob NextJob() = 0;
    virtual void RunUpdater();
    // The configured engine became usable or unusable (missing, not
    // executable); called once per change. While it is unusable no job is
    // handed out, so that jobs do not fail for it.
    virtual void EngineAvailabilityChanged(bool usable, const QString &path);
    // The service started, failed to start (and is retried) or stopped.
    virtual void ServiceStateChanged();

    void timerEvent(QTimerEvent *event) override;

    // Stops the engine run of one job, if it has one (a removed job).
    void StopJobRun(const QString &job_id);

    // Asks for a pick from the event loop while the service serves: called
    // when a slot frees or a job arrives, so that a waiting job starts at
    // once instead of at the next tick. Requests made before the pick runs
    // are one request; a pick that started a run asks for the next one, so
    // free slots fill one start per event-loop pass, never in a loop.
    void SchedulePick();


signals:
    // The updater has taken over the installation: the program is to end now.
    void quitRequested();
    // The listener failed to open SetMaxFailedStarts times in a row; no
    // further attempt follows. reason: the last failure's message.
    void startsGivenUp(const QString &reason);

public slots:
    void OnStartServer();
    void OnResetServer();
    // Ends the engine runs, the timers and the listener (a Stop, or the end
    // of the program).
    void OnStopServer();

protected slots:
    void OnPickJob();
    void OnJobStarted(QByteArray job_id);
    void OnJobFinished(QByteArray job_id, int exit_code);
    void OnJobUpdate(QByteArray job_id, QJsonObject object);

private slots:
    // Hands a runner's result report to OnJobUpdateData behind the common
    // exception handler, so that a failing receiver cannot break the run's end.
    void OnRunUpdateData(const QJsonObject &json);

protected:
    bool autoStart;
    int pickTimerId = -1;
    int retryTimerId = -1;
    int nextUpdateSeconds = 3;
    int pickInterval = 5;          // seconds
    int autoUpdateInterval = 86400; // seconds
    int autoUpdateTimerId = -1;
    QMap<QString, std::shared_ptr<JobManager>> runners;

    // Milliseconds between start attempts while the listener cannot open.
    int retryIntervalMs = 5000;
    // Longest wait for the updater's check before it counts as "no update".
    int updaterTimeoutMs = 60000;

private:
    ServiceSettings &settings;
    void StopTimer(int &id);
    void RunScheduledPick();
    void StartServerAttempt();
    void PickOneJob();
    void ScheduleAgain(int &id);
    void StopPendingAttempts();
    void PostUpdateCheck();
    int RunUpdateCheck(const QString &updater, const QString &folder);
    void ResumeAfterFailedUpdate(bool wasPicking, bool wasRetrying);
    void ResumeAutoUpdate();

    // A start attempt, or a rebuild of the job service, put off to the event
    // loop after an exception (-1 while none is pending). After
    // kImmediateRetries failures in a row they wait retryIntervalMs.
    int startAgainTimerId = -1;
    int resetAgainTimerId = -1;
    int failureStreak = 0;
    // Listener starts that failed in a row, and the limit (0: none).
    int failedStarts = 0;
    int maxFailedStarts = 0;
    // Counts a failed start; true when the limit is reached.
    bool GiveUpAfterFailedStart();
    static const int kImmediateRetries = 3;
    // A pick posted by SchedulePick has not run yet.
    bool pickPosted = false;
    // The engine's state at the last pick, and whether the last pick found
    // nothing to do: changes are logged once, not at every tick.
    int engineUsable = -1; // -1 unknown, 0 no, 1 yes
    bool idleLogged = false;
    // Whether the engine at path can be run; tells a change once.
    bool CheckEngine(const QString &path);
    // Set while checkUpdate runs, so that a check posted meanwhile is skipped.
    bool checkingUpdate = false;
    // Set by RunUpdater once the updater has been handed the installation.
    bool updaterStarted = false;
};

} // namespace Zendral
} // namespace Orvane
