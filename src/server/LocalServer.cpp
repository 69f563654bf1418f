#include "LocalServer.h"
#include "QueueLocker.h"

#include "AddRequestReader.h"
#include "Base64StreamWriter.h"
#include "JobFileLocker.h"
#include "LocalManager.h"
#include "NesterJob.h"
#include "SafeJson.h"
#include "WriteBackup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>

#include <chrono>
#include <exception>
#include <mutex>

namespace Orvane {
namespace Zendral {

namespace {

const char *const InvalidData = "Invalid data...";
const char *const JobNameEmpty = "Job name is empty...";
const char *const JobNonExistent = "Job non-existent...";
const char *const UploadFailed = "Data upload exception, Please contact the server administrator...";
const char kRetryDelayKey[] = "worker/retry_delay_seconds";
const int kDefaultRetryDelaySeconds = 30;
const char kMaxFailedRunsKey[] = "worker/max_failed_runs";
const int kDefaultMaxFailedRuns = 3;

// A setting read with its default; the default is written when the key is
// missing, so that the operator finds it in the settings file.
int SettingWithDefault(const char *key, int fallback)
{
    QSettings settings;
    if (!settings.contains(QLatin1String(key)))
        settings.setValue(QLatin1String(key), fallback);
    return settings.value(QLatin1String(key), fallback).toInt();
}

qint64 SteadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// How often the GUI thread delivers the changes made by client sessions:
// the operator sees them in the table well within a second.
constexpr int DeliveryIntervalMs = 100;

using ErrorReporter = std::function<void(const QString &, const QString &)>;

std::mutex &ReporterMutex()
{
    static std::mutex mutex;
    return mutex;
}

ErrorReporter &Reporter()
{
    static ErrorReporter reporter;
    return reporter;
}

bool OnGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Logs an exception caught in a slot or in UpdateData and carries on.
void LogCaught(const char *function, int line)
{
    qDebug().noquote() << QStringLiteral("File: %1\nLine: %2\nFunction: %3\n")
                              .arg(QLatin1String(__FILE__))
                              .arg(line)
                              .arg(QLatin1String(function));
}

// Whether a base name is one of the device names Windows reserves in every
// folder (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9), in any case.
bool IsReservedDeviceName(const QString &base)
{
    static const QStringList plain{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                                   QStringLiteral("NUL")};
    const QString upper = base.toUpper();
    if (plain.contains(upper))
        return true;
    return upper.size() == 4 && (upper.startsWith(QLatin1String("COM")) || upper.startsWith(QLatin1String("LPT")))
        && upper.at(3) >= QLatin1Char('1') && upper.at(3) <= QLatin1Char('9');
}

// The client's "job_name" reduced to a plain file name, so that the job
// file can only land inside its own job folder: the part after the last
// "/" or "\", without a drive ("C:"); "." and ".." give the empty text.
// The name is also made safe on Windows, the same way on every platform:
// characters Windows refuses (<>:"|?* and control characters) become "_",
// trailing dots and spaces go, and a reserved device name gets a "_" in
// front ("NUL.aex" becomes "_NUL.aex"). Ordinary names stay as they are.
QString PlainFileName(const QString &name)
{
    const int slash = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    QString plain = name.mid(slash + 1);
    if (plain.size() >= 2 && plain.at(1) == QLatin1Char(':') && plain.at(0).isLetter())
        plain = plain.mid(2);
    if (plain == QLatin1String(".") || plain == QLatin1String(".."))
        return QString();
    static const QString refused = QStringLiteral("<>:\"|?*");
    for (QChar &c : plain) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || refused.contains(c))
            c = QLatin1Char('_');
    }
    int end = plain.size();
    while (end > 0 && (plain.at(end - 1) == QLatin1Char('.') || plain.at(end - 1) == QLatin1Char(' ')))
        --end;
    plain.truncate(end);
    // Windows checks the part before the first dot, ignoring trailing spaces.
    QString base = plain.left(plain.indexOf(QLatin1Char('.')) < 0 ? plain.size() : plain.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    if (IsReservedDeviceName(base))
        plain.prepend(QLatin1Char('_'));
    return plain;
}

// A client folder name (the peer address) must be one path element.
bool IsPlainFolderName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// Claims a job folder of its own inside the client folder: a non-recursive
// mkdir fails when the name exists, so two submissions in the same second
// get "stamp" and "stamp_01" (zero-padded, so names still sort by time).
QString ClaimJobFolder(const QDir &client)
{
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    for (int n = 0; n < 100; ++n) {
        const QString name = n == 0 ? stamp
                                    : QStringLiteral("%1_%2").arg(stamp).arg(n, 2, 10, QLatin1Char('0'));
        if (client.mkdir(name))
            return client.absoluteFilePath(name);
        if (!client.exists(name))
            return QString(); // a real failure, not a name already taken
    }
    return QString();
}

} // namespace

LocalServer::LocalServer(QObject *parent)
    : QObject(parent)
{
    JobsDir(); // reports a jobs folder that cannot be made
    WriteBackup::LoadJobs(jobs);
    backupWriter = new WriteBackup(&jobs, this);
    backupWriter->start();
    deliveryTimer = new QTimer(this);
    deliveryTimer->setInterval(DeliveryIntervalMs);
    connect(deliveryTimer, &QTimer::timeout, this, &LocalServer::DeliverNotifications);
    deliveryTimer->start();
    listener = new LocalManager(this);
}

// The listener goes first: it waits for the running sessions, which call
// into this object. Then the final backup, then the records.
LocalServer::~LocalServer()
{
    delete listener;
    listener = nullptr;
    backupWriter->Stop();
    delete backupWriter;
    backupWriter = nullptr;
    QueueLocker locker;
    qDeleteAll(jobs);
    jobs.clear();
    qDeleteAll(retired);
    retired.clear();
}

QMutex &LocalServer::QueueMutex()
{
    static QMutex mutex;
    return mutex;
}

bool LocalServer::JobsDirReady(QDir *dir)
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (data.isEmpty())
        return false;
    const QString path = QStringLiteral("%1/%2").arg(data, QStringLiteral("JOBS"));
    if (!QFileInfo(path).isDir() && !QDir().mkpath(path))
        return false;
    if (dir)
        *dir = QDir(path);
    return QFileInfo(path).isDir();
}

