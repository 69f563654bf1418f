#include "JobManager.h"

#include "EngineProcess.h"
#include "SafeJson.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>
#include <QMutexLocker>
#include <QPointer>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <climits>

// Thread: everything in this file runs on the GUI thread. The mutex guards
// the runner's state while one progress message is handled; signals are
// emitted after it is released, because a receiver may stop or destroy the
// runner.

namespace Orvane {
namespace Zendral {

namespace {

const int kProcessWaitMs = 30000;
// How long an engine asked to end at its time limit gets before it is killed.
const int kTerminateGraceMs = 5000;
// How long an engine of an earlier run gets to go after it was killed.
const int kStaleEngineWaitMs = 5000;
// The exit code reported for a run stopped at its time limit when the engine
// itself exited with 0 (the code timeout(1) uses): such a run never succeeds.
const int kTimedOutExitCode = 124;

// Exit code reported for an engine that crashed or was killed when the
// operating system gives 0 for it: the number of SIGKILL, so that a killed
// run is never taken for a successful one.
const int kKilledExitCode = 9;

const char *const kMessageKeys[] = {"path", "efficiency", "time_limit", "time_elapsed",
                                    "next_update"};

} // namespace

JobManager::JobManager(QObject *parent)
    : QObject(parent)
    , process(new EngineProcess)
    , limitTimer(new QTimer(this))
    , killTimer(new QTimer(this))
{
    // Only standard output carries messages. Standard error is read as it
    // comes and only its tail is kept (EngineErrorTail), so a chatty engine
    // costs bounded memory.
    limitTimer->setSingleShot(true);
    killTimer->setSingleShot(true);
    killTimer->setInterval(kTerminateGraceMs);
    connect(limitTimer, &QTimer::timeout, this, &JobManager::onTimeLimit);
    connect(killTimer, &QTimer::timeout, process, &EngineProcess::killGroup);
    connect(process, &QProcess::started, this, &JobManager::onWorkerStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &JobManager::onProcessFinished);
    connect(process, &QProcess::errorOccurred, this, &JobManager::onWorkerError);
    // Queued: the output is handled from the event loop, never inside the
    // process object's own signal.
    connect(process, &QProcess::readyReadStandardOutput, this, &JobManager::onWorkerUpdate,
            Qt::QueuedConnection);
    connect(process, &QProcess::readyReadStandardError, this, &JobManager::onWorkerErrorOutput);
}

JobManager::~JobManager()
{
    // No process signal may reach the runner while it is being destroyed.
    process->disconnect();
    if (process->state() != QProcess::NotRunning && !process->waitForFinished(kProcessWaitMs)) {
        // Do not leave an orphaned engine behind.
        process->killGroup();
        process->waitForFinished(kProcessWaitMs);
    }
    // The process may still be delivering its own finished signal.
    process->deleteLater();
    if (!m_finishReported)
        removeLock();
}

// A name that is no file as given is looked up beside the running
// executable, with the platform's executable suffix. An empty setting (the
// settings dialog stores an empty field) means the default engine.
QString JobManager::ResolveEngine(QString engine)
{
    if (engine.isEmpty())
        engine = QStringLiteral("DizoVezevi");
    const QFileInfo given(engine);
    if (given.isFile())
        return given.absoluteFilePath(); // a bare name would otherwise be searched in PATH
#ifdef Q_OS_WIN
    engine += QStringLiteral(".exe"); // executables carry ".exe" on Windows only
#endif
    // QDir::absoluteFilePath leaves an absolute path as it is.
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(engine);
}

bool JobManager::EngineUsable(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QString JobManager::LockPath(const QString &jobFile)
{
    return jobFile + QStringLiteral(".lock");
}

bool JobManager::readResultFile(const QString &file, QByteArray *bytes)
{
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return false;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    *bytes = f.readAll();
    f.close();
    return true;
}

void JobManager::configure(const QString &enginePath, int graceSeconds)
{
    m_enginePath = enginePath;
    m_graceSeconds = qMax(0, graceSeconds);
}

void JobManager::startWork(QByteArray token, QByteArray job_id, QByteArray marker_data,
                           int work_seconds)
{
    this->token = token;
    this->job_id = job_id;
    if (!QFileInfo(m_enginePath).isFile()) {
        qWarning().noquote() << "can not find auto marker engine in:" << m_enginePath;
        reportFinished(-1, QStringLiteral("engine not found: %1").arg(m_enginePath));
        return;
    }
    const QString markerFile = QString::fromUtf8(marker_data);
    m_lockPath = LockPath(markerFile);
    if (!endStaleEngine()) {
        reportFinished(-1, QStringLiteral("an engine of an earlier run still runs on this job"));
        return;
    }
    // Set only now: the earlier run's engine, still writing, keeps its files.
    m_markerFile = markerFile;
    m_workSeconds = qMax(0, work_seconds);

    const QStringList arguments{QStringLiteral("-f"), markerFile,
                                QStringLiteral("-t"), QString::number(work_seconds),
                                QStringLiteral("-l"), QLocale::system().name(),
                                QStringLiteral("-p"), QString(),
                                QStringLiteral("-g"), QStringLiteral("0"),
                                QStringLiteral("-s"), QStringLiteral("1")};
    // Logged before the start: a failed start reports finished, after which
    // the runner may already be gone.
    qDebug().noquote() << "start a job" << m_enginePath << arguments;

    QPointer<JobManager> self(this);
    EngineProcess *p = process;
    p->start(m_enginePath, arguments, QIODevice::ReadWrite);
    if (!self)
        return; // failed at once and reported; the runner was destroyed meanwhile
    const bool started = p->waitForStarted(kProcessWaitMs);
    if (!self || started || m_finishReported)
        return;
    // Not started in time: stop the attempt so that nothing runs unobserved.
    p->disconnect(this);
    if (p->state() != QProcess::NotRunning) {
        p->killGroup();
        p->waitForFinished(kProcessWaitMs);
    }
    reportFinished(-1, QStringLiteral("engine did not start within %1 s").arg(kProcessWaitMs / 1000));
}

// An engine of an earlier run of the service that still runs on this job
// (the service was killed before it could end it) would go on writing the
// same result file: it is ended first. False when it cannot be ended.
bool JobManager::endStaleEngine()
{
    QFile lock(m_lockPath);
    if (!lock.exists())
        return true;
    qint64 pid = 0;
    QString mark;
    if (lock.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = lock.readAll().split('\n');
        pid = lines.value(0).trimmed().toLongLong();
        mark = QString::fromLatin1(lines.value(1).trimmed());
        lock.close();
    }
    if (EngineProcess::IsRunning(pid, mark)) {
        qWarning().noquote() << "An engine of an earlier run still runs on job" << job_id << "(process" << pid
                             << "); ending it before the job runs again";
        EngineProcess::Kill(pid);
        for (int waited = 0; EngineProcess::IsRunning(pid, mark); waited += 50) {
            if (waited >= kStaleEngineWaitMs) {
                qWarning().noquote() << "The engine of an earlier run (process" << pid << ") does not end";
                return false;
            }
            QThread::msleep(50);
        }
    }
    QFile::remove(m_lockPath);
    return true;
}

// The lock names this run's engine: its process id and start mark.
void JobManager::writeLock()
{
    const qint64 pid = process->processId();
    QFile lock(m_lockPath);
    if (!lock.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || lock.write(QByteArray::number(pid) + '\n' + EngineProcess::StartMark(pid).toLatin1() + '\n') < 0)
        qWarning().noquote() << "Engine lock not written:" << m_lockPath << lock.errorString();
}

void JobManager::removeLock()
{
    if (!m_lockPath.isEmpty())
        QFile::remove(m_lockPath);
}

void JobManager::stopWork()
{
    if (process->state() == QProcess::NotRunning)
        return;
    // The finished report is delivered inside the wait and its receiver may
    // destroy the runner: only the local pointer is used from here on (the
    // process object itself is deleted later, from the event loop).
    m_stopRequested = true;
    EngineProcess *p = process;
    p->killGroup();
    p->waitForFinished(kProcessWaitMs);
}

void JobManager::onWorkerStarted()
{
    writeLock();
    // The run's limit: its budget plus the grace, in milliseconds (capped at
    // what a timer takes).
    const qint64 limitMs = (qint64(m_workSeconds) + m_graceSeconds) * 1000;
    limitTimer->start(int(qMin<qint64>(limitMs, INT_MAX)));
    const QByteArray id = job_id;
    emit started(id);
}

void JobManager::onTimeLimit()
{
    if (process->state() == QProcess::NotRunning)
        return;
    m_timedOut = true;
    qWarning().noquote() << QStringLiteral("Engine of job %1 still runs %2 s after its budget of %3 s; stopping it")
                                .arg(QString::fromLatin1(job_id)).arg(m_graceSeconds).arg(m_workSeconds);
    process->terminateGroup();
    killTimer->start();
}

void JobManager::onProcessFinished(int exit_code, QProcess::ExitStatus status)
{
    limitTimer->stop();
    killTimer->stop();
    QString reason;
    if (status == QProcess::CrashExit && exit_code == 0)
        exit_code = kKilledExitCode;
    if (m_timedOut) {
        if (exit_code == 0)
            exit_code = kTimedOutExitCode;
        reason = QStringLiteral("time limit exceeded (budget %1 s + %2 s)").arg(m_workSeconds).arg(m_graceSeconds);
    } else if (m_stopRequested) {
        reason = QStringLiteral("stopped");
    } else if (status == QProcess::CrashExit) {
        reason = QStringLiteral("engine crashed");
    } else if (exit_code != 0) {
        reason = QStringLiteral("exit code %1").arg(exit_code);
    }
    // A failure the engine explained names its last words on standard error.
    onWorkerErrorOutput();
    const QString lastLine = errorTail.LastLine();
    if (!reason.isEmpty() && !m_stopRequested && !lastLine.isEmpty())
        reason += QStringLiteral(": ") + lastLine;
    m_endReason = reason;
    onWorkerFinished(exit_code);
}

void JobManager::onWorkerError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart) {
        // Crashes and read errors end in finished as usual. An engine ended
        // on purpose (a stop, its time limit) "crashes" by its signal: that
        // is no fault to warn of.
        if (m_stopRequested || m_timedOut)
            qDebug().noquote() << "engine ended by its stop:" << process->errorString();
        else
            qWarning().noquote() << "engine process error:" << process->errorString();
        return;
    }
    qWarning().noquote() << "engine failed to start:" << process->errorString();
    process->disconnect(this);
    reportFinished(-1, QStringLiteral("engine did not start: %1").arg(process->errorString()));
}

void JobManager::onWorkerUpdate()
{
    try {
        handleOutput(process->readAllStandardOutput());
    } catch (...) {
        // A message that can not be handled is lost; the run goes on.
    }
}

void JobManager::onWorkerErrorOutput()
{
    errorTail.Append(process->readAllStandardError());
}

// Each complete JSON document of the output is one message, applied in
// order; a partial one waits for the rest; garbage is logged and skipped.
void JobManager::handleOutput(const QByteArray &bytes)
{
    const qint64 skippedBefore = parser.Skipped();
    const QList<QByteArray> documents = parser.Feed(bytes);
    logGarbage(skippedBefore);
    for (const QByteArray &document : documents) {
        if (!handleMessage(document))
            return;
    }
}

void JobManager::logGarbage(qint64 skippedBefore)
{
    if (parser.Skipped() != skippedBefore)
        qWarning().noquote() << "Engine output of job" << job_id << "skipped, not a JSON message:"
                             << parser.LastGarbage();
}

bool JobManager::handleMessage(const QByteArray &document)
{
    QJsonObject message;
    QJsonObject report;
    bool haveReport = false;
    {
        QMutexLocker locker(&mutex);
        QString error;
        const QJsonDocument parsed = SafeJson::Parse(document, &error);
        if (parsed.isNull()) {
            qWarning().noquote() << "Engine message of job" << job_id << "skipped:" << error << document.left(80);
            return true;
        }
        message = parsed.object(); // an array reads as an object without keys
        for (const char *key : kMessageKeys) {
            if (!message.contains(QLatin1String(key)))
                message.insert(QLatin1String(key), QJsonValue());
        }
        path = message.value(QLatin1String("path")).toString();
        efficiency = message.value(QLatin1String("efficiency")).toDouble();
        estimate = message.value(QLatin1String("time_limit")).toDouble()
                   - message.value(QLatin1String("time_elapsed")).toDouble();
        // toInt gives 0 for a number with a fractional part: whole seconds only.
        next_update = message.value(QLatin1String("next_update")).toInt();
        QByteArray bytesRead;
        if (readResultFile(path, &bytesRead)) {
            data = bytesRead;
            report = resultReport(data);
            haveReport = true;
        }
    }
    QPointer<JobManager> self(this);
    const QByteArray id = job_id;
    if (haveReport)
        emit updateData(report);
    if (self)
        emit update(id, message);
    return !self.isNull();
}

void JobManager::onWorkerFinished(int exit_code)
{
    if (m_finishReported)
        return;
    QPointer<JobManager> self(this);
    // The last message may still wait in the queue when the process ends;
    // take it now, or the run's last result path and progress would be lost.
    onWorkerUpdate();
    if (!self)
        return;
    const qint64 skippedBefore = parser.Skipped();
    parser.Finish(); // a message cut off by the end is garbage now
    logGarbage(skippedBefore);

    QJsonObject report;
    bool fileRead = false;
    try {
        next_update = 0;
        QByteArray bytes;
        fileRead = readResultFile(path, &bytes);
        report = resultReport(fileRead ? bytes : data);
    } catch (...) {
        qWarning() << "finish work has error.";
        report = resultReport(data);
    }
    // finished must follow whatever a receiver of the last report does, or
    // the run would never end for its owner and its slot would stay taken.
    try {
        emit updateData(report);
    } catch (...) {
        qWarning() << "finish work has error.";
    }
    if (!self)
        return;
    // The engine's copy goes only once the job's copy is safely stored: a
    // receiver that could not store it keeps it.
    if (fileRead && !m_keepResult)
        QFile::remove(path);
    reportFinished(exit_code, m_endReason);
}

// Emits finished once. The receiver may destroy the runner during the
// emission, so nothing of the runner is touched afterwards.
void JobManager::reportFinished(int exit_code, const QString &reason)
{
    if (m_finishReported)
        return;
    m_finishReported = true;
    m_endReason = reason;
    removeLock();
    removeEngineTempFiles();
    const QByteArray id = job_id;
    emit finished(id, exit_code);
}

void JobManager::removeEngineTempFiles() const
{
    if (m_markerFile.isEmpty())
        return;
    const QFileInfo marker(m_markerFile);
    QStringList stems{marker.fileName() + QStringLiteral(".engine.xml")};
    if (!path.isEmpty() && QFileInfo(path).absolutePath() == marker.absolutePath())
        stems << QFileInfo(path).fileName();
    // A temporary copy is the result's name with a dot and six letters or
    // digits (QSaveFile's and mkstemp's pattern); nothing else is touched.
    QStringList patterns;
    for (const QString &stem : stems)
        patterns << QRegularExpression::escape(stem) + QStringLiteral("\\.[A-Za-z0-9]{6}");
    const QRegularExpression temp(QRegularExpression::anchoredPattern(patterns.join(QLatin1Char('|'))));
    const QDir folder = marker.absoluteDir();
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden | QDir::NoSymLinks)) {
        if (temp.match(name).hasMatch() && !QFile::remove(folder.filePath(name)))
            qWarning().noquote() << "Engine's temporary file not removed:" << folder.filePath(name);
    }
}

QJsonObject JobManager::resultReport(const QByteArray &bytes) const
{
    QJsonObject report;
    report.insert(QStringLiteral("data"), QString::fromLatin1(bytes.toBase64()));
    report.insert(QStringLiteral("job_id"), QString::fromLatin1(job_id));
    report.insert(QStringLiteral("token"), QString::fromLatin1(token));
    report.insert(QStringLiteral("next_update_seconds"), next_update);
    report.insert(QStringLiteral("efficiency"), efficiency);
    report.insert(QStringLiteral("estimate_complete_seconds"), estimate);
    return report;
}

} // namespace Zendral
} // namespace Orvane
