#include "ServiceController.h"

#include "FolderCopy.h"
#include "JobManager.h"
#include "ServiceSettings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>

#include <climits>

// The common report of an exception caught in a slot that a timer or an
// engine runner reaches: source file, line and the slot's qualified name.
#define ZENDRAL_LOG_EXCEPTION(function)                                           \
    qWarning().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")    \
                              .arg(QStringLiteral(__FILE__))                      \
                              .arg(__LINE__)                                      \
                              .arg(QLatin1String("Orvane::Zendral::ServiceController::" function))

namespace Orvane {
namespace Zendral {

namespace {


// Seconds to a timer period in milliseconds, kept within what a timer takes.
int secondsToTimerMs(int seconds)
{
    return int(qBound<qint64>(0, qint64(seconds) * 1000, INT_MAX));
}

// Clears a flag when the scope ends, also through an exception.
class FlagScope
{
public:
    explicit FlagScope(bool &flag) : m_flag(flag) { m_flag = true; }
    ~FlagScope() { m_flag = false; }
private:
    bool &m_flag;
};

} // namespace

ServiceController::ServiceController(ServiceSettings &settings, bool autoStart, QObject *parent)
    : QObject(parent)
    , autoStart(autoStart)
    , settings(settings)
{
    pickTimerId = -1;
    retryTimerId = -1;
    autoUpdateTimerId = -1;

    const ServiceConfig config = settings.Read();
    nextUpdateSeconds = config.nextUpdateSeconds;
    pickInterval = config.pickJobInterval;
    autoUpdateInterval = config.autoUpdateInterval;

    autoUpdateTimerId = startTimer(secondsToTimerMs(autoUpdateInterval), Qt::CoarseTimer);
}

ServiceController::~ServiceController()
{
    StopTimer(autoUpdateTimerId);
    ServiceConfig running = settings.Read();
    running.nextUpdateSeconds = nextUpdateSeconds;
    running.pickJobInterval = pickInterval;
    running.autoUpdateInterval = autoUpdateInterval;
    settings.WriteBack(running);
    settings.Sync();

    // Runs still active here (the service was never stopped) can no longer be
    // followed: the subclass that takes their reports is gone already. Detach
    // them first, then end their engines instead of leaving them orphaned.
    const auto active = runners;
    runners.clear();
    for (const auto &runner : active) {
        disconnect(runner.get(), nullptr, this, nullptr);
        runner->stopWork();
    }
}

bool ServiceController::Launch()
{
    if (autoStart) {
        OnStartServer();
        return true;
    }
    return !checkUpdate();
}

void ServiceController::timerEvent(QTimerEvent *event)
{
    try {
        const int id = event->timerId();
        if (id == pickTimerId) {
            OnPickJob();
        } else if (id == retryTimerId) {
            OnResetServer();
        } else if (id == autoUpdateTimerId) {
            PostUpdateCheck();
        } else if (id == startAgainTimerId) {
            StopTimer(startAgainTimerId);
            OnStartServer();
        } else if (id == resetAgainTimerId) {
            StopTimer(resetAgainTimerId);
            OnResetServer();
        } else {
            QObject::timerEvent(event);
        }
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("timerEvent");
    }
}

void ServiceController::OnStartServer()
{
    StartServerAttempt();
}

// One attempt to open the listener. An exception puts the next attempt off
// to the event loop (never a loop or a recursion here), so the window stays
// responsive and a Stop in between cancels it.
void ServiceController::StartServerAttempt()
{
    try {
        if (StartServer() == 1) {
            StopTimer(startAgainTimerId);
            StopTimer(pickTimerId);
            pickTimerId = startTimer(secondsToTimerMs(pickInterval), Qt::CoarseTimer);
            OnPickJob();
            StopTimer(retryTimerId);
            failedStarts = 0;
        } else if (GiveUpAfterFailedStart()) {
            StopTimer(retryTimerId);
        } else {
            failureStreak = 0;
            if (retryTimerId == -1)
                retryTimerId = startTimer(retryIntervalMs, Qt::CoarseTimer);
        }
    } catch (...) {
        qWarning() << "connect to server error.";
        ++failureStreak;
        ScheduleAgain(startAgainTimerId);
    }
    ServiceStateChanged();
}

void ServiceController::ServiceStateChanged()
{
}

bool ServiceController::GiveUpAfterFailedStart()
{
    ++failedStarts;
    if (maxFailedStarts <= 0 || failedStarts < maxFailedStarts)
        return false;
    emit startsGivenUp(StartFailure());
    return true;
}

void ServiceController::OnResetServer()
{
    ResetServer();
    OnStartServer();
}

void ServiceController::OnStopServer()
{
    // The copy keeps each runner alive while it reports finished, which
    // removes it from runners during its stopWork.
    const auto active = runners;
    for (const auto &runner : active)
        runner->stopWork();
    StopTimer(pickTimerId);
    // A failed start must not go on retrying after Stop.
    StopTimer(retryTimerId);
    StopPendingAttempts();
    failedStarts = 0;
    StopServer();
    ServiceStateChanged();
}

void ServiceController::OnPickJob()
{
    try {
        const int before = runners.size();
        PickOneJob();
        failureStreak = 0;
        // A run started: a further slot may be free for the next job.
        if (runners.size() > before)
            SchedulePick();
    } catch (...) {
        qWarning() << "pick job has some error.";
        // The rebuild runs from the event loop: called from here it would
        // start the service, pick again and recurse while the error lasts.
        ++failureStreak;
        ScheduleAgain(resetAgainTimerId);
    }
}

bool ServiceController::CheckEngine(const QString &path)
{
    const bool usable = JobManager::EngineUsable(path);
    if (int(usable) != engineUsable) {
        if (usable && engineUsable == 0)
            qInfo().noquote() << "Engine found:" << path;
        else if (!usable)
            qWarning().noquote() << "Engine missing or not executable:" << path << "- no job runs until it is there";
        engineUsable = usable;
        EngineAvailabilityChanged(usable, path);
    }
    return usable;
}

void ServiceController::EngineAvailabilityChanged(bool, const QString &)
{
}

void ServiceController::PickOneJob()
{
    if (runners.size() >= MaxWorkerCount())
        return;
    const ServiceConfig config = settings.Read();
    const QString enginePath = JobManager::ResolveEngine(config.engine);
    if (!CheckEngine(enginePath))
        return;
    const PickedJob job = NextJob();
    if (!job.IsValid()) {
        if (!idleLogged) // once when the queue runs dry, not at every tick
            qDebug() << "job content is empty!";
        idleLogged = true;
        return;
    }
    idleLogged = false;
    const QByteArray job_id = job.job_id.toLatin1();

    // The key is the form in which the runner reports the job back.
    const QString key = QString::fromLatin1(job_id);
    if (runners.contains(key)) {
        // The queue marks a job running only when its engine has started;
        // until then it may offer the same job again.
        qDebug().noquote() << "job" << key << "is running already.";
        return;
    }

    std::shared_ptr<JobManager> runner(new JobManager);
    JobManager *r = runner.get();
    connect(r, &JobManager::started, this, &ServiceController::OnJobStarted, Qt::DirectConnection);
    connect(r, &JobManager::finished, this, &ServiceController::OnJobFinished, Qt::DirectConnection);
    connect(r, &JobManager::update, this, &ServiceController::OnJobUpdate, Qt::DirectConnection);
    connect(r, &JobManager::updateData, this, &ServiceController::OnRunUpdateData,
            Qt::DirectConnection);
    runners.insert(key, runner);
    r->configure(enginePath, config.engineGraceSeconds);
    // UTF-8 keeps non-ASCII paths intact; the runner decodes them as UTF-8.
    // The local reference keeps the runner alive if it finishes at once.
    // The local service hands out no worker token.
    r->startWork(QByteArray(), job_id, job.file_path.toUtf8(), job.work_seconds);
}

void ServiceController::OnJobStarted(QByteArray job_id)
{
    try {
        JobStarted(job_id);
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("OnJobStarted");
    }
}

void ServiceController::OnJobFinished(QByteArray job_id, int exit_code)
{
    try {
        const QString key = QString::fromLatin1(job_id);
        std::shared_ptr<JobManager> runner = runners.value(key);
        const QString reason = runner ? runner->endReason() : QString();
        const bool stopped = runner && runner->wasStopped();
        const QString output = runner ? runner->engineOutput() : QString();
        if (runner)
            disconnect(runner.get(), nullptr, this, nullptr);
        runners.remove(key);
        JobFinished(job_id, exit_code, reason, stopped, output);
        // The slot is free for the next job. A run that never started (-1:
        // engine missing or not startable) leaves the retry to the pick
        // timer, or the same failure would repeat at once, over and over.
        if (exit_code != -1)
            SchedulePick();
        // The runner ends here, while its finished is still being delivered;
        // it touches nothing of its own after emitting it.
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("OnJobFinished");
    }
}

void ServiceController::OnJobUpdate(QByteArray job_id, QJsonObject object)
{
    try {
        JobUpdated(job_id, object);
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("OnJobUpdate");
    }
}

void ServiceController::OnRunUpdateData(const QJsonObject &json)
{
    bool stored = false;
    try {
        stored = OnJobUpdateData(json);
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("OnJobUpdateData");
    }
    if (!stored) {
        if (auto *runner = qobject_cast<JobManager *>(sender()))
            runner->keepEngineResult();
    }
}

void ServiceController::SchedulePick()
{
    if (pickTimerId == -1 || pickPosted)
        return; // not serving (stopped, starting or updating), or asked already
    pickPosted = true;
    // Queued: never inside the signal handler of the run that ended. The
    // call is dropped if the window goes first.
    QMetaObject::invokeMethod(this, &ServiceController::RunScheduledPick, Qt::QueuedConnection);
}

void ServiceController::RunScheduledPick()
{
    pickPosted = false;
    if (pickTimerId != -1)
        OnPickJob();
}

void ServiceController::StopJobRun(const QString &job_id)
{
    // The reference keeps the runner alive through its finished report.
    const std::shared_ptr<JobManager> runner = runners.value(job_id);
    if (runner)
        runner->stopWork();
}

QString ServiceController::UpdaterPath(const QString &folder)
{
    // The updater carries the platform's executable suffix: ".exe" on
    // Windows, none elsewhere.
#ifdef Q_OS_WIN
    return folder + QStringLiteral("/VelUpdate.exe");
#else
    return folder + QStringLiteral("/VelUpdate");
#endif
}

bool ServiceController::checkUpdate()
{
    // A check posted by the auto-update timer while this one waits for runs
    // (the event loop runs meanwhile) must not start a second installation.
    if (checkingUpdate)
        return false;
    FlagScope checking(checkingUpdate);
    try {
        const QString folder = QCoreApplication::applicationDirPath();
        const QString updater = UpdaterPath(folder);
        if (!QFileInfo(updater).isFile()) {
            StopTimer(autoUpdateTimerId);
            return false;
        }
        if (RunUpdateCheck(updater, folder) <= 0)
            return false;

        qInfo() << "find an update to stop the search job.";
        const bool wasPicking = pickTimerId != -1;
        const bool wasRetrying = retryTimerId != -1 || startAgainTimerId != -1;
        StopTimer(pickTimerId);
        StopTimer(retryTimerId);
        StopPendingAttempts();
        // The runs report their end through the event loop.
        while (!runners.isEmpty()) {
            QThread::msleep(1000);
            QCoreApplication::processEvents();
        }
        updaterStarted = false;
        RunUpdater();
        if (updaterStarted)
            return true;
        ResumeAfterFailedUpdate(wasPicking, wasRetrying);
        return false;
    } catch (...) {
        ZENDRAL_LOG_EXCEPTION("checkUpdate");
        return false;
    }
}

// Runs the updater's check and waits at most updaterTimeoutMs for it; an
// updater that does not start, crashes or hangs means "no update".
int ServiceController::RunUpdateCheck(const QString &updater, const QString &folder)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(updater, {QStringLiteral("-t"), QCoreApplication::applicationName(),
                            QStringLiteral("-d"), folder, QStringLiteral("-s"), QStringLiteral("-c")});
    if (!process.waitForStarted(updaterTimeoutMs)) {
        qWarning().noquote() << "the updater did not start:" << process.errorString();
        return 0;
    }
    const int remaining =
        updaterTimeoutMs < 0 ? -1 : int(qMax<qint64>(0, updaterTimeoutMs - clock.elapsed()));
    if (!process.waitForFinished(remaining)) {
        qWarning().noquote() << "the updater did not end within" << updaterTimeoutMs
                           << "ms and was stopped.";
        process.kill();
        process.waitForFinished(5000);
        return 0;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return 0;
    return process.exitCode();
}

void ServiceController::RunUpdater()
{
    if (!runners.isEmpty())
        return;
    StopTimer(autoUpdateTimerId);
    const QString name = QCoreApplication::applicationName();
    const QString installation = QCoreApplication::applicationDirPath();
    // QDir::tempPath() gives TMPDIR (or /tmp) on Unix without checking that it
    // exists, and may be empty elsewhere: the isDir check below keeps the copy
    // from landing anywhere but in an existing temporary folder.
    const QString temp = QDir::tempPath();
    if (temp.isEmpty() || name.isEmpty() || !QFileInfo(temp).isDir()) {
        qWarning().noquote() << "no temporary folder for a copy of the installation:" << temp;
        ResumeAutoUpdate();
        return;
    }
    const QString copy = temp + QLatin1Char('/') + name;
    if (!backup(installation, copy)) {
        // Whatever the copy folder holds now (an older updater, or a folder
        // of someone else's) must not be run: the hand-over fails instead.
        qWarning().noquote() << "the installation could not be copied completely to" << copy;
        ResumeAutoUpdate();
        return;
    }

    // The updater runs from the copy so that it can replace the installed files.
    const QStringList arguments{QStringLiteral("-t"), name, QStringLiteral("-d"), installation,
                                QStringLiteral("-s"), QStringLiteral("-e"), QStringLiteral("\"-a\"")};
    if (!QProcess::startDetached(UpdaterPath(copy), arguments)) {
        // Closing now would end the service with nobody to restart it.
        qWarning().noquote() << "the updater could not be started from" << copy;
        ResumeAutoUpdate();
        return;
    }
    updaterStarted = true;
    // The service stops here, whatever front end ends the program.
    OnStopServer();
    emit quitRequested();
}

void ServiceController::ResumeAutoUpdate()
{
    if (autoUpdateTimerId == -1)
        autoUpdateTimerId = startTimer(secondsToTimerMs(autoUpdateInterval), Qt::CoarseTimer);
}

// The update could not be handed over: the service goes on as before.
void ServiceController::ResumeAfterFailedUpdate(bool wasPicking, bool wasRetrying)
{
    if (wasPicking && pickTimerId == -1)
        pickTimerId = startTimer(secondsToTimerMs(pickInterval), Qt::CoarseTimer);
    if (wasRetrying && retryTimerId == -1)
        retryTimerId = startTimer(retryIntervalMs, Qt::CoarseTimer);
}

void ServiceController::PostUpdateCheck()
{
    // Posted, so that the check runs once control is back in the event loop.
    QTimer::singleShot(0, this, [this]() { checkUpdate(); });
}

void ServiceController::ScheduleAgain(int &id)
{
    if (id == -1)
        id = startTimer(failureStreak > kImmediateRetries ? retryIntervalMs : 0, Qt::CoarseTimer);
}

void ServiceController::StopPendingAttempts()
{
    StopTimer(startAgainTimerId);
    StopTimer(resetAgainTimerId);
    failureStreak = 0;
}

void ServiceController::StopTimer(int &id)
{
    if (id != -1) {
        killTimer(id);
        id = -1;
    }
}

} // namespace Zendral
} // namespace Orvane