void LocalServer::SetErrorReporter(ErrorReporter reporter)
{
    std::lock_guard<std::mutex> locker(ReporterMutex());
    Reporter() = std::move(reporter);
}

void LocalServer::ReportJobsDirFailure()
{
    qCritical() << "Cannot create directory for application data:"
                << QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (!OnGuiThread())
        return; // sessions and the backup thread show nothing
    ErrorReporter reporter;
    {
        std::lock_guard<std::mutex> locker(ReporterMutex());
        reporter = Reporter();
    }
    if (reporter)
        reporter(QCoreApplication::translate("Orvane::Zendral::LocalServer", "Error"),
                 QCoreApplication::translate("Orvane::Zendral::LocalServer",
                                             "Cannot create directory for application data."));
}

QDir LocalServer::JobsDir()
{
    QDir dir;
    if (JobsDirReady(&dir))
        return dir;
    ReportJobsDirFailure();
    return QDir(QString());
}

// Any thread. The job file is written whole or the job is not made: a client
// is never told its upload was taken when the file is not on disk.
NesterJob *LocalServer::CreateJob(const QString &from, const QString &fileName,
                                  const char *base64, qint64 base64Size, int time)
{
    const QString name = PlainFileName(fileName);
    if (name.isEmpty() || !IsPlainFolderName(from)) {
        qWarning() << "Job not made, unusable name:" << from << fileName;
        return nullptr;
    }
    QDir jobsDir;
    if (!JobsDirReady(&jobsDir)) {
        ReportJobsDirFailure();
        return nullptr;
    }
    const QString clientPath = jobsDir.absoluteFilePath(from);
    if (!QDir().mkpath(clientPath)) {
        qWarning() << "Client folder cannot be made:" << clientPath;
        return nullptr;
    }
    const QDir client(clientPath);
    const QString folder = ClaimJobFolder(client);
    if (folder.isEmpty()) {
        qWarning() << "Job folder cannot be made in" << clientPath;
        return nullptr;
    }
    QFile file(QDir(folder).absoluteFilePath(name));
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && Base64StreamWriter::Write(base64, base64Size, &file) && file.flush();
    file.close();
    if (!written) {
        qWarning() << "Job file cannot be written:" << file.fileName() << file.errorString();
        QFile::remove(file.fileName());
        client.rmdir(QFileInfo(folder).fileName());
        return nullptr;
    }
    return new NesterJob(file.fileName(), from, time);
}

QString LocalServer::StartListen(const QString &port)
{
    return listener->StartListen(port) ? QString() : listener->ErrorText();
}

QString LocalServer::LocalHostIP(int waitMs)
{
    return listener->localHostIP(waitMs);
}

Reply LocalServer::InitSession()
{
    return Reply(true, QByteArray());
}

// Session threads (and the GUI thread). Every change a client is answered
// for is written to the backup before the reply is returned.
Reply LocalServer::AddNesterJob(QByteArray request, const QString &from)
{
    AddRequestReader add;
    if (!add.Read(request)) {
        qDebug().noquote() << "Job from" << from << "refused, invalid data:" << add.ErrorText();
        return Reply(false, InvalidData);
    }
    const QString name = PlainFileName(add.JobName());
    if (name.isEmpty())
        return Reply(false, JobNameEmpty);
    NesterJob *job = CreateJob(from, name, request.constData() + add.DataOffset(), add.DataLength(), add.Time());
    if (!job)
        return Reply(false, UploadFailed);
    const QByteArray id = job->job_id.toLatin1();
    if (!OnJobChanged(job, JobAction::Added))
        return Reply(false, UploadFailed);
    return Reply(true, id);
}

Reply LocalServer::RemoveNesterJob(const QString &job_id)
{
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, JobNonExistent);
        TakeOut(job);
    }
    OnJobChanged(nullptr, JobAction::Removed);
    NotifyRemoved(job_id);
    return Reply(true, QByteArray());
}

// A pick-up always ends the job, with or without a result.
Reply LocalServer::PickUpNesterJob(const QString &job_id)
{
    Reply reply(false, JobNonExistent);
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return Reply(false, QByteArray());
        {
            JobFileLocker read(&fileLock, Read);
            QFile file(job->fileaexres);
            if (file.exists() && file.open(QIODevice::ReadOnly)) {
                reply = Reply(true, file.readAll().toBase64(QByteArray::Base64UrlEncoding));
                file.close();
            }
        }
        TakeOut(job);
    }
    OnJobChanged(nullptr, JobAction::Removed);
    NotifyRemoved(job_id);
    return reply;
}

Reply LocalServer::GetNesterJobList(const QString &from, const QString &requestedName)
{
    QJsonArray array;
    {
        QueueLocker locker;
        JobFileLocker read(&fileLock, Read); // "job_data" reads result files
        int position = 1;
        for (const NesterJob *job : qAsConst(jobs)) {
            const int place = job->IsWaiting() ? position++ : 0;
            if (job->from == from)
                array.append(job->ToListJson(place, requestedName, from));
        }
    }
    return Reply(true, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

Reply LocalServer::MoveNesterJob(const QByteArray &request)
{
    const QJsonDocument document = SafeJson::Parse(request);
    if (document.isNull())
        return Reply(false, QByteArray());
    const QJsonObject object = document.object();
    const QString job_id = object.value(QStringLiteral("job_id")).toString();
    const int step = object.value(QStringLiteral("step")).toInt(0);
    int from = -1;
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job || !job->IsWaiting())
            return Reply(false, QByteArray());
        const int i = jobs.indexOf(job);
        from = i;
        const int last = jobs.size() - 1;
        switch (step) {
        case -1:
            if (i == 0 || !jobs.at(i - 1)->IsWaiting())
                return Reply(false, QByteArray());
            jobs.swapItemsAt(i, i - 1);
            break;
        case 0: {
            int p = 0;
            while (p < jobs.size() && !jobs.at(p)->IsWaiting())
                ++p;
            if (i <= p)
                return Reply(false, QByteArray());
            jobs.move(i, p);
            break;
        }
        case 1:
            if (i == last)
                return Reply(false, QByteArray());
            jobs.swapItemsAt(i, i + 1);
            break;
        case 9:
            if (i == last)
                return Reply(false, QByteArray());
            jobs.move(i, last);
            break;
        default:
            return Reply(false, QByteArray());
        }
    }
    if (!OnJobChanged(nullptr, JobAction::Moved)) {
        // Not on disk: the move is undone, so that what the client is told
        // is what a restart restores.
        {
            QueueLocker locker;
            NesterJob *job = FindJob(job_id);
            if (job)
                jobs.move(jobs.indexOf(job), qBound(0, from, jobs.size() - 1));
        }
        qWarning().noquote() << "Move of job" << job_id << "undone: the queue backup cannot be written";
        backupWriter->Request();
        NotifyChanged();
        return Reply(false, QByteArray());
    }
    return Reply(true, QByteArray());
}

Reply LocalServer::RetryNesterJob(const QString &job_id)
{
    {
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job || !job->IsFailed())
            return Reply(false, JobNonExistent);
        job->state = NesterJob::Waiting;
        job->failed_runs = 0;
        job->error.clear();
        job->retry_at = 0;
        jobs.move(jobs.indexOf(job), jobs.size() - 1);
    }
    qInfo().noquote() << "Job" << job_id << "retried by the operator";
    OnJobChanged(nullptr, JobAction::Moved);
    return Reply(true, QByteArray());
}

QJsonObject LocalServer::PickJob()
{
    QJsonObject result;
    const qint64 now = SteadyMs();
    QueueLocker locker;
    for (const NesterJob *job : qAsConst(jobs)) {
        // A job waiting for its retry lets the jobs behind it go first.
        if (!job->IsWaiting() || job->retry_at > now || !QFile::exists(job->fileaex))
            continue;
        result.insert(QStringLiteral("file_path"), job->fileaex);
        result.insert(QStringLiteral("job_id"), job->job_id);
        result.insert(QStringLiteral("work_seconds"), QString::number(job->time));
        result.insert(QStringLiteral("job_name"), QStringLiteral("%1:%2").arg(job->job_name, job->from));
        break;
    }
    result.insert(QStringLiteral("state"), result.contains(QStringLiteral("file_path")));
    return result;
}

// GUI thread. The queue mutex is held for the whole write, so the job cannot
// be removed (and its folder deleted) half-way. The file is replaced
// atomically: a write that fails (disk full) leaves the previous result.
bool LocalServer::UpdateData(const QJsonObject &data)
{
    try {
        const QByteArray bytes = QByteArray::fromBase64(data.value(QStringLiteral("data")).toString().toLatin1());
        const QString job_id = data.value(QStringLiteral("job_id")).toString();
        QueueLocker locker;
        NesterJob *job = FindJob(job_id);
        if (!job)
            return true; // nothing to keep it for
        JobFileLocker write(&fileLock, Write);
        QSaveFile file(job->fileaexres);
        const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                             && file.flush() && file.commit();
        if (!written) {
            qWarning().noquote() << "Result of job" << job_id << "not written, the previous one stays:"
                                 << job->fileaexres << file.errorString();
            file.cancelWriting();
        }
        job->result_broken = !written;
        return written;
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::UpdateData", __LINE__);
        return false;
    }
}

// A copy with a buffer of its own: the queue's list is changed in place by
// other threads, so it must not stay shared with a copy read unlocked.
QList<NesterJob *> LocalServer::Jobs() const
{
    QueueLocker locker;
    QList<NesterJob *> copy(jobs);
    copy.detach();
    return copy;
}

void LocalServer::OnJobStarted(QString job_id)
{
    try {
        {
            QueueLocker locker;
            NesterJob *job = FindJob(job_id);
            if (!job)
                return;
            job->Start();
            qInfo().noquote() << "Job" << job_id << "from" << job->from << "started";
        }
        backupWriter->Request();
        NotifyChanged();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobStarted", __LINE__);
    }
}

// Progress only goes up and never reaches 100 through reports; only a
// successful finish makes a job complete.
void LocalServer::OnJobUpdate(QString jod_id, QJsonObject object)
{
    try {
        {
            QueueLocker locker;
            NesterJob *job = FindJob(jod_id);
            if (!job)
                return;
            const double limit = object.value(QStringLiteral("time_limit")).toDouble(0);
            const double elapsed = object.value(QStringLiteral("time_elapsed")).toDouble(0);
            if (limit != 0) {
                const double p = elapsed / limit * 100;
                if (p > job->completed && p < 100)
                    job->completed = p;
            }
            job->efficient = object.value(QStringLiteral("efficiency")).toDouble(0);
        }
        backupWriter->Request();
        NotifyChanged();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobUpdate", __LINE__);
    }
}

void LocalServer::OnJobFinish(QString job_id, int exit_code)
{
    OnJobEnded(job_id, exit_code,
               exit_code == 0 ? QString() : QStringLiteral("exit code %1").arg(exit_code), false);
}

void LocalServer::OnJobEnded(const QString &job_id, int exit_code, const QString &reason, bool stopped)
{
    try {
        const int maxFailed = qMax(1, SettingWithDefault(kMaxFailedRunsKey, kDefaultMaxFailedRuns));
        const int delay = qMax(0, SettingWithDefault(kRetryDelayKey, kDefaultRetryDelaySeconds));
        {
            QueueLocker locker;
            NesterJob *job = FindJob(job_id);
            if (!job || (!job->IsRunning() && exit_code != 0))
                return; // removed or picked up meanwhile: never brought back
            EndRun(job, exit_code, reason, stopped, maxFailed, delay);
        }
        backupWriter->Request();
        NotifyChanged();
    } catch (...) {
        LogCaught("Orvane::Zendral::LocalServer::OnJobEnded", __LINE__);
    }
}

// Caller holds the queue mutex. A job never leaves its place here: a failed
// run waits for its retry where it stands, and the jobs behind it go first
// meanwhile (PickJob).
void LocalServer::EndRun(NesterJob *job, int exit_code, const QString &reason, bool stopped,
                         int maxFailed, int delaySeconds)
{
    if (exit_code == 0 && !job->result_broken) {
        job->Finish();
        job->failed_runs = 0;
        job->error.clear();
        qInfo().noquote() << "Job" << job->job_id << "from" << job->from << "finished";
        return;
    }
    job->start.clear();
    job->completed = 0;
    job->efficient = 0;
    if (stopped) {
        job->state = NesterJob::Waiting;
        qInfo().noquote() << "Job" << job->job_id << "stopped, waiting again at its place";
        return;
    }
    job->failed_runs += 1;
    job->error = exit_code == 0 ? QStringLiteral("result could not be written") : reason;
    if (job->failed_runs >= maxFailed) {
        job->state = NesterJob::Failed;
        qWarning().noquote() << "Job" << job->job_id << "from" << job->from << "failed after"
                             << job->failed_runs << "runs:" << job->error;
        return;
    }
    job->state = NesterJob::Waiting;
    job->retry_at = SteadyMs() + qint64(delaySeconds) * 1000;
    qWarning().noquote() << "Job" << job->job_id << "from" << job->from << "run failed (" << job->error
                         << "), run" << job->failed_runs << "of" << maxFailed << "- retried in" << delaySeconds << "s";
}

NesterJob *LocalServer::FindJob(const QString &job_id) const
{
    for (NesterJob *job : jobs) {
        if (job->job_id == job_id)
            return job;
    }
    return nullptr;
}

// Caller holds no lock. Added appends the new record; for Removed and Moved
// the caller has already changed the list under the queue mutex. The backup
// is written before returning, so a client's reply means the change is on
// disk. An add whose backup could not be written is taken back (record out of
// the queue, job folder deleted) and false is returned, so the client is not
// told its job was taken when a restart would lose it; for a move false is
// returned and the caller undoes it. A failed write after a remove or pick-up
// needs nothing: the job's files are gone, so a restore drops the stale
// record.
bool LocalServer::OnJobChanged(NesterJob *job, JobAction action)
{
    if (job && action == JobAction::Added) {
        QueueLocker locker;
        jobs.append(job);
    }
    const bool written = backupWriter->WriteNow();
    if (!written && job && action == JobAction::Added) {
        const QString job_id = job->job_id;
        qCritical() << "Job not taken, the queue backup cannot be written:" << job_id << job->fileaex;
        {
            QueueLocker locker;
            if (jobs.contains(job)) // not already removed by someone else
                TakeOut(job);
        }
        // A later write records the queue without it; the engine may already
        // have been handed the job by the GUI thread, so its run is stopped.
        backupWriter->Request();
        NotifyChanged();
        NotifyRemoved(job_id);
        return false;
    }
    NotifyChanged();
    return written || action == JobAction::Removed;
}

// The files of records still in the queue are passed on, so that a folder
// shared by two records (the old layout) keeps the other job's files.
void LocalServer::TakeOut(NesterJob *job)
{
    jobs.removeOne(job);
    retired.append(job);
    QStringList keep;
    for (const NesterJob *other : qAsConst(jobs)) {
        for (const QString &file : {other->fileaex, other->fileaexres}) {
            if (!file.isEmpty())
                keep << QFileInfo(file).absoluteFilePath();
        }
    }
    {
        JobFileLocker write(&fileLock, Write);
        job->Remove(keep);
    }
    PostDelivery(false, QString()); // deletes the record later, on the GUI thread
}

void LocalServer::NotifyChanged()
{
    if (QThread::currentThread() == thread())
        emit updateJobList(Jobs());
    else
        PostDelivery(true, QString());
}

void LocalServer::NotifyRemoved(const QString &job_id)
{
    if (QThread::currentThread() == thread())
        emit jobRemoved(job_id);
    else
        PostDelivery(false, job_id);
}

// The next tick of the delivery timer covers everything noted until then;
// the flags are taken before the list is read, so a later change is
// delivered at the tick after.
void LocalServer::PostDelivery(bool changed, const QString &removedId)
{
    std::lock_guard<std::mutex> locker(outboxMutex);
    outboxChanged = outboxChanged || changed;
    if (!removedId.isEmpty())
        outboxRemoved << removedId;
    outboxPending = true;
}

void LocalServer::DeliverNotifications()
{
    bool changed = false;
    QStringList removed;
    {
        std::lock_guard<std::mutex> locker(outboxMutex);
        if (!outboxPending)
            return;
        changed = outboxChanged;
        removed.swap(outboxRemoved);
        outboxChanged = false;
        outboxPending = false;
    }
    for (const QString &id : qAsConst(removed))
        emit jobRemoved(id);
    // A receiver may keep the records of the last list until the next one
    // (the job table does), and a session thread retires a record before it
    // posts the change: retired records are deleted only after a list
    // without them has been delivered.
    QList<NesterJob *> dead;
    QList<NesterJob *> current;
    {
        QueueLocker locker;
        dead.swap(retired);
        current = jobs;
        current.detach();
    }
    if (changed || !dead.isEmpty())
        emit updateJobList(current);
    qDeleteAll(dead);
}

} // namespace Zendral
} // namespace Orvane
